#include "JsonRecordFile.h"

#include <QFile>
#include <QJsonDocument>
#include <cerrno>
#include <unistd.h>
#include <utility>

#include "AppFolder.h"
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
  QFile f(Path());
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QJsonDocument::fromJson(f.readAll()).object();
}

bool JsonRecordFile::Write(const QJsonObject& object, bool removeWhenEmpty, bool flushFolder) {
  const bool ok = object.isEmpty() && removeWhenEmpty
                      ? ::unlink(QFile::encodeName(Path()).constData()) == 0 || errno == ENOENT
                      : vrl::ReplaceFile(Path(), QJsonDocument(object).toJson(QJsonDocument::Compact), flushFolder);
  if (!ok) writeError_ = Path() + QStringLiteral(" - ") + ErrnoText(errno);
  return ok;
}

QString JsonRecordFile::TakeWriteError() { return std::exchange(writeError_, QString()); }

}  // namespace agent
