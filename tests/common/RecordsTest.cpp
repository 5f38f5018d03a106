// The two record files: the byte layout of their slots, the string encodings, the password
// scrambling, and the operations on the files (slots, header bookkeeping, damaged and foreign
// files, file and folder modes).
#include "AppFolder.h"
#include "ConfRecords.h"
#include "MdlGlbalConf.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"
#include "MessageBox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <set>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The bytes of one section ("= name" up to the next) of the golden slots in
// tests/data/records/slots.hex, zero-filled to a whole slot unless only the fields are asked for.
QByteArray Golden(const char* name, bool fill = true) {
  QFile f(QStringLiteral(VRL_TEST_DATA "/records/slots.hex"));
  EXPECT_TRUE(f.open(QIODevice::ReadOnly));
  QByteArray bytes, section;
  for (QByteArray line : f.readAll().split('\n')) {
    if (const qsizetype hash = line.indexOf('#'); hash >= 0) line.truncate(hash);
    if (line.startsWith('=')) section = line.mid(1).trimmed();
    else if (section == name) bytes += QByteArray::fromHex(line);
  }
  EXPECT_FALSE(bytes.isEmpty()) << name;
  return fill ? bytes + QByteArray(5000 - bytes.size(), '\0') : bytes;
}

// The header of a new profiles file (scrambling key 7) that counts up to the given slot.
QByteArray HeaderBytes(char lastSlot) {
  QByteArray bytes = Golden("header");
  bytes[0] = lastSlot;
  return bytes;
}

ProfileRecord SampleInternetProfile() {
  ProfileRecord p;
  p.RecordNumber = 2, p.PrfEnabled = true, p.Prfname = "Orders", p.HostType = 2;
  p.SmtpServer = "smtp.example.org", p.Pop3Server = "pop.example.org", p.UserName = "anna";
  p.Pop3SmtpPws = "sécret", p.FromName = "Anna", p.FromAddress = "anna@example.org";
  p.SmtpRequiresLogin = true, p.Pop3TcpPort = 995, p.SmtpTcpPort = 65535, p.TimeOutSecs = 30;
  p.PrcInboundMessages = true, p.PrcOutboundMessages = true, p.InboundDir = "/srv/in";
  p.CreateAttchsInMsgs = true, p.FileExtention = "*.TXT", p.ResFilesExtention = "*.RES";
  p.OutboundMode = 2, p.OutboundDir = "/srv/out", p.OutFilesExtention = "*.INF";
  p.RenamedFilesExtention = "*.PRC", p.AdressLin = 1, p.Adress1Sep = "To:", p.FileLin = 2;
  p.File1Sep = "File:", p.SubjectLin = -1, p.MsgLin = -2, p.DeleteInterchange = true;
  return p;
}

TEST(RecordBytes, ProfileGoldens) {
  std::optional<QByteArray> packed = conf::PackProfile(SampleInternetProfile());
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->toHex(), Golden("orders").toHex());
  EXPECT_EQ(packed->indexOf("VXB1"), -1) << "no extension, no block";
  EXPECT_EQ(conf::UnpackProfile(*packed), SampleInternetProfile());

  // A scrambled password is stored byte for byte; the extension block follows the fields.
  ProfileRecord p;
  p.RecordNumber = 3, p.HostType = 1, p.WinMsgProfileName = "Büro", p.OutboundMode = 1;
  p.WinMsgPws = QString::fromLatin1("\x0A\x6B\xFF\x80"), p.RecAddress = "a@b";
  p.Extension = QByteArray("\x01\x00\xFFz", 4);
  packed = conf::PackProfile(p);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->toHex(), Golden("buero").toHex());
  const std::optional<ProfileRecord> back = conf::UnpackProfile(*packed);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, p);
  EXPECT_EQ(back->WinMsgPws.toLatin1(), QByteArray("\x0A\x6B\xFF\x80"));
}

