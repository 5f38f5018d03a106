// Messaging profiles (host type 1) on a Maildir in a temporary folder, sending through a sendmail
// stand-in that keeps what it is given: the logon, what goes out (read back by Python's email
// package), the Inbox in delivery order, and the failures the agent reports in its own words.
#include "AgentFixture.h"
#include "MailHost.h"
#include "ProfileUnattended.h"
#include "local/LocalMsgSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QString kInfo = "INFORMATION: ";

// What a reader finds in a sent message: defects, From, To (display name, address), subject,
// text and attachments (name, bytes in hex).
const char* const kReadSent = R"(
import email, json, sys
from email import policy
m = email.message_from_bytes(open(sys.argv[1], "rb").read(), policy=policy.default)
print(json.dumps({"defects": len(m.defects), "from": str(m["From"]), "subject": str(m["Subject"]),
  "to": [[a.display_name, a.addr_spec] for a in m["To"].addresses],
  "text": m.get_body(("plain",)).get_content().strip(),
  "files": [[a.get_filename(), a.get_payload(decode=True).hex()] for a in m.iter_attachments()]}))
)";

class AgentLocalMsgTest : public agenttest::AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    agent_.SetMailWork(&work_);
    maildir_ = Path("Maildir");
    for (const char* sub : {"new", "cur", "tmp"}) QDir().mkpath(maildir_ + "/" + sub);
    // The stand-in keeps its arguments and input; a subject "failN" makes it refuse with exit N.
    sent_ = Path("sent");
    QDir().mkpath(sent_);
    WriteFile(Path("sendmail"), ("#!/bin/sh\nd=" + sent_ + "\nn=$(ls $d | grep -c '^msg')\necho \"$*\" >$d/args$n\n"
                                 "cat >$d/msg$n\ncode=$(sed -n 's/^Subject: fail\\([0-9]*\\).*/\\1/p' $d/msg$n)\n"
                                 "[ -z \"$code\" ] || { echo 'refused by' \"$0\" >&2; exit $code; }\n").toUtf8());
    QFile(Path("sendmail")).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    qputenv("VORLANE_SENDMAIL", QFile::encodeName(Path("sendmail")));
  }
  void TearDown() override {
    qunsetenv("VORLANE_SENDMAIL");
    AgentFixture::TearDown();
  }
  ProfileRecord Messaging(const QString& name) {
    ProfileRecord p = MakeProfile(name);
    p.HostType = 1, p.WinMsgProfileName = maildir_, p.FileExtention = "IN", p.ResFilesExtention = "INF";
    p.FromAddress.clear();  // the messaging host sends as the user
    p.Subject = "Daily", p.MsgText = "Attached.";
    return p;
  }
  void Cycle() {
    ASSERT_TRUE(Tick());
    ASSERT_TRUE(Tick());
    Advance(global_.PrcInterval);
  }
  // A message file delivered at `seconds` since the epoch.
  void Deliver(const QString& name, const QByteArray& text, qint64 seconds) {
    WriteFile(maildir_ + "/" + name, text);
    QFile f(maildir_ + "/" + name);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.setFileTime(QDateTime::fromSecsSinceEpoch(seconds), QFileDevice::FileModificationTime);
  }
  QJsonObject ReadSent(int n) {
    QProcess p;
    p.start("/usr/bin/python3", {"-c", kReadSent, sent_ + "/msg" + QString::number(n)});
    p.waitForFinished(30000);
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
  }
  static QStringList Files(const QString& dir) { return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

  QString maildir_, sent_;
  AgentMailWork work_;
};

