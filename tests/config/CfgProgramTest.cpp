// The configuration program's command line, run as its own process.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <sys/stat.h>

namespace {

struct ProgramRun {
  int exitCode = -1;
  QString out;
  QString err;
};

ProgramRun RunCfg(const QStringList& args, const QByteArray& input = {},
           const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  QProcess p;
  QProcessEnvironment e = env;
  if (!e.contains(QStringLiteral("VORLANE_HOME"))) {
    // Never the user's own configuration.
    e.insert(QStringLiteral("VORLANE_HOME"), QStringLiteral("/nonexistent/vorlane-test"));
  }
  p.setProcessEnvironment(e);
  p.start(QStringLiteral(VRL_BIN_DIR "/VRLCfg31"), args);
  ProgramRun r;
  if (!p.waitForStarted(10000)) return r;
  if (!input.isEmpty()) p.write(input);
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

void WriteAll(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(bytes);
}

int ModeOf(const QString& path) {
  struct stat st {};
  return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QJsonObject Global() {
  return QJsonObject{{"RunAtSysStartup", false}, {"AutoInit", true},   {"InitMinimized", false},
                     {"HideWhenMinimized", false}, {"AutoExit", true}, {"PrcInterval", 5},
                     {"PrcIntervalUnit", 1},       {"ShowErrorMsgs", false}, {"UseLogFile", true},
                     {"LogFileName", "/tmp/v.log"}, {"ConfigFlag", 1}, {"LogMaxMB", 50}};
}

QJsonObject Profile(const QString& name, int hostType) {
  const bool internet = hostType == 2;
  return QJsonObject{{"PrfEnabled", true},
                     {"Prfname", name},
                     {"HostType", hostType},
                     {"WinMsgProfileName", internet ? "" : "Outlook"},
                     {"WinMsgPws", internet ? "" : "géheim"},
                     {"SmtpServer", internet ? "127.0.0.1" : ""},
                     {"Pop3Server", internet ? "127.0.0.1" : ""},
                     {"UserName", internet ? "u" : ""},
                     {"Pop3SmtpPws", internet ? "p" : ""},
                     {"FromName", ""},
                     {"FromAddress", internet ? "me@example.com" : ""},
                     {"SmtpRequiresLogin", false},
                     {"Pop3LoginBeforeSndMail", false},
                     {"Pop3TcpPort", internet ? 110 : 0},
                     {"SmtpTcpPort", internet ? 25 : 0},
                     {"TimeOutSecs", internet ? 30 : 0},
                     {"PrcInboundMessages", true},
                     {"PrcOutboundMessages", true},
                     {"InboundDir", "/srv/in"},
                     {"CreateAttchsInMsgs", true},
                     {"CreateInfFileInboundMsgs", false},
                     {"FileExtention", "*.TXT"},
                     {"ResFilesExtention", "*.RES"},
                     {"OutboundMode", 1},
                     {"OutboundDir", "/srv/out"},
                     {"OutFilesExtention", "*.TXT"},
                     {"RenamedFilesExtention", ""},
                     {"AdressLin", 0},
                     {"Adress1Sep", ""},
                     {"Adress2Sep", ""},
                     {"FileLin", 0},
                     {"File1Sep", ""},
                     {"File2Sep", ""},
                     {"SubjectLin", 0},
                     {"Subject1Sep", ""},
                     {"Subject2Sep", ""},
                     {"MsgLin", 0},
                     {"Msg1Sep", ""},
                     {"Msg2Sep", ""},
                     {"RecAddress", "to@localhost"},
                     {"Subject", "S"},
                     {"MsgText", "T"},
                     {"DeleteInterchange", false}};
}

QJsonObject Document() {
  QJsonArray profiles{Profile(QStringLiteral("Orders"), 2), Profile(QStringLiteral("Messaging"), 1),
                      Profile(QStringLiteral("Invoices"), 2)};
  return QJsonObject{{"global", Global()}, {"profiles", profiles}};
}

// Applies an edit to the first (internet-mail) or second (messaging) profile of the document.
std::function<void(QJsonObject&)> SetProfile(int index, const char* key, QJsonValue value) {
  return [=](QJsonObject& doc) {
    QJsonArray profiles = doc.value(QStringLiteral("profiles")).toArray();
    QJsonObject p = profiles[index].toObject();
    if (value.isUndefined()) {
      p.remove(QString::fromLatin1(key));
    } else {
      p.insert(QString::fromLatin1(key), value);
    }
    profiles[index] = p;
    doc.insert(QStringLiteral("profiles"), profiles);
  };
}

std::function<void(QJsonObject&)> SetGlobal(const char* key, QJsonValue value) {
  return [=](QJsonObject& doc) {
    QJsonObject g = doc.value(QStringLiteral("global")).toObject();
    if (value.isUndefined()) {
      g.remove(QString::fromLatin1(key));
    } else {
      g.insert(QString::fromLatin1(key), value);
    }
    doc.insert(QStringLiteral("global"), g);
  };
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    home_ = tmp_.path() + QStringLiteral("/home");
  }
  QString Pcf() const { return home_ + QStringLiteral("/VRL3PF.PCF"); }
  QString Gcf() const { return home_ + QStringLiteral("/VRL3GCF.GCF"); }
  QString File(const char* name) const { return tmp_.path() + QLatin1Char('/') + QString::fromUtf8(name); }
  ProgramRun Cfg(QStringList args, const QByteArray& input = {}) {
    args.prepend(home_);
    args.prepend(QStringLiteral("--home"));
    return RunCfg(args, input);
  }

  QTemporaryDir tmp_;
  QString home_;
};

TEST_F(Program, HelpVersionUsage) {
  ProgramRun r = RunCfg({QStringLiteral("--version")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, QStringLiteral("VRLCfg31 3.1.0\n"));

  r = RunCfg({QStringLiteral("--help")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.contains(QStringLiteral("--import FILE"))) << r.out.toStdString();

  r = RunCfg({});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_TRUE(r.err.startsWith(QStringLiteral("Usage: VRLCfg31"))) << r.err.toStdString();
  EXPECT_TRUE(r.out.isEmpty());

  const QStringList bad[] = {{QStringLiteral("--frobnicate")},
                             {QStringLiteral("--list"), QStringLiteral("--export"), QStringLiteral("x")},
                             {QStringLiteral("--export")},
                             {QStringLiteral("--home")},
                             {QStringLiteral("--home"), QString(), QStringLiteral("--list")},
                             {QStringLiteral("--list"), QStringLiteral("extra")},
                             {QStringLiteral("--home"), QStringLiteral("/tmp")}};
  for (const QStringList& args : bad) {
    r = RunCfg(args);
    EXPECT_EQ(r.exitCode, 2) << args.join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("Usage: VRLCfg31"))) << args.join(QLatin1Char(' ')).toStdString();
  }
  EXPECT_FALSE(QFileInfo::exists(QStringLiteral("x")));
}

TEST_F(Program, ListEmptyAndImported) {
  // A mistyped folder is not an empty configuration.
  ProgramRun r = Cfg({QStringLiteral("--list")});
  EXPECT_EQ(r.exitCode, 4) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("the application folder ") + home_ + QStringLiteral(" does not exist")));
  EXPECT_FALSE(QFileInfo::exists(home_)) << "listing writes nothing";