TEST(RecordBytes, GlobalGolden) {
  GlobalRecord g;
  g.RunAtSysStartup = true, g.InitMinimized = true, g.AutoExit = true, g.PrcInterval = 5;
  g.PrcIntervalUnit = 1, g.ShowErrorMsgs = true, g.UseLogFile = true, g.ConfigFlag = 1;
  g.LogFileName = "/var/log/v.log";
  const QByteArray fields =
      QByteArray::fromHex("ffff0000ffff0000ffff05000100ffffffff0e002f7661722f6c6f672f762e6c6f670100");
  std::optional<QByteArray> packed = conf::PackGlobal(g);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->toHex(), (fields + QByteArray(5000 - 36, '\0')).toHex());
  EXPECT_EQ(conf::UnpackGlobal(*packed), g);

  // A log limit goes into a marked block right behind the fields.
  g.LogMaxMB = 1;
  packed = conf::PackGlobal(g);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->mid(36, 10).toHex(), QByteArray("56584231040001000000"));
  EXPECT_EQ(conf::UnpackGlobal(*packed)->LogMaxMB, 1);
  // The message limit follows it; without a log limit that one is written as 0.
  g.LogMaxMB = 0, g.MaxMessageMB = 258;
  packed = conf::PackGlobal(g);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->mid(36, 14).toHex(), QByteArray("5658423108000000000002010000"));
  EXPECT_EQ(conf::UnpackGlobal(*packed), g);
  // The file limit follows unless it is 1000, what a record without it reads as; 0 (no limit) stays.
  for (const auto& [files, block] : {std::pair<qint32, QByteArray>{1000, "5658423108000000000002010000"},
                                     {0, "565842310c00000000000201000000000000"},
                                     {1000000, "565842310c0000000000020100004042"}}) {
    g.MaxAttachments = files;
    GlobalRecord back;
    back.LogMaxMB = 3, back.MaxMessageMB = 4, back.MaxAttachments = 5;
    ASSERT_TRUE(conf::UnpackGlobalInto(*conf::PackGlobal(g), back));
    EXPECT_EQ(conf::PackGlobal(g)->mid(36, block.size() / 2).toHex(), block);
    EXPECT_EQ(back, g);
  }
  // The metrics file follows as a counted text, the file limit then written even at 1000: a reader
  // that knows only the numbers reads them where they always were.
  g.MaxAttachments = 1000, g.MetricsFile = "/m/€";
  packed = conf::PackGlobal(g);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->mid(36, 26).toHex(), QByteArray("56584231" "1400" "00000000" "02010000" "e8030000" "0600" "2f6d2fe282ac"));
  EXPECT_EQ(conf::UnpackGlobal(*packed), g);
  // A count running past the block reads as no file; the numbers stay.
  (*packed)[54] = 7;
  const GlobalRecord cut = *conf::UnpackGlobal(*packed);
  EXPECT_EQ(cut.MetricsFile, "");
  EXPECT_EQ(cut.MaxMessageMB, 258);

  // The cluster database and the lease follow likewise, the texts before them written even when empty.
  g.MetricsFile = "", g.LeaseSeconds = 600;
  packed = conf::PackGlobal(g);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->mid(36, 26).toHex(),
            QByteArray("56584231" "1400" "00000000" "02010000" "e8030000" "0000" "0000" "58020000"));
  EXPECT_EQ(conf::UnpackGlobal(*packed), g);
  // A block cut short (its length at byte 40) reads as the defaults from the value it cuts on; a
  // lease out of its range reads as the default.
  g.MetricsFile = "/m/€", g.ClusterDatabase = "host=db";
  const struct {
    qint32 lease;
    char length;
    QString metrics, cluster;
    qint32 read;
  } cuts[] = {
      {600, 33, "/m/€", "host=db", 600}, {600, 32, "/m/€", "host=db", 30}, {600, 28, "/m/€", "", 30},
      {600, 19, "", "", 30},             {2, 33, "/m/€", "host=db", 2},    {3600, 33, "/m/€", "host=db", 3600},
      {1, 33, "/m/€", "host=db", 30},    {3601, 33, "/m/€", "host=db", 30}, {-2, 33, "/m/€", "host=db", 30},
  };
  for (const auto& c : cuts) {
    g.LeaseSeconds = c.lease;
    QByteArray slot = *conf::PackGlobal(g);
    ASSERT_EQ(slot[40], 33);
    slot[40] = c.length;
    const GlobalRecord back = *conf::UnpackGlobal(slot);
    EXPECT_EQ(back.MetricsFile, c.metrics) << c.lease << "/" << int(c.length);
    EXPECT_EQ(back.ClusterDatabase, c.cluster) << c.lease << "/" << int(c.length);
    EXPECT_EQ(back.LeaseSeconds, c.read) << c.lease << "/" << int(c.length);
    EXPECT_EQ(back.MaxMessageMB, 258);
  }
}

