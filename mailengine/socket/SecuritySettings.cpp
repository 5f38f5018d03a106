#include "socket/SecuritySettings.h"

#include <iterator>

namespace vrlsec {
namespace {
const char* const kSecurityNames[] = {"auto", "none", "starttls", "tls"};
const char* const kAuthNames[] = {"auto", "login", "plain", "xoauth2", "oauth2"};

template <typename E, size_t N>
bool Parse(const char* const (&names)[N], const QString& name, E* out) {
  for (size_t i = 0; i < N; ++i)
    if (name.compare(QLatin1String(names[i]), Qt::CaseInsensitive) == 0) {
      *out = static_cast<E>(i);
      return true;
    }
  return false;
}
}  // namespace

QString SecurityName(Security s) { return QLatin1String(kSecurityNames[static_cast<int>(s) & 3]); }
bool ParseSecurity(const QString& name, Security* out) { return Parse(kSecurityNames, name, out); }
QString AuthName(AuthMethod a) {
  const auto i = static_cast<size_t>(a);
  return QLatin1String(kAuthNames[i < std::size(kAuthNames) ? i : 0]);
}
bool ParseAuth(const QString& name, AuthMethod* out) { return Parse(kAuthNames, name, out); }

}  // namespace vrlsec
