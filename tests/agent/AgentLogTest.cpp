// The agent's log: line format, the two destinations, clearing, and file errors.
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "AgentLog.h"
#include "AgentTestSupport.h"

using agent::AgentLog;

namespace {

class AgentLogTest : public agenttest::AgentEnvironment {
 protected:
  void Write(QString message) { log_.WriteLog(message); }
  AgentLog log_;
};

struct FormatCase {
  const char* name;
  QDateTime at;
  QString message;
  QString writtenBack;  // the caller's variable afterwards
  QByteArray line;      // bytes in the temporary log
};

TEST_F(AgentLogTest, LineFormatAndCrLfRemoval) {
  const QDateTime t1(QDate(2026, 12, 6), QTime(14, 3, 27));
  const QDateTime t2(QDate(2027, 1, 2), QTime(3, 4, 5));
  const FormatCase cases[] = {
      {"plain", t1, "INFORMATION: Starting Vorlane Agent", "INFORMATION: Starting Vorlane Agent",
       "06-12-2026 14:03:27 \xC2\xBB INFORMATION: Starting Vorlane Agent\r\n"},
      {"leading zeros, 24h", t2, "x", "x", "02-01-2027 03:04:05 \xC2\xBB x\r\n"},
      {"tab of an error kept", t2, "ERROR:\t Oops", "ERROR:\t Oops",
       "02-01-2027 03:04:05 \xC2\xBB ERROR:\t Oops\r\n"},
      {"CR LF removed", t1, "a\r\nb\r\nc", "abc", "06-12-2026 14:03:27 \xC2\xBB abc\r\n"},
      {"lone CR kept", t1, "a\rb", "a\rb", "06-12-2026 14:03:27 \xC2\xBB a\rb\r\n"},
      {"lone LF kept", t1, "a\nb", "a\nb", "06-12-2026 14:03:27 \xC2\xBB a\nb\r\n"},
      {"LF CR is no pair", t1, "a\n\rb", "a\n\rb", "06-12-2026 14:03:27 \xC2\xBB a\n\rb\r\n"},
      {"CR CR LF keeps one CR", t1, "a\r\r\nb", "a\rb", "06-12-2026 14:03:27 \xC2\xBB a\rb\r\n"},
      {"only CR LF: not blank, empty text", t1, "\r\n", "", "06-12-2026 14:03:27 \xC2\xBB \r\n"},
      {"non-Latin text in UTF-8", t1, QString::fromUtf8("Ol\xC3\xA1 \xE2\x82\xAC"),
       QString::fromUtf8("Ol\xC3\xA1 \xE2\x82\xAC"),
       "06-12-2026 14:03:27 \xC2\xBB Ol\xC3\xA1 \xE2\x82\xAC\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AgentLog log;
    now_ = c.at;
    QString message = c.message;
    log.WriteLog(message);
    EXPECT_EQ(message, c.writtenBack);
    ASSERT_FALSE(log.GetTempLogFileName().isEmpty());
    EXPECT_EQ(ReadAll(log.GetTempLogFileName()), c.line);
    log.ClearLogFile();
  }
}

TEST_F(AgentLogTest, BlankMessagesAreWrittenNowhere) {
  log_.SetUseLogFile(true);
  log_.SetLogFileName(Path("vorlane.log"));
  for (const char* m : {"", " ", "     "}) Write(m);
  EXPECT_TRUE(log_.GetTempLogFileName().isEmpty());
  EXPECT_FALSE(QFileInfo::exists(Path("vorlane.log")));
  EXPECT_TRUE(QDir(tmp_).entryList(QDir::Files).isEmpty());
  // A TAB is not a space: that message is written.
  Write("\t");
  EXPECT_EQ(Messages(Path("vorlane.log")), QStringList{"\t"});
}

TEST_F(AgentLogTest, SeparatorGoesBareToTheLogFileOnly) {
  log_.SetUseLogFile(true);
  log_.SetLogFileName(Path("vorlane.log"));
  QString sep = agent::kSeparatorLine;
  ASSERT_EQ(sep.size(), 88);
  log_.WriteLog(sep);
  EXPECT_TRUE(log_.GetTempLogFileName().isEmpty()) << "the separator alone creates no temp log";
  Write("INFORMATION: Starting Vorlane Agent");
  Write(QString(87, QLatin1Char('#')));  // not the separator: an ordinary line

  const QString stamp = QStringLiteral("06-12-2026 14:03:27 \u00BB ");
  EXPECT_EQ(Lines(Path("vorlane.log")),
            (QStringList{QString(88, QLatin1Char('#')),
                         stamp + "INFORMATION: Starting Vorlane Agent",
                         stamp + QString(87, QLatin1Char('#'))}));
  EXPECT_EQ(Lines(log_.GetTempLogFileName()),
            (QStringList{stamp + "INFORMATION: Starting Vorlane Agent",
                         stamp + QString(87, QLatin1Char('#'))}));
}

TEST_F(AgentLogTest, SeparatorWithoutLogFileIsDropped) {
  QString sep = agent::kSeparatorLine;
  log_.WriteLog(sep);
  Write("x");
  EXPECT_EQ(Lines(log_.GetTempLogFileName()).size(), 1);
}

TEST_F(AgentLogTest, LogFileOffKeepsOnlyTheTemporaryLog) {
  log_.SetLogFileName(Path("vorlane.log"));
  Write("one");
  Write("two");
  EXPECT_FALSE(QFileInfo::exists(Path("vorlane.log")));
  EXPECT_EQ(Messages(log_.GetTempLogFileName()), (QStringList{"one", "two"}));
}

TEST_F(AgentLogTest, LogFileIsAppendedToNotReplaced) {
  QFile f(Path("vorlane.log"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("earlier run\r\n");
  f.close();
  log_.SetUseLogFile(true);
  log_.SetLogFileName(Path("vorlane.log"));
  Write("now");
  EXPECT_EQ(Messages(Path("vorlane.log")), (QStringList{"earlier run", "now"}));
}

TEST_F(AgentLogTest, AFullLogFileMovesToNameDotOne) {
  const QString path = Path("vorlane.log");
  log_.SetUseLogFile(true);
  log_.SetLogFileName(path);
  // Each line is 36 bytes ("dd-mm-yyyy hh:mm:ss » line N" + CR LF): three fit in 120.
  log_.SetLogMaxBytes(120);
  for (int i = 1; i <= 7; ++i) Write(QStringLiteral("line %1").arg(i));
  EXPECT_EQ(Messages(path), (QStringList{"line 7"}));
  EXPECT_EQ(Messages(path + ".1"), (QStringList{"line 4", "line 5", "line 6"}));
  EXPECT_LE(QFileInfo(path).size() + QFileInfo(path + ".1").size(), 2 * 120);
  EXPECT_EQ(Messages(log_.GetTempLogFileName()).size(), 7) << "the console's log keeps every line";
}

TEST_F(AgentLogTest, TemporaryLogIsANewPrivateFileInTmpdir) {
  Write("x");
  const QString name = log_.GetTempLogFileName();
  const QFileInfo info(name);
  EXPECT_EQ(info.absolutePath(), QFileInfo(tmp_).absoluteFilePath());
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^VRQ.+\\.TMP$")).match(info.fileName()).hasMatch())
      << name.toStdString();
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(name).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(AgentLogTest, ClearDeletesAndTheNextLineMakesANewFile) {
  log_.ClearLogFile();  // nothing logged yet: nothing to delete
  EXPECT_TRUE(log_.GetTempLogFileName().isEmpty());

  Write("first");
  const QString first = log_.GetTempLogFileName();
  ASSERT_TRUE(QFileInfo::exists(first));
  log_.ClearLogFile();
  EXPECT_FALSE(QFileInfo::exists(first));
  EXPECT_TRUE(log_.GetTempLogFileName().isEmpty());

  Write("second");
  const QString second = log_.GetTempLogFileName();
  EXPECT_NE(second, first);
  EXPECT_EQ(Messages(second), QStringList{"second"});
  log_.ClearLogFile();
}

TEST_F(AgentLogTest, ClearOfAVanishedFileKeepsTheName) {
  Write("first");
  const QString name = log_.GetTempLogFileName();
  ASSERT_TRUE(QFile::remove(name));
  log_.ClearLogFile();
  EXPECT_EQ(log_.GetTempLogFileName(), name);
  Write("again");
  EXPECT_EQ(Messages(name), QStringList{"again"});
}

struct LogFileErrorCase {
  const char* name;
  QString logFileName;  // relative names are made inside the test folder
  QString box;          // "@" stands for the log file's full name
  vrl::MsgBoxIcon icon;
};

TEST_F(AgentLogTest, LogFileErrorsShowABoxAfterTheTemporaryLine) {
  ASSERT_TRUE(QDir().mkpath(Path("a-folder")));
  ASSERT_TRUE(QDir().mkpath(Path("read-only")));
  ASSERT_EQ(::chmod(QFile::encodeName(Path("read-only")).constData(), 0500), 0);
  const LogFileErrorCase cases[] = {
      {"read-only folder", Path("read-only/vorlane.log"), "Error :70\rPermission denied",
       vrl::MsgBoxIcon::Exclamation},
      {"missing folder", Path("missing/dir/vorlane.log"), "Error :76\rPath not found: @",
       vrl::MsgBoxIcon::Critical},
      {"a folder, not a file", Path("a-folder"), "Error :75\rPath/File access error",
       vrl::MsgBoxIcon::Exclamation},
      {"full disk", "/dev/full", "Error :61\rDisk full", vrl::MsgBoxIcon::Exclamation},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.logFileName == "/dev/full" && !QFileInfo::exists(c.logFileName)) continue;
    // Permissions do not hold back the superuser.
    if (c.logFileName.contains("read-only") && ::geteuid() == 0) continue;
    AgentLog log;
    log.SetUseLogFile(true);
    log.SetLogFileName(c.logFileName);
    boxes_.clear();
    QString m = "INFORMATION: Starting Vorlane Agent";
    log.WriteLog(m);
    ASSERT_EQ(boxes_.size(), 1u);
    QString expected = c.box;
    expected.replace(QLatin1Char('@'), c.logFileName);
    EXPECT_EQ(boxes_[0].text, expected);
    EXPECT_EQ(boxes_[0].icon, c.icon);
    EXPECT_EQ(Messages(log.GetTempLogFileName()), QStringList{"INFORMATION: Starting Vorlane Agent"});
    // Nothing is retried: the next line is written afresh and fails the same way.
    m = "next";
    log.WriteLog(m);
    EXPECT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(Lines(log.GetTempLogFileName()).size(), 2);
    log.ClearLogFile();
  }
}

TEST(AgentLogErrno, MapsToRunTimeErrorNumbers) {
  const struct {
    int err;
    int number;
    const char* text;
  } cases[] = {
      {ENOENT, 76, "Path not found"},  {ENOTDIR, 76, "Path not found"},
      {EACCES, 70, "Permission denied"}, {EPERM, 70, "Permission denied"},
      {ENOSPC, 61, "Disk full"},       {EISDIR, 75, "Path/File access error"},
      {EIO, 75, "Path/File access error"},
  };
  for (const auto& c : cases) {
    const agent::LogFileError e = agent::MapFileErrno(c.err);
    EXPECT_EQ(e.Number, c.number) << c.err;
    EXPECT_EQ(e.Description, QString::fromLatin1(c.text)) << c.err;
  }
}

TEST_F(AgentLogTest, NoTemporaryFolderDropsTheLineEverywhere) {
  qputenv("TMPDIR", QFile::encodeName(Path("no-such-folder")));
  log_.SetUseLogFile(true);
  log_.SetLogFileName(Path("vorlane.log"));
  Write("lost");
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Error Creating Temporary File!!!");
  EXPECT_EQ(boxes_[0].icon, vrl::MsgBoxIcon::Exclamation);
  EXPECT_TRUE(log_.GetTempLogFileName().isEmpty());
  EXPECT_FALSE(QFileInfo::exists(Path("vorlane.log")));

  // The next line tries again.
  qputenv("TMPDIR", QFile::encodeName(tmp_));
  Write("kept");
  EXPECT_EQ(Messages(log_.GetTempLogFileName()), QStringList{"kept"});
  EXPECT_EQ(Messages(Path("vorlane.log")), QStringList{"kept"});
}

TEST_F(AgentLogTest, PendingEventsRunEvenForABlankMessage) {
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  Write("  ");
  EXPECT_TRUE(ran);
}

}  // namespace
