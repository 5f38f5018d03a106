// The agent's log: line format, the two destinations, rotation, clearing, and file errors.
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include "AgentFixture.h"

namespace {

class AgentLogTest : public agenttest::AgentEnvironment {
 protected:
  void SetUp() override {
    AgentEnvironment::SetUp();
    logFile_ = Path("vorlane.log");
  }
  void Write(QString message) { log_.WriteLog(message); }
  void UseLogFile(const QString& name) {
    log_.SetUseLogFile(true);
    log_.SetLogFileName(name);
  }
  QStringList Temp() const { return Messages(log_.GetTempLogFileName()); }

  QString logFile_;
  agent::AgentLog log_;
};

TEST_F(AgentLogTest, LineFormatAndCrLfRemoval) {
  const QString stamp = "06-12-2026 14:03:27 \u00BB ";
  // The message, and the caller's variable afterwards and the line's text: CR LF pairs go; a
  // lone CR or LF and LF CR become spaces; only CR LF is not blank.
  const std::pair<QString, QString> cases[] = {
      {"a\r\nb\r\nc", "abc"}, {"a\rb\nc\n\rd", "a b c  d"}, {"a\r\r\nb", "a b"}, {"\r\n", ""}, {"Olá €", "Olá €"}};
  for (const auto& [in, writtenBack] : cases) {
    QString message = in;
    log_.WriteLog(message);
    EXPECT_EQ(message, writtenBack);
    EXPECT_EQ(ReadAll(log_.GetTempLogFileName()), (stamp + writtenBack + "\r\n").toUtf8());
    log_.ClearLogFile();
  }
  now_ = QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5));  // leading zeros, 24 hours
  Write("x");
  EXPECT_EQ(ReadAll(log_.GetTempLogFileName()), "02-01-2027 03:04:05 \xC2\xBB x\r\n");
}

TEST_F(AgentLogTest, ASendersTextNeverMakesASecondLine) {
  UseLogFile(logFile_);
  const QString forged = "07-12-2026 00:00:00 \u00BB ERROR:\t forged";
  // The break a sender's decoded name hides, and what stands in its place in the line.
  const std::pair<QString, QString> cases[] = {{"\r\n", ""}, {"\n", " "}, {"\r", " "}, {"\u2028\u2029\u0085", "   "},
                                               {"\x0B\x1B\x7F", "   "}, {"\t", "\t"}};
  for (const auto& [brk, shown] : cases) {
    Write("From: Eve" + brk + forged);
    EXPECT_EQ(Temp(), QStringList{"From: Eve" + shown + forged});
    EXPECT_EQ(Messages(logFile_), Temp());
    log_.ClearLogFile();
    QFile::remove(logFile_);
  }
}

TEST_F(AgentLogTest, SeparatorGoesBareToTheLogFileOnly) {
  Write(agent::kSeparatorLine);  // without a log file: dropped, and no temporary log made
  EXPECT_TRUE(log_.GetTempLogFileName().isEmpty());
  UseLogFile(logFile_);
  Write(agent::kSeparatorLine);
  Write(QString(87, '#'));  // not the separator: an ordinary line
  EXPECT_EQ(Lines(logFile_), (QStringList{QString(88, '#'), "06-12-2026 14:03:27 \u00BB " + QString(87, '#')}));
  EXPECT_EQ(Temp(), QStringList{QString(87, '#')});
}

TEST_F(AgentLogTest, LogFileIsAppendedToOnlyWhenUsed) {
  WriteFile(logFile_, "earlier run\r\n");
  log_.SetLogFileName(logFile_);
  Write("one");
  log_.SetUseLogFile(true);
  Write("two");
  ASSERT_TRUE(QFile::rename(logFile_, logFile_ + ".1"));  // as logrotate moves it, between two lines
  Write("three");
  EXPECT_EQ(Messages(logFile_ + ".1"), (QStringList{"earlier run", "two"}));
  EXPECT_EQ(Messages(logFile_), QStringList{"three"});
  EXPECT_EQ(Temp(), (QStringList{"one", "two", "three"}));
}

