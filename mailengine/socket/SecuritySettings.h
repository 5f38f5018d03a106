#pragma once
// How a mail client protects its connection and proves who it is: the settings a profile keeps
// for SMTP and for POP3, and their names in the JSON document and on command lines.
#include <QString>

#include "vrlime_export.h"

namespace vrlsec {

// Automatic: implicit TLS on the well-known TLS ports (465, 995), otherwise STARTTLS/STLS when
// the server offers it. None: the clear-text dialogue as it always was.
enum class Security { Auto = 0, None = 1, StartTls = 2, Tls = 3 };
// Login: AUTH LOGIN when the server offers it, as it always was. Automatic: PLAIN, else LOGIN,
// whichever the server offers. PLAIN and XOAUTH2: that mechanism or an error, XOAUTH2 with the
// password as the access token. OAuth2: XOAUTH2 with the tokens the agent signs in for and
// renews; a client is given XOAuth2 and the access token.
enum class AuthMethod { Auto = 0, Login = 1, Plain = 2, XOAuth2 = 3, OAuth2 = 4 };

struct Settings {
  Security security = Security::None;
  bool verifyCertificate = true;
  QString caFile;
  QString certFingerprint;  // "SHA256:" + hex, empty: none
  AuthMethod auth = AuthMethod::Login;
};

// "auto", "none", "starttls", "tls" / "auto", "login", "plain", "xoauth2", "oauth2".
VRLIME_EXPORT QString SecurityName(Security s);
VRLIME_EXPORT bool ParseSecurity(const QString& name, Security* out);
VRLIME_EXPORT QString AuthName(AuthMethod a);
VRLIME_EXPORT bool ParseAuth(const QString& name, AuthMethod* out);

}  // namespace vrlsec