TEST_F(AgentLocalMsgTest, LogonNeedsAMaildirThisUserMayUse) {
  QDir().mkpath(Path("home/Mail/new"));
  QDir().mkpath(Path("home/Mail/tmp"));
  WriteFile(Path("file"), "x");
  const QByteArray home = qgetenv("HOME");
  qputenv("HOME", QFile::encodeName(Path("home")));
  const struct {
    QString name, problem;
  } cases[] = {
      {maildir_, ""},
      {"~/Mail", Path("home/Mail") + " is not a Maildir (it has no cur/ folder)"},
      {"Mail/", Path("home/Mail") + " is not a Maildir (it has no cur/ folder)"},
      {Path("none"), Path("none") + " does not exist"},
      {Path("file"), Path("file") + " is not a folder"},
      {" ", "No Maildir is named"},
  };
  for (const auto& c : cases) {
    localmsg::Session s;
    try {
      s.Logon(c.name, "unused");
      EXPECT_EQ(c.problem, "") << c.name.toStdString();
      EXPECT_EQ(s.MaildirFolder(), maildir_);
    } catch (const vrl::VrlError& e) {
      EXPECT_EQ(e.Number(), localmsg::kErrLogonFailed);
      EXPECT_EQ(e.Description(), c.problem);
    }
  }
  qputenv("HOME", home);

  // In the agent: the reason, the cycle's line, and the profile left out for the run.
  ProfileRecord p = Messaging("P");
  p.WinMsgProfileName = Path("none");
  AddProfile(p);
  AddProfile(Messaging("Q"));
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(CycleLines().mid(0, 2), (QStringList{"ERROR:\t Profile: \"P\" " + Path("none") + " does not exist",
                                                  "ERROR:\t Cannot Start Session With The Profile: " + Path("none")}));
  const qsizetype before = TempLog().size();
  Cycle();
  EXPECT_EQ(TempLog().size(), before) << "P is left out, Q has nothing to do";
}

TEST_F(AgentLocalMsgTest, FilesGoThroughSendmailAndFailuresAreReported) {
  const QByteArray binary = QByteArray(1, '\0') + "\xFF\r\n.\r\n" + QByteArray(70000, 'z');
  const struct {
    QString name, to, subject;
    QStringList out;        // the outbound folder afterwards
    QString line;           // logged at the end of the profile's work
    QJsonArray recipients;  // what the message says, when it went
  } cases[] = {
      {"One", "ann@example.com", "Prüfung € März", {}, kInfo + "Message Successfully Sent",
       {QJsonArray{"ann@example.com", "ann@example.com"}}},
      {"Several", "a@example.com; bob;Carol Ray <carol@example.org>;", "Several", {}, "",
       {QJsonArray{"a@example.com", "a@example.com"}, QJsonArray{"bob", "bob"},
        QJsonArray{"Carol Ray", "carol@example.org"}}},
      {"Unresolved", "ann@example.com;not an address", "x", {"A.BAD"},
       "ERROR:\t Destination Address Not Found or Invalid: \"ann@example.com;not an address\"", {}},
      {"Refused", "ann@example.com", "fail1", {"A.BAD"},
       "ERROR:\t -2147467259 " + Path("sendmail") + " failed (exit status 1): refused by " + Path("sendmail"), {}},
      {"Later", "ann@example.com", "fail75", {"A.TXT"}, "ALERT:\t Message Not Sent, Will Retry: ", {}},
  };
  for (const auto& c : cases) {
    ProfileRecord p = Messaging(c.name);
    p.PrcInboundMessages = false, p.RecAddress = c.to, p.Subject = c.subject, p.MsgText = "Attached.\r\n.\r\n..two";
    conf::WriteProfileUnattended(p, {true, 24, false, 0});
    Drop(p, "A.TXT", binary);
    AddProfile(p);
  }
  ASSERT_TRUE(Start());
  Cycle();
  const QStringList lines = CycleLines();
  EXPECT_EQ(lines.mid(0, 5), (QStringList{kInfo + "Starting Session with the Profile: One", kInfo + "Sending New Message",
                                          kInfo + "Destination Address: ann@example.com",
                                          kInfo + "Attachment File: " + Path("One/out/A.TXT"),
                                          kInfo + "Message Successfully Sent"}));
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.toStdString());
    EXPECT_EQ(Files(Path(c.name + "/out")), c.out);
    EXPECT_TRUE(c.line.isEmpty() || !lines.filter(c.line).isEmpty()) << lines.join('\n').toStdString();
    if (c.line.startsWith("ERROR:\t Destination")) continue;  // nothing reached sendmail
    EXPECT_EQ(ReadAll(sent_ + "/args" + QString::number(n)), "-i -t\n");
    const QJsonObject m = ReadSent(n++);
    if (c.recipients.isEmpty()) continue;
    EXPECT_EQ(m["defects"].toInt(-1), 0);
    EXPECT_EQ(m["to"].toArray(), c.recipients);
    EXPECT_EQ(m["subject"].toString(), c.subject);
    EXPECT_EQ(m["text"].toString(), "Attached.\n.\n..two");
    EXPECT_EQ(m["files"].toArray(), (QJsonArray{QJsonArray{"A.TXT", QString::fromLatin1(binary.toHex())}}));
    EXPECT_TRUE(m["from"].toString().endsWith(QString("<%1>").arg(getpwuid(geteuid())->pw_name))) << m["from"].toString().toStdString();
  }
  EXPECT_EQ(n, 4);
}