TEST(RecordBytes, ForeignBytes) {
  // Any non-zero Boolean reads as true.
  QByteArray bytes = Golden("orders");
  bytes[4] = 0x01, bytes[5] = 0x00;
  EXPECT_TRUE(conf::UnpackProfile(bytes)->PrfEnabled);
  std::optional<GlobalRecord> g = conf::UnpackGlobal(QByteArray::fromHex("0080") + QByteArray(20, '\0'));
  ASSERT_TRUE(g);
  EXPECT_TRUE(g->RunAtSysStartup);
  EXPECT_FALSE(g->AutoInit);

  // A short last slot is read when the fields fit; every cut inside them fails cleanly.
  const QByteArray fields = Golden("foreign cafe", false);
  std::optional<ProfileRecord> p = conf::UnpackProfile(fields);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Prfname, "Café");
  EXPECT_EQ(p->MsgText, "Text");
  for (qsizetype n = 0; n < fields.size(); ++n) EXPECT_FALSE(conf::UnpackProfile(fields.left(n))) << n;
  EXPECT_FALSE(conf::UnpackGlobal(QByteArray::fromHex("ffff0000")));

  // A length prefix running past the slot fails, also when more data follows the slot.
  bytes = Golden("orders");
  bytes[6] = char(0x83), bytes[7] = char(0x13);  // Prfname: 4995 bytes
  EXPECT_FALSE(conf::UnpackProfile(bytes));
  EXPECT_FALSE(conf::UnpackProfile(bytes + QByteArray(10000, 'x')));
}

TEST(RecordBytes, ExtensionOnlyRightBehindTheFieldsAndWhenItFits) {
  ProfileRecord p = SampleInternetProfile();
  p.Extension = "settings";
  const QByteArray bytes = *conf::PackProfile(p);
  const qsizetype marker = bytes.indexOf("VXB1");
  ASSERT_GT(marker, 0);
  EXPECT_EQ(conf::UnpackProfile(bytes)->Extension, "settings");

  // A length past the slot, a short last slot cut inside the block, another marker: the block
  // is not taken, the fields still are.
  QByteArray tooLong = bytes;
  tooLong[marker + 4] = char(0xFF), tooLong[marker + 5] = char(0x7F);
  QByteArray other = bytes;
  other.replace(marker, 4, "VXB2");
  for (const QByteArray& b : {tooLong, bytes.left(marker + 6 + 3), other}) {
    const std::optional<ProfileRecord> r = conf::UnpackProfile(b);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->Extension.isEmpty());
    EXPECT_EQ(r->Prfname, "Orders");
  }
}

