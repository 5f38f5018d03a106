// The file layer: what is on disk after each call, success or failure.
#include "FileIo.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FileIoTest : ::testing::Test {
  QTemporaryDir tmp;
  QString At(const char* name) const { return tmp.filePath(QString::fromLatin1(name)); }
  void Put(const char* name, const QByteArray& bytes) const {
    QFile f(At(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  QByteArray Read(const char* name) const {
    QFile f(At(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
  }
  mode_t Mode(const char* name) const {
    struct stat st {};
    return ::stat(QFile::encodeName(At(name)).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

TEST_F(FileIoTest, NeverOverwritesAndLeavesNothingHalfMade) {
  const mode_t oldMask = ::umask(022);
  Put("old", "old");
  ASSERT_EQ(::symlink("nowhere", QFile::encodeName(At("dangling")).constData()), 0);
  const struct {
    const char* what;
    std::function<bool()> call;
    int err;  // 0: succeeds
    const char* file;
    QByteArray content;
    mode_t mode;
  } cases[] = {
      {"new file, default mode", [&] { return vrl::WriteNewFile(At("a"), "abc", true); }, 0, "a", "abc", 0600},
      {"new file, wider mode", [&] { return vrl::WriteNewFile(At("b"), "", false, 0666); }, 0, "b", "", 0644},
      {"taken name", [&] { return vrl::WriteNewFile(At("old"), "new", false); }, EEXIST, "old", "old", 0644},
      {"dangling link", [&] { return vrl::WriteNewFile(At("dangling"), "x", false); }, EEXIST, "nowhere", "<none>", 0},
      {"no-replace rename onto a taken name", [&] { return vrl::RenameNoReplace(At("a"), At("old")); }, EEXIST,
       "old", "old", 0644},
      {"no-replace rename onto a free name", [&] { return vrl::RenameNoReplace(At("a"), At("c")); }, 0, "c", "abc",
       0600},
      {"temporary renamed over a file",
       [&] {
         const QString t = vrl::CreateTemporaryBeside(At("old"));
         return !t.isEmpty() && vrl::RenameOver(t, At("old"));
       },
       0, "old", "", 0600},
      {"temporary in a missing folder", [&] { return !vrl::CreateTemporaryBeside(At("no/x")).isEmpty(); }, ENOENT,
       "no", "<none>", 0},
  };
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(c.call(), c.err == 0) << c.what;
    if (c.err != 0) {
      EXPECT_EQ(errno, c.err) << c.what;
    }
    EXPECT_EQ(Read(c.file), c.content) << c.what;
    EXPECT_EQ(Mode(c.file), c.mode) << c.what;
  }
  ::umask(oldMask);
  EXPECT_EQ(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            (QStringList{"b", "c", "dangling", "old"}))
      << "no temporary is left behind";
}

TEST_F(FileIoTest, AFailedWriteRemovesTheNewFile) {
  // A file size limit makes the write fail part way (EFBIG instead of the signal).
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = vrl::WriteNewFile(At("big"), "more than four bytes", true);
  const int err = errno;
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(err, EFBIG);
  EXPECT_FALSE(QFile::exists(At("big")));
}

}  // namespace
