#include "AgentLog.h"

#include "Clock.h"
#include "FileIo.h"
#include "MessageBox.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace agent {

LogFileError MapFileErrno(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return {76, QStringLiteral("Path not found")};
    case EACCES:
    case EPERM:
      return {70, QStringLiteral("Permission denied")};
    case ENOSPC:
    case EDQUOT:
      return {61, QStringLiteral("Disk full")};
    default:
      return {75, QStringLiteral("Path/File access error")};
  }
}

namespace {

// Trim as the log understands it: spaces only.
bool OnlySpaces(const QString& s) {
  for (QChar c : s)
    if (c != QLatin1Char(' ')) return false;
  return true;
}

QByteArray TempFolder() {
  QByteArray dir = qgetenv("TMPDIR");
  if (dir.isEmpty()) dir = "/tmp";
  while (dir.size() > 1 && dir.endsWith('/')) dir.chop(1);
  return dir;
}


}  // namespace

AgentLog::~AgentLog() {
  if (tempLogOpen_ && tempLogHandle_ >= 0) ::close(tempLogHandle_);
}

AgentLog& AgentLog::Instance() {
  static AgentLog log;
  return log;
}

QString AgentLog::StampedLine(const QString& message) {
  return vrl::Now().toString(QStringLiteral("dd-MM-yyyy HH:mm:ss")) + QStringLiteral(" \u00BB ") +
         message;
}

QString AgentLog::CreateTempLog() {
  QByteArray path = TempFolder() + "/VRQXXXXXX.TMP";
  // mkstemps creates the file exclusively with mode 0600.
  const int fd = ::mkstemps(path.data(), 4);
  if (fd < 0) return {};
  ::close(fd);
  return QFile::decodeName(path);
}

bool AgentLog::AppendLine(const QString& path, const QString& line) {
  const bool temp = (path == tempLogName_);
  const int fd = ::open(QFile::encodeName(path).constData(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (temp) {
    tempLogHandle_ = fd;
    tempLogOpen_ = true;
  }
  const bool written = vrl::WriteAll(fd, line.toUtf8() + "\r\n");
  const int writeErr = errno;
  // The handle never outlives the append, not even after a failed write.
  const bool closed = (::close(fd) == 0);
  const int closeErr = errno;
  if (temp) {
    tempLogHandle_ = -1;
    tempLogOpen_ = false;
  }
  if (!written) {
    errno = writeErr;
    return false;
  }
  if (!closed) {
    errno = closeErr;
    return false;
  }
  return true;
}

void AgentLog::ReportFileError(int err) {
  const LogFileError e = MapFileErrno(err);
  QString text = QStringLiteral("Error :") + QString::number(e.Number) + QLatin1Char('\r') +
                 e.Description;
  if (e.Number == 76) {
    text += QStringLiteral(": ") + logFileName_;
    vrl::ShowMessageBox(text, vrl::MsgBoxIcon::Critical);
  } else {
    vrl::ShowMessageBox(text, vrl::MsgBoxIcon::Exclamation);
  }
}

void AgentLog::WriteLog(QString& message) {
  QCoreApplication::processEvents();
  if (OnlySpaces(message)) return;
  message.remove(QStringLiteral("\r\n"));

  const bool separator = (message == kSeparatorLine);
  if (!separator) {
    if (tempLogName_.isEmpty()) {
      tempLogName_ = CreateTempLog();
      if (tempLogName_.isEmpty()) {
        vrl::ShowMessageBox(QStringLiteral("Error Creating Temporary File!!!"),
                            vrl::MsgBoxIcon::Exclamation);
        return;
      }
    }
    const QString line = StampedLine(message);
    if (!AppendLine(tempLogName_, line)) {
      ReportFileError(errno);
      return;
    }
    if (observer_) observer_(line);
    QCoreApplication::processEvents();
  }

  if (useLogFile_) {
    const QString line = separator ? message : StampedLine(message);
    if (!AppendLine(logFileName_, line)) {
      ReportFileError(errno);
      return;
    }
    QCoreApplication::processEvents();
  }
}

void AgentLog::ClearLogFile() {
  if (tempLogOpen_ && tempLogHandle_ >= 0) ::close(tempLogHandle_);
  tempLogHandle_ = -1;
  if (!tempLogName_.isEmpty() && QFileInfo(tempLogName_).isFile()) {
    if (QFile::remove(tempLogName_)) tempLogName_.clear();
  }
  tempLogOpen_ = false;
}

void WriteLog(QString& message) { AgentLog::Instance().WriteLog(message); }

}  // namespace agent