TEST(RecordBytes, SlotLimit) {
  // 4910 bytes of strings fit exactly; one more does not.
  ProfileRecord p;
  p.RecordNumber = 2, p.Prfname = "p", p.MsgText = QString(4909, QLatin1Char('m'));
  EXPECT_EQ(conf::ProfileStringBytes(p), 4910);
  std::optional<QByteArray> packed = conf::PackProfile(p);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->size(), 5000);
  EXPECT_EQ(conf::UnpackProfile(*packed)->MsgText.size(), 4909);
  p.MsgText.append(QLatin1Char('m'));
  EXPECT_FALSE(conf::PackProfile(p));

  // Bytes count, not characters: "é" takes two.
  p.MsgText = QString(4907, QLatin1Char('m')) + "é";
  EXPECT_TRUE(conf::PackProfile(p));
  p.MsgText = QString(4908, QLatin1Char('m')) + "é";
  EXPECT_FALSE(conf::PackProfile(p));

  // The extension block takes its six header bytes and its data from the same budget.
  p.MsgText = QString(4900, QLatin1Char('m'));
  p.Extension = QByteArray(3, 'e');
  EXPECT_EQ(conf::ProfileStringBytes(p), 4910);
  EXPECT_TRUE(conf::PackProfile(p));
  p.Extension = QByteArray(4, 'e');
  EXPECT_FALSE(conf::PackProfile(p));

  GlobalRecord g;
  g.LogFileName = QString(4978, QLatin1Char('l'));
  EXPECT_TRUE(conf::PackGlobal(g));
  g.LogFileName.append(QLatin1Char('l'));
  EXPECT_FALSE(conf::PackGlobal(g));
  // The longest texts the import lets through leave the log file 2904 bytes.
  g.MetricsFile = "/" + QString(1023, QLatin1Char('m')), g.ClusterDatabase = QString(1024, QLatin1Char('c'));
  g.LeaseSeconds = 60, g.LogFileName = QString(2904, QLatin1Char('l'));
  EXPECT_TRUE(conf::PackGlobal(g));
  g.LogFileName.append(QLatin1Char('l'));
  EXPECT_FALSE(conf::PackGlobal(g));
}

TEST(RecordStrings, Utf8WhenValidElseWindows1252) {
  const std::pair<QByteArray, QString> cases[] = {
      {"Caf\xC3\xA9 \xE2\x82\xAC", "Café €"},
      {"\x93quoted\x94 \x85", "\u201Cquoted\u201D \u2026"},  // Windows-1252
      {"\x81\x8D\x8F\x90\x9D", "\u0081\u008D\u008F\u0090\u009D"},  // unassigned
      {"\xC3\x28", "\u00C3("},                                     // broken sequence
      {"\xED\xA0\x80", "\u00ED\u00A0\u20AC"},                      // encoded surrogate
      {"\xEF\xBB\xBFx", QStringLiteral("\uFEFFx")},                // a leading BOM stays
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(conf::DecodeRecordString(bytes), text) << bytes.toHex().data();
  EXPECT_EQ(conf::EncodeRecordString("Café"), "Caf\xC3\xA9");
}

ProfileRecord Named(const QString& name) {
  ProfileRecord p;
  p.PrfEnabled = true, p.Prfname = name, p.HostType = 2, p.SmtpServer = "smtp." + name;
  p.Pop3TcpPort = 110, p.SmtpTcpPort = 25, p.TimeOutSecs = 30, p.OutboundMode = 1;
  p.OutboundDir = "/srv/" + name;
  return p;
}

class RecordFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    home_ = tmp_.path() + "/home";
    vrl::SetApplicationFolder(home_);
    vrl::SetMessageBoxHandler([this](const QString& text, vrl::MsgBoxIcon icon) {
      boxes_ << text;
      icon_ = icon;
    });
    crypto::SetKeyForTesting(7);
  }
  void TearDown() override {
    crypto::SetKeyForTesting(0);
    vrl::SetMessageBoxHandler({});
    vrl::SetApplicationFolder(QString());
  }
  QString Pcf() const { return home_ + "/VRL3PF.PCF"; }
  QString Gcf() const { return home_ + "/VRL3GCF.GCF"; }
  static QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  static void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
  }
  static int ModeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
  }
  // A new file holding the named profiles in order.
  void Fill(const QStringList& names) {
    QFile::remove(Pcf());
    ASSERT_TRUE(CreateProfilesFile());
    for (const QString& n : names) {
      ProfileRecord p = Named(n);
      ASSERT_TRUE(AddProfileRecord(p));
    }
  }
  qint32 HeaderNumber() {
    ProfileRecord h;
    EXPECT_TRUE(ReadProfileRecord(1, h));
    return h.RecordNumber;
  }
  QStringList Names() {
    QStringList names;
    for (qint32 s = 2, last = HeaderNumber(); s <= last; ++s) {
      ProfileRecord p;
      EXPECT_TRUE(ReadProfileRecord(s, p)) << s;
      EXPECT_EQ(p.RecordNumber, s);
      names << p.Prfname;
    }
    return names;
  }

  QTemporaryDir tmp_;
  QString home_;
  QStringList boxes_;
  vrl::MsgBoxIcon icon_ = vrl::MsgBoxIcon::None;
};

