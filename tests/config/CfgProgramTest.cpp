// The configuration program's command line, run as its own process, on the document in
// tests/data/config/document.json (global options; profiles Orders and Invoices for internet
// mail, Messaging for local messaging).
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "../oauth/TokenServer.h"
#include "PollFor.h"
#include "oauth/TokenStore.h"

namespace {

struct ProgramRun {
  int exitCode = -1;
  QString out;
  QString err;
};

ProgramRun RunCfg(const QStringList& args, const QByteArray& input = {},
                  QProcessEnvironment env = QProcessEnvironment::systemEnvironment()) {
  // Never the user's own configuration.
  if (!env.contains("VORLANE_HOME")) env.insert("VORLANE_HOME", "/nonexistent/vorlane-test");
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(VRL_BIN_DIR "/VRLCfg31", args);
  ProgramRun r;
  if (!p.waitForStarted(10000)) return r;
  p.write(input);
  p.closeWriteChannel();
  if (!p.waitForFinished(30000)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int ModeOf(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QJsonObject Document() {
  return QJsonDocument::fromJson(ReadAll(VRL_TEST_DATA "/config/document.json")).object();
}

// The node with the field at a dotted path ("global.AutoExit", "profiles.0.Prfname") set to v,
// or removed when v is undefined.
QJsonValue Edited(const QJsonValue& node, QStringList path, const QJsonValue& v) {
  const QString key = path.takeFirst();
  if (node.isArray()) {
    QJsonArray a = node.toArray();
    a[key.toInt()] = path.isEmpty() ? v : Edited(a[key.toInt()], path, v);
    return a;
  }
  QJsonObject o = node.toObject();
  if (!path.isEmpty()) o.insert(key, Edited(o.value(key), path, v));
  else if (v.isUndefined()) o.remove(key);
  else o.insert(key, v);
  return o;
}

void Set(QJsonObject& doc, const char* path, const QJsonValue& v = QJsonValue::Undefined) {
  doc = Edited(doc, QString::fromLatin1(path).split('.'), v).toObject();
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    home_ = tmp_.path() + "/home";
  }
  QString Pcf() const { return home_ + "/VRL3PF.PCF"; }
  QString Gcf() const { return home_ + "/VRL3GCF.GCF"; }
  QString File(const char* name) const { return tmp_.path() + '/' + name; }
  // Writes the document (or bytes) to a file of the test folder and returns its path.
  QString Write(const char* name, const QByteArray& bytes) const {
    QFile f(File(name));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
    return f.fileName();
  }
  QString Write(const char* name, const QJsonObject& doc) const { return Write(name, QJsonDocument(doc).toJson()); }
  ProgramRun Cfg(const QStringList& args, const QByteArray& input = {}) {
    return RunCfg(QStringList{"--home", home_} + args, input);
  }

  QTemporaryDir tmp_;
  QString home_;
};

TEST_F(Program, Usage) {
  // Without an action the program wants a display for its window.
  QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) headless.remove(var);
  ProgramRun r = RunCfg({}, {}, headless);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_TRUE(r.err.contains("needs a graphical session")) << r.err.toStdString();
  const QStringList bad[] = {{"--frobnicate"}, {"--list", "--export", "x"}, {"--export"}, {"--home", "", "--list"},
                             {"--list", "extra"}};
  for (const QStringList& args : bad) {
    r = RunCfg(args);
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
    EXPECT_TRUE(r.err.contains("Usage: VRLCfg31")) << args.join(' ').toStdString();
  }
  EXPECT_FALSE(QFileInfo::exists("x"));
}

TEST_F(Program, ListEmptyAndImported) {
  // A mistyped folder is not an empty configuration.
  ProgramRun r = Cfg({"--list"});
  EXPECT_EQ(r.exitCode, 4) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("the application folder " + home_ + " does not exist"));
  EXPECT_EQ(Cfg({"--export", "-"}).exitCode, 4);
  EXPECT_FALSE(QFileInfo::exists(home_)) << "listing and exporting write nothing";
  // An existing folder without files is an empty configuration.
  ASSERT_TRUE(QDir().mkpath(home_));
  r = Cfg({"--export", "-"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QJsonObject empty = QJsonDocument::fromJson(r.out.toUtf8()).object();
  EXPECT_TRUE(empty["profiles"].toArray().isEmpty());
  EXPECT_EQ(empty["global"]["ConfigFlag"].toInt(), 0);

  QJsonObject doc = Document();
  Set(doc, "profiles.1.PrfEnabled", false);
  r = Cfg({"--import", Write("in.json", doc)});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.isEmpty());
  r = Cfg({"--list"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Slot\tName\tType\tEnabled\n2\tOrders\tinternet\tyes\n3\tMessaging\tmessaging\tno\n"
                   "4\tInvoices\tinternet\tyes\n");
  EXPECT_EQ(ModeOf(Pcf()), 0600);

  // The folder from the environment; --home wins over it.
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("VORLANE_HOME", home_);
  EXPECT_EQ(RunCfg({"--list"}, {}, env).out.count('\n'), 4);
  EXPECT_EQ(RunCfg({"--home", File("other"), "--list"}, {}, env).exitCode, 4);
}

// --home may name a new folder, but not a new path: a mistyped one fails and creates nothing.
TEST_F(Program, ImportCreatesOnlyTheLastFolderOfHome) {
  const QString doc = Write("in.json", Document()), file = Write("plain", QByteArray("x"));
  const struct {
    QString home, named;  // the error names this path, with the reason
    const char* reason;
  } cases[] = {{File("new"), {}, nullptr},
               {File("no/such/deep"), File("no/such"), "No such file or directory"},
               {file, file, "Not a directory"},
               {file + "/sub", file, "Not a directory"}};
  for (const auto& c : cases) {
    const ProgramRun r = RunCfg({"--home", c.home, "--import", doc});
    EXPECT_EQ(r.exitCode, c.reason ? 1 : 0) << c.home.toStdString();
    if (c.reason) {
      EXPECT_EQ(r.err, "VRLCfg31: Error writing configuration file: \"" + c.named + "\" - " + c.reason + "\n");
    }
  }
  EXPECT_TRUE(QFileInfo(File("new/VRL3PF.PCF")).isFile());
  EXPECT_FALSE(QFileInfo::exists(File("no")));
}

TEST_F(Program, RoundTrip) {
  const QJsonObject doc = Document();
  ProgramRun r = Cfg({"--import", Write("in.json", doc)});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  r = Cfg({"--export", File("out1.json")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(ModeOf(File("out1.json")), 0600);
  const QByteArray out1 = ReadAll(File("out1.json"));
  EXPECT_EQ(QJsonDocument::fromJson(out1).object(), doc);

  // Standard input works for import; an existing export file is narrowed to 0600.
  ASSERT_EQ(Cfg({"--import", "-"}, out1).exitCode, 0);
  ASSERT_EQ(::chmod(QFile::encodeName(File("out1.json")).constData(), 0644), 0);
  ASSERT_EQ(Cfg({"--export", File("out1.json")}).exitCode, 0);
  EXPECT_EQ(ModeOf(File("out1.json")), 0600);
  EXPECT_EQ(ReadAll(File("out1.json")), out1);
}

TEST_F(Program, UnreadableFilesFail) {
  ASSERT_EQ(Cfg({"--import", Write("in.json", Document())}).exitCode, 0);
  ASSERT_TRUE(QFile(Pcf()).resize(5000 + 20));
  EXPECT_EQ(Cfg({"--export", File("out.json")}).exitCode, 1);
  EXPECT_FALSE(QFileInfo::exists(File("out.json")));
  ProgramRun r = Cfg({"--import", File("missing.json")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("cannot read")) << r.err.toStdString();
  EXPECT_EQ(Cfg({"--export", File("no/such/folder.json")}).exitCode, 1);

  // A FIFO in place of a record file: refused at once with the reason (RunCfg bounds the wait).
  for (const char* name : {"VRL3GCF.GCF", "VRL3PF.PCF"}) {
    const QString path = home_ + '/' + name;
    QFile::remove(path);
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    r = Cfg({"--list"});
    EXPECT_EQ(r.exitCode, 1) << name;
    EXPECT_EQ(r.err, "VRLCfg31: Error reading configuration file: \"" + path + "\": it is a FIFO, not a regular file\n");
    QFile::remove(path);
  }
}

TEST_F(Program, OversizedDocumentsAreRefused) {
  // Reading stops at the limit: an endless device, a large file, a large standard input.
  const QByteArray big(5 * 1024 * 1024, ' ');
  const std::pair<QStringList, QByteArray> cases[] = {
      {{"--check", "/dev/zero"}, {}}, {{"--import", Write("big.json", big)}, {}}, {{"--import", "-"}, big}};
  for (const auto& [args, input] : cases) {
    const ProgramRun r = Cfg(args, input);
    EXPECT_EQ(r.exitCode, 1) << args.join(' ').toStdString();
    EXPECT_TRUE(r.err.contains("is larger than 4 MiB")) << r.err.toStdString();
  }
  EXPECT_FALSE(QFileInfo::exists(home_));
}

TEST_F(Program, ImportRefusals) {
  // A configuration in place, to prove that a refused import leaves it alone.
  ASSERT_EQ(Cfg({"--import", Write("good.json", Document())}).exitCode, 0);
  const QByteArray pcf = ReadAll(Pcf());
  const QByteArray gcf = ReadAll(Gcf());
  auto refused = [&](const QString& what, const QJsonObject& doc, const QString& message) {
    const ProgramRun r = Cfg({"--import", Write("bad.json", doc)});
    EXPECT_EQ(r.exitCode, 1) << what.toStdString();
    EXPECT_TRUE(r.err.contains(message)) << what.toStdString() << ": " << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("nothing was written")) << what.toStdString();
    EXPECT_EQ(ReadAll(Pcf()), pcf) << what.toStdString();
    EXPECT_EQ(ReadAll(Gcf()), gcf) << what.toStdString();
  };
  // Each case: what it is, the edits of the document ([path] removes, [path, value] sets), and
  // text the message on standard error holds.
  const QJsonArray cases = QJsonDocument::fromJson(ReadAll(VRL_TEST_DATA "/config/refusals.json")).array();
  ASSERT_GT(cases.size(), 30);
  for (const QJsonValue& c : cases) {
    QJsonObject doc = Document();
    for (const QJsonValue& e : c[1].toArray())
      Set(doc, e[0].toString().toLatin1().constData(), e.toArray().size() > 1 ? e[1] : QJsonValue::Undefined);
    refused(c[0].toString(), doc, c[2].toString());
  }

  // Texts over the limits. The other texts of the messaging profile take 63 bytes, its password
  // 7 in plain text and 8 scrambled: 4847 bytes of message make 4910 as typed, 4911 as stored.
  const struct {
    const char* path;
    QString value;
    const char* message;
  } longTexts[] = {
      {"global.LogFileName", QString(4979, 'x'), "too long"},
      {"global.MetricsFile", "/" + QString(1024, 'm'), "\"MetricsFile\" must be at most 1024 bytes (UTF-8), not 1025"},
      {"global.ClusterDatabase", QString(342, u'€'), "\"ClusterDatabase\" must be at most 1024 bytes (UTF-8), not 1026"},
      {"profiles.0.MsgText", QString(4910, 'm'), "at most 4910"},
      {"profiles.1.MsgText", QString(4847, 'm'), "at most 4910"},
      {"profiles.0.ImapMoveTo", QString(342, u'€'), "\"ImapMoveTo\" must be one line of at most 1024 bytes"},
      // One block entry (tag, length, bytes) of 4900 bytes in all.
      {"profiles.0.Extension", QString::fromLatin1((QByteArray("\x07\x00\x20\x13", 4) + QByteArray(4896, 'e')).toBase64()),
       "at most 4910"},
  };
  for (const auto& c : longTexts) {
    QJsonObject doc = Document();
    Set(doc, c.path, c.value);
    refused(c.path, doc, c.message);
  }

  for (const QByteArray text : {"", "[]", "{\"global\": {}, \"profiles\": []"}) {
    EXPECT_EQ(Cfg({"--import", Write("bad.json", text)}).exitCode, 1) << text.constData();
    EXPECT_EQ(ReadAll(Pcf()), pcf);
  }
  EXPECT_EQ(QDir(home_).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST_F(Program, CheckListsEveryProblemAndWritesNothing) {
  QJsonObject doc = Document();
  Set(doc, "global.PrcInterval", -1);
  Set(doc, "profiles.0.SmtpTcpPort", 0);
  Set(doc, "profiles.2.FromAddress", "x");
  ProgramRun r = Cfg({"--check", Write("bad.json", doc)});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.count("\n  "), 3) << r.err.toStdString();

  r = Cfg({"--check", Write("bad.json", QByteArray("{\n  \"global\": {,\n}"))});
  EXPECT_TRUE(r.err.contains("not valid JSON at line 2, column 15")) << r.err.toStdString();

  // "~/" is the user's home, said when it is expanded.
  doc = Document();
  Set(doc, "profiles.0.InboundDir", "~/in");
  r = Cfg({"--check", Write("good.json", doc)});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, File("good.json") + ": a valid configuration with 3 profile(s)\n");
  EXPECT_TRUE(r.err.contains("\"~/in\" stored as \"" + QDir::homePath() + "/in\""));
  EXPECT_FALSE(QFileInfo::exists(home_)) << "a check writes nothing";
}

// What the editor would ask about is said and taken as answered Yes; the document is accepted.
TEST_F(Program, QuestionsBecomeWarnings) {
  QJsonObject doc = Document();
  Set(doc, "profiles.0.UserName", "");
  Set(doc, "profiles.0.SmtpServer", "");
  Set(doc, "profiles.1.OutboundDir", "/nonexistent/out");
  Set(doc, "profiles.2.Prfname", "Orders");
  Set(doc, "global.MetricsFile", "/nonexistent/vorlane.prom");
  const ProgramRun r = Cfg({"--import", Write("asks.json", doc)});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.err.split('\n', Qt::SkipEmptyParts),
            (QStringList{"VRLCfg31: warning: global: field \"MetricsFile\": the folder \"/nonexistent\" does not exist",
                         "VRLCfg31: warning: profile \"Orders\" (slot 2): field \"SmtpServer\" is empty: no outbound messages will be processed",
                         "VRLCfg31: warning: profile \"Orders\" (slot 2): field \"UserName\" is empty",
                         "VRLCfg31: warning: profile \"Messaging\" (slot 3): field \"OutboundDir\": the folder \"/nonexistent/out\" does not exist",
                         "VRLCfg31: warning: profile \"Orders\" (slot 4): the name is also that of profile \"Orders\" (slot 2)"}));
  const QJsonObject back = QJsonDocument::fromJson(Cfg({"--export", "-"}).out.toUtf8()).object();
  EXPECT_FALSE(back["profiles"][0]["PrcOutboundMessages"].toBool()) << "as a Yes in the editor does";
}

TEST_F(Program, AcceptedEdgeValues) {
  // What the checks let through: a messaging profile's zero ports and time-out, the limits
  // themselves, an empty extension, 4910 bytes of texts.
  QJsonObject doc = Document();
  for (const auto& [path, value] : std::initializer_list<std::pair<const char*, QJsonValue>>{
           {"profiles.0.Pop3TcpPort", 65535}, {"profiles.0.SmtpTcpPort", 1}, {"profiles.0.TimeOutSecs", 300},
           {"profiles.0.Extension", ""}, {"profiles.1.TimeOutSecs", 0}, {"profiles.1.SmtpTcpPort", 587},
           {"profiles.2.SubjectLin", -2}, {"global.PrcInterval", 32767}, {"global.ConfigFlag", 0},
           // 4978 bytes of name fit the record; the block holding LogMaxMB takes 10 of them.
           {"global.LogFileName", '/' + QString(4967, 'l')}})
    Set(doc, path, value);
  ASSERT_EQ(Cfg({"--import", Write("edge.json", doc)}).exitCode, 0);
  const QJsonObject back = QJsonDocument::fromJson(Cfg({"--export", "-"}).out.toUtf8()).object();
  Set(doc, "profiles.0.Extension");  // an empty one is not exported
  Set(doc, "global.ConfigFlag", 1);  // an import is a saved configuration
  EXPECT_EQ(back, doc);
}

TEST_F(Program, DemoConfigurationImports) {
  QByteArray demo = ReadAll(VRL_SOURCE_DIR "/demo/demo-config.json");
  if (demo.isEmpty()) GTEST_SKIP() << "no demo configuration in this tree";
  demo.replace("@DEMO@", tmp_.path().toUtf8());
  const ProgramRun r = Cfg({"--import", Write("demo.json", demo)});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(QJsonDocument::fromJson(Cfg({"--export", "-"}).out.toUtf8()), QJsonDocument::fromJson(demo));
}

// The device grant against a token server of this test, which answers while the event loop runs.
TEST_F(Program, OAuthLogin) {
  TokenServer server({{200, R"({"device_code":"DC-hidden","user_code":"ABCD-EFGH",
                                "verification_uri":"http://127.0.0.1/device","interval":1})"},
                      {200, R"({"access_token":"AT-hidden","refresh_token":"RT-hidden","expires_in":3600})"}});
  QJsonObject doc = Document();
  for (const auto& [field, value] : {std::pair<QString, QString>{"AuthMethod", "oauth2"}, {"OAuthProvider", "custom"},
                                     {"OAuthClientId", "cid"}, {"OAuthDeviceUrl", server.Url().toString()},
                                     {"OAuthTokenUrl", server.Url().toString()}})
    Set(doc, ("profiles.0." + field).toLatin1().constData(), value);
  ASSERT_EQ(Cfg({"--import", Write("oauth.json", doc)}).exitCode, 0);
  auto signIn = [&] {
    QProcess p;
    p.start(VRL_BIN_DIR "/VRLCfg31", {"--home", home_, "--oauth-login", "Orders"});
    EXPECT_TRUE(vrltest::PollFor([&] { return p.state() == QProcess::NotRunning; }, 30000));
    return ProgramRun{p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
  };
  ProgramRun r = signIn();
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, "Open http://127.0.0.1/device and enter the code ABCD-EFGH\n"
                   "Waiting for the sign-in (the code is valid for 15 minutes)...\n"
                   "Signed in: profile \"Orders\". The agent renews the tokens from now on.\n");
  EXPECT_FALSE((r.out + r.err).contains("hidden"));
  EXPECT_EQ(server.bodies.value(0), "client_id=cid&scope=");
  const oauth::TokenStore store(home_);
  oauth::StoredTokens kept;
  EXPECT_TRUE(store.Load("Orders", kept) && kept.refreshToken == "RT-hidden");
  EXPECT_EQ(ModeOf(store.PathFor("Orders")), 0600);
  r = signIn();  // the server has no more answers
  EXPECT_EQ(r.exitCode, 5);
  EXPECT_EQ(r.err, "VRLCfg31: sign-in for profile \"Orders\" failed: the device authorization endpoint answered "
                   "HTTP 500 without a code\n");

  const struct { QStringList args; int exitCode; const char* err; } refusals[] = {
      {{"--oauth-login", "Invoices"}, 1, "profile \"Invoices\" does not sign in with OAuth (AuthMethod oauth2)"},
      {{"--oauth-login", "orders"}, 1, "there is no profile \"orders\""},
      {{"--oauth-login", "Orders", "--list"}, 2, "give one of"},
      {{"--browser", "--list"}, 2, "--browser goes with --oauth-login"},
  };
  for (const auto& c : refusals) {
    r = Cfg(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args.join(' ').toStdString();
    EXPECT_TRUE(r.err.contains(c.err)) << r.err.toStdString();
  }
}

}  // namespace
