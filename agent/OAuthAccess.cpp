#include "OAuthAccess.h"

#include "AppFolder.h"
#include "ProfileOAuth.h"
#include "oauth/TokenStore.h"

#include <algorithm>

namespace agent {
namespace {

// A stored access token with less life than this is renewed before a session uses it.
constexpr qint64 kMinLifeSecs = 300;

QString Remedy(const QString& profile) {
  return QStringLiteral("sign in again: run VRLCfg31 --oauth-login \"%1\" or use Sign in... in the profile's "
                        "settings")
      .arg(profile);
}

}  // namespace

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
  OAuthAccess out;
  const oauth::TokenStore store(vrl::ApplicationFolder());
  oauth::StoredTokens stored;
  if (!store.Load(profile.Prfname, stored, &out.error)) {
    out.error = QStringLiteral("OAuth tokens unreadable: ") + out.error;
    return out;
  }
  out.renewed = stored.renewed;
  if (stored.refreshToken.isEmpty() || stored.refused) {
    out.state = OAuthAccess::State::SignIn;
    out.error = (stored.refused ? QStringLiteral("OAuth sign-in refused by the provider; ")
                                : QStringLiteral("OAuth: not signed in; ")) + Remedy(profile.Prfname);
    return out;
  }
  const QDateTime now = QDateTime::currentDateTimeUtc();
  if (!renew && !stored.accessToken.isEmpty() && stored.accessExpires.isValid() &&
      now.secsTo(stored.accessExpires) > kMinLifeSecs) {
    out.state = OAuthAccess::State::Ready;
    out.token = stored.accessToken;
    return out;
  }
  const ProfileOAuth settings = conf::ReadProfileOAuth(profile).Resolved();
  // The profile's time-out bounds the exchange as it bounds a mail server's answer.
  const int timeoutMs = std::clamp<int>(profile.TimeOutSecs, 5, 120) * 1000;
  const oauth::TokenAnswer answer = store.Renew(profile.Prfname, QUrl(settings.TokenUrl), settings.ClientId,
                                                settings.ClientSecret, settings.Scopes, timeoutMs);
  switch (answer.outcome) {
    case Outcome::Tokens:
      out.state = OAuthAccess::State::Ready;
      out.token = answer.accessToken;
      out.renewed = now;
      break;
    case Outcome::Refused:
      out.state = OAuthAccess::State::SignIn;
      out.error = QStringLiteral("OAuth sign-in refused by the provider (%1); ").arg(answer.error) + Remedy(profile.Prfname);
      break;
    default:
      out.error = QStringLiteral("OAuth token not renewed: ") + answer.error;
      break;
  }
  return out;
}

}  // namespace agent
