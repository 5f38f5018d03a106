#pragma once
// The authorization-code grant with PKCE (RFC 7636, S256) and a loopback redirect (RFC 8252): the
// user signs in in a browser on this machine, which the server sends back with a code to a port
// this program listens on at 127.0.0.1; the code and the PKCE verifier are traded for tokens.
#include <functional>

#include "oauth/TokenEndpoint.h"

namespace oauth {

struct AuthCodeRequest {
  QUrl authorizeUrl;
  QUrl tokenUrl;
  QString clientId;
  QString clientSecret;  // sent only when not empty
  QString scopes;        // space-separated
};

// Bounds of the wait for the browser.
inline constexpr int kBrowserWaitSecs = 5 * 60;
inline constexpr int kRedirectHeadBytes = 8 * 1024;
inline constexpr int kRedirectReadMs = 5000;

// A fresh PKCE verifier: 32 bytes of the system's CSPRNG, base64url without padding (43 chars).
QString PkceVerifier();
// Its S256 challenge: base64url(SHA-256(verifier)) without padding.
QString PkceChallenge(const QString& verifier);

// Runs the grant. openPage gets the authorization page to show; wait is called with 0 about every
// 200 ms while the browser is out, and false gives up (Failed, "cancelled"). The redirect's state
// must be ours (else Failed, nothing traded); an error in it is Refused. keep, when set, takes the
// token endpoint's answer (to store it) before the browser is told the outcome.
TokenAnswer AuthCodeGrant(const AuthCodeRequest& request, const std::function<void(const QUrl&)>& openPage,
                          const std::function<bool(int)>& wait,
                          const std::function<TokenAnswer(TokenAnswer)>& keep = {},
                          int waitSecs = kBrowserWaitSecs, int timeoutMs = kDefaultTimeoutMs);

}  // namespace oauth
