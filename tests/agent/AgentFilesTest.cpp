// The files of the agent's folders: the outbound file list (matching names without regard to
// case, sorted, regular visible settled files), information files read by line and separators,
// the inbound layout, its file names, and files placed without overwriting what a reader may
// still need.
#include "AgentFixture.h"
#include "FileListBox.h"
#include "FileIo.h"
#include "InfoFiles.h"
#include "MailHost.h"

namespace {

using agent::ReceivedMessage;

class AgentFilesTest : public agenttest::AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    dir_ = Path("in");
    ASSERT_TRUE(QDir().mkpath(dir_));
  }
  QString In(const QString& name) const { return dir_ + "/" + name; }
  QStringList Names() const {
    return QDir(dir_).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  }
  QStringList List(agent::FileListBox& list, const char* pattern) const {
    list.Path = dir_;
    list.Pattern = pattern;
    list.Refresh();
    EXPECT_EQ(list.ListCount(), list.Entries().size());
    return list.Entries();
  }

  QString dir_;
  AgentMailWork work_;
};

TEST_F(AgentFilesTest, OutboundListHoldsMatchingRegularFilesInOrder) {
  ASSERT_TRUE(QDir().mkpath(In("sub.txt")));  // a folder with a matching name
  for (const char* n : {"b.TXT", "A.txt", "c.inf", ".hidden.txt", "README", "a.txt.bak"}) WriteFile(In(n), "");
  ASSERT_TRUE(QFile::link(In("no-such-target"), In("broken.txt")));
  const std::pair<const char*, QStringList> cases[] = {
      {"*.TXT", {"A.txt", "b.TXT"}}, {"*.TXT;*.inf", {"A.txt", "b.TXT", "c.inf"}}, {"*.pdf", {}},
      {"", {"A.txt", "a.txt.bak", "b.TXT", "c.inf", "README"}},
  };
  agent::FileListBox list;
  for (const auto& [pattern, expected] : cases) EXPECT_EQ(List(list, pattern), expected) << pattern;

  // A folder that went away gives an empty list.
  list.Path = Path("gone");
  list.Refresh();
  EXPECT_EQ(list.ListCount(), 0);
  EXPECT_TRUE(list.List(0).isEmpty());

  // Files still being written wait for a later refresh; a time in the future does not hold one back.
  const QDateTime now = QDateTime::currentDateTime();
  const std::pair<const char*, int> files[] = {{"old.dat", 60}, {"fresh.dat", 0}, {"future.dat", -3600}};
  for (const auto& [name, age] : files) {
    QFile file(In(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.setFileTime(now.addSecs(-age), QFileDevice::FileModificationTime));
  }
  list.MinAgeMs = 2000;
  EXPECT_EQ(List(list, "*.dat"), (QStringList{"future.dat", "old.dat"}));
}

TEST_F(AgentFilesTest, InformationFileValuesAreReadOnlyUpToTheirLineWithinTheLineLimit) {
  const qsizetype max = agent::kMaxInfoLineBytes;
  const QByteArray over(max + 1, 'x');
  // File, line, separators, value, and the line the error names (0: no error).
  const std::tuple<QByteArray, qint16, QString, QString, QString, int> cases[] = {
      {"a\r\nb\rc\r\n", 2, "", "", "b\rc", 0}, {"a\nb\r\nc\r", 3, "", "", "c", 0}, {"a\r\n", 2, "", "", "", 0},
      {"<" + QByteArray(max - 2, 'x') + ">\r\n", 1, "<", ">", QString(max - 2, 'x'), 0},
      {over + "\r\n<a>\r\n", 2, "<", ">", "", 1}, {"<a>\r\n" + over + "\r\n", 2, "", "", "", 2},
      {over + over, 1, "", "", "", 1}, {"<a>\r\n" + over + over, 1, "<", ">", "a", 0}};
  for (const auto& [bytes, line, sep1, sep2, value, longLine] : cases) {
    WriteFile(In("x.INF"), bytes);
    QString error = "stale";
    EXPECT_EQ(agent::ReadInfoFileField(In("x.INF"), line, sep1, sep2, &error), value) << bytes.size();
    EXPECT_EQ(error, longLine ? QString("line %1 is longer than 1048576 bytes").arg(longLine) : "");
  }
}

TEST_F(AgentFilesTest, AnInformationFileWithAnOverlongLineBecomesBad) {
  agent_.SetMailWork(&work_);
  for (const char* sub : {"new", "cur", "tmp"}) ASSERT_TRUE(QDir().mkpath(Path("Maildir/") + sub));
  ProfileRecord p = MakeProfile("P");
  p.HostType = 1, p.WinMsgProfileName = Path("Maildir"), p.PrcInboundMessages = false, p.OutboundMode = 2;
  p.OutFilesExtention = "*.INF", p.AdressLin = 1, p.FileLin = 2, p.SubjectLin = 3;
  Drop(p, "a.INF", "to@example.com\r\n" + Path("x").toUtf8() + "\r\n" + QByteArray(agent::kMaxInfoLineBytes + 1, 's'));
  AddProfile(p);
  ASSERT_TRUE(Start() && Tick() && Tick());
  EXPECT_EQ(QDir(p.OutboundDir).entryList(QDir::Files), QStringList{"a.BAD"});
  EXPECT_TRUE(CycleLines().contains("ERROR:\t Cannot Read The File: " + p.OutboundDir +
                                    "/a.INF - line 3 is longer than 1048576 bytes"));
}

TEST_F(AgentFilesTest, OneInformationFileBesideEachAttachmentInTheFixedLayout) {
  WriteFile(In("a.INF"), "an older information file");
  const ReceivedMessage rec{"Ann <ann@example.com>", "Invoice 7", "Line 1\r\nLine 2",
                            {In("a.XML"), In("b.XML"), agent::kUnsupportedAttachment}};
  const QString rule(75, '#');
  const QByteArray expected = ("From: \r\nAnn <ann@example.com>\r\n" + rule + "\r\nSubject: \r\nInvoice 7\r\n" + rule +
                               "\r\nMessage: \r\nLine 1\r\nLine 2\r\n" + rule + "\r\nAttachment(s) File(s): \r\n" +
                               In("a.XML") + "\r\n" + In("b.XML") + "\r\n" + agent::kUnsupportedAttachment + "\r\n")
                                  .toUtf8();
  ASSERT_TRUE(agent::WriteInboundInfoFile(dir_, rec, "*.INF"));
  EXPECT_EQ(Names(), (QStringList{"1-a.INF", "a.INF", "b.INF"}));
  EXPECT_EQ(ReadAll(In("a.INF")), "an older information file") << "an unread information file stays";
  EXPECT_EQ(ReadAll(In("1-a.INF")), expected);
  EXPECT_EQ(ReadAll(In("b.INF")), expected);
}

TEST_F(AgentFilesTest, ASendersNameAndSubjectStayOnTheirLines) {
  const QString rule(75, '#');
  for (const QString brk : {"\r\n", "\n", "\r", "\u2028", "\u2029", "\u0085", "\t", "\x1B\x7F"}) {
    // What an encoded word in From or Subject can decode to.
    const QString forged = "Eve" + brk + "x";
    const QString one = "Eve" + QString(brk.size(), ' ') + "x";
    EXPECT_EQ(QString::fromUtf8(agent::InboundInfoText({forged, forged, "a\r\n\r\nb\u2028", {}})).split("\r\n"),
              (QStringList{"From: ", one, rule, "Subject: ", one, rule, "Message: ", "a", "", "b\u2028", rule,
                           "Attachment(s) File(s): ", ""}));
  }
}

TEST_F(AgentFilesTest, NothingIsOverwritten) {
  const struct {
    const char* name;
    QStringList attachments;  // in the folder when they start with "/"
    QString ext;
    QStringList before;
    QStringList after;
  } cases[] = {
      {"no attachment", {}, "INF", {"MSG.INF"}, {"1-MSG.INF", "MSG.INF"}},
      {"same extension as the attachment", {"/a.TXT"}, "TXT", {"a.TXT"}, {"1-a.TXT", "a.TXT"}},
      {"an older information file", {"/a.XML"}, "INF", {"a.INF"}, {"1-a.INF", "a.INF"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const QString& n : Names()) QFile::remove(In(n));
    for (const QString& n : c.before) WriteFile(In(n), "keep me");
    ReceivedMessage rec{"???", "", "", {}};
    for (const QString& a : c.attachments) rec.attachments << (a.startsWith('/') ? In(a.mid(1)) : a);
    ASSERT_TRUE(agent::WriteInboundInfoFile(dir_, rec, c.ext));
    EXPECT_EQ(Names(), c.after);
    for (const QString& n : c.before) EXPECT_EQ(ReadAll(In(n)), "keep me") << n.toStdString();
  }
}

TEST_F(AgentFilesTest, AMessageIsPlacedWholeOrNotAtAll) {
  delivery::MessageFiles files(dir_);
  QString error;
  ASSERT_EQ(files.AddBytes("a.IN", {"a"}, &error), In("a.IN"));
  ASSERT_EQ(files.AddBytes("a.IN", {"b"}, &error), In("1-a.IN")) << "a name the message claims is taken";
  ASSERT_TRUE(QFile::remove(files.Files()[1].temp));  // something swept it away
  EXPECT_FALSE(files.Place(&error));
  EXPECT_TRUE(error.startsWith(In("1-a.IN") + " - ")) << error.toStdString();
  EXPECT_EQ(Names(), QStringList{}) << "the file placed first is taken back";
}

TEST_F(AgentFilesTest, UniqueNamesAndTemporaries) {
  for (const char* n : {"r.IN", "1-r.IN", "a*.IN"}) WriteFile(In(n), "");
  ASSERT_TRUE(QDir().mkpath(In("d.IN")));
  EXPECT_EQ(delivery::MakeUniqueFileName(In("r.IN")), In("2-r.IN"));
  EXPECT_EQ(delivery::MakeUniqueFileName(In("d.IN")), In("1-d.IN")) << "a folder takes the name too";
  EXPECT_EQ(delivery::MakeUniqueFileName(In("ab.IN")), In("ab.IN")) << "* is a plain character";

  const QString temp = delivery::TemporaryNameIn(dir_);
  ASSERT_TRUE(vrl::WriteNewFile(temp, "x", true));
  EXPECT_EQ(delivery::RenameToFreeName(temp, In("r.IN")), In("2-r.IN"));
  EXPECT_FALSE(QFileInfo::exists(temp));
  // Left by this process, by a writer that is gone, by an older version; and a live writer's.
  for (const QString& t : {delivery::TemporaryNameIn(dir_), In(".vrltmp-999999999-x"), In(".vrltmp-abc"),
                           In(".vrltmp-1-live")})
    ASSERT_TRUE(vrl::WriteNewFile(t, "left over", false));
  delivery::RemoveLeftoverTemporaries(dir_);
  EXPECT_EQ(Names(), (QStringList{".vrltmp-1-live", "1-r.IN", "2-r.IN", "a*.IN", "d.IN", "r.IN"}));

  QString error;
  EXPECT_FALSE(agent::WriteInboundInfoFile(Path("missing"), ReceivedMessage{}, "INF", &error));
  EXPECT_TRUE(error.startsWith(Path("missing/MSG.INF - "))) << error.toStdString();
}

}  // namespace
