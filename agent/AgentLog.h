#pragma once
// The agent's log: every line goes to the temporary log (read by the console) and, while
// UseLogFile is on, to the permanent log file. Each append opens, writes and closes the file,
// so another process may read either file at any time.
#include <QString>
#include <functional>

namespace agent {

// The rule written bare at each start, to the log file only.
inline const QString kSeparatorLine = QString(88, QLatin1Char('#'));

// A file error in run-time error terms: number and description.
struct LogFileError {
  int Number = 0;
  QString Description;
};
// errno of a failed file operation -> 76 "Path not found", 70 "Permission denied",
// 61 "Disk full" or 75 "Path/File access error".
LogFileError MapFileErrno(int err);

class AgentLog {
 public:
  AgentLog() = default;
  ~AgentLog();
  AgentLog(const AgentLog&) = delete;
  AgentLog& operator=(const AgentLog&) = delete;

  // The one log of the agent process.
  static AgentLog& Instance();

  // Writes one line. Removes every CR LF pair from the caller's message, then turns every other
  // line break and control character but TAB (C0, DEL, U+0085, U+2028, U+2029) into a space, so
  // text from outside never adds or forges a line; the message is written back as logged. A
  // message of only spaces is dropped. Lets pending events run at its start and after each
  // completed append.
  void WriteLog(QString& message);

  // Full path of the temporary log; empty before the first line since start or since a clear.
  QString GetTempLogFileName() const { return tempLogName_; }
  // Deletes the temporary log; the next line creates a new one under a new name.
  void ClearLogFile();

  void SetUseLogFile(bool on) { useLogFile_ = on; }
  bool UseLogFile() const { return useLogFile_; }
  void SetLogFileName(const QString& name) { logFileName_ = name; }
  // Above this size the log file becomes name.1 (replacing an older one) and a new file starts;
  // 0: no limit. The temporary log is never rotated (the console reads it from its start).
  void SetLogMaxBytes(qint64 bytes) { logMaxBytes_ = bytes; }
  const QString& LogFileName() const { return logFileName_; }

  // Called with every line the temporary log receives (without its line end); for echoing.
  void SetLineObserver(std::function<void(const QString& line)> observer) {
    observer_ = std::move(observer);
  }

  // Called with the path and the reason whenever a line cannot be written to a file (the
  // temporary log or the log file); for a terminal message. The box of the failure is shown as
  // well.
  void SetFileErrorObserver(std::function<void(const QString& path, const QString& reason)> o) {
    fileErrorObserver_ = std::move(o);
  }
  // Lines logged as errors ("ERROR:" prefix) and lines that could not be written, since the
  // process began: a run that had either did not go cleanly.
  int ErrorLines() const { return errorLines_; }
  int WriteFailures() const { return writeFailures_; }

  // "dd-mm-yyyy hh:mm:ss » message" with the current local time.
  static QString StampedLine(const QString& message);

  // Deletes the temporary logs in the temporary folder that this user's agents left behind when
  // they crashed: files named by CreateTempLog whose process is gone. Returns how many.
  static int RemoveStaleTempLogs();

 private:
  // Creates a new empty temporary log; empty text on failure.
  static QString CreateTempLog();
  // Appends line + CR LF to path; false (errno kept) on failure.
  bool AppendLine(const QString& path, const QString& line);
  void ReportFileError(const QString& path, int err);

  QString tempLogName_;
  int tempLogHandle_ = -1;
  bool tempLogOpen_ = false;
  bool useLogFile_ = false;
  QString logFileName_;
  qint64 logMaxBytes_ = 0;
  std::function<void(const QString&)> observer_;
  std::function<void(const QString&, const QString&)> fileErrorObserver_;
  int errorLines_ = 0;
  int writeFailures_ = 0;
};

// Writes through the process's log.
void WriteLog(QString& message);

}  // namespace agent