TEST_F(RecordFiles, NewFileHoldsOnlyTheHeader) {
  ASSERT_FALSE(QFileInfo::exists(home_));
  ASSERT_TRUE(CreateProfilesFile());
  EXPECT_EQ(ProfilesFilePath(), Pcf());
  EXPECT_EQ(GlobalFilePath(), Gcf());
  EXPECT_EQ(ModeOf(home_), 0700);
  EXPECT_EQ(ModeOf(Pcf()), 0600);
  EXPECT_EQ(ReadAll(Pcf()).toHex(), HeaderBytes(1).toHex());
  ProfileRecord h;
  EXPECT_FALSE(ReadProfileRecord(2, h));
  EXPECT_EQ(FindProfileByName("QuorvoV3"), -1) << "the header is no profile";
}

TEST_F(RecordFiles, AddAndRewriteProfiles) {
  ASSERT_TRUE(CreateProfilesFile());
  for (int i = 0; i < 3; ++i) {
    ProfileRecord p = Named(QStringLiteral("P%1").arg(i));
    p.RecordNumber = 99;  // replaced by the slot it lands in
    ASSERT_TRUE(AddProfileRecord(p));
    EXPECT_EQ(p.RecordNumber, i + 2);
  }
  EXPECT_EQ(Names(), (QStringList{"P0", "P1", "P2"}));
  EXPECT_EQ(ReadAll(Pcf()).size(), 20000);
  EXPECT_EQ(ReadAll(Pcf()).left(5000).toHex(), HeaderBytes(4).toHex());
  EXPECT_EQ(FindProfileByName("P2"), 4);
  EXPECT_EQ(FindProfileByName("p2"), -1);

  ProfileRecord b, again;
  ASSERT_TRUE(ReadProfileRecord(3, b));
  b.Subject = "edited";
  b.MsgText = QString(4910 - conf::ProfileStringBytes(b), 'm');  // the slot just full
  ASSERT_TRUE(WriteProfileRecord(b));
  ASSERT_TRUE(ReadProfileRecord(3, again));
  EXPECT_EQ(again, b);
  EXPECT_EQ(HeaderNumber(), 4);
  // Refused: slot 0, a slot far behind the end of the file, strings over the limit of a slot.
  const QByteArray before = ReadAll(Pcf());
  for (qint32 bad : {0, 1000000}) {
    b.RecordNumber = bad;
    EXPECT_FALSE(WriteProfileRecord(b));
  }
  b.RecordNumber = 3;
  b.MsgText += 'm';
  EXPECT_FALSE(WriteProfileRecord(b));
  EXPECT_FALSE(AddProfileRecord(b));
  EXPECT_EQ(ReadAll(Pcf()), before);
  EXPECT_TRUE(boxes_.isEmpty());
}

