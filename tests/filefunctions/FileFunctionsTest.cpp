// Path splitting, extension change, display shortening, wildcard matching and the existence
// tests of FileFunctions; the cases are in tests/data/filefunctions/cases.tsv.
#include "FileFunctions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

// The rows of the case file whose first column is kind, each without that column, "@" replaced
// by root and padded to `columns` texts.
QList<QStringList> Rows(const char* kind, qsizetype columns, const QString& root = QString()) {
  QFile f(QStringLiteral(VRL_TEST_DATA "/filefunctions/cases.tsv"));
  EXPECT_TRUE(f.open(QIODevice::ReadOnly));
  QList<QStringList> rows;
  for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
    QStringList cols = line.split(QLatin1Char('\t'));
    if (cols.takeFirst() != QLatin1String(kind)) continue;
    while (cols.size() < columns) cols << QString();
    for (QString& c : cols) c.replace(QLatin1Char('@'), root);
    rows << cols;
  }
  EXPECT_FALSE(rows.isEmpty()) << kind;
  return rows;
}

TEST(FileFunctions, SplitModifyAndTruncate) {
  FileFunctions ff;
  for (const QStringList& c : Rows("split", 4)) {
    EXPECT_EQ(ff.GetPathOfFile(c[0]), c[1]) << c[0].toStdString();
    EXPECT_EQ(ff.GetFileNameFromPath(c[0]), c[2]) << c[0].toStdString();
    EXPECT_EQ(ff.GetFileNameExtention(c[0]), c[3]) << c[0].toStdString();
  }
  for (const QStringList& c : Rows("ext", 4)) {
    QString newExt = c[1];
    EXPECT_EQ(ff.ModifiFileExtention(c[0], newExt), c[2]) << c.join(u' ').toStdString();
    EXPECT_EQ(newExt, c[3]) << c.join(u' ').toStdString();
  }
  for (const QStringList& c : Rows("trunc", 3))
    EXPECT_EQ(ff.TruncFileName(c[0], c[1].toShort()), c[2]) << c.join(u' ').toStdString();
}

TEST(FileFunctions, WildcardMatch) {
  for (const QStringList& c : Rows("match", 3))
    EXPECT_EQ(olvet::WildcardMatch(c[0], c[1]), c[2] == u'1') << c.join(u' ').toStdString();
  // A pattern full of stars against a long name that nearly matches: quadratic at worst.
  const QString pattern = QString(QStringLiteral("*a")).repeated(30) + QStringLiteral("b");
  const QString name(20000, QLatin1Char('a'));
  EXPECT_FALSE(olvet::WildcardMatch(pattern, name));
  EXPECT_TRUE(olvet::WildcardMatch(pattern, name + QStringLiteral("b")));
}

class ExistsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    for (const char* folder : {"sub/deeper", ".hiddendir", "folder.inf"})
      ASSERT_TRUE(QDir(dir_.path()).mkpath(QString::fromUtf8(folder)));
    for (const char* file : {"a.inf", "Report.TXT", ".hidden.inf", "sub/x.dat", ".hiddendir/in.txt"}) {
      QFile f(P(file));
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    ASSERT_EQ(::symlink("a.inf", QFile::encodeName(P("link.lnk")).constData()), 0);
    ASSERT_EQ(::symlink("missing", QFile::encodeName(P("dangling.lnk")).constData()), 0);
  }
  QString P(const char* rel) const { return dir_.path() + QLatin1Char('/') + QString::fromUtf8(rel); }

  QTemporaryDir dir_;
  FileFunctions ff_;
};

TEST_F(ExistsTest, FileAndDirTables) {
  for (const QStringList& c : Rows("exists", 2, dir_.path()))
    EXPECT_EQ(ff_.FileExists(c[0]), c[1] == u'1') << c[0].toStdString();
  EXPECT_FALSE(ff_.FileExists(P("a.inf") + QChar(0) + QStringLiteral("x")));
  for (const QStringList& c : Rows("dir", 3, dir_.path())) {
    QString text = c[0];
    EXPECT_EQ(ff_.DirExists(text), c[1] == u'1') << c[0].toStdString();
    EXPECT_EQ(text, c[2]);
  }
}

TEST_F(ExistsTest, RelativePatternAndTrimming) {
  const QString old = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir_.path()));
  EXPECT_TRUE(ff_.FileExists(QStringLiteral("*.txt")));
  EXPECT_FALSE(ff_.FileExists(QStringLiteral("*.pdf")));
  QDir::setCurrent(old);

  // Only spaces are trimmed, and the trimmed text is written back; a tab belongs to the name.
  QString text = QStringLiteral("   ") + P("sub") + QStringLiteral("/  ");
  EXPECT_TRUE(ff_.DirExists(text));
  EXPECT_EQ(text, P("sub"));
  text = QStringLiteral("  ") + P("sub") + QStringLiteral("//  ");
  EXPECT_FALSE(ff_.DirExists(text));
  EXPECT_EQ(text, P("sub/"));
  text = QStringLiteral("    ");
  EXPECT_FALSE(ff_.DirExists(text));
  EXPECT_TRUE(text.isEmpty());
  text = P("sub") + QStringLiteral("\t");
  EXPECT_FALSE(ff_.DirExists(text));
  EXPECT_EQ(text, P("sub\t"));
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
