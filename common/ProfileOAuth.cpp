#include "ProfileOAuth.h"

#include "Mdl_Crypto.h"
#include "ProfileSecurity.h"

#include <QUrl>

namespace conf {
namespace {

constexpr const char* kMicrosoftScopes =
    "https://outlook.office.com/POP.AccessAsUser.All https://outlook.office.com/IMAP.AccessAsUser.All "
    "https://outlook.office.com/SMTP.Send offline_access";
constexpr const char* kGoogleScopes = "https://mail.google.com/";

void PutText(QByteArray& v, const QByteArray& bytes) {
  const QByteArray b = bytes.left(0xFFFF);
  PutWord(v, static_cast<quint16>(b.size()));
  v += b;
}

// The texts of an entry, in order; a shorter entry leaves the rest empty.
QList<QByteArray> Texts(const QByteArray& entry) {
  QList<QByteArray> out;
  qsizetype at = 0;
  while (entry.size() - at >= 2) {
    const qsizetype n = static_cast<unsigned char>(entry[at]) | (static_cast<unsigned char>(entry[at + 1]) << 8);
    if (entry.size() - at - 2 < n) break;
    out.append(entry.mid(at + 2, n));
    at += 2 + n;
  }
  return out;
}

}  // namespace

QStringList OAuthProviders() {
  return {QStringLiteral("microsoft"), QStringLiteral("google"), QStringLiteral("custom")};
}

ProfileOAuth ReadProfileOAuth(const ProfileRecord& rec) {
  ProfileOAuth o;
  const std::optional<QByteArray> entry = ExtensionEntry(rec, kOAuthTag);
  if (!entry) return o;
  const QList<QByteArray> t = Texts(*entry);
  QString* fields[] = {&o.Provider, &o.ClientId, &o.ClientSecret, &o.Tenant,
                       &o.Scopes,   &o.DeviceUrl, &o.AuthorizeUrl, &o.TokenUrl};
  for (qsizetype i = 0; i < t.size() && i < qsizetype(std::size(fields)); ++i)
    *fields[i] = fields[i] == &o.ClientSecret ? Unscramble(QString::fromLatin1(t[i])) : DecodeRecordString(t[i]);
  return o;
}

void WriteProfileOAuth(ProfileRecord& rec, const ProfileOAuth& settings) {
  if (settings == ProfileOAuth()) return SetExtensionEntry(rec, kOAuthTag, std::nullopt);
  QByteArray v;
  for (const QString* f : {&settings.Provider, &settings.ClientId, &settings.ClientSecret, &settings.Tenant,
                           &settings.Scopes, &settings.DeviceUrl, &settings.AuthorizeUrl, &settings.TokenUrl}) {
    if (f == &settings.ClientSecret)
      PutText(v, settings.ClientSecret.isEmpty() ? QByteArray() : Scramble(settings.ClientSecret).toLatin1());
    else
      PutText(v, EncodeRecordString(*f));
  }
  SetExtensionEntry(rec, kOAuthTag, v);
}

bool PresetServers(const QString& provider, ProviderServers* out) {
  if (provider == QLatin1String("microsoft")) {
    *out = {QStringLiteral("outlook.office365.com"), 995, 3, QStringLiteral("smtp.office365.com"), 587, 2};
    return true;
  }
  if (provider == QLatin1String("google")) {
    *out = {QStringLiteral("pop.gmail.com"), 995, 3, QStringLiteral("smtp.gmail.com"), 465, 3};
    return true;
  }
  return false;
}

}  // namespace conf

ProfileOAuth ProfileOAuth::Resolved() const {
  ProfileOAuth r = *this;
  auto fill = [](QString& field, const QString& value) {
    if (field.trimmed().isEmpty()) field = value;
  };
  if (Provider == QLatin1String("microsoft")) {
    fill(r.Tenant, QStringLiteral("common"));
    // The tenant goes into the path: encoded, it cannot lead elsewhere.
    const QString base = QStringLiteral("https://login.microsoftonline.com/") +
                         QString::fromLatin1(QUrl::toPercentEncoding(r.Tenant.trimmed())) +
                         QStringLiteral("/oauth2/v2.0/");
    fill(r.Scopes, QLatin1String(conf::kMicrosoftScopes));
    fill(r.DeviceUrl, base + QStringLiteral("devicecode"));
    fill(r.AuthorizeUrl, base + QStringLiteral("authorize"));
    fill(r.TokenUrl, base + QStringLiteral("token"));
  } else if (Provider == QLatin1String("google")) {
    // Google's device grant does not give the mail scope: its sign-in is the browser's.
    fill(r.Scopes, QLatin1String(conf::kGoogleScopes));
    fill(r.AuthorizeUrl, QStringLiteral("https://accounts.google.com/o/oauth2/v2/auth"));
    fill(r.TokenUrl, QStringLiteral("https://oauth2.googleapis.com/token"));
  }
  return r;
}
