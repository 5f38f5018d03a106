#include "ProfileUnattended.h"

#include "ProfileSecurity.h"

#include <QFileInfo>

#include <algorithm>

namespace conf {

ProfileUnattended ReadProfileUnattended(const ProfileRecord& rec) {
  ProfileUnattended u;
  const std::optional<QByteArray> entry = ExtensionEntry(rec, kUnattendedTag);
  if (!entry) return u;
  // Four words; a shorter entry (of an older version) leaves the rest at the defaults.
  auto word = [&](int i, qint16 fallback) {
    const qsizetype at = 2 * i;
    if (entry->size() < at + 2) return fallback;
    return static_cast<qint16>(static_cast<unsigned char>(entry->at(at)) |
                               (static_cast<unsigned char>(entry->at(at + 1)) << 8));
  };
  u.RetryTransient = word(0, 0) != 0;
  u.RetryHours = word(1, u.RetryHours);
  u.KeepOnServer = word(2, 0) != 0;
  u.KeepDays = word(3, u.KeepDays);
  return u;
}

void WriteProfileUnattended(ProfileRecord& rec, const ProfileUnattended& settings) {
  if (settings == ProfileUnattended()) return SetExtensionEntry(rec, kUnattendedTag, std::nullopt);
  QByteArray v;
  PutWord(v, settings.RetryTransient ? 0xFFFF : 0);
  PutWord(v, static_cast<quint16>(settings.RetryHours));
  PutWord(v, settings.KeepOnServer ? 0xFFFF : 0);
  PutWord(v, static_cast<quint16>(settings.KeepDays));
  SetExtensionEntry(rec, kUnattendedTag, v);
}

QStringList ReadAttachmentFolders(const ProfileRecord& rec) {
  const std::optional<QByteArray> entry = ExtensionEntry(rec, kAttachmentFoldersTag);
  if (!entry) return {};
  // One path a line: a folder name holds no line break (the import refuses one).
  return QString::fromUtf8(*entry).split(u'\n', Qt::SkipEmptyParts);
}

void WriteAttachmentFolders(ProfileRecord& rec, const QStringList& folders) {
  if (folders.isEmpty()) return SetExtensionEntry(rec, kAttachmentFoldersTag, std::nullopt);
  SetExtensionEntry(rec, kAttachmentFoldersTag, folders.join(u'\n').toUtf8());
}

FolderListFault CheckAttachmentFolders(const QStringList& folders, qsizetype* at) {
  for (qsizetype i = 0; i < folders.size(); ++i) {
    const QString& name = folders[i];
    if (!name.startsWith(u'/') ||
        std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; })) {
      if (at) *at = i;
      return FolderListFault::BadName;
    }
  }
  if (folders.join(u'\n').toUtf8().size() > kMaxAttachmentFoldersBytes) return FolderListFault::TooLong;
  return FolderListFault::None;
}

bool InsideAttachmentFolders(const QString& path, const QStringList& folders) {
  if (folders.isEmpty()) return true;
  // Compared as the kernel resolves them, so that neither ".." nor a link leads out.
  const QString file = QFileInfo(path).canonicalFilePath();
  if (file.isEmpty()) return false;
  for (const QString& f : folders) {
    const QString dir = QFileInfo(f).canonicalFilePath();
    if (!dir.isEmpty() && file.startsWith(dir == QLatin1String("/") ? dir : dir + u'/')) return true;
  }
  return false;
}

}  // namespace conf
