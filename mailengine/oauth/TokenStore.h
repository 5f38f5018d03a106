#pragma once
// The tokens of one profile, in the application folder: one small JSON file per profile, mode
// 0600, replaced whole (a crash leaves the old file or the new one). A refresh token the server
// rotates is stored before the new access token is used, so that it is never lost.
#include <QDateTime>
#include <QString>

#include "oauth/TokenEndpoint.h"

namespace oauth {

struct StoredTokens {
  QString refreshToken;
  QString accessToken;
  QDateTime accessExpires;  // when the access token stops working (UTC)
  QDateTime renewed;        // the last time the server gave tokens (UTC)
  bool refused = false;     // the server refused the refresh token: sign in again

  bool operator==(const StoredTokens&) const = default;
};

class TokenStore {
 public:
  explicit TokenStore(QString folder) : folder_(std::move(folder)) {}

  // The file of a profile: named from a digest of the name, which may hold any character.
  QString PathFor(const QString& profile) const;
  // False with error set when the file exists but cannot be read or is not ours; a missing file
  // gives empty tokens (not signed in) and true.
  bool Load(const QString& profile, StoredTokens& out, QString* error = nullptr) const;
  bool Save(const QString& profile, const StoredTokens& tokens, QString* error = nullptr) const;

  // Trades the stored refresh token for an access token at tokenUrl and stores the outcome: new
  // tokens (the rotated refresh token first), or that the server refused the refresh token; a
  // failure leaves the file as it was. Tokens that cannot be stored make the answer Failed.
  TokenAnswer Renew(const QString& profile, const QUrl& tokenUrl, const QString& clientId,
                    const QString& clientSecret, const QString& scopes = {},
                    int timeoutMs = kDefaultTimeoutMs) const;

  // The access token to use now: the stored one while it has more than kMinLifeSecs left (and
  // renew is false), else a renewed one. Refused when a person must sign in: never signed in, or
  // the provider refused the refresh token (now or before). renewed takes when the provider last
  // gave tokens.
  static constexpr qint64 kMinLifeSecs = 300;
  TokenAnswer Access(const QString& profile, const QUrl& tokenUrl, const QString& clientId,
                     const QString& clientSecret, const QString& scopes, bool renew,
                     int timeoutMs = kDefaultTimeoutMs, QDateTime* renewed = nullptr) const;

 private:
  QString folder_;
};

}  // namespace oauth
