// Path splitting, extension change, display shortening, wildcard matching and the existence
// tests of FileFunctions.
#include "FileFunctions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SplitCase {
  const char* text;
  const char* path;
  const char* name;
  const char* ext;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, PathNameAndExtension) {
  const SplitCase& c = GetParam();
  FileFunctions ff;
  const QString text = QString::fromUtf8(c.text);
  EXPECT_EQ(ff.GetPathOfFile(text), QString::fromUtf8(c.path)) << c.text;
  EXPECT_EQ(ff.GetFileNameFromPath(text), QString::fromUtf8(c.name)) << c.text;
  EXPECT_EQ(ff.GetFileNameExtention(text), QString::fromUtf8(c.ext)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SplitTest,
    ::testing::Values(SplitCase{"C:/Data/In/msg.txt", "C:/Data/In/", "msg.txt", "txt"},
                      SplitCase{"msg.txt", "", "", "txt"},
                      SplitCase{"C:/Data/In/", "C:/Data/In/", "", ""},
                      SplitCase{"a.tar.gz", "", "", "gz"},
                      SplitCase{"C:/my.dir/file", "C:/my.dir/", "file", ""},
                      SplitCase{"file.", "", "", ""},
                      SplitCase{".profile", "", "", "profile"},
                      SplitCase{"", "", "", ""},
                      SplitCase{"/", "/", "", ""},
                      SplitCase{"/var/spool/out/A.INF", "/var/spool/out/", "A.INF", "INF"},
                      // A backslash is an ordinary character here.
                      SplitCase{"C:\\Data\\msg.txt", "", "", "txt"},
                      SplitCase{"/data/été/reçu.pdf", "/data/été/", "reçu.pdf", "pdf"}));

struct ExtCase {
  const char* file;
  const char* newExt;
  const char* result;
  const char* extAfter;  // the caller's NewExtention after the call
};

class ModifyExtTest : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ModifyExtTest, ReplacesAndWritesBack) {
  const ExtCase& c = GetParam();
  FileFunctions ff;
  QString newExt = QString::fromUtf8(c.newExt);
  EXPECT_EQ(ff.ModifiFileExtention(QString::fromUtf8(c.file), newExt), QString::fromUtf8(c.result))
      << c.file << " + " << c.newExt;
  EXPECT_EQ(newExt, QString::fromUtf8(c.extAfter));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ModifyExtTest,
    ::testing::Values(ExtCase{"report.txt", "doc", "report.doc", "doc"},
                      ExtCase{"report", ".doc", "report.doc", "doc"},
                      ExtCase{"C:/my.dir/file", "bak", "C:/my.dir/file.bak", "bak"},
                      ExtCase{"file.", "x", "file.x", "x"},
                      ExtCase{"report.txt", "", "report.", ""},
                      ExtCase{"", "txt", ".txt", "txt"},
                      // Everything up to the first dot goes: a pattern works as an extension.
                      ExtCase{"/out/A.INF", "*.PRC", "/out/A.PRC", "PRC"},
                      ExtCase{"/out/A.INF", "a.b.c", "/out/A.b.c", "b.c"},
                      ExtCase{"/out/A.INF", "BAD", "/out/A.BAD", "BAD"}));

struct TruncCase {
  const char* text;
  qint16 maxLen;
  const char* result;
};

class TruncTest : public ::testing::TestWithParam<TruncCase> {};

TEST_P(TruncTest, Shortens) {
  const TruncCase& c = GetParam();
  FileFunctions ff;
  EXPECT_EQ(ff.TruncFileName(QString::fromUtf8(c.text), c.maxLen), QString::fromUtf8(c.result))
      << c.text << " / " << c.maxLen;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, TruncTest,
    ::testing::Values(TruncCase{"C:/Apps/Mail/Outbound/report.txt", 25, "C:/Apps/.../report.txt"},
                      TruncCase{"//server/share/dir/file.txt", 10, "//server/.../file.txt"},
                      TruncCase{"C:/report.txt", 11, "C:/report.txt"},
                      TruncCase{"C:/Dir/f.txt", 8, "C:/Dir/.../f.txt"},
                      TruncCase{"C:/Dir/averyveryverylongname.txt", 8, "averyveryverylongname.txt"},
                      // Linux paths: the leading "/" is never a head.
                      TruncCase{"/home/anna/mail/outbound/report.txt", 20, "/home/.../report.txt"},
                      TruncCase{"/report.txt", 10, "/report.txt"}, TruncCase{"/report.txt", 5, "report.txt"},
                      // Short enough: unchanged.
                      TruncCase{"/a/b/c.txt", 10, "/a/b/c.txt"},
                      TruncCase{"/a/b/c.txt", 100, "/a/b/c.txt"},
                      // Empty text and text without any "/".
                      TruncCase{"", 0, ""}, TruncCase{"", 5, ""},
                      TruncCase{"averylongfilename.txt", 0, "averylongfilename.txt"},
                      TruncCase{"averylongfilename.txt", 3, "averylongfilename.txt"},
                      // Only separators after "/" or ":": no head.
                      TruncCase{"//x", 1, "//x"}));

