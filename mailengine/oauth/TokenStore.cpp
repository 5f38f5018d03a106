#include "oauth/TokenStore.h"

#include "FileIo.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>

namespace oauth {
namespace {

constexpr qint64 kMaxFileBytes = 64 * 1024;

QString Stamp(const QDateTime& t) { return t.isValid() ? t.toUTC().toString(Qt::ISODate) : QString(); }
QDateTime FromStamp(const QJsonValue& v) { return QDateTime::fromString(v.toString(), Qt::ISODate); }

}  // namespace

QString TokenStore::PathFor(const QString& profile) const {
  const QByteArray digest = QCryptographicHash::hash(profile.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
  return folder_ + QStringLiteral("/VRLOAuth-") + QString::fromLatin1(digest) + QStringLiteral(".json");
}

bool TokenStore::Load(const QString& profile, StoredTokens& out, QString* error) const {
  out = StoredTokens();
  const QString path = PathFor(profile);
  QFile f(path);
  if (!f.exists()) return true;
  const auto fail = [&](const QString& why) {
    if (error) *error = QStringLiteral("\"%1\" - %2").arg(path, why);
    return false;
  };
  if (!f.open(QIODevice::ReadOnly)) return fail(f.errorString());
  const QByteArray bytes = f.read(kMaxFileBytes + 1);
  if (bytes.size() > kMaxFileBytes) return fail(QStringLiteral("larger than 64 KiB"));
  const QJsonObject o = QJsonDocument::fromJson(bytes).object();
  // The name inside tells a file of this profile from one of a profile with a colliding digest.
  if (o.value(QStringLiteral("profile")).toString() != profile) return fail(QStringLiteral("not this profile's tokens"));
  out.refreshToken = o.value(QStringLiteral("refresh_token")).toString();
  out.accessToken = o.value(QStringLiteral("access_token")).toString();
  out.accessExpires = FromStamp(o.value(QStringLiteral("access_expires")));
  out.renewed = FromStamp(o.value(QStringLiteral("renewed")));
  out.refused = o.value(QStringLiteral("refused")).toBool();
  return true;
}

bool TokenStore::Save(const QString& profile, const StoredTokens& t, QString* error) const {
  const QJsonObject o{{QStringLiteral("profile"), profile},
                      {QStringLiteral("refresh_token"), t.refreshToken},
                      {QStringLiteral("access_token"), t.accessToken},
                      {QStringLiteral("access_expires"), Stamp(t.accessExpires)},
                      {QStringLiteral("renewed"), Stamp(t.renewed)},
                      {QStringLiteral("refused"), t.refused}};
  if (vrl::ReplaceFile(PathFor(profile), QJsonDocument(o).toJson(QJsonDocument::Compact))) return true;
  if (error) *error = QStringLiteral("\"%1\" - %2").arg(PathFor(profile), QString::fromLocal8Bit(std::strerror(errno)));
  return false;
}

TokenAnswer TokenStore::Renew(const QString& profile, const QUrl& tokenUrl, const QString& clientId,
                              const QString& clientSecret, const QString& scopes, int timeoutMs) const {
  StoredTokens stored;
  TokenAnswer answer;
  if (!Load(profile, stored, &answer.error)) return answer;
  if (stored.refreshToken.isEmpty()) {
    answer.outcome = TokenAnswer::Outcome::Refused;
    answer.error = QStringLiteral("not signed in");
    return answer;
  }
  answer = Refresh(tokenUrl, clientId, clientSecret, stored.refreshToken, scopes, timeoutMs);
  if (answer.outcome == TokenAnswer::Outcome::Refused) {
    stored.refused = true;
    stored.accessToken.clear();
  } else if (answer.outcome == TokenAnswer::Outcome::Tokens) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!answer.refreshToken.isEmpty()) stored.refreshToken = answer.refreshToken;
    stored.accessToken = answer.accessToken;
    stored.accessExpires = answer.expiresIn > 0 ? now.addSecs(answer.expiresIn) : QDateTime();
    stored.renewed = now;
    stored.refused = false;
  } else {
    return answer;  // nothing learnt: the stored tokens stay as they are
  }
  if (!Save(profile, stored, &answer.error)) answer.outcome = TokenAnswer::Outcome::Failed;
  return answer;
}

TokenAnswer TokenStore::Access(const QString& profile, const QUrl& tokenUrl, const QString& clientId,
                               const QString& clientSecret, const QString& scopes, bool renew, int timeoutMs,
                               QDateTime* renewed) const {
  StoredTokens stored;
  TokenAnswer answer;
  if (!Load(profile, stored, &answer.error)) return answer;
  if (renewed) *renewed = stored.renewed;
  if (stored.refreshToken.isEmpty() || stored.refused) {
    answer.outcome = TokenAnswer::Outcome::Refused;
    answer.error = stored.refused ? QStringLiteral("the provider refused the refresh token") : QStringLiteral("not signed in");
    return answer;
  }
  const QDateTime now = QDateTime::currentDateTimeUtc();
  if (!renew && !stored.accessToken.isEmpty() && stored.accessExpires.isValid() &&
      now.secsTo(stored.accessExpires) > kMinLifeSecs) {
    answer.outcome = TokenAnswer::Outcome::Tokens;
    answer.accessToken = stored.accessToken;
    answer.expiresIn = now.secsTo(stored.accessExpires);
    return answer;
  }
  answer = Renew(profile, tokenUrl, clientId, clientSecret, scopes, timeoutMs);
  if (answer.outcome == TokenAnswer::Outcome::Tokens && renewed) *renewed = now;
  if (answer.outcome == TokenAnswer::Outcome::Refused)
    answer.error = QStringLiteral("the provider refused the refresh token (%1)").arg(answer.error);
  return answer;
}

}  // namespace oauth
