#pragma once
// A small JSON object the agent keeps in the application folder (the id and retry journals, the
// health record): read once, on first use, after sweeping a crash's temporaries beside it (one
// agent per folder), and replaced whole on every write, so a crash leaves the old one or the new.
#include <QJsonObject>
#include <QString>
#include <utility>

namespace agent {

class JsonRecordFile {
 public:
  explicit JsonRecordFile(QString name) : name_(std::move(name)) {}

  // The object in the file the first time; empty when there is none, and on every later call. A
  // file that cannot be read or holds no JSON object is renamed aside, with its bytes, so that the
  // next write does not destroy it (see TakeReadError).
  QJsonObject ReadOnce();
  // "<path> - <reason>, kept as <path>.damaged-<time>" when the read set the file aside, once.
  QString TakeReadError();
  // Replaces the file with object (removes it when the object is empty and removeWhenEmpty).
  // flushFolder: the new name is on disk too when it returns true. On a failure, the error is
  // kept for TakeWriteError.
  bool Write(const QJsonObject& object, bool removeWhenEmpty = true, bool flushFolder = true);
  // "<path> - <reason>" of the last write that failed, once; empty when none failed.
  QString TakeWriteError();
  const QString& Path();

 private:
  QString name_;
  QString path_;
  bool loaded_ = false;
  QString writeError_;
  QString readError_;
};

}  // namespace agent