struct MatchCase {
  const char* pattern;
  const char* name;
  bool match;
};

class WildcardTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(WildcardTest, Matches) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(olvet::WildcardMatch(QString::fromUtf8(c.pattern), QString::fromUtf8(c.name)), c.match)
      << c.pattern << " ~ " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WildcardTest,
    ::testing::Values(MatchCase{"*.INF", "a.inf", true}, MatchCase{"*.inf", "A.INF", true},
                      MatchCase{"*.INF", "a.inf.bak", false}, MatchCase{"*.INF", ".inf", true},
                      MatchCase{"*", "", true}, MatchCase{"", "", true}, MatchCase{"", "a", false},
                      MatchCase{"?", "", false}, MatchCase{"?", "é", true},
                      MatchCase{"??.txt", "ab.TXT", true}, MatchCase{"??.txt", "abc.txt", false},
                      MatchCase{"a*b*c", "aXXbYYc", true}, MatchCase{"a*b*c", "aXXbYYcd", false},
                      MatchCase{"*a*", "bab", true}, MatchCase{"**", "x", true},
                      MatchCase{"É*", "école", true}, MatchCase{"*.*", "README", false},
                      MatchCase{"x?y", "x\U0001F600y", true},  // one character outside the BMP
                      MatchCase{"ORDER*.TXT", "order1002.txt", true},
                      MatchCase{"[ab].txt", "a.txt", false}));

TEST(WildcardTest, NoExponentialBacktracking) {
  // A pattern full of stars against a long name that nearly matches: quadratic at worst.
  const QString pattern = QString(QStringLiteral("*a")).repeated(30) + QStringLiteral("b");
  const QString name = QString(20000, QLatin1Char('a'));
  EXPECT_FALSE(olvet::WildcardMatch(pattern, name));
  EXPECT_TRUE(olvet::WildcardMatch(pattern, name + QStringLiteral("b")));
}

class ExistsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    root_ = dir_.path();
    for (const char* folder : {"sub/deeper", ".hiddendir", "folder.inf"})
      ASSERT_TRUE(QDir(root_).mkpath(QString::fromUtf8(folder))) << folder;
    for (const char* file : {"a.inf", "Report.TXT", ".hidden.inf", "sub/x.dat", ".hiddendir/in.txt"})
      ASSERT_NO_FATAL_FAILURE(Touch(QString::fromUtf8(file)));
    ASSERT_EQ(::symlink("a.inf", QFile::encodeName(root_ + QStringLiteral("/link.lnk")).constData()), 0);
    ASSERT_EQ(::symlink("missing", QFile::encodeName(root_ + QStringLiteral("/dangling.lnk")).constData()), 0);
  }
  void Touch(const QString& rel) {
    QFile f(root_ + QLatin1Char('/') + rel);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
  }
  QString P(const char* rel) const { return root_ + QLatin1Char('/') + QString::fromUtf8(rel); }

  QTemporaryDir dir_;
  QString root_;
  FileFunctions ff_;
};

TEST_F(ExistsTest, FileExistsExactNames) {
  EXPECT_TRUE(ff_.FileExists(P("a.inf")));
  EXPECT_TRUE(ff_.FileExists(P("sub/x.dat")));
  EXPECT_TRUE(ff_.FileExists(P("link.lnk")));  // a link to a regular file is that file
  EXPECT_TRUE(ff_.FileExists(P(".hiddendir/in.txt")));  // only the name itself counts as hidden
  EXPECT_FALSE(ff_.FileExists(P("A.INF")));  // exact lookups keep the file system's case
  EXPECT_FALSE(ff_.FileExists(P("dangling.lnk")));
  EXPECT_FALSE(ff_.FileExists(P(".hidden.inf")));
  EXPECT_FALSE(ff_.FileExists(P("sub")));
  EXPECT_FALSE(ff_.FileExists(P("sub/")));
  EXPECT_FALSE(ff_.FileExists(P("folder.inf")));
  EXPECT_FALSE(ff_.FileExists(P("nothing.txt")));
  EXPECT_FALSE(ff_.FileExists(P("nosuchdir/a.inf")));
  EXPECT_FALSE(ff_.FileExists(P("a.inf/x")));
  EXPECT_FALSE(ff_.FileExists(QString()));
  EXPECT_FALSE(ff_.FileExists(QStringLiteral("/")));
  EXPECT_FALSE(ff_.FileExists(P("a.inf") + QChar(0) + QStringLiteral("x")));
}