TEST_F(RecordFiles, DeleteShiftsTheFollowingProfiles) {
  const struct {
    QStringList before;
    qint32 slot;
    bool ok;
    QStringList after;
  } cases[] = {
      {{"A", "B", "C"}, 3, true, {"A", "C"}},      {{"A", "B", "C"}, 4, true, {"A", "B"}},
      {{"A", "B", "C"}, 1, false, {"A", "B", "C"}},  // the header is not a profile
      {{"A", "B", "C"}, 5, false, {"A", "B", "C"}},  // behind the last profile
      {{}, 2, false, {}},
  };
  for (const auto& c : cases) {
    Fill(c.before);
    const QByteArray old = ReadAll(Pcf());
    EXPECT_EQ(DeleteProfileRecord(c.slot), c.ok) << c.slot;
    EXPECT_EQ(Names(), c.after) << c.slot;
    const QByteArray now = ReadAll(Pcf());
    EXPECT_EQ(now.size(), old.size()) << "the file is never shortened";
    if (!c.ok) {
      EXPECT_EQ(now, old) << "a refused delete writes nothing";
    } else if (c.slot == c.before.size() + 1) {
      EXPECT_EQ(now.mid(4), old.mid(4)) << "deleting the last profile changes only the header";
    }
  }

  // The slot behind the last profile keeps a stale copy that no reader sees; the next add reuses it.
  Fill({"A", "B", "C"});
  ASSERT_TRUE(DeleteProfileRecord(2));
  EXPECT_EQ(FindProfileByName("C"), 3);
  ProfileRecord d = Named("D");
  ASSERT_TRUE(AddProfileRecord(d));
  EXPECT_EQ(d.RecordNumber, 4);
  EXPECT_EQ(Names(), (QStringList{"B", "C", "D"}));
  EXPECT_EQ(ReadAll(Pcf()).size(), 20000);
}

TEST_F(RecordFiles, TrailingSeparatorOfTheFoldersIsDroppedOnRead) {
  const std::pair<QString, QString> cases[] = {{"/data/in/", "/data/in"}, {"/", "/"}, {"/a//", "/a/"}, {"", ""}};
  ASSERT_TRUE(CreateProfilesFile());
  for (const auto& [stored, read] : cases) {
    ProfileRecord p = Named("x");
    p.RecordNumber = 2, p.InboundDir = stored, p.OutboundDir = stored;
    ASSERT_TRUE(WriteProfileRecord(p));
    ProfileRecord r;
    ASSERT_TRUE(ReadProfileRecord(2, r));
    EXPECT_EQ(r.InboundDir, read) << stored.toStdString();
    EXPECT_EQ(r.OutboundDir, read) << stored.toStdString();
  }
}

TEST_F(RecordFiles, MissingFile) {
  ProfileRecord p = Named("A");
  p.RecordNumber = 2;
  EXPECT_FALSE(AddProfileRecord(p));
  EXPECT_FALSE(DeleteProfileRecord(2));
  EXPECT_FALSE(QFileInfo::exists(Pcf())) << "no operation but create and write makes the file";
  EXPECT_FALSE(ReadProfileRecord(1, p));
  EXPECT_EQ(p, ProfileRecord{}) << "a failed read clears the record";
  EXPECT_EQ(FindProfileByName("A"), -2);
  EXPECT_EQ(boxes_, QStringList{"Error reading configuration file: \"" + Pcf() + "\""});
  EXPECT_EQ(icon_, vrl::MsgBoxIcon::Exclamation);
}

TEST_F(RecordFiles, DamagedFiles) {
  Fill({"A", "B"});
  const QByteArray good = ReadAll(Pcf());
  ProfileRecord p = Named("C");

  // The header promises more profiles than the file holds.
  QByteArray bytes = good;
  bytes[0] = 9;
  WriteAll(Pcf(), bytes);
  EXPECT_EQ(FindProfileByName("nobody"), -2);
  EXPECT_EQ(FindProfileByName("B"), 3);  // found before the damage
  EXPECT_FALSE(AddProfileRecord(p)) << "slot 10 would leave a gap";
  EXPECT_EQ(ReadAll(Pcf()), bytes);

  // A garbage record number far out, and a negative one.
  bytes = good;
  bytes[3] = char(0x7F);
  WriteAll(Pcf(), bytes);
  EXPECT_FALSE(AddProfileRecord(p));
  EXPECT_EQ(ReadAll(Pcf()), bytes);
  EXPECT_EQ(FindProfileByName("nobody"), -2);

  // A truncated file: the last profile's slot is cut inside its fields; the whole file is damaged.
  WriteAll(Pcf(), good.left(10000 + 40));
  ProfileRecord r = Named("x");
  EXPECT_FALSE(ReadProfileRecord(2, r));
  EXPECT_EQ(r, ProfileRecord{});
  EXPECT_EQ(FindProfileByName("A"), -2);

  // A string length running past its slot, in the middle of a file.
  bytes = good;
  bytes[5000 + 6] = char(0xF0), bytes[5000 + 7] = char(0x13);
  WriteAll(Pcf(), bytes);
  EXPECT_FALSE(ReadProfileRecord(2, r));
  EXPECT_TRUE(ReadProfileRecord(3, r));

  // A profile slot of zero bytes, as a lost write leaves it.
  bytes = good;
  bytes.replace(5000, 5000, QByteArray(5000, '\0'));
  WriteAll(Pcf(), bytes);
  EXPECT_FALSE(ReadProfileRecord(2, r));
  EXPECT_TRUE(ReadProfileRecord(3, r));
}

