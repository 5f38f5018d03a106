#pragma once
// Signing a profile in: the device authorization grant (RFC 8628) when a device endpoint is known
// and the browser is not asked for, else the authorization-code grant with PKCE (RFC 7636) and a
// loopback redirect (RFC 8252). The tokens given are stored in the token store; the caller shows
// the progress through the callbacks, the command line as printed lines, the editor in a dialog.
#include <functional>

#include "oauth/DeviceGrant.h"
#include "oauth/TokenStore.h"

namespace oauth {

struct SignInSettings {
  QString profile;  // the token store's key
  QUrl deviceUrl;   // empty: no device grant
  QUrl authorizeUrl;
  QUrl tokenUrl;
  QString clientId;
  QString clientSecret;  // sent only when not empty
  QString scopes;        // space-separated
  bool browser = false;  // the authorization-code grant even when a device endpoint is known
};

struct SignInUi {
  // Device grant: the page to open and the code to type, once known.
  std::function<void(const DeviceCode&)> showCode;
  // Browser grant: the page to open; the callee opens a browser or shows the address.
  std::function<void(const QUrl&)> openPage;
  // Between two polls of the device grant (seconds to wait), and while the browser grant waits
  // for the redirect (called with 0 every fraction of a second): false gives up ("cancelled").
  std::function<bool(int)> wait;
};

// Runs the grant and stores what it gives (renewed now, refusal cleared). Tokens: signed in;
// Refused, Expired or Failed with error set otherwise; nothing is stored then.
TokenAnswer SignIn(const TokenStore& store, const SignInSettings& settings, const SignInUi& ui);

// Opens url in the desktop's browser (xdg-open) when there is a display; false when there is
// none or it could not be started, and the caller shows the address instead.
bool OpenInBrowser(const QUrl& url);

}  // namespace oauth
