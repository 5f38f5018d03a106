// Information files: values read by line and separators; the inbound layout, its file names, and
// files placed without overwriting what a reader may still need.
#include "AgentTestSupport.h"
#include "InfoFiles.h"

namespace {

using agent::ReceivedMessage;

class InfoFilesTest : public agenttest::AgentEnvironment {
 protected:
  void SetUp() override {
    AgentEnvironment::SetUp();
    dir_path_ = Path("in");
    ASSERT_TRUE(QDir().mkpath(dir_path_));
  }
  void Write(const QString& name, const QByteArray& bytes) {
    QFile f(dir_path_ + "/" + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  QStringList Names() const {
    return QDir(dir_path_).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot,
                                     QDir::Name);
  }
  QString In(const QString& name) const { return dir_path_ + "/" + name; }
  QString dir_path_;
};

TEST_F(InfoFilesTest, ValuesAreReadByLineAndSeparators) {
  Write("a.inf",
        "To: <a@x.com>, <b@y.com>\r\n"
        "File: \"/data/report.2024.csv\"\r\n"
        "SUBJECT: [Monthly] r\xc3\xa9port\r\n"
        "plain line ended by LF only\n");
  const struct {
    qint16 line;
    const char* start;
    const char* end;
    const char* value;
  } cases[] = {
      {1, "<", ">", "a@x.com>, <b@y.com"},              // up to the last end separator
      {2, "\"", "\"", "/data/report.2024.csv"},         // equal separators
      {3, "subject:", "", " [Monthly] r\xc3\xa9port"},  // letter case ignored; empty end: line end
      {3, "[", "#", ""},                                // end separator missing
      {3, "#", "]", ""},                                // start separator missing
      {4, "", "", "plain line ended by LF only"},
      {5, "", "", ""},  // beyond the last line
      {0, "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(agent::ReadInfoFileField(In("a.inf"), c.line, QString::fromUtf8(c.start),
                                       QString::fromUtf8(c.end)),
              QString::fromUtf8(c.value));
  }
  EXPECT_EQ(agent::ReadInfoFileField(In("missing.inf"), 1, "", ""), QString());
}

TEST_F(InfoFilesTest, OneFileBesideEachAttachmentInTheFixedLayout) {
  Write("a.INF", "an older information file");
  ReceivedMessage rec{"Ann <ann@example.com>",
                      "Invoice 7",
                      "Line 1\r\nLine 2",
                      {In("a.XML"), In("b.XML"), agent::kUnsupportedAttachment}};
  const QString rule(75, '#');
  const QByteArray expected =
      ("From: \r\nAnn <ann@example.com>\r\n" + rule + "\r\nSubject: \r\nInvoice 7\r\n" + rule +
       "\r\nMessage: \r\nLine 1\r\nLine 2\r\n" + rule + "\r\nAttachment(s) File(s): \r\n" +
       In("a.XML") + "\r\n" + In("b.XML") + "\r\n" + agent::kUnsupportedAttachment + "\r\n")
          .toUtf8();
  ASSERT_TRUE(agent::WriteInboundInfoFile(dir_path_, rec, "*.INF"));
  EXPECT_EQ(Names(), (QStringList{"a.INF", "b.INF"}));
  EXPECT_EQ(ReadAll(In("a.INF")), expected);
  EXPECT_EQ(ReadAll(In("b.INF")), expected);
}

TEST_F(InfoFilesTest, NothingIsOverwrittenThatIsNotAnOlderInformationFile) {
  const struct {
    const char* name;
    QStringList attachments;  // relative to the folder when they start with "/"
    QString ext;
    QStringList before;
    QStringList after;
  } cases[] = {
      {"no attachment", {}, "INF", {"MSG.INF"}, {"1-MSG.INF", "MSG.INF"}},
      {"attachment files off", {"a.XML"}, "INF", {"a.INF"}, {"1-a.INF", "a.INF"}},
      {"same extension as the attachment", {"/a.TXT"}, "TXT", {"a.TXT"}, {"1-a.TXT", "a.TXT"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const QString& n : Names()) QFile::remove(In(n));
    for (const QString& n : c.before) Write(n, "keep me");
    ReceivedMessage rec{"???", "", "", {}};
    for (const QString& a : c.attachments)
      rec.attachments << (a.startsWith('/') ? In(a.mid(1)) : a);
    ASSERT_TRUE(agent::WriteInboundInfoFile(dir_path_, rec, c.ext));
    EXPECT_EQ(Names(), c.after);
    for (const QString& n : c.before) EXPECT_EQ(ReadAll(In(n)), "keep me") << n.toStdString();
  }
}

TEST_F(InfoFilesTest, UniqueNamesAndTemporaries) {
  Write("r.IN", "");
  Write("1-r.IN", "");
  ASSERT_TRUE(QDir().mkpath(In("d.IN")));
  Write("a*.IN", "");
  EXPECT_EQ(agent::MakeUniqueFileName(In("r.IN")), In("2-r.IN"));
  EXPECT_EQ(agent::MakeUniqueFileName(In("d.IN")), In("1-d.IN")) << "a folder takes the name too";
  EXPECT_EQ(agent::MakeUniqueFileName(In("ab.IN")), In("ab.IN")) << "* is a plain character";
  EXPECT_EQ(agent::MakeUniqueFileName(In("free.IN")), In("free.IN"));

  const QString temp = agent::TemporaryNameIn(dir_path_);
  ASSERT_TRUE(vrl::WriteNewFile(temp, "x", true));
  EXPECT_EQ(agent::RenameToFreeName(temp, In("r.IN")), In("2-r.IN"));
  EXPECT_FALSE(QFileInfo::exists(temp));
  ASSERT_TRUE(vrl::WriteNewFile(agent::TemporaryNameIn(dir_path_), "left over", false));
  agent::RemoveLeftoverTemporaries(dir_path_);
  EXPECT_EQ(Names(), (QStringList{"1-r.IN", "2-r.IN", "a*.IN", "d.IN", "r.IN"}));

  QString error;
  EXPECT_FALSE(agent::WriteInboundInfoFile(Path("missing"), ReceivedMessage{}, "INF", &error));
  EXPECT_TRUE(error.startsWith(Path("missing/MSG.INF - "))) << error.toStdString();
}

}  // namespace
