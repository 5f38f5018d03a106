#include "socket/MSocketSupport.h"

#include <QStringList>
#include <QUrl>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

namespace MSocketSupport {

namespace {

struct ErrorText {
  int code;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {10004, "Interrupted function call."},
    {10013, "Permission denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Resource temporarily unavailable."},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on nonsocket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Network dropped connection on reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send after socket shutdown."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10067, "Too many processes."},
    {10091, "Network subsystem is unavailable."},
    {10092, "Winsock.dll version out of range."},
    {10093, "Successful WSAStartup not yet performed."},
    {10101, "Graceful shutdown in progress."},
    {10107, "System call failure."},
    {10109, "Class type not found."},
    {11001, "Host not found."},
    {11002, "Nonauthoritative host not found."},
    {11003, "This is a nonrecoverable error."},
    {11004, "Valid name, no data record of requested type."},
};

std::atomic<ResolverHook> g_resolverHook{nullptr};

bool IsReservedInvalid(QString name) {
  name = name.toLower();
  while (name.endsWith(QLatin1Char('.'))) name.chop(1);
  return name == QLatin1String("invalid") || name.endsWith(QLatin1String(".invalid"));
}

}  // namespace

QString GetErrorDescription(int errorCode) {
  for (const auto& e : kErrorTexts)
    if (e.code == errorCode) return QString::fromLatin1(e.text);
  return QStringLiteral("Unknown error.");
}

int ErrnoToWsa(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return 10004;
    case EACCES:
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
    case EAGAIN: return 10035;  // EWOULDBLOCK has the same value on Linux
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK:
    case EBADF: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;  // ENOTSUP has the same value on Linux
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case EPIPE:
    case ESHUTDOWN: return 10058;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return 10107;
  }
}

int GaiToWsa(int gaiError, int sysErrno) {
  switch (gaiError) {
    case 0: return 0;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
    case EAI_MEMORY: return 10055;
    case EAI_FAMILY: return 10047;
    case EAI_SOCKTYPE: return 10044;
    case EAI_SERVICE: return 10109;
    case EAI_BADFLAGS: return 10022;
    case EAI_SYSTEM: return sysErrno ? ErrnoToWsa(sysErrno) : 10107;
    default: return 11003;
  }
}

QString AddressToString(const SockAddr& addr) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (addr.family() == AF_INET) {
    auto* sin = reinterpret_cast<const sockaddr_in*>(&addr.ss);
    inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf);
  } else if (addr.family() == AF_INET6) {
    auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&addr.ss);
    inet_ntop(AF_INET6, &sin6->sin6_addr, buf, sizeof buf);
  }
  return QString::fromLatin1(buf);
}

void SetPort(SockAddr& addr, quint16 port) {
  if (addr.family() == AF_INET)
    reinterpret_cast<sockaddr_in*>(&addr.ss)->sin_port = htons(port);
  else if (addr.family() == AF_INET6)
    reinterpret_cast<sockaddr_in6*>(&addr.ss)->sin6_port = htons(port);
}

quint16 PortOf(const SockAddr& addr) {
  if (addr.family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&addr.ss)->sin_port);
  if (addr.family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&addr.ss)->sin6_port);
  return 0;
}

bool ParseNumericHost(const QString& host, SockAddr* out) {
  QString h = host.trimmed();
  if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']'))) h = h.mid(1, h.size() - 2);
  if (h.isEmpty()) return false;
  const QByteArray bytes = h.toLatin1();
  SockAddr a;
  auto* sin = reinterpret_cast<sockaddr_in*>(&a.ss);
  if (inet_pton(AF_INET, bytes.constData(), &sin->sin_addr) == 1) {
    sin->sin_family = AF_INET;
    a.len = sizeof(sockaddr_in);
    if (out) *out = a;
    return true;
  }
  if (!h.contains(QLatin1Char(':'))) return false;
  // getaddrinfo with AI_NUMERICHOST never asks a name server and understands zone indexes.
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(bytes.constData(), nullptr, &hints, &res) != 0 || !res) return false;
  std::memcpy(&a.ss, res->ai_addr, res->ai_addrlen);
  a.len = res->ai_addrlen;
  freeaddrinfo(res);
  if (out) *out = a;
  return true;
}

