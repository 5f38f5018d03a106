#pragma once
// The token endpoint of an OAuth 2.0 authorization server (RFC 6749 section 3.2): one form POST,
// one JSON answer. Used to trade a refresh token, a device code or an authorization code for
// tokens. HTTPS with the server's certificate verified; plain HTTP only to a loopback address.
// The answer is bounded in size and time; nothing of a token goes into an error text.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

namespace oauth {

using Form = QList<QPair<QString, QString>>;

struct TokenAnswer {
  enum class Outcome {
    Tokens,     // access_token (and perhaps a new refresh_token) given
    Refused,    // invalid_grant, invalid_client, unauthorized_client...: sign in again
    Pending,    // authorization_pending (device grant): ask again later
    SlowDown,   // slow_down (device grant): ask again, less often
    Expired,    // expired_token (device grant): the code is no longer valid
    Failed,     // no usable answer: network, TLS, HTTP status without an OAuth error, bad JSON
  };
  Outcome outcome = Outcome::Failed;
  QString accessToken;
  QString refreshToken;  // empty when the server keeps the old one
  qint64 expiresIn = 0;  // seconds; 0 when not given
  QString error;         // what went wrong, for a log line: the OAuth error code and description
};

// Bounds of one exchange.
inline constexpr qint64 kMaxAnswerBytes = 64 * 1024;
inline constexpr int kDefaultTimeoutMs = 30000;

// True for https, and for http to 127.0.0.0/8, ::1 or "localhost".
bool AllowedEndpoint(const QUrl& url);

// A server's text as one short printable line: it goes into our log.
QString Shown(const QString& text, qsizetype most = 200);
// An OAuth error answer's code and description, shown.
QString ErrorText(const QJsonObject& answer);

// The exchange under every grant: posts form (application/x-www-form-urlencoded) to url and reads
// the answer's HTTP status and JSON object (empty when the answer is no JSON object); blocks,
// running a local event loop, at most timeoutMs. False with error set when there is no answer to
// read; what names the endpoint in error texts ("token endpoint").
bool PostForJson(const QUrl& url, const Form& form, int timeoutMs, const QString& what, int& status,
                 QJsonObject& object, QString& error);
// PostForJson to a token endpoint, read as a token answer.
TokenAnswer PostForm(const QUrl& url, const Form& form, int timeoutMs = kDefaultTimeoutMs);

// The refresh grant (RFC 6749 section 6). clientSecret and scopes are sent only when not empty.
TokenAnswer Refresh(const QUrl& tokenUrl, const QString& clientId, const QString& clientSecret,
                    const QString& refreshToken, const QString& scopes = {}, int timeoutMs = kDefaultTimeoutMs);

}  // namespace oauth