TEST_F(AgentLogTest, AFullLogFileMovesToNameDotOne) {
  UseLogFile(logFile_);
  // Each line is 36 bytes ("dd-mm-yyyy hh:mm:ss » line N" + CR LF): three fit in 120.
  log_.SetLogMaxBytes(120);
  for (int i = 1; i <= 7; ++i) Write(QStringLiteral("line %1").arg(i));
  EXPECT_EQ(Messages(logFile_), QStringList{"line 7"});
  EXPECT_EQ(Messages(logFile_ + ".1"), (QStringList{"line 4", "line 5", "line 6"}));
  EXPECT_EQ(Temp().size(), 7) << "the console's log keeps every line";
}

TEST_F(AgentLogTest, TemporaryLogIsANewPrivateFileInTmpdirUntilCleared) {
  log_.ClearLogFile();  // nothing logged yet: nothing to delete
  Write("first");
  const QString first = log_.GetTempLogFileName();
  EXPECT_EQ(QFileInfo(first).absolutePath(), QFileInfo(tmp_).absoluteFilePath());
  EXPECT_TRUE(QRegularExpression("^VRQ.+\\.TMP$").match(QFileInfo(first).fileName()).hasMatch()) << first.toStdString();
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(first).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  log_.ClearLogFile();
  EXPECT_FALSE(QFileInfo::exists(first));
  EXPECT_TRUE(log_.GetTempLogFileName().isEmpty());
  Write("second");
  const QString second = log_.GetTempLogFileName();
  EXPECT_NE(second, first);
  EXPECT_EQ(Temp(), QStringList{"second"});

  // A file deleted by someone else keeps its name until the next line makes it again.
  ASSERT_TRUE(QFile::remove(second));
  log_.ClearLogFile();
  EXPECT_EQ(log_.GetTempLogFileName(), second);
  Write("again");
  EXPECT_EQ(Messages(second), QStringList{"again"});
}

TEST_F(AgentLogTest, LogFileErrorsShowABoxAfterTheTemporaryLine) {
  ASSERT_TRUE(QDir().mkpath(Path("a-folder")));
  ASSERT_TRUE(QDir().mkpath(Path("read-only")));
  ASSERT_EQ(::chmod(QFile::encodeName(Path("read-only")).constData(), 0500), 0);
  const struct {
    QString logFileName;
    QString box;  // "@" stands for the log file's full name
    vrl::MsgBoxIcon icon;
  } cases[] = {
      {Path("read-only/vorlane.log"), "Error :70\rPermission denied", vrl::MsgBoxIcon::Exclamation},
      {Path("missing/dir/vorlane.log"), "Error :76\rPath not found: @", vrl::MsgBoxIcon::Critical},
      {Path("a-folder"), "Error :75\rPath/File access error", vrl::MsgBoxIcon::Exclamation},
      {"/dev/full", "Error :61\rDisk full", vrl::MsgBoxIcon::Exclamation},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logFileName.toStdString());
    if (c.logFileName == "/dev/full" && !QFileInfo::exists(c.logFileName)) continue;
    if (c.logFileName.contains("read-only") && ::geteuid() == 0) continue;  // root writes anyway
    UseLogFile(c.logFileName);
    boxes_.clear();
    Write("INFORMATION: Starting Vorlane Agent");
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, QString(c.box).replace('@', c.logFileName));
    EXPECT_EQ(boxes_[0].icon, c.icon);
    EXPECT_EQ(Temp(), QStringList{"INFORMATION: Starting Vorlane Agent"});
    // Nothing is retried: the next line is written afresh and fails the same way.
    Write("next");
    EXPECT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(Temp().size(), 2);
    log_.ClearLogFile();
  }
}

TEST_F(AgentLogTest, NoTemporaryFolderDropsTheLineEverywhere) {
  qputenv("TMPDIR", QFile::encodeName(Path("no-such-folder")));
  UseLogFile(logFile_);
  Write("lost");
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Error Creating Temporary File!!!");
  EXPECT_FALSE(QFileInfo::exists(logFile_));
  // The next line tries again.
  qputenv("TMPDIR", QFile::encodeName(tmp_));
  Write("kept");
  EXPECT_EQ(Temp(), QStringList{"kept"});
  EXPECT_EQ(Messages(logFile_), QStringList{"kept"});
}

}  // namespace
