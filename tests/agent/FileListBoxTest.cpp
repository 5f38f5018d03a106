// The outbound file list: matching names without regard to case, sorted, regular visible files.
#include <QFile>

#include "AgentTestSupport.h"
#include "FileListBox.h"

namespace {

class FileListBoxTest : public agenttest::AgentEnvironment {
 protected:
  void SetUp() override {
    AgentEnvironment::SetUp();
    ASSERT_TRUE(QDir().mkpath(Path("out/sub.txt")));  // a folder with a matching name
    for (const char* n : {"b.TXT", "A.txt", "c.inf", ".hidden.txt", "README", "a.txt.bak"}) {
      QFile f(Path("out/") + n);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link(Path("out/no-such-target"), Path("out/broken.txt")));
  }
};

TEST_F(FileListBoxTest, ListsMatchingRegularFilesInOrder) {
  const struct {
    const char* pattern;
    QStringList expected;
  } cases[] = {
      {"*.txt", {"A.txt", "b.TXT"}},
      {"*.TXT", {"A.txt", "b.TXT"}},
      {"*.TXT;*.inf", {"A.txt", "b.TXT", "c.inf"}},
      {"?.inf", {"c.inf"}},
      {"", {"A.txt", "a.txt.bak", "b.TXT", "c.inf", "README"}},
      {"*.pdf", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    agent::FileListBox list;
    list.Path = Path("out");
    list.Pattern = QString::fromLatin1(c.pattern);
    list.Refresh();
    EXPECT_EQ(list.Entries(), c.expected);
    EXPECT_EQ(list.ListCount(), c.expected.size());
  }
}

TEST_F(FileListBoxTest, MissingFolderGivesAnEmptyList) {
  agent::FileListBox list;
  list.Path = Path("out");
  list.Pattern = "*.txt";
  list.Refresh();
  ASSERT_EQ(list.ListCount(), 2);
  list.Path = Path("gone");
  list.Refresh();
  EXPECT_EQ(list.ListCount(), 0);
  EXPECT_TRUE(list.List(0).isEmpty());
}

TEST_F(FileListBoxTest, FilesStillBeingWrittenWaitForALaterRefresh) {
  const QDateTime now = QDateTime::currentDateTime();
  const struct {
    const char* name;
    qint64 ageSeconds;
    bool listed;
  } files[] = {{"old.dat", 60, true}, {"fresh.dat", 0, false}, {"future.dat", -3600, true}};
  for (const auto& f : files) {
    QFile file(Path("out/") + f.name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.setFileTime(now.addSecs(-f.ageSeconds), QFileDevice::FileModificationTime));
  }
  agent::FileListBox list;
  list.Path = Path("out");
  list.Pattern = "*.dat";
  list.MinAgeMs = 2000;
  list.Refresh();
  EXPECT_EQ(list.Entries(), (QStringList{"future.dat", "old.dat"}));
}

}  // namespace