TEST_F(AgentLocalMsgTest, TheInboxIsTakenOldestFirstAndLeavesOnlyWhatIsWritten) {
  const QByteArray withParts =
      "From: Ann <ann@example.com>\nSubject: Report\nMIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\nSee the report.\n"
      "--b\nContent-Type: application/xml; name=report.xml\nContent-Transfer-Encoding: base64\n\nPHJlcG9ydC8+\n"
      "--b\nContent-Type: message/external-body; access-type=URL;\n URL=\"http://example.com/big.iso\"\n\n"
      "Content-Type: application/octet-stream\n\n--b--\n";
  Deliver("new/2000.M2.host", "From: \"Bob\" <bob@example.com>\nSubject: Last\n\nthird\n", 3000);
  Deliver("cur/1000.M1.host:2,S", withParts, 4000);
  Deliver("new/0-unstamped", "Subject: No sender\n\nsecond\n", 1500);
  ProfileRecord p = Messaging("P");
  p.PrcOutboundMessages = false;
  AddProfile(p);
  ASSERT_TRUE(Start());
  Cycle();
  const QString in = p.InboundDir + "/";
  EXPECT_EQ(CycleLines(),
            (QStringList{kInfo + "Starting Session with the Profile: P", kInfo + "Processing New Message From: Ann - ann@example.com",
                         kInfo + "Creating File: " + in + "report.IN",
                         "ERROR:\t The Message Contains an Attachment Type Not Supported",
                         kInfo + "Message Successfully Processed", kInfo + "Processing New Message From: ???",
                         kInfo + "Message Successfully Processed", kInfo + "Processing New Message From: Bob - bob@example.com",
                         kInfo + "Message Successfully Processed"}));
  EXPECT_EQ(Files(p.InboundDir), (QStringList{"1-MSG.INF", "MSG.INF", "report.IN", "report.INF"}));
  EXPECT_EQ(ReadAll(in + "report.IN"), "<report/>");
  EXPECT_TRUE(ReadAll(in + "report.INF").endsWith(in.toUtf8() + "report.IN\r\nERROR: The Message Contains an Attachment Type Not Supported\r\n"));
  EXPECT_TRUE(ReadAll(in + "MSG.INF").startsWith("From: \r\n???\r\n"));
  EXPECT_EQ(Files(maildir_ + "/new") + Files(maildir_ + "/cur"), QStringList{});

  // A write the system refuses (even to root: the file size limit) leaves the message in place,
  // and the next one goes on. What a POP3 profile sharing the folder still has to put in place
  // stays.
  Deliver("new/3000.M3.host", "From: c@example.com\nContent-Type: application/octet-stream; name=big.bin\n\n" +
                                  QByteArray(300000, 'b'), 5000);
  Deliver("new/3001.M4.host", "From: d@example.com\nContent-Type: application/octet-stream; name=small.bin\n\nsmall\n", 5001);
  WriteFile(in + ".vrltmp-1-pop3", "staged");
  WriteFile(home_ + "/VRLEng31.uids", QString(R"({"pop3:u@h:110":{"ids":{"x":0},"placing":{"id":"x","files":[["%1.vrltmp-1-pop3","%1x.IN","1"]]}}})").arg(in).toUtf8());
  struct rlimit old {};
  getrlimit(RLIMIT_FSIZE, &old);
  const struct rlimit small = {100000, old.rlim_max};
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  Cycle();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(CycleLines().contains("ERROR:\t Cannot Create The File: " + in + "big.IN - Cannot write " + in +
                                    "big.IN: File too large"));
  EXPECT_EQ(CycleLines().last(), kInfo + "Message Successfully Processed");
  EXPECT_EQ(Files(maildir_ + "/new"), QStringList{"3000.M3.host"});
  EXPECT_EQ(Files(p.InboundDir), (QStringList{".vrltmp-1-pop3", "1-MSG.INF", "MSG.INF", "report.IN", "report.INF",
                                              "small.IN", "small.INF"}))
      << "nothing half-written is left";
}

}  // namespace
