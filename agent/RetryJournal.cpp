#include "RetryJournal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <unistd.h>
#include <utility>

#include "AppFolder.h"
#include "FileIo.h"
#include "InfoFiles.h"

namespace agent {

void RetryJournal::Load() {
  if (loaded_) return;
  loaded_ = true;
  file_ = vrl::PathInApplicationFolder(kRetryJournalName);
  // One agent per folder: a temporary left beside the file is a crash's.
  vrl::RemoveTemporariesBeside(file_);
  QFile f(file_);
  if (!f.open(QIODevice::ReadOnly)) return;
  // An unreadable journal only costs the files their waiting time so far.
  const QJsonObject entries = QJsonDocument::fromJson(f.readAll()).object();
  for (auto it = entries.begin(); it != entries.end(); ++it)
    if (it.value().isDouble() && QFileInfo::exists(it.key())) first_.insert(it.key(), qint64(it.value().toDouble()));
}

void RetryJournal::Write() {
  for (auto it = first_.begin(); it != first_.end();) it = QFileInfo::exists(it.key()) ? std::next(it) : first_.erase(it);
  if (first_.isEmpty()) {
    if (::unlink(QFile::encodeName(file_).constData()) != 0 && errno != ENOENT)
      writeError_ = file_ + QStringLiteral(" - ") + ErrnoText(errno);
    return;
  }
  QJsonObject entries;
  for (auto it = first_.cbegin(); it != first_.cend(); ++it) entries.insert(it.key(), it.value());
  if (!vrl::ReplaceFile(file_, QJsonDocument(entries).toJson(QJsonDocument::Compact)))
    writeError_ = file_ + QStringLiteral(" - ") + ErrnoText(errno);
}

qint64 RetryJournal::FailedFor(const QString& path, const QDateTime& now) {
  Load();
  const qint64 t = now.toSecsSinceEpoch();
  const auto it = first_.constFind(path);
  if (it != first_.cend()) return t - *it;
  first_.insert(path, t);
  Write();
  return 0;
}

void RetryJournal::Forget(const QString& path) {
  Load();
  if (first_.remove(path)) Write();
}

QString RetryJournal::TakeWriteError() { return std::exchange(writeError_, QString()); }

}  // namespace agent
