// Every configuration the profile rules accept survives export, import into an empty folder and
// export again unchanged: checked over generated profiles that take every field to its edges.
#include "AppFolder.h"
#include "CfgTransfer.h"
#include "MdlGlbalConf.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"
#include "ProfileCheck.h"
#include "ProfileInbound.h"
#include "ProfileOAuth.h"
#include "ProfileSecurity.h"
#include "ProfileUnattended.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>

namespace {

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  template <class T>
  T Pick(std::initializer_list<T> values) {
    return values.begin()[std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng_)];
  }
  bool Coin() { return std::bernoulli_distribution(0.5)(rng_); }
  int Between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  QString Text() {
    return Pick<QString>({"", " ", "a", "Jörg € 😀", "quote \" back \\ slash", "line\r\nbreak", "tab\there",
                          QString(300, u'x'), "  padded  "});
  }
  QString Folder() { return Pick<QString>({"/srv/in", "/tmp/a b", "/ü/€/", "/", "/srv/in;out"}); }
  QString Type() { return Pick<QString>({"*.TXT", "TXT", ".res", "*.inf", "*.RES", "x.y.Z", "*.PRC", "*.txt"}); }

  ProfileRecord Profile() {
    ProfileRecord p;
    // Every text first, then what the rules look at from narrower sets.
    conf::ForEachProfileField(p, [&](const char*, conf::FieldKind kind, auto& field) {
      using T = std::decay_t<decltype(field)>;
      if constexpr (std::is_same_v<T, QString>) {
        if (kind == conf::FieldKind::String) field = Text();
      } else if constexpr (std::is_same_v<T, bool>) {
        field = Coin();
      } else if constexpr (std::is_same_v<T, qint16>) {
        field = Pick<qint16>({0, 1, -1, -2, 2, 32767, -32768});
      }
    });
    p.HostType = Pick<qint16>({1, 2});
    p.OutboundMode = Pick<qint16>({1, 2});
    p.Pop3TcpPort = Pick<quint16>({1, 110, 995, 65535});
    p.SmtpTcpPort = Pick<quint16>({1, 25, 587, 65535});
    p.TimeOutSecs = Pick<qint16>({1, 30, 300});
    p.Prfname = Pick<QString>({"Orders", "orders", " Orders", "Büro € 1", QString(200, u'n')});
    p.SmtpServer = Pick<QString>({"", "smtp.example.org", "127.0.0.1"});
    p.Pop3Server = Pick<QString>({"", "pop.example.org", "[::1]"});
    p.FromAddress = Pick<QString>({"me@example.org", "jörg@bücher.example", "a.b+c@d.example"});
    p.WinMsgProfileName = Pick<QString>({"~/Maildir", "/var/mail/x", "Outlook"});
    const QString pws = Text();
    p.WinMsgPws = pws.isEmpty() ? QString() : Scramble(pws);
    p.InboundDir = Folder(), p.OutboundDir = Folder();
    p.FileExtention = Type(), p.ResFilesExtention = Type(), p.OutFilesExtention = Type();
    p.RenamedFilesExtention = Coin() ? QString() : Type();
    p.RecAddress = Pick<QString>({"to@example.org", "a@x.example; b@y.example", " "});
    if (Coin()) {
      ProfileSecurity s;
      s.SmtpSecurity = qint16(Between(0, 3)), s.Pop3Security = qint16(Between(0, 3)), s.AuthMethod = qint16(Between(0, 4));
      s.VerifyCertificate = Coin();
      s.CertFingerprint = Coin() ? QString() : "SHA256:" + QString(64, Pick<QChar>({u'a', u'F', u'0'}));
      s.PasswordCommand = Text();
      conf::WriteProfileSecurity(p, s);
      if (s.UsesOAuth() || Coin()) {
        const QString line = Pick<QString>({"", "x", "Büro € 1 \"q\" \\", QString(300, u'n')});
        ProfileOAuth o{Pick<QString>({"microsoft", "google"}), "client-" + line, line, line, line, "", "",
                       Pick<QString>({"", "https://login.example/t", "http://127.0.0.1:9/token"})};
        conf::WriteProfileOAuth(p, o);
      }
    }
    if (Coin()) conf::WriteProfileUnattended(p, {Coin(), qint16(Pick({1, 24, 32767})), Coin(), qint16(Pick({0, 7, 32767}))});
    if (Coin()) {
      ProfileInbound in{Pick<QString>({"pop3", "imap"}), Pick<QString>({"INBOX", "Büro/€ \"q\" \\", QString(1024, u'f')}),
                        Pick<QString>({"delete", "move", "keep"}), Pick<QString>({"", "Done", "INBOX"}), Coin()};
      if (in.ImapAfter == "move" && (in.ImapMoveTo.isEmpty() || in.ImapMoveTo == in.ImapFolder)) in.ImapMoveTo = "Done/€";
      conf::WriteProfileInbound(p, in);
    }
    if (Coin()) conf::WriteAttachmentFolders(p, {Folder(), "/srv/a;b"});
    if (Coin()) p.Extension += QByteArray("\x09\x00\x01\x00Z", 5);  // an entry of a later version
    return p;
  }

 private:
  std::mt19937 rng_;
};

