#include "AgentLog.h"

#include "Clock.h"
#include "FileIo.h"
#include "OneLine.h"
#include "MessageBox.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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

// Text from outside (a sender's name, a subject, a file name) never starts a line of its own; TAB
// stays, the kind prefixes use it.
void KeepOnOneLine(QString& s) { s = vrl::OneLine(std::move(s), vrl::Tabs::Keep); }

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
  // The process number in the name lets a later agent tell a crashed agent's log from a live one.
  QByteArray path = TempFolder() + "/VRQ" + QByteArray::number(::getpid()) + "-XXXXXX.TMP";
  const int fd = vrl::CreateTemporary(path, 4);
  if (fd < 0) return {};
  ::close(fd);
  return QFile::decodeName(path);
}

int AgentLog::RemoveStaleTempLogs() {
  const QString folder = QFile::decodeName(TempFolder());
  static const QRegularExpression name(QStringLiteral("^VRQ(\\d+)-\\w{6}\\.TMP$"));
  int removed = 0;
  for (const QFileInfo& f : QDir(folder).entryInfoList({QStringLiteral("VRQ*.TMP")}, QDir::Files)) {
    const QRegularExpressionMatch m = name.match(f.fileName());
    if (!m.hasMatch() || f.ownerId() != ::getuid()) continue;
    const pid_t pid = static_cast<pid_t>(m.captured(1).toLongLong());
    if (pid == ::getpid()) continue;
    // Alive and still an agent: its log is in use. A reused number is another program.
    if (::kill(pid, 0) == 0 || errno == EPERM) {
      QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
      if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() == "VRLEng31") continue;
    }
    if (QFile::remove(f.filePath())) ++removed;
  }
  return removed;
}

bool AgentLog::AppendLine(const QString& path, const QString& line) {
  const bool temp = (path == tempLogName_);
  const QByteArray bytes = line.toUtf8() + "\r\n";
  constexpr int kAppend = O_WRONLY | O_APPEND | O_CREAT;
  int fd = vrl::OpenFile(path, kAppend);
  if (fd < 0) return false;
  struct stat st {};
  if (!temp && logMaxBytes_ > 0 && ::fstat(fd, &st) == 0 && st.st_size > 0 &&
      st.st_size + bytes.size() > logMaxBytes_) {
    // A full log file makes room: the older half of the allowance stays as name.1.
    ::close(fd);
    if (!vrl::RenameOver(path, path + QStringLiteral(".1"))) return false;
    fd = vrl::OpenFile(path, kAppend);
    if (fd < 0) return false;
  }
  if (temp) {
    tempLogHandle_ = fd;
    tempLogOpen_ = true;
  }
  const bool written = vrl::WriteAll(fd, bytes);
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

void AgentLog::ReportFileError(const QString& path, int err) {
  const LogFileError e = MapFileErrno(err);
  ++writeFailures_;
  if (fileErrorObserver_) fileErrorObserver_(path, QString::fromLocal8Bit(std::strerror(err)));
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
  KeepOnOneLine(message);
  if (message.startsWith(QLatin1String("ERROR:"))) ++errorLines_;

  const bool separator = (message == kSeparatorLine);
  if (!separator) {
    if (tempLogName_.isEmpty()) {
      tempLogName_ = CreateTempLog();
      if (tempLogName_.isEmpty()) {
        ++writeFailures_;
        if (fileErrorObserver_)
          fileErrorObserver_(QFile::decodeName(TempFolder()) + QStringLiteral("/VRQ*.TMP"),
                             QString::fromLocal8Bit(std::strerror(errno)));
        vrl::ShowMessageBox(QStringLiteral("Error Creating Temporary File!!!"),
                            vrl::MsgBoxIcon::Exclamation);
        return;
      }
    }
    const QString line = StampedLine(message);
    if (!AppendLine(tempLogName_, line)) {
      ReportFileError(tempLogName_, errno);
      return;
    }
    if (observer_) observer_(line);
    QCoreApplication::processEvents();
  }

  if (useLogFile_) {
    const QString line = separator ? message : StampedLine(message);
    if (!AppendLine(logFileName_, line)) {
      ReportFileError(logFileName_, errno);
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
