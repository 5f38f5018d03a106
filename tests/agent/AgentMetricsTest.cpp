// The figures for monitoring the agent writes to MetricsFile after every cycle: whole (replaced,
// never rewritten in place), readable by others whatever the umask, and a file that cannot be
// written said once, without stopping the agent.
#include <QDir>

#include <sys/stat.h>

#include "AgentFixture.h"

namespace {

class AgentMetricsTest : public agenttest::AgentFixture {
 protected:
  // The figures of a series, by its name and labels as written.
  QString Figure(const QString& series) const {
    for (const QString& line : QString::fromUtf8(ReadAll(global_.MetricsFile)).split('\n'))
      if (line.startsWith(series + ' ')) return line.mid(series.size() + 1);
    return "absent";
  }
  static ino_t Inode(const QString& path) {
    struct stat st{};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
  }
};

TEST_F(AgentMetricsTest, EveryCycleReplacesTheFileWhole) {
  ASSERT_TRUE(QDir().mkpath(Path("prom")));
  global_.MetricsFile = Path("prom/vorlane.prom");
  ProfileRecord p = MakeProfile("Or\"ders");
  AddProfile(p);
  Drop(p, "A.TXT"), Drop(p, "B.TXT"), Drop(p, ".hidden.TXT");
  // A is sent and B kept each cycle (the hooks leave both files where they are); B's failure is
  // an error line. During the second cycle the file still holds the first one's figures.
  QByteArray seenDuringCycle;
  hooks_.onFile = [&](AgentContext& a, const QString& name) {
    seenDuringCycle = ReadAll(global_.MetricsFile);
    if (name == "A.TXT") return a.Count(HealthCount::Sent);
    a.Count(HealthCount::Retried);
    a.Log("ERROR:\t Message Not Sent");
  };
  const mode_t umask = ::umask(077);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  ::umask(umask);

  const QString profile = "{profile=\"Or\\\"ders\"}";
  const QString cycle = QString::number(now_.toSecsSinceEpoch());
  EXPECT_EQ(Figure("vorlane_files_sent_total" + profile), "1");
  EXPECT_EQ(Figure("vorlane_files_retried_total" + profile), "1");
  EXPECT_EQ(Figure("vorlane_errors_total" + profile), "1");
  EXPECT_EQ(Figure("vorlane_outbound_queue_files" + profile), "2");
  EXPECT_EQ(Figure("vorlane_last_cycle_timestamp_seconds" + profile), cycle);
  EXPECT_EQ(Figure("vorlane_last_error_timestamp_seconds" + profile), cycle);
  EXPECT_EQ(Figure("vorlane_agent_start_time_seconds"), cycle);
  struct stat st{};
  ASSERT_EQ(::stat(QFile::encodeName(global_.MetricsFile).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  const QByteArray first = ReadAll(global_.MetricsFile);
  const ino_t inode = Inode(global_.MetricsFile);
  Advance(60);
  ASSERT_TRUE(Tick());
  Advance(global_.PrcInterval);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(seenDuringCycle, first);
  EXPECT_EQ(Figure("vorlane_files_sent_total" + profile), "2");
  EXPECT_EQ(Figure("vorlane_errors_total" + profile), "2");
  EXPECT_NE(Inode(global_.MetricsFile), inode) << "a new file put in place, not the old one rewritten";
  EXPECT_EQ(QDir(Path("prom")).entryList(QDir::Files | QDir::Hidden), QStringList{"vorlane.prom"});
  EXPECT_FALSE(CycleLines().join('\n').contains("Cannot Write"));
}

TEST_F(AgentMetricsTest, AFileThatCannotBeWrittenIsSaidOnceAndTheAgentGoesOn) {
  global_.MetricsFile = Path("missing/vorlane.prom");
  AddProfile(MakeProfile("Orders"));
  ASSERT_TRUE(Start());
  const QString failure = "ERROR:\t Cannot Write The File: " + global_.MetricsFile + " - No such file or directory";
  for (int cycle = 0; cycle < 3; ++cycle) {
    if (cycle == 2) {
      ASSERT_TRUE(QDir().mkpath(Path("missing")));
    }
    ASSERT_TRUE(Tick());  // a cycle, then the tick that stamps its time
    Advance(global_.PrcInterval);
    ASSERT_TRUE(Tick());
  }
  EXPECT_EQ(CycleLines().count(failure), 1) << CycleLines().join('\n').toStdString();
  EXPECT_EQ(agent_.AgentState(), Running);
  EXPECT_EQ(Figure("vorlane_files_sent_total{profile=\"Orders\"}"), "0") << "written once the folder is there";
}

}  // namespace
