#pragma once
// The device authorization grant (RFC 8628): the user signs in on another device with a code
// while this program polls the token endpoint.
#include <functional>

#include "oauth/TokenEndpoint.h"

namespace oauth {

struct DeviceCode {
  bool ok = false;
  QString deviceCode;
  QString userCode;         // what the user types
  QString verificationUri;  // the page to open
  QString message;          // the provider's own instructions, when it gives them
  int intervalSecs = 5;     // between two polls
  int expiresInSecs = 900;  // the codes' lifetime
  QString error;            // when not ok
};

// Asks the device authorization endpoint for a code; the server's texts come shown, its numbers
// kept within sense.
DeviceCode RequestDeviceCode(const QUrl& deviceUrl, const QString& clientId, const QString& scopes,
                             int timeoutMs = kDefaultTimeoutMs);

// Polls the token endpoint until the user has signed in (Tokens), refused (Refused), the code
// expired (Expired), or the endpoint failed (Failed). Between two polls it calls wait with the
// seconds to wait, which grow by 5 on every slow_down; wait returns false to give up (Failed,
// "cancelled"). The polls stop when the code's lifetime has been waited.
TokenAnswer PollDeviceToken(const QUrl& tokenUrl, const QString& clientId, const QString& clientSecret,
                            const DeviceCode& code, const std::function<bool(int)>& wait,
                            int timeoutMs = kDefaultTimeoutMs);

}  // namespace oauth
