#include "OAuthAccess.h"

#include "AppFolder.h"
#include "ProfileOAuth.h"
#include "oauth/TokenStore.h"

#include <algorithm>

namespace agent {

QString OAuthStateName(OAuthAccess::State state) {
  switch (state) {
    case OAuthAccess::State::Ready: return QStringLiteral("signed in");
    case OAuthAccess::State::SignIn: return QStringLiteral("sign in again");
    case OAuthAccess::State::Unavailable: break;
  }
  return QStringLiteral("not renewed");
}

OAuthAccess TakeAccessToken(const ProfileRecord& profile, bool renew) {
  using Outcome = oauth::TokenAnswer::Outcome;
  const ProfileOAuth settings = conf::ReadProfileOAuth(profile).Resolved();
  // The profile's time-out bounds the exchange as it bounds a mail server's answer.
  const int timeoutMs = std::clamp<int>(profile.TimeOutSecs, 5, 120) * 1000;
  OAuthAccess out;
  const oauth::TokenAnswer answer =
      oauth::TokenStore(vrl::ApplicationFolder())
          .Access(profile.Prfname, QUrl(settings.TokenUrl), settings.ClientId, settings.ClientSecret, settings.Scopes,
                  renew, timeoutMs, &out.renewed);
  if (answer.outcome == Outcome::Tokens) {
    out.state = OAuthAccess::State::Ready;
    out.token = answer.accessToken;
  } else if (answer.outcome == Outcome::Refused) {
    out.state = OAuthAccess::State::SignIn;
    out.error = QStringLiteral("OAuth sign-in: %1; sign in again: run VRLCfg31 --oauth-login \"%2\" or use Sign in... "
                               "in the profile's settings")
                    .arg(answer.error, profile.Prfname);
  } else {
    out.error = QStringLiteral("OAuth token not renewed: ") + answer.error;
  }
  return out;
}

}  // namespace agent