TEST_F(RecordFiles, SpecialAndDamagedFilesAreRefused) {
  Fill({"A"});
  ASSERT_TRUE(WriteGlobalRecord(GlobalRecord{}));
  const QByteArray pcf = ReadAll(Pcf()), gcf = ReadAll(Gcf());
  using K = conf::RecordKind;
  enum class Make { Bytes, Fifo, LinkToDevZero, Folder };
  const struct {
    K kind;
    Make make;
    QByteArray bytes;
    QString why;  // empty: the file is sound
  } cases[] = {
      {K::Profiles, Make::Fifo, {}, "it is a FIFO, not a regular file"},
      {K::Global, Make::Fifo, {}, "it is a FIFO, not a regular file"},
      {K::Profiles, Make::LinkToDevZero, {}, "it is a character device, not a regular file"},
      {K::Global, Make::LinkToDevZero, {}, "it is a character device, not a regular file"},
      {K::Profiles, Make::Folder, {}, "it is a folder, not a regular file"},
      {K::Profiles, Make::Bytes, QByteArray(10000, '\0'), "the file is damaged: its header record is all zero bytes"},
      {K::Profiles, Make::Bytes, {}, "the file is damaged: it is empty"},
      {K::Profiles, Make::Bytes, pcf + 'x',
       "the file is damaged: its size (10001 bytes) is not a whole number of 5000-byte records"},
      {K::Profiles, Make::Bytes, pcf.left(5000 + 89),
       "the file is damaged: its size (5089 bytes) is not a whole number of 5000-byte records"},
      {K::Global, Make::Bytes, gcf + gcf, "the file is damaged: its size (10000 bytes) is not that of one 5000-byte record"},
      {K::Global, Make::Bytes, gcf.left(21), "the file is damaged: its size (21 bytes) is not that of one 5000-byte record"},
      // Sound: a short last slot holding the fields (another writer's), a short global record.
      {K::Profiles, Make::Bytes, pcf.left(5000 + 90), {}},
      {K::Global, Make::Bytes, gcf.left(22), {}},
  };
  // A regression would wait on the FIFO for ever: end the test program instead.
  ::alarm(120);
  for (const auto& c : cases) {
    const QString path = c.kind == K::Profiles ? Pcf() : Gcf();
    const std::string what = path.toStdString() + ": " + c.why.toStdString();
    QFile::remove(path);
    QDir().rmdir(path);
    const QByteArray native = QFile::encodeName(path);
    switch (c.make) {
      case Make::Bytes: WriteAll(path, c.bytes); break;
      case Make::Fifo: ASSERT_EQ(::mkfifo(native.constData(), 0600), 0); break;
      case Make::LinkToDevZero: ASSERT_TRUE(QFile::link("/dev/zero", path)); break;
      case Make::Folder: ASSERT_TRUE(QDir().mkdir(path)); break;
    }
    EXPECT_EQ(conf::RecordFileProblem(path, c.kind), c.why) << what;
    // Writing a whole slot is refused only where there is no regular file.
    if (c.kind == K::Profiles) {
      ProfileRecord r, added = Named("B");
      EXPECT_EQ(ReadProfileRecord(1, r), c.why.isEmpty()) << what;
      if (!c.why.isEmpty()) {
        EXPECT_EQ(FindProfileByName("A"), -2) << what;
      }
      EXPECT_EQ(AddProfileRecord(added), c.why.isEmpty()) << what;
      EXPECT_EQ(CreateProfilesFile(), c.make == Make::Bytes) << what;
    } else {
      GlobalRecord g;
      EXPECT_EQ(ReadGlobalRecord(g), c.why.isEmpty()) << what;
      EXPECT_EQ(WriteGlobalRecord(g), c.make == Make::Bytes) << what;
    }
  }
  ::alarm(0);
}

