#include "oauth/AuthCodeGrant.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <array>
#include <chrono>
#include <memory>

namespace oauth {
namespace {

using Outcome = TokenAnswer::Outcome;

constexpr auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
constexpr int kSliceMs = 200;
// Browsers open a few spare connections; more than this at once is not a browser.
constexpr int kMostConnections = 16;

TokenAnswer Answer(Outcome outcome, const QString& error) {
  TokenAnswer a;
  a.outcome = outcome;
  a.error = error;
  return a;
}

QString RandomText() {
  std::array<quint32, 8> words;
  QRandomGenerator::system()->fillRange(words.data(), words.size());
  return QString::fromLatin1(
      QByteArray(reinterpret_cast<const char*>(words.data()), sizeof words).toBase64(kBase64Url));
}

QUrl AuthorizePage(const AuthCodeRequest& r, const QString& redirect, const QString& state, const QString& challenge) {
  Form items{{QStringLiteral("response_type"), QStringLiteral("code")},
             {QStringLiteral("client_id"), r.clientId},
             {QStringLiteral("redirect_uri"), redirect},
             {QStringLiteral("state"), state},
             {QStringLiteral("code_challenge"), challenge},
             {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
             // Servers ignore parameters they do not know; one gives a refresh token only with this.
             {QStringLiteral("access_type"), QStringLiteral("offline")}};
  if (!r.scopes.isEmpty()) items.append({QStringLiteral("scope"), r.scopes});
  // That server gives no new refresh token to a user who consented before unless asked to;
  // elsewhere a forced consent can need an administrator's approval, so it goes only there.
  if (r.authorizeUrl.host() == QLatin1String("accounts.google.com"))
    items.append({QStringLiteral("prompt"), QStringLiteral("consent")});
  QByteArray query = r.authorizeUrl.query(QUrl::FullyEncoded).toLatin1();
  for (const auto& [key, value] : items) {
    if (!query.isEmpty()) query += '&';
    query += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value);
  }
  QUrl url = r.authorizeUrl;
  url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
  return url;
}

// A small page for the browser; the connection closes after it.
void Reply(QTcpSocket* s, const QByteArray& status, const QStringList& paragraphs) {
  QByteArray body = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Vorlane</title></head><body>";
  for (const QString& p : paragraphs) body += "<p>" + p.toHtmlEscaped().toUtf8() + "</p>";
  body += "</body></html>\n";
  s->write("HTTP/1.1 " + status + "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
           "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  s->flush();
  s->disconnectFromHost();
}

// What the redirect brought.
struct Redirect {
  bool arrived = false;
  QPointer<QTcpSocket> browser;  // kept open to tell the outcome
  QString code, state, error, description;
};

// Reads one request head from s, bounded in size and time, and passes its target to take, or
// answers what is no GET itself.
void Serve(QTcpSocket* s, const std::function<void(QTcpSocket*, const QByteArray&)>& take) {
  s->setReadBufferSize(kRedirectHeadBytes + 1);
  auto head = std::make_shared<QByteArray>();
  auto* timer = new QTimer(s);
  timer->setSingleShot(true);
  QObject::connect(timer, &QTimer::timeout, s, [s] { s->abort(); });
  QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
  QObject::connect(s, &QTcpSocket::errorOccurred, s, [s] { s->deleteLater(); });
  QObject::connect(s, &QTcpSocket::readyRead, s, [s, head, timer, take] {
    if (!timer->isActive()) return;  // the head was read, or the time is up
    *head += s->read(kRedirectHeadBytes + 1 - head->size());
    const qsizetype end = head->indexOf("\r\n\r\n");
    if (end < 0 && head->size() <= kRedirectHeadBytes) return;
    timer->stop();
    if (end < 0) return Reply(s, "431 Request Header Fields Too Large", {QStringLiteral("The request is too large.")});
    const QList<QByteArray> line = head->left(head->indexOf("\r\n")).split(' ');
    if (line.size() != 3 || line[0] != "GET")
      return Reply(s, "405 Method Not Allowed", {QStringLiteral("Only GET is served here.")});
    take(s, line[1]);
  });
  timer->start(kRedirectReadMs);
}

}  // namespace

QString PkceVerifier() {
  return RandomText();
}

QString PkceChallenge(const QString& verifier) {
  return QString::fromLatin1(
      QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256).toBase64(kBase64Url));
}

TokenAnswer AuthCodeGrant(const AuthCodeRequest& r, const std::function<void(const QUrl&)>& openPage,
                          const std::function<bool(int)>& wait, const std::function<TokenAnswer(TokenAnswer)>& keep,
                          int waitSecs, int timeoutMs) {
  for (const auto& [what, url] : {std::pair{"authorization", r.authorizeUrl}, std::pair{"token", r.tokenUrl}}) {
    if (!AllowedEndpoint(url))
      return Answer(Outcome::Failed,
                    QStringLiteral("the %1 endpoint URL must use https (plain http only to this machine): ")
                            .arg(QLatin1String(what)) +
                        Shown(url.toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery)));
  }
  Redirect got;
  QEventLoop loop;
  QTimer slice;
  slice.setSingleShot(true);
  QObject::connect(&slice, &QTimer::timeout, &loop, &QEventLoop::quit);
  // Last, so that its connections go before what their handlers use.
  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost, 0))
    return Answer(Outcome::Failed, QStringLiteral("cannot listen on 127.0.0.1 for the browser: ") +
                                       Shown(server.errorString()));
  const QString redirect = QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort());

  auto take = [&](QTcpSocket* s, const QByteArray& target) {
    const qsizetype mark = target.indexOf('?');
    if (mark < 0 || target.left(mark) != "/" || got.arrived)
      return Reply(s, "404 Not Found", {QStringLiteral("Not found.")});
    // The redirect's parameters are form-encoded: '+' is a space.
    const QUrlQuery query(QString::fromLatin1(target.mid(mark + 1).replace('+', "%20")));
    auto value = [&](const char* key) { return query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded); };
    got.arrived = true;
    got.browser = s;
    got.code = value("code");
    got.state = value("state");
    got.error = value("error");
    got.description = value("error_description");
    loop.quit();
  };
  QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
    while (QTcpSocket* s = server.nextPendingConnection()) {
      if (server.findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly).size() > kMostConnections) {
        s->abort();
        s->deleteLater();
        continue;
      }
      Serve(s, take);
    }
  });

  const QString verifier = PkceVerifier();
  const QString state = RandomText();
  if (openPage) openPage(AuthorizePage(r, redirect, state, PkceChallenge(verifier)));
  const QDeadlineTimer deadline(std::chrono::seconds{waitSecs});
  while (!got.arrived) {
    if (wait && !wait(0)) return Answer(Outcome::Failed, QStringLiteral("cancelled"));
    if (got.arrived) break;  // while the caller ran events in wait
    if (deadline.hasExpired())
      return Answer(Outcome::Failed, QStringLiteral("the browser did not come back within %1 minutes").arg(waitSecs / 60));
    slice.start(kSliceMs);
    loop.exec();
  }
  server.close();  // one answer only

  TokenAnswer answer;
  if (got.state != state) {
    answer = Answer(Outcome::Failed, QStringLiteral("the browser's answer is not for this sign-in (its state differs); "
                                                    "nothing was exchanged"));
  } else if (!got.error.isEmpty()) {
    answer = Answer(Outcome::Refused,
                    ErrorText({{QStringLiteral("error"), got.error}, {QStringLiteral("error_description"), got.description}}));
  } else if (got.code.isEmpty()) {
    answer = Answer(Outcome::Failed, QStringLiteral("the browser's answer holds no code"));
  } else {
    Form form{{QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
              {QStringLiteral("code"), got.code},
              {QStringLiteral("redirect_uri"), redirect},
              {QStringLiteral("client_id"), r.clientId},
              {QStringLiteral("code_verifier"), verifier}};
    if (!r.clientSecret.isEmpty()) form.append({QStringLiteral("client_secret"), r.clientSecret});
    answer = PostForm(r.tokenUrl, form, timeoutMs);
    if (keep) answer = keep(answer);
  }
  if (QTcpSocket* s = got.browser) {
    if (answer.outcome == Outcome::Tokens)
      Reply(s, "200 OK", {QStringLiteral("Signed in. You can close this window.")});
    else
      Reply(s, "200 OK", {QStringLiteral("The sign-in failed: ") + answer.error, QStringLiteral("You can close this window.")});
    if (s->state() != QAbstractSocket::UnconnectedState) s->waitForDisconnected(1000);
  }
  return answer;
}

}  // namespace oauth
