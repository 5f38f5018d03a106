#pragma once
// The access token of a profile that signs in with OAuth: the one stored while it has some life
// left, else a new one traded for the refresh token at the provider's token endpoint (the token
// store keeps a rotated refresh token before the new access token is used).
#include <QDateTime>
#include <QString>

#include "ConfRecords.h"

namespace agent {

struct OAuthAccess {
  enum class State {
    Ready,        // token holds the access token
    SignIn,       // not signed in, or the provider refused the refresh token: a person must act
    Unavailable,  // the token endpoint could not be asked; the next cycle tries again
  };
  State state = State::Unavailable;
  QString token;
  QString error;      // for the log line when not Ready; the remedy included for SignIn
  QDateTime renewed;  // when the provider last gave tokens (UTC), null when never
};

// renew: a new access token even when the stored one looks alive (the server refused it).
OAuthAccess TakeAccessToken(const ProfileRecord& profile, bool renew);

// The health record's words for an outcome.
QString OAuthStateName(OAuthAccess::State state);

}  // namespace agent