TEST_F(RecordFiles, FileOfAnotherWriter) {
  // Header, two profiles, strings in Windows-1252, folders with a trailing "/", junk behind the
  // fields, the last slot not padded.
  QByteArray slot2 = Golden("foreign cafe", false);
  slot2.append(QByteArray(5000 - slot2.size(), 'J'));
  ASSERT_TRUE(QDir().mkpath(home_));
  WriteAll(Pcf(), Golden("foreign header") + slot2 + Golden("foreign strasse", false));

  ProfileRecord p;
  ASSERT_TRUE(ReadProfileRecord(1, p));
  EXPECT_EQ(Unscramble(p.WinMsgPws), "Vesk+Talmo");
  EXPECT_EQ(Names(), (QStringList{"Café", "Straße"}));
  ASSERT_TRUE(ReadProfileRecord(2, p));
  EXPECT_EQ(p.InboundDir, "/in");
  EXPECT_EQ(p.Pop3TcpPort, 110);
  EXPECT_TRUE(p.Extension.isEmpty());

  // Adding behind the short last slot fills that slot up and appends a whole one; the foreign
  // header keeps its bytes apart from the count.
  ProfileRecord d = Named("D");
  ASSERT_TRUE(AddProfileRecord(d));
  EXPECT_EQ(d.RecordNumber, 4);
  EXPECT_EQ(ReadAll(Pcf()).size(), 20000);
  EXPECT_EQ(Names(), (QStringList{"Café", "Straße", "D"}));
  EXPECT_EQ(ReadAll(Pcf()).left(5000).mid(4), Golden("foreign header").mid(4));
}

TEST_F(RecordFiles, ModesOfFilesAndFolders) {
  const mode_t old = ::umask(0);
  ASSERT_TRUE(CreateProfilesFile());
  GlobalRecord g;
  ASSERT_TRUE(WriteGlobalRecord(g));
  ::umask(old);
  EXPECT_EQ(ModeOf(home_), 0700);
  EXPECT_EQ(ModeOf(Pcf()), 0600);
  EXPECT_EQ(ModeOf(Gcf()), 0600);

  // Existing files with wider modes are narrowed on the next write; a read leaves the mode alone.
  ASSERT_EQ(::chmod(QFile::encodeName(Pcf()).constData(), 0644), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(Gcf()).constData(), 0666), 0);
  ProfileRecord p = Named("A");
  ASSERT_TRUE(AddProfileRecord(p));
  ASSERT_TRUE(WriteGlobalRecord(g));
  EXPECT_EQ(ModeOf(Pcf()), 0600);
  EXPECT_EQ(ModeOf(Gcf()), 0600);

  // A chosen folder inside a missing parent is refused (nothing made); inside an existing one,
  // given with a trailing "/", it is made; a file in its place is refused.
  vrl::SetApplicationFolder(tmp_.path() + "/a/b/");
  EXPECT_FALSE(CreateProfilesFile());
  EXPECT_FALSE(QFileInfo::exists(tmp_.path() + "/a"));
  ASSERT_TRUE(QDir().mkdir(tmp_.path() + "/a"));
  ASSERT_TRUE(CreateProfilesFile());
  EXPECT_EQ(ModeOf(tmp_.path() + "/a/b"), 0700);
  EXPECT_EQ(ProfilesFilePath(), tmp_.path() + "/a/b/VRL3PF.PCF");
  vrl::SetApplicationFolder(Pcf());
  EXPECT_FALSE(CreateProfilesFile());
  EXPECT_FALSE(WriteGlobalRecord(g));
}

}  // namespace