TEST_F(ExistsTest, FileExistsWildcards) {
  EXPECT_TRUE(ff_.FileExists(P("*.INF")));
  EXPECT_TRUE(ff_.FileExists(P("*.inf")));
  EXPECT_TRUE(ff_.FileExists(P("?.InF")));
  EXPECT_TRUE(ff_.FileExists(P("report.*")));
  EXPECT_TRUE(ff_.FileExists(P("*")));
  EXPECT_TRUE(ff_.FileExists(P("*.lnk")));  // link.lnk, though dangling.lnk is not a file
  EXPECT_FALSE(ff_.FileExists(P("*.dat")));  // only in sub/
  EXPECT_TRUE(ff_.FileExists(P("sub/*.DAT")));
  EXPECT_FALSE(ff_.FileExists(P("sub/deeper/*")));  // empty folder
  EXPECT_FALSE(ff_.FileExists(P("folder.*")));  // folders are not found
  EXPECT_FALSE(ff_.FileExists(P(".hidden*")));  // hidden files are not found
  EXPECT_FALSE(ff_.FileExists(P("nosuchdir/*")));
}

TEST_F(ExistsTest, FileExistsRelativeWildcard) {
  const QString old = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(root_));
  EXPECT_TRUE(ff_.FileExists(QStringLiteral("*.txt")));
  EXPECT_TRUE(ff_.FileExists(QStringLiteral("a.inf")));
  EXPECT_FALSE(ff_.FileExists(QStringLiteral("*.pdf")));
  QDir::setCurrent(old);
}

struct DirCase {
  const char* rel;      // appended to the root (after a "/"), or used alone when absolute
  bool absolute;
  bool exists;
  const char* after;    // text written back, relative part
};

TEST_F(ExistsTest, DirExistsTable) {
  const DirCase cases[] = {
      {"sub", false, true, "sub"},
      {"sub/", false, true, "sub"},
      {"sub//", false, false, "sub/"},
      {"sub/deeper", false, true, "sub/deeper"},
      {"a.inf", false, true, "a.inf"},  // a regular file counts
      {"link.lnk", false, true, "link.lnk"},
      {"missing", false, false, "missing"},
      {".hiddendir", false, false, ".hiddendir"},
      {".hidden.inf", false, false, ".hidden.inf"},
      {"sub/.", false, false, "sub/."},
      {"sub/..", false, false, "sub/.."},
      {"dangling.lnk", false, false, "dangling.lnk"},
  };
  for (const DirCase& c : cases) {
    QString text = P(c.rel);
    EXPECT_EQ(ff_.DirExists(text), c.exists) << c.rel;
    EXPECT_EQ(text, P(c.after)) << c.rel;
  }
}

TEST_F(ExistsTest, DirExistsTrimsSpacesAndWritesBack) {
  QString text = QStringLiteral("   ") + P("sub") + QStringLiteral("/  ");
  EXPECT_TRUE(ff_.DirExists(text));
  EXPECT_EQ(text, P("sub"));

  text = QStringLiteral("  ") + P("sub") + QStringLiteral("//  ");
  EXPECT_FALSE(ff_.DirExists(text));
  EXPECT_EQ(text, P("sub") + QStringLiteral("/"));

  // Only spaces are trimmed; a tab belongs to the name.
  text = P("sub") + QStringLiteral("\t");
  EXPECT_FALSE(ff_.DirExists(text));
  EXPECT_EQ(text, P("sub") + QStringLiteral("\t"));
}

TEST_F(ExistsTest, DirExistsEmptyAndDots) {
  QString text;
  EXPECT_FALSE(ff_.DirExists(text));
  EXPECT_TRUE(text.isEmpty());
  text = QStringLiteral("    ");
  EXPECT_FALSE(ff_.DirExists(text));
  EXPECT_TRUE(text.isEmpty());
  text = QStringLiteral(".");
  EXPECT_FALSE(ff_.DirExists(text));
  text = QStringLiteral("..");
  EXPECT_FALSE(ff_.DirExists(text));
  // The root loses its one "/" like any folder and is then an empty name.
  text = QStringLiteral("/");
  EXPECT_FALSE(ff_.DirExists(text));
  EXPECT_EQ(text, QString());
  text = QStringLiteral("/tmp");
  EXPECT_TRUE(ff_.DirExists(text));
}

TEST_F(ExistsTest, UnreadableFolderGivesFalse) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  ASSERT_EQ(::chmod(QFile::encodeName(P("sub")).constData(), 0), 0);
  EXPECT_FALSE(ff_.FileExists(P("sub/*.dat")));
  EXPECT_FALSE(ff_.FileExists(P("sub/x.dat")));
  QString text = P("sub/deeper");
  EXPECT_FALSE(ff_.DirExists(text));
  ::chmod(QFile::encodeName(P("sub")).constData(), 0700);
}

}  // namespace
