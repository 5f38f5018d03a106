#pragma once
// A profile's transport security and authentication settings, kept as one entry of the
// profile record's extension block. The block holds entries (2-byte tag, 2-byte length, the
// bytes, all little-endian); entries of unknown tags are kept as they are. A profile without the
// entry has the defaults below, which are the original dialogue, and writing the defaults back
// removes the entry, so such a record stays byte for byte what it was.
#include "ConfRecords.h"
#include "socket/SecuritySettings.h"

#include <QString>
#include <optional>

struct ProfileSecurity {
  // 0 automatic, 1 none, 2 STARTTLS required, 3 implicit TLS.
  qint16 SmtpSecurity = 1;
  qint16 Pop3Security = 1;
  bool VerifyCertificate = true;
  QString CaFile;
  QString CertFingerprint;  // "SHA256:" + hex
  // 0 automatic, 1 LOGIN (USER/PASS for POP3), 2 PLAIN, 3 XOAUTH2 (the password is the token),
  // 4 OAuth 2.0 sign-in (XOAUTH2 with the tokens the agent keeps; see ProfileOAuth).
  qint16 AuthMethod = 1;
  // When not empty, the first line of its standard output is the password or token.
  QString PasswordCommand;

  bool operator==(const ProfileSecurity&) const = default;
  bool UsesOAuth() const { return AuthMethod == 4; }

  // What the mail engine's SMTP (smtp true) or POP3 client takes.
  vrlsec::Settings ClientSettings(bool smtp) const {
    vrlsec::Settings s;
    s.security = static_cast<vrlsec::Security>((smtp ? SmtpSecurity : Pop3Security) & 3);
    s.verifyCertificate = VerifyCertificate;
    s.caFile = CaFile;
    s.certFingerprint = CertFingerprint;
    s.auth = AuthMethod == 4                    ? vrlsec::AuthMethod::XOAuth2
             : AuthMethod >= 0 && AuthMethod < 4 ? static_cast<vrlsec::AuthMethod>(AuthMethod)
                                                 : vrlsec::AuthMethod::Login;
    return s;
  }

  // What a new profile gets (import, the editor): automatic security and authentication.
  static ProfileSecurity Automatic() {
    ProfileSecurity s;
    s.SmtpSecurity = s.Pop3Security = s.AuthMethod = 0;
    return s;
  }
};

namespace conf {

inline constexpr quint16 kSecurityTag = 1;

// The block's entries, for every kind of entry: the bytes of the entry of `tag`, or none (also
// when the block is not a list of entries).
std::optional<QByteArray> ExtensionEntry(const ProfileRecord& rec, quint16 tag);
// Sets the entry of `tag` (entries stay in tag order) or, without a value, removes it.
void SetExtensionEntry(ProfileRecord& rec, quint16 tag, const std::optional<QByteArray>& value);
// Appends v as a little-endian 2-byte word.
void PutWord(QByteArray& b, quint16 v);

ProfileSecurity ReadProfileSecurity(const ProfileRecord& rec);
void WriteProfileSecurity(ProfileRecord& rec, const ProfileSecurity& security);

}  // namespace conf
