#include "oauth/DeviceGrant.h"

#include <algorithm>

namespace oauth {

DeviceCode RequestDeviceCode(const QUrl& deviceUrl, const QString& clientId, const QString& scopes, int timeoutMs) {
  DeviceCode code;
  int status = 0;
  QJsonObject o;
  const Form form{{QStringLiteral("client_id"), clientId}, {QStringLiteral("scope"), scopes}};
  if (!PostForJson(deviceUrl, form, timeoutMs, QStringLiteral("device authorization endpoint"), status, o, code.error))
    return code;
  code.deviceCode = o.value(QStringLiteral("device_code")).toString();
  code.userCode = Shown(o.value(QStringLiteral("user_code")).toString(), 64);
  // One provider names the page verification_url.
  code.verificationUri = Shown(o.value(QStringLiteral("verification_uri")).toString(
      o.value(QStringLiteral("verification_url")).toString()), 500);
  code.message = Shown(o.value(QStringLiteral("message")).toString(), 500);
  // The server's numbers, kept within sense: a poll at most every 5 minutes, a life of a day.
  code.intervalSecs = std::clamp(o.value(QStringLiteral("interval")).toInt(5), 1, 300);
  code.expiresInSecs = std::clamp(o.value(QStringLiteral("expires_in")).toInt(900), 1, 86400);
  if (status != 200 || code.deviceCode.isEmpty() || code.userCode.isEmpty() || code.verificationUri.isEmpty()) {
    code.error = o.contains(QStringLiteral("error"))
                     ? ErrorText(o)
                     : QStringLiteral("the device authorization endpoint answered HTTP %1 without a code").arg(status);
    return code;
  }
  code.ok = true;
  return code;
}

TokenAnswer PollDeviceToken(const QUrl& tokenUrl, const QString& clientId, const QString& clientSecret,
                            const DeviceCode& code, const std::function<bool(int)>& wait, int timeoutMs) {
  Form form{{QStringLiteral("grant_type"), QStringLiteral("urn:ietf:params:oauth:grant-type:device_code")},
            {QStringLiteral("device_code"), code.deviceCode},
            {QStringLiteral("client_id"), clientId}};
  if (!clientSecret.isEmpty()) form.append({QStringLiteral("client_secret"), clientSecret});
  int interval = code.intervalSecs;
  TokenAnswer answer;
  answer.outcome = TokenAnswer::Outcome::Expired;
  answer.error = QStringLiteral("the code expired before the sign-in was done");
  for (int waited = 0; waited < code.expiresInSecs; waited += interval) {
    if (!wait(interval)) {
      answer.outcome = TokenAnswer::Outcome::Failed;
      answer.error = QStringLiteral("cancelled");
      return answer;
    }
    const TokenAnswer polled = PostForm(tokenUrl, form, timeoutMs);
    if (polled.outcome == TokenAnswer::Outcome::SlowDown) interval += 5;  // as RFC 8628 says
    if (polled.outcome != TokenAnswer::Outcome::Pending && polled.outcome != TokenAnswer::Outcome::SlowDown)
      return polled;
  }
  return answer;
}

}  // namespace oauth
