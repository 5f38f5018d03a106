#include "oauth/TokenEndpoint.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace oauth {
namespace {

using Outcome = TokenAnswer::Outcome;

QByteArray Encoded(const Form& form) {
  QByteArray body;
  for (const auto& [key, value] : form) {
    if (!body.isEmpty()) body += '&';
    body += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value);
  }
  return body;
}

Outcome ErrorOutcome(const QString& code) {
  if (code == QLatin1String("authorization_pending")) return Outcome::Pending;
  if (code == QLatin1String("slow_down")) return Outcome::SlowDown;
  if (code == QLatin1String("expired_token")) return Outcome::Expired;
  for (const char* refused : {"invalid_grant", "invalid_client", "unauthorized_client", "access_denied", "invalid_scope"})
    if (code == QLatin1String(refused)) return Outcome::Refused;
  return Outcome::Failed;
}

TokenAnswer Read(int status, const QJsonObject& o) {
  TokenAnswer a;
  const QString code = o.value(QStringLiteral("error")).toString();
  if (!code.isEmpty()) {
    a.outcome = ErrorOutcome(code);
    a.error = ErrorText(o);
    return a;
  }
  const QString access = o.value(QStringLiteral("access_token")).toString();
  if (status != 200 || access.isEmpty()) {
    a.error = status ? QStringLiteral("the token endpoint answered HTTP %1 without a token").arg(status)
                     : QStringLiteral("the token endpoint gave no answer");
    return a;
  }
  a.outcome = Outcome::Tokens;
  a.accessToken = access;
  a.refreshToken = o.value(QStringLiteral("refresh_token")).toString();
  // Some servers send the lifetime as a string.
  const QJsonValue expires = o.value(QStringLiteral("expires_in"));
  a.expiresIn = expires.isString() ? expires.toString().toLongLong() : expires.toInteger();
  return a;
}

}  // namespace

QString ErrorText(const QJsonObject& answer) {
  QString text = Shown(answer.value(QStringLiteral("error")).toString(), 64);
  if (const QString d = Shown(answer.value(QStringLiteral("error_description")).toString()); !d.isEmpty())
    text += QStringLiteral(": ") + d;
  return text;
}

QString Shown(const QString& text, qsizetype most) {
  QString s = text.left(most);
  for (QChar& c : s)
    if (!c.isPrint()) c = u' ';
  return s.trimmed();
}

bool AllowedEndpoint(const QUrl& url) {
  if (!url.isValid() || url.host().isEmpty()) return false;
  if (url.scheme() == QLatin1String("https")) return true;
  if (url.scheme() != QLatin1String("http")) return false;
  if (url.host() == QLatin1String("localhost")) return true;
  const QHostAddress host(url.host());
  return !host.isNull() && host.isLoopback();
}

bool PostForJson(const QUrl& url, const Form& form, int timeoutMs, const QString& what, int& status,
                 QJsonObject& object, QString& error) {
  status = 0;
  object = QJsonObject();
  if (!AllowedEndpoint(url)) {
    error = QStringLiteral("the %1 URL must use https (plain http only to this machine): ").arg(what) +
            Shown(url.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery));
    return false;
  }
  QNetworkAccessManager manager;
  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
  request.setRawHeader("Accept", "application/json");
  // A redirect could lead the secrets elsewhere, or to plain http.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
  request.setTransferTimeout(timeoutMs);
  QNetworkReply* reply = manager.post(request, Encoded(form));
  QByteArray bytes;
  bool tooLarge = false;
  QEventLoop loop;
  QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
    bytes += reply->read(kMaxAnswerBytes + 1 - bytes.size());
    if (bytes.size() > kMaxAnswerBytes) {
      tooLarge = true;
      reply->abort();
    }
  });
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(timeoutMs, &loop, [reply] { reply->abort(); });  // also when data trickles in
  if (!reply->isFinished()) loop.exec();
  if (!tooLarge && reply->isOpen()) bytes += reply->read(kMaxAnswerBytes + 1 - bytes.size());
  status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QNetworkReply::NetworkError failure = reply->error();
  const QString failureText = reply->errorString();
  reply->deleteLater();
  if (tooLarge || bytes.size() > kMaxAnswerBytes) {
    error = QStringLiteral("the %1's answer is larger than %2 KiB").arg(what).arg(kMaxAnswerBytes / 1024);
    return false;
  }
  // An OAuth error comes with HTTP 400 or 401; only a transport failure has no answer to read.
  if (failure != QNetworkReply::NoError && status == 0) {
    error = QStringLiteral("the %1 cannot be reached: ").arg(what) + Shown(failureText);
    return false;
  }
  object = QJsonDocument::fromJson(bytes).object();
  return true;
}

TokenAnswer PostForm(const QUrl& url, const Form& form, int timeoutMs) {
  TokenAnswer answer;
  int status = 0;
  QJsonObject object;
  if (!PostForJson(url, form, timeoutMs, QStringLiteral("token endpoint"), status, object, answer.error)) return answer;
  return Read(status, object);
}

TokenAnswer Refresh(const QUrl& tokenUrl, const QString& clientId, const QString& clientSecret,
                    const QString& refreshToken, const QString& scopes, int timeoutMs) {
  Form form{{QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
            {QStringLiteral("refresh_token"), refreshToken},
            {QStringLiteral("client_id"), clientId}};
  if (!clientSecret.isEmpty()) form.append({QStringLiteral("client_secret"), clientSecret});
  if (!scopes.isEmpty()) form.append({QStringLiteral("scope"), scopes});
  return PostForm(tokenUrl, form, timeoutMs);
}

}  // namespace oauth