  QJsonObject doc = Document();
  SetProfile(1, "PrfEnabled", false)(doc);
  WriteAll(File("in.json"), QJsonDocument(doc).toJson());
  r = Cfg({QStringLiteral("--import"), File("in.json")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.isEmpty());
  r = Cfg({QStringLiteral("--list")});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, QStringLiteral("Slot\tName\tType\tEnabled\n"
                                  "2\tOrders\tinternet\tyes\n"
                                  "3\tMessaging\tmessaging\tno\n"
                                  "4\tInvoices\tinternet\tyes\n"));
  EXPECT_EQ(ModeOf(home_), 0700);
  EXPECT_EQ(ModeOf(Pcf()), 0600);
  EXPECT_EQ(ModeOf(Gcf()), 0600);
}

TEST_F(Program, HomeFromTheEnvironment) {
  WriteAll(File("in.json"), QJsonDocument(Document()).toJson());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("VORLANE_HOME"), home_);
  ProgramRun r = RunCfg({QStringLiteral("--import"), File("in.json")}, {}, env);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(QFileInfo::exists(Pcf()));
  r = RunCfg({QStringLiteral("--list")}, {}, env);
  EXPECT_EQ(r.out.count(QLatin1Char('\n')), 4);
  // --home wins over the environment.
  r = RunCfg({QStringLiteral("--home"), File("other"), QStringLiteral("--list")}, {}, env);
  EXPECT_EQ(r.exitCode, 4);
}