// What the editor can save: no refusal, and no question whose Yes would still change the profile.
bool Savable(const ProfileRecord& p) {
  ProfileRecord settled = p;
  for (const conf::ProfileProblem& problem : conf::CheckProfileAnsweringYes(settled))
    if (problem.severity == conf::Severity::Refuse) return false;
  return settled == p && conf::PackProfile(p);
}

TEST(RoundTrip, ExportImportExportGivesTheSameDocument) {
  Generator gen(20261208);
  int configurations = 0, attempts = 0;
  while (configurations < 150 && ++attempts < 100000) {
    QList<ProfileRecord> profiles;
    const int wanted = gen.Between(1, 4);
    while (profiles.size() < wanted && ++attempts < 100000) {
      ProfileRecord p = gen.Profile();
      if (Savable(p)) profiles << p;
    }
    QTemporaryDir first, second;
    vrl::SetApplicationFolder(first.path());
    GlobalRecord g;
    g.AutoInit = gen.Coin(), g.PrcInterval = qint16(gen.Pick({0, 1, 32767})), g.PrcIntervalUnit = qint16(gen.Between(0, 2));
    g.ConfigFlag = 1, g.MaxMessageMB = gen.Pick({0, 25}), g.MaxAttachments = gen.Pick({0, 1000, 1000000});
    g.MetricsFile = gen.Pick<QString>({"", "/var/lib/prometheus/node-exporter/vorlane.prom", "/ü/€ \"q\" \\.prom",
                                       "/" + QString(1023, u'm'), "/" + QString(341, u'€')});
    g.ClusterDatabase = gen.Pick<QString>({"", "host=db.example port=5432 dbname=vrl user=vrl",
                                           "postgresql://vrl@db.example/vrl?sslmode=verify-full", "application_name=" + QString(330, u'€')});
    g.LeaseSeconds = gen.Pick({2, 30, 3600});
    ASSERT_TRUE(WriteGlobalRecord(g) && CreateProfilesFile());
    for (ProfileRecord& p : profiles) ASSERT_TRUE(AddProfileRecord(p));
    cfgtransfer::Configuration stored, parsed, again;
    QString error;
    ASSERT_TRUE(cfgtransfer::ReadConfiguration(stored, error)) << error.toStdString();
    const QByteArray exported = cfgtransfer::ToJson(stored);

    QStringList problems;
    ASSERT_TRUE(cfgtransfer::FromJson(exported, parsed, problems)) << problems.join('\n').toStdString() << "\n"
                                                                   << exported.constData();
    vrl::SetApplicationFolder(second.path());
    ASSERT_TRUE(cfgtransfer::WriteConfiguration(parsed, error)) << error.toStdString();
    ASSERT_TRUE(cfgtransfer::ReadConfiguration(again, error)) << error.toStdString();
    ASSERT_EQ(cfgtransfer::ToJson(again), exported);
    ++configurations;
  }
  vrl::SetApplicationFolder(QString());
  EXPECT_EQ(configurations, 150) << "the generator finds too few savable profiles";
}

}  // namespace