int ResolveHost(const QString& host, int family, std::vector<SockAddr>* out) {
  out->clear();
  const QString name = host.trimmed();
  if (name.isEmpty()) return 11001;
  SockAddr numeric;
  if (ParseNumericHost(name, &numeric)) {
    if (family != AF_UNSPEC && numeric.family() != family) return 11001;
    out->push_back(numeric);
    return 0;
  }
  // RFC 6761: names under "invalid" never exist; answer without network traffic.
  if (IsReservedInvalid(name)) return 11001;

  // International names go to the resolver in their ASCII form.
  QByteArray ascii = QUrl::toAce(name);
  if (ascii.isEmpty()) ascii = name.toUtf8();

  if (ResolverHook hook = g_resolverHook.load()) {
    const int rc = hook(ascii, out);
    if (rc == 0 && family != AF_UNSPEC)
      std::erase_if(*out, [family](const SockAddr& a) { return a.family() != family; });
    if (rc == 0 && out->empty()) return 11001;
    return rc;
  }

  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc;
  do {
    errno = 0;
    rc = getaddrinfo(ascii.constData(), nullptr, &hints, &res);
  } while (rc == EAI_SYSTEM && errno == EINTR);
  if (rc != 0) return GaiToWsa(rc, errno);
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SockAddr a;
    std::memcpy(&a.ss, ai->ai_addr, ai->ai_addrlen);
    a.len = ai->ai_addrlen;
    out->push_back(a);
  }
  freeaddrinfo(res);
  return out->empty() ? 11001 : 0;
}

void SetResolverForTesting(ResolverHook hook) { g_resolverHook.store(hook); }

namespace detail {
std::atomic<int> g_resolutionsInFlight{0};
}

int ResolutionsInFlight() { return detail::g_resolutionsInFlight.load(); }

namespace {

const char kTopLevelDomains[] =
    "COM ORG NET EDU GOV MIL INT AF AL DZ AS AD AO AI AQ AG AR AM AW AC AU AT AZ BS BH BD BB BY BZ BT "
    "BJ BE BM BO BA BW BV BR IO BN BG BF BI KH CM CA CV KY CF TD CL CN CX CC CO KM CD CG CK CR CI HR "
    "CU CY CZ DK DJ DM DO TP EC EG SV GQ ER EE ET FK FO FJ FI FR GF PF TF GA GM GE DE GH GI GR GL GD "
    "GP GU GT GG GN GW GY HT HM VA HN HK HU IS IN ID IR IQ IE IM IL IT JM JP JE JO KZ KE KI KP KR KW "
    "KG LA LV LB LS LR LY LI LT LU MO MK MG MW MY MV ML MT MH MQ MR MU YT MX FM MD MC MN MS MA MZ MM "
    "NA NR NP NL AN NC NZ NI NE NG NU NF MP NO OM PK PW PA PG PY PE PH PN PL PT PR QA RE RO RU RW KN "
    "LC VC WS SM ST SA SN SC SL SG SK SI SB SO ZA GS ES LK SH PM SD SR SJ SZ SE CH SY TW TJ TZ TH TG "
    "TK TO TT TN TR TM TC TV UG UA AE GB US UM UY UZ VU VE VN VG VI WF EH YE YU ZR ZM ZW UK";

}  // namespace

bool IsValidHostSyntax(const QString& host) {
  const QString h = host.trimmed().toUpper();
  const QStringList parts = h.split(u'.');
  if (parts.size() == 4) {
    bool numeric = true;
    long values[4] = {};
    for (int i = 0; i < 4 && numeric; ++i) {
      const QString& p = parts[i];
      if (p.isEmpty() || p.size() > 3) numeric = false;
      for (QChar c : p)
        if (!c.isDigit() || c.unicode() > '9') numeric = false;
      if (numeric) values[i] = p.toLong();
    }
    if (numeric) return values[0] <= 239 && values[1] <= 255 && values[2] <= 255 && values[3] <= 255;
  }
  if (parts.size() < 2) return false;
  return QLatin1String(kTopLevelDomains).contains(parts.last());
}

QString FirstAddress(const QString& host) {
  std::vector<SockAddr> addrs;
  if (ResolveHost(host, AF_UNSPEC, &addrs) != 0 || addrs.empty()) return QString();
  for (const SockAddr& a : addrs)
    if (a.family() == AF_INET) return AddressToString(a);
  return AddressToString(addrs.front());
}

QString LocalHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) return QString();
  return QString::fromLocal8Bit(name);
}

}  // namespace MSocketSupport