TEST_F(Program, RoundTrip) {
  const QJsonObject doc = Document();
  WriteAll(File("in.json"), QJsonDocument(doc).toJson());
  ProgramRun r = Cfg({QStringLiteral("--import"), File("in.json")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();

  r = Cfg({QStringLiteral("--export"), File("out1.json")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(ModeOf(File("out1.json")), 0600);
  const QByteArray out1 = ReadAll(File("out1.json"));
  EXPECT_EQ(QJsonDocument::fromJson(out1).object(), doc);

  r = Cfg({QStringLiteral("--import"), File("out1.json")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  r = Cfg({QStringLiteral("--export"), QStringLiteral("-")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out.toUtf8(), out1);

  // Standard input works for import; an existing export file is narrowed to 0600.
  r = Cfg({QStringLiteral("--import"), QStringLiteral("-")}, out1);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  ASSERT_EQ(::chmod(QFile::encodeName(File("out1.json")).constData(), 0644), 0);
  r = Cfg({QStringLiteral("--export"), File("out1.json")});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(ModeOf(File("out1.json")), 0600);
  EXPECT_EQ(ReadAll(File("out1.json")), out1);
}

TEST_F(Program, ExportOfNothingConfigured) {
  ProgramRun r = Cfg({QStringLiteral("--export"), QStringLiteral("-")});
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_FALSE(QFileInfo::exists(home_));
  ASSERT_TRUE(QDir().mkpath(home_));
  r = Cfg({QStringLiteral("--export"), QStringLiteral("-")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QJsonObject doc = QJsonDocument::fromJson(r.out.toUtf8()).object();
  EXPECT_EQ(doc.value(QStringLiteral("profiles")).toArray().size(), 0);
  EXPECT_EQ(doc.value(QStringLiteral("global")).toObject().value(QStringLiteral("ConfigFlag")).toInt(), 0);
}

TEST_F(Program, UnreadableFilesFail) {
  WriteAll(File("in.json"), QJsonDocument(Document()).toJson());
  ASSERT_EQ(Cfg({QStringLiteral("--import"), File("in.json")}).exitCode, 0);
  QFile f(Pcf());
  ASSERT_TRUE(f.resize(5000 + 20));
  ProgramRun r = Cfg({QStringLiteral("--list")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains(QStringLiteral("Error reading configuration file: \"") + Pcf() + QStringLiteral("\"")))
      << r.err.toStdString();
  r = Cfg({QStringLiteral("--export"), File("out.json")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(QFileInfo::exists(File("out.json")));

  r = Cfg({QStringLiteral("--import"), File("missing.json")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains(QStringLiteral("cannot read"))) << r.err.toStdString();
  r = Cfg({QStringLiteral("--export"), File("no/such/folder.json")});
  EXPECT_EQ(r.exitCode, 1);
}

struct Refusal {
  const char* what;
  std::function<void(QJsonObject&)> edit;
  const char* message;  // part of the message on standard error
};

TEST_F(Program, ImportRefusals) {
  // A configuration in place, to prove that a refused import leaves it alone.
  WriteAll(File("good.json"), QJsonDocument(Document()).toJson());
  ASSERT_EQ(Cfg({QStringLiteral("--import"), File("good.json")}).exitCode, 0);
  const QByteArray pcf = ReadAll(Pcf());
  const QByteArray gcf = ReadAll(Gcf());

  auto top = [](const char* key, QJsonValue v) {
    return [=](QJsonObject& d) {
      if (v.isUndefined()) {
        d.remove(QString::fromLatin1(key));
      } else {
        d.insert(QString::fromLatin1(key), v);
      }
    };
  };
  const QJsonValue kRemove = QJsonValue(QJsonValue::Undefined);
  const Refusal cases[] = {
      {"unknown top-level field", top("version", 1), "unknown field \"version\""},
      {"no global", top("global", kRemove), "\"global\" must be an object"},
      {"profiles not an array", top("profiles", QJsonObject()), "\"profiles\" must be an array"},
      {"unknown global field", SetGlobal("Colour", "red"), "global: unknown field \"Colour\""},
      {"missing global field", SetGlobal("ConfigFlag", kRemove), "global: missing field \"ConfigFlag\""},
      {"boolean as number", SetGlobal("AutoExit", 1), "field \"AutoExit\" must be true or false"},
      {"boolean as string", SetGlobal("AutoExit", "true"), "must be true or false"},
      {"integer as string", SetGlobal("PrcInterval", "5"), "field \"PrcInterval\" must be a whole number"},
      {"integer too big", SetGlobal("PrcInterval", 32768), "from -32768 to 32767"},
      {"integer too small", SetGlobal("PrcIntervalUnit", -32769), "from -32768 to 32767"},
      {"fraction", SetGlobal("PrcInterval", 1.5), "must be a whole number"},
      {"null", SetGlobal("LogFileName", QJsonValue()), "\"LogFileName\" must be a string, not null"},
      {"log file name too long", SetGlobal("LogFileName", QString(4979, QLatin1Char('x'))), "too long"},
      {"RecordNumber given", SetProfile(0, "RecordNumber", 2), "profile \"Orders\" (slot 2): unknown field \"RecordNumber\""},
      {"unknown profile field", SetProfile(1, "Colour", 1), "profile \"Messaging\" (slot 3): unknown field \"Colour\""},
      {"missing profile field", SetProfile(0, "MsgText", kRemove), "missing field \"MsgText\""},
      {"profile not an object", top("profiles", QJsonArray{1}), "profile at slot 2: must be an object"},
      {"port zero for internet mail", SetProfile(0, "SmtpTcpPort", 0), "\"SmtpTcpPort\" must be from 1 to 65535"},
      {"port above 65535", SetProfile(0, "Pop3TcpPort", 65536), "\"Pop3TcpPort\" must be a port number, not 65536"},
      {"negative port", SetProfile(1, "Pop3TcpPort", -1), "must be a port number"},
      {"time-out zero for internet mail", SetProfile(0, "TimeOutSecs", 0), "\"TimeOutSecs\" must be from 1 to 300"},
      {"time-out above 300", SetProfile(0, "TimeOutSecs", 301), "from 1 to 300"},
      {"time-out above 300 for messaging", SetProfile(1, "TimeOutSecs", 301), "from 0 to 300"},
      {"host type 0", SetProfile(0, "HostType", 0), "\"HostType\" must be 1"},
      {"outbound mode 3", SetProfile(0, "OutboundMode", 3), "\"OutboundMode\" must be 1 or 2"},
      {"empty name", SetProfile(0, "Prfname", ""), "\"Prfname\" must not be empty"},
      {"duplicate name", SetProfile(2, "Prfname", " ORDERS"),
       "profile \" ORDERS\" (slot 4): the name is taken by profile \"Orders\" (slot 2)"},
      {"name with a line break", SetProfile(2, "Prfname", "Two\nlines"), "must not hold control characters"},
      {"misspelt field",
       [](QJsonObject& d) {
         SetProfile(0, "Prfname", QJsonValue(QJsonValue::Undefined))(d);
         SetProfile(0, "Prfnme", "x")(d);
       },
       "profile at slot 2: unknown field \"Prfnme\"; did you mean \"Prfname\"?"},
      {"negative interval", SetGlobal("PrcInterval", -5), "\"PrcInterval\" must be 0 (one cycle) or more, not -5"},
      {"log limit negative", SetGlobal("LogMaxMB", -1), "\"LogMaxMB\" must be a whole number from 0 (no limit)"},
      {"unit 7", SetGlobal("PrcIntervalUnit", 7), "\"PrcIntervalUnit\" must be 0 (seconds), 1 (minutes) or 2"},
      {"log file without a name", SetGlobal("LogFileName", ""), "must name a file when UseLogFile is on"},
      {"log file in a folder that cannot be made", SetGlobal("LogFileName", "/dev/null/logs/v.log"),
       "the folder \"/dev/null/logs\" does not exist and cannot be created"},
      {"relative folder", SetProfile(0, "InboundDir", "in"), "\"InboundDir\" must be an absolute folder path"},
      {"outbound without a server", SetProfile(0, "SmtpServer", " "), "\"SmtpServer\" must name a server"},
      {"inbound without a server", SetProfile(0, "Pop3Server", ""), "\"Pop3Server\" must name a server"},
      {"sender that is no address", SetProfile(0, "FromAddress", "nobody"), "\"FromAddress\" must be an e-mail address"},
      {"strings over 4910 bytes", SetProfile(0, "MsgText", QString(4910, QLatin1Char('m'))), "at most 4910"},
      {"scrambled password pushes it over",
       // The other texts of the messaging profile take 66 bytes, its password 7 in plain text
       // and 8 scrambled: 4910 bytes as typed, 4911 as stored.
       SetProfile(1, "MsgText", QString(4844, QLatin1Char('m'))),
       "at most 4910"},
      {"extension not base64", SetProfile(0, "Extension", "***"), "\"Extension\" is not valid base64"},
      {"extension not text", SetProfile(0, "Extension", 5), "\"Extension\" must be base64 text"},
      {"extension over the limit", SetProfile(0, "Extension", QString::fromLatin1(QByteArray(4900, 'e').toBase64())),
       "at most 4910"},
  };
  for (const Refusal& c : cases) {
    QJsonObject doc = Document();
    c.edit(doc);
    WriteAll(File("bad.json"), QJsonDocument(doc).toJson());
    const ProgramRun r = Cfg({QStringLiteral("--import"), File("bad.json")});
    EXPECT_EQ(r.exitCode, 1) << c.what;
    EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.message))) << c.what << ": " << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("nothing was written"))) << c.what;
    EXPECT_EQ(ReadAll(Pcf()), pcf) << c.what;
    EXPECT_EQ(ReadAll(Gcf()), gcf) << c.what;
  }

  const QByteArray notJson[] = {"", "{", "[]", "{\"global\": {}, \"profiles\": []", "null"};
  for (const QByteArray& text : notJson) {
    WriteAll(File("bad.json"), text);
    const ProgramRun r = Cfg({QStringLiteral("--import"), File("bad.json")});
    EXPECT_EQ(r.exitCode, 1) << text.constData();
    EXPECT_EQ(ReadAll(Pcf()), pcf);
  }
  EXPECT_EQ(QDir(home_).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST_F(Program, EveryProblemIsListedAndCheckWritesNothing) {
  QJsonObject doc = Document();
  SetGlobal("PrcInterval", -1)(doc);
  SetProfile(0, "SmtpTcpPort", 0)(doc);
  SetProfile(2, "FromAddress", "x")(doc);
  WriteAll(File("bad.json"), QJsonDocument(doc).toJson());
  ProgramRun r = Cfg({QStringLiteral("--check"), File("bad.json")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err.count(QStringLiteral("\n  ")), 3) << r.err.toStdString();

  WriteAll(File("bad.json"), "{\n  \"global\": {,\n}");
  r = Cfg({QStringLiteral("--check"), File("bad.json")});
  EXPECT_TRUE(r.err.contains(QStringLiteral("not valid JSON at line 2, column 15"))) << r.err.toStdString();

  // "~/" is the user's home, said when it is expanded.
  doc = Document();
  SetProfile(0, "InboundDir", "~/in")(doc);
  WriteAll(File("good.json"), QJsonDocument(doc).toJson());
  r = Cfg({QStringLiteral("--check"), File("good.json")});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, File("good.json") + QStringLiteral(": a valid configuration with 3 profile(s)\n"));
  EXPECT_TRUE(r.err.contains(QStringLiteral("\"~/in\" stored as \"") + QDir::homePath() + QStringLiteral("/in\"")));
  EXPECT_FALSE(QFileInfo::exists(home_)) << "a check writes nothing";
}

TEST_F(Program, AcceptedEdgeValues) {
  // What the checks let through: a messaging profile's zero ports and time-out, the limits
  // themselves, an empty extension, 4910 bytes of texts.
  QJsonObject doc = Document();
  SetProfile(0, "Pop3TcpPort", 65535)(doc);
  SetProfile(0, "SmtpTcpPort", 1)(doc);
  SetProfile(0, "TimeOutSecs", 300)(doc);
  SetProfile(0, "Extension", "")(doc);
  SetProfile(1, "TimeOutSecs", 0)(doc);
  SetProfile(1, "SmtpTcpPort", 587)(doc);
  SetProfile(2, "SubjectLin", -2)(doc);
  SetGlobal("PrcInterval", 32767)(doc);
  SetGlobal("ConfigFlag", 0)(doc);
  // 4978 bytes of name fit the record; the block holding LogMaxMB takes 10 of them.
  SetGlobal("LogFileName", QLatin1Char('/') + QString(4967, QLatin1Char('l')))(doc);
  WriteAll(File("edge.json"), QJsonDocument(doc).toJson());
  ProgramRun r = Cfg({QStringLiteral("--import"), File("edge.json")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  r = Cfg({QStringLiteral("--export"), QStringLiteral("-")});
  QJsonObject back = QJsonDocument::fromJson(r.out.toUtf8()).object();
  SetProfile(0, "Extension", QJsonValue(QJsonValue::Undefined))(doc);  // an empty one is not exported
  SetGlobal("ConfigFlag", 1)(doc);  // an import is a saved configuration
  EXPECT_EQ(back, doc);
}

TEST_F(Program, DemoConfigurationImports) {
  QByteArray demo = ReadAll(QStringLiteral(VRL_SOURCE_DIR "/demo/demo-config.json"));
  if (demo.isEmpty()) GTEST_SKIP() << "no demo configuration in this tree";
  demo.replace("@DEMO@", tmp_.path().toUtf8());
  WriteAll(File("demo.json"), demo);
  ProgramRun r = Cfg({QStringLiteral("--import"), File("demo.json")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  r = Cfg({QStringLiteral("--export"), QStringLiteral("-")});
  EXPECT_EQ(QJsonDocument::fromJson(r.out.toUtf8()), QJsonDocument::fromJson(demo));
}

}  // namespace
