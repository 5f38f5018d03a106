#include "oauth/SignIn.h"

#include "oauth/AuthCodeGrant.h"

#include <QProcess>

namespace oauth {
namespace {

TokenAnswer Failed(const QString& error) {
  TokenAnswer a;
  a.outcome = TokenAnswer::Outcome::Failed;
  a.error = error;
  return a;
}

// Stores a grant's tokens as a fresh sign-in: a refusal remembered before is forgotten.
TokenAnswer Store(const TokenStore& store, const QString& profile, TokenAnswer answer) {
  if (answer.outcome != TokenAnswer::Outcome::Tokens) return answer;
  if (answer.refreshToken.isEmpty())
    return Failed(QStringLiteral("the server gave no refresh token (is offline access among the scopes?)"));
  const QDateTime now = QDateTime::currentDateTimeUtc();
  StoredTokens t;
  t.refreshToken = answer.refreshToken;
  t.accessToken = answer.accessToken;
  t.accessExpires = answer.expiresIn > 0 ? now.addSecs(answer.expiresIn) : QDateTime();
  t.renewed = now;
  if (!store.Save(profile, t, &answer.error)) answer.outcome = TokenAnswer::Outcome::Failed;
  return answer;
}

}  // namespace

TokenAnswer SignIn(const TokenStore& store, const SignInSettings& s, const SignInUi& ui) {
  if (!s.deviceUrl.isEmpty() && !s.browser) {
    const DeviceCode code = RequestDeviceCode(s.deviceUrl, s.clientId, s.scopes);
    if (!code.ok) return Failed(code.error);
    if (ui.showCode) ui.showCode(code);
    return Store(store, s.profile, PollDeviceToken(s.tokenUrl, s.clientId, s.clientSecret, code, ui.wait));
  }
  if (s.authorizeUrl.isEmpty()) return Failed(QStringLiteral("no authorization URL for the browser sign-in"));
  const AuthCodeRequest request{s.authorizeUrl, s.tokenUrl, s.clientId, s.clientSecret, s.scopes};
  // Stored before the browser is told, so that its page says what happened.
  return AuthCodeGrant(request, ui.openPage, ui.wait,
                       [&](TokenAnswer answer) { return Store(store, s.profile, std::move(answer)); });
}

bool OpenInBrowser(const QUrl& url) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return false;
  return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}

}  // namespace oauth
