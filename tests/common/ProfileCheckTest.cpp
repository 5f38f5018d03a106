// The profile rules where they differ by use: what the agent's load keeps of them, and what an
// import, which cannot ask, makes of the questions.
#include "ProfileCheck.h"

#include <gtest/gtest.h>

namespace {

ProfileRecord Valid() {
  ProfileRecord p;
  p.Prfname = "Orders", p.HostType = 2, p.SmtpServer = "smtp", p.Pop3Server = "pop", p.UserName = "u";
  p.Pop3SmtpPws = "p", p.FromName = "Me", p.FromAddress = "me@example.org", p.Pop3TcpPort = 110, p.SmtpTcpPort = 25;
  p.TimeOutSecs = 30, p.PrcInboundMessages = p.PrcOutboundMessages = true, p.InboundDir = "/srv/in";
  p.CreateAttchsInMsgs = p.CreateInfFileInboundMsgs = true, p.FileExtention = "TXT", p.ResFilesExtention = "INF";
  p.OutboundMode = 1, p.OutboundDir = "/srv/out", p.OutFilesExtention = "*.TXT", p.RecAddress = "to@example.org";
  return p;
}

QStringList Texts(const QList<conf::ProfileProblem>& problems) {
  QStringList out;
  for (const auto& p : problems) out << (p.severity == conf::Severity::Ask ? "ask: " : "refuse: ") + p.text;
  return out;
}

TEST(ProfileCheck, TypesCompareWithAndWithoutTheDot) {
  const std::pair<const char*, const char*> cases[] = {
      {"*.TXT", "TXT"}, {"TXT", "TXT"}, {".txt", "txt"}, {"*txt..", "txt"}, {"a.b.Z", "Z"}, {"*.*", ""}, {" ", ""}};
  for (auto [type, extension] : cases) EXPECT_EQ(conf::TypeExtension(type), extension) << type;
  EXPECT_TRUE(conf::CheckProfile(Valid()).isEmpty()) << Texts(conf::CheckProfile(Valid())).join('\n').toStdString();
}

TEST(ProfileCheck, TheAgentKeepsOnlyWhatWouldMisbehave) {
  ProfileRecord p = Valid();
  p.Prfname = " ", p.UserName.clear(), p.FromName.clear(), p.RecAddress.clear();  // an editor's matters
  p.ResFilesExtention = "txt";
  p.InboundDir = "in", p.OutFilesExtention = "bad", p.FromAddress = "Me";  // the agent's
  conf::ProfileCheckOptions run;
  run.purpose = conf::CheckPurpose::Run;
  EXPECT_EQ(Texts(conf::CheckProfile(p, run)),
            (QStringList{"refuse: Invalid E-Mail Address for User Information", "refuse: Not an absolute folder name: in",
                         "refuse: This type of file cannot be used: *.BAD"}));
  p.PrcOutboundMessages = false;  // a sender matters only to send
  EXPECT_EQ(conf::CheckProfile(p, run).size(), 1);
}

TEST(ProfileCheck, AnsweringYesDoesWhatTheEditorDoes) {
  ProfileRecord p = Valid();
  p.SmtpServer.clear(), p.RecAddress.clear(), p.UserName.clear();
  const QList<conf::ProfileProblem> said = conf::CheckProfileAnsweringYes(p);
  EXPECT_FALSE(p.PrcOutboundMessages);
  EXPECT_EQ(Texts(said), (QStringList{"ask: SMTP Server is empty. No Outbound Messages will be processed. Continue?",
                                      "ask: Username is empty. Continue?"}))
      << "outbound problems are not said once outbound is off";
  p = Valid();
  p.SmtpServer.clear(), p.PrcInboundMessages = false;
  EXPECT_EQ(Texts(conf::CheckProfileAnsweringYes(p)).last(),
            "refuse: Please select 'Process Inbound Messages' or 'Process Outbound Messages'");
}

}  // namespace
