#include "JsonRecordFile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <cerrno>
#include <unistd.h>
#include <utility>

#include "AppFolder.h"
#include "Clock.h"
#include "FileIo.h"
#include "InfoFiles.h"

namespace agent {

const QString& JsonRecordFile::Path() {
  if (path_.isEmpty()) path_ = vrl::PathInApplicationFolder(name_);
  return path_;
}

QJsonObject JsonRecordFile::ReadOnce() {
  if (loaded_) return {};
  loaded_ = true;
  vrl::RemoveTemporariesBeside(Path());
  // Only a file can be damaged; anything else in its place makes every write fail, and says so.
  if (!QFileInfo(Path()).isFile()) return {};
  QFile f(Path());
  QJsonParseError parsed{};
  const QByteArray bytes = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  QString reason = f.error() != QFileDevice::NoError ? f.errorString() : QString();
  if (reason.isEmpty()) {
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parsed);
    if (parsed.error == QJsonParseError::NoError && doc.isObject()) return doc.object();
    reason = parsed.error != QJsonParseError::NoError ? parsed.errorString() : QStringLiteral("not a JSON object");
  }
  f.close();
  // Rewriting it would lose what it held for good; aside, a person can still read it.
  const QString aside = MakeUniqueFileName(Path() + QStringLiteral(".damaged-") +
                                           vrl::Now().toString(QStringLiteral("yyyyMMdd-hhmmss")));
  if (!vrl::RenameNoReplace(Path(), aside)) {
    readError_ = Path() + QStringLiteral(" - ") + reason + QStringLiteral(", cannot set it aside: ") + ErrnoText(errno);
    return {};
  }
  readError_ = Path() + QStringLiteral(" - ") + reason + QStringLiteral(", kept as ") + aside;
  return {};
}

QString JsonRecordFile::TakeReadError() { return std::exchange(readError_, QString()); }

bool JsonRecordFile::Write(const QJsonObject& object, bool removeWhenEmpty, bool flushFolder) {
  const bool ok = object.isEmpty() && removeWhenEmpty
                      ? ::unlink(QFile::encodeName(Path()).constData()) == 0 || errno == ENOENT
                      : vrl::ReplaceFile(Path(), QJsonDocument(object).toJson(QJsonDocument::Compact), flushFolder);
  if (!ok) writeError_ = Path() + QStringLiteral(" - ") + ErrnoText(errno);
  return ok;
}

QString JsonRecordFile::TakeWriteError() { return std::exchange(writeError_, QString()); }

}  // namespace agent
