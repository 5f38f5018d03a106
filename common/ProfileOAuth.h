#pragma once
// A profile's OAuth 2.0 sign-in settings (authentication method "oauth2"), kept as one entry of
// the profile record's extension block, beside the security entry and by the same rules: no
// entry means no settings, and empty settings remove the entry. The client secret is stored
// scrambled, as the password is. The tokens themselves are not here: they live in the token
// store of the application folder.
#include "ConfRecords.h"

#include <QString>
#include <QStringList>

struct ProfileOAuth {
  QString Provider;      // "microsoft", "google" or "custom"
  QString ClientId;      // of the application registered with the provider
  QString ClientSecret;  // optional; plain text here, scrambled in the record
  QString Tenant;        // microsoft: the directory, "common" when empty
  QString Scopes;        // space-separated; empty: the provider's
  QString DeviceUrl;     // device authorization endpoint; empty: the provider's, if it has one
  QString AuthorizeUrl;  // authorization endpoint (browser sign-in); empty: the provider's
  QString TokenUrl;      // token endpoint; empty: the provider's

  bool operator==(const ProfileOAuth&) const = default;

  // The settings with every empty field the provider fills given its value: what sign-in and
  // the agent use. A custom provider fills nothing.
  ProfileOAuth Resolved() const;
};

namespace conf {

inline constexpr quint16 kOAuthTag = 4;
// The profile's authentication method "oauth2": XOAUTH2 with tokens the agent manages.
inline constexpr qint16 kAuthOAuth2 = 4;
// What each text may take, in UTF-8 bytes (the import refuses more).
inline constexpr qsizetype kMaxOAuthFieldBytes = 2048;

QStringList OAuthProviders();  // "microsoft", "google", "custom"

ProfileOAuth ReadProfileOAuth(const ProfileRecord& rec);
void WriteProfileOAuth(ProfileRecord& rec, const ProfileOAuth& settings);

// The servers a provider's mailbox is read and sent through; what its preset fills in.
struct ProviderServers {
  QString pop3Server;
  quint16 pop3Port = 0;
  qint16 pop3Security = 0;  // as ProfileSecurity
  QString smtpServer;
  quint16 smtpPort = 0;
  qint16 smtpSecurity = 0;
};
// False for a provider without a preset (custom, unknown).
bool PresetServers(const QString& provider, ProviderServers* out);

}  // namespace conf
