// The operations on the profiles file and the global file: slots, header bookkeeping, reads of
// damaged and foreign files, file and folder modes.
#include "AppFolder.h"
#include "ExpectBytes.h"
#include "MessageBox.h"
#include "MdlGlbalConf.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <set>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(f.write(bytes), bytes.size());
}

int ModeOf(const QString& path) {
  struct stat st {};
  if (::stat(QFile::encodeName(path).constData(), &st) != 0) return -1;
  return int(st.st_mode & 07777);
}

ProfileRecord Named(const QString& name) {
  ProfileRecord p;
  p.PrfEnabled = true;
  p.Prfname = name;
  p.HostType = 2;
  p.SmtpServer = QStringLiteral("smtp.") + name;
  p.Pop3TcpPort = 110;
  p.SmtpTcpPort = 25;
  p.TimeOutSecs = 30;
  p.OutboundMode = 1;
  p.OutboundDir = QStringLiteral("/srv/") + name;
  return p;
}

class RecordFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    home_ = tmp_.path() + QStringLiteral("/home");
    vrl::SetApplicationFolder(home_);
    vrl::SetMessageBoxHandler([this](const QString& text, vrl::MsgBoxIcon icon) {
      boxes_.push_back(text);
      icons_.push_back(icon);
    });
    crypto::SetKeyForTesting(7);
  }
  void TearDown() override {
    crypto::SetKeyForTesting(0);
    vrl::SetMessageBoxHandler({});
    vrl::SetApplicationFolder(QString());
  }
  QString Pcf() const { return home_ + QStringLiteral("/VRL3PF.PCF"); }
  QString Gcf() const { return home_ + QStringLiteral("/VRL3GCF.GCF"); }

  // Creates the file and adds the named profiles in order.
  void Fill(std::initializer_list<const char*> names) {
    ASSERT_TRUE(CreateProfilesFile());
    for (const char* n : names) {
      ProfileRecord p = Named(QString::fromUtf8(n));
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
    const qint32 last = HeaderNumber();
    for (qint32 s = 2; s <= last; ++s) {
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
  std::vector<vrl::MsgBoxIcon> icons_;
};

TEST_F(RecordFiles, PathsLieInTheApplicationFolder) {
  EXPECT_EQ(ProfilesFilePath(), Pcf());
  EXPECT_EQ(GlobalFilePath(), Gcf());
  vrl::SetApplicationFolder(home_ + QStringLiteral("/"));
  EXPECT_EQ(ProfilesFilePath(), Pcf());
}

TEST_F(RecordFiles, NewFileHoldsOnlyTheHeader) {
  ASSERT_FALSE(QFileInfo::exists(home_));
  ASSERT_TRUE(CreateProfilesFile());
  EXPECT_EQ(ModeOf(home_), 0700);
  EXPECT_EQ(ModeOf(Pcf()), 0600);
  const QByteArray bytes = ReadAll(Pcf());
  EXPECT_EQ(bytes.toHex(), HeaderBytes(1, 7).toHex());

  ProfileRecord h;
  ASSERT_TRUE(ReadProfileRecord(1, h));
  EXPECT_EQ(h.RecordNumber, 1);
  EXPECT_EQ(h.Prfname, QStringLiteral("QuorvoV3"));
  EXPECT_EQ(Unscramble(h.WinMsgPws), QStringLiteral("Vesk+Talmo"));
  EXPECT_FALSE(ReadProfileRecord(2, h));
  EXPECT_EQ(FindProfileByName(QStringLiteral("QuorvoV3")), -1);  // the header is no profile
}

TEST_F(RecordFiles, HeaderPasswordDiffersFromFileToFile) {
  crypto::SetKeyForTesting(0);
  std::set<QByteArray> seen;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(CreateProfilesFile());
    ProfileRecord h;
    ASSERT_TRUE(ReadProfileRecord(1, h));
    EXPECT_EQ(Unscramble(h.WinMsgPws), QStringLiteral("Vesk+Talmo"));
    seen.insert(h.WinMsgPws.toLatin1());
  }
  EXPECT_GT(seen.size(), 1u);
}

TEST_F(RecordFiles, AddThreeProfiles) {
  ASSERT_TRUE(CreateProfilesFile());
  for (int i = 0; i < 3; ++i) {
    ProfileRecord p = Named(QStringLiteral("P%1").arg(i));
    p.RecordNumber = 99;  // replaced by the slot it lands in
    ASSERT_TRUE(AddProfileRecord(p));
    EXPECT_EQ(p.RecordNumber, i + 2);
  }
  EXPECT_EQ(HeaderNumber(), 4);
  EXPECT_EQ(Names(), (QStringList{"P0", "P1", "P2"}));
  EXPECT_EQ(ReadAll(Pcf()).size(), 20000);
  EXPECT_EQ(ReadAll(Pcf()).left(5000).toHex(), HeaderBytes(4, 7).toHex());
  EXPECT_EQ(FindProfileByName(QStringLiteral("P2")), 4);
  EXPECT_EQ(FindProfileByName(QStringLiteral("p2")), -1);
  EXPECT_EQ(FindProfileByName(QStringLiteral("P2 ")), -1);
  EXPECT_TRUE(boxes_.isEmpty());
}

TEST_F(RecordFiles, WriteProfileRecordRewritesItsSlot) {
  Fill({"A", "B"});
  ProfileRecord b;
  ASSERT_TRUE(ReadProfileRecord(3, b));
  b.Subject = QStringLiteral("edited");
  ASSERT_TRUE(WriteProfileRecord(b));
  ProfileRecord again;
  ASSERT_TRUE(ReadProfileRecord(3, again));
  EXPECT_EQ(again, b);
  EXPECT_EQ(HeaderNumber(), 3);

  ProfileRecord bad = b;
  bad.RecordNumber = 0;
  EXPECT_FALSE(WriteProfileRecord(bad));
  bad.RecordNumber = 1000000;  // far behind the end of the file
  EXPECT_FALSE(WriteProfileRecord(bad));
  EXPECT_EQ(ReadAll(Pcf()).size(), 15000);
}

struct DeleteCase {
  std::vector<const char*> before;
  qint32 slot;
  bool ok;
  std::vector<const char*> after;
};

TEST_F(RecordFiles, DeleteShiftsTheFollowingProfiles) {
  const DeleteCase cases[] = {
      {{"A", "B", "C"}, 2, true, {"B", "C"}},
      {{"A", "B", "C"}, 3, true, {"A", "C"}},
      {{"A", "B", "C"}, 4, true, {"A", "B"}},
      {{"A"}, 2, true, {}},
      {{"A", "B", "C"}, 1, false, {"A", "B", "C"}},   // the header is not a profile
      {{"A", "B", "C"}, 5, false, {"A", "B", "C"}},   // behind the last profile
      {{"A", "B", "C"}, 0, false, {"A", "B", "C"}},
      {{"A", "B", "C"}, -3, false, {"A", "B", "C"}},
      {{}, 2, false, {}},
  };
  for (const DeleteCase& c : cases) {
    QFile::remove(Pcf());
    ASSERT_TRUE(CreateProfilesFile());
    for (const char* n : c.before) {
      ProfileRecord p = Named(QString::fromUtf8(n));
      ASSERT_TRUE(AddProfileRecord(p));
    }
    const QByteArray old = ReadAll(Pcf());
    EXPECT_EQ(DeleteProfileRecord(c.slot), c.ok) << c.slot;
    QStringList expected;
    for (const char* n : c.after) expected << QString::fromUtf8(n);
    EXPECT_EQ(Names(), expected) << c.slot;
    const QByteArray now = ReadAll(Pcf());
    EXPECT_EQ(now.size(), old.size()) << "the file is never shortened";
    if (!c.ok) {
      EXPECT_EQ(now, old) << "a refused delete writes nothing";
    }
    if (c.ok && c.slot == qint32(c.before.size()) + 1) {
      // Deleting the last profile changes only the header.
      EXPECT_EQ(now.mid(4), old.mid(4));
    }
  }
}

TEST_F(RecordFiles, DeleteLeavesStaleSlotThatNoReaderSees) {
  Fill({"A", "B", "C"});
  ASSERT_TRUE(DeleteProfileRecord(2));
  EXPECT_EQ(HeaderNumber(), 3);
  ProfileRecord stale;
  ASSERT_TRUE(ReadProfileRecord(4, stale));
  EXPECT_EQ(stale.Prfname, QStringLiteral("C"));
  EXPECT_EQ(FindProfileByName(QStringLiteral("C")), 3);
  // The next add reuses the stale slot.
  ProfileRecord d = Named(QStringLiteral("D"));
  ASSERT_TRUE(AddProfileRecord(d));
  EXPECT_EQ(d.RecordNumber, 4);
  EXPECT_EQ(Names(), (QStringList{"B", "C", "D"}));
  EXPECT_EQ(ReadAll(Pcf()).size(), 20000);
}

TEST_F(RecordFiles, TrailingSeparatorOfTheFoldersIsDroppedOnRead) {
  struct Case {
    const char* stored;
    const char* read;
  };
  const Case cases[] = {{"/data/in/", "/data/in"}, {"/", "/"}, {"//", "/"}, {"/a//", "/a/"},
                        {"", ""}, {"/data/in", "/data/in"}, {"x/", "x"}};
  ASSERT_TRUE(CreateProfilesFile());
  for (const Case& c : cases) {
    ProfileRecord p = Named(QStringLiteral("x"));
    p.RecordNumber = 2;
    p.InboundDir = QString::fromUtf8(c.stored);
    p.OutboundDir = QString::fromUtf8(c.stored);
    ASSERT_TRUE(WriteProfileRecord(p));
    ProfileRecord r;
    ASSERT_TRUE(ReadProfileRecord(2, r));
    EXPECT_EQ(r.InboundDir, QString::fromUtf8(c.read)) << c.stored;
    EXPECT_EQ(r.OutboundDir, QString::fromUtf8(c.read)) << c.stored;
  }
}

TEST_F(RecordFiles, SlotLimitRefusesAndWritesNothing) {
  Fill({"A"});
  ProfileRecord p = Named(QStringLiteral("big"));
  p.SmtpServer.clear();
  p.OutboundDir.clear();
  p.MsgText = QString(4910 - 3, QLatin1Char('m'));
  ASSERT_EQ(conf::ProfileStringBytes(p), 4910);
  ASSERT_TRUE(AddProfileRecord(p));
  EXPECT_EQ(p.RecordNumber, 3);
  ProfileRecord r;
  ASSERT_TRUE(ReadProfileRecord(3, r));
  EXPECT_EQ(r, p);

  const QByteArray before = ReadAll(Pcf());
  p.MsgText.append(QLatin1Char('m'));
  EXPECT_FALSE(AddProfileRecord(p));
  EXPECT_FALSE(WriteProfileRecord(p));
  EXPECT_EQ(ReadAll(Pcf()), before);
  EXPECT_EQ(HeaderNumber(), 3);
}

TEST_F(RecordFiles, MissingFile) {
  ProfileRecord p = Named(QStringLiteral("A"));
  p.RecordNumber = 2;
  EXPECT_FALSE(AddProfileRecord(p));
  EXPECT_FALSE(DeleteProfileRecord(2));
  EXPECT_FALSE(QFileInfo::exists(Pcf())) << "no operation but create and write makes the file";
  ProfileRecord r = p;
  EXPECT_FALSE(ReadProfileRecord(1, r));
  EXPECT_EQ(r, ProfileRecord{}) << "a failed read clears the record";

  EXPECT_EQ(FindProfileByName(QStringLiteral("A")), -2);
  ASSERT_EQ(boxes_.size(), 1);
  EXPECT_EQ(boxes_[0], QStringLiteral("Error reading configuration file: \"") + Pcf() + QStringLiteral("\""));
  EXPECT_EQ(icons_[0], vrl::MsgBoxIcon::Exclamation);
}

TEST_F(RecordFiles, DamagedFiles) {
  Fill({"A", "B"});
  const QByteArray good = ReadAll(Pcf());

  // Header promises more profiles than the file holds.
  QByteArray bytes = good;
  bytes[0] = 9;
  WriteAll(Pcf(), bytes);
  EXPECT_EQ(FindProfileByName(QStringLiteral("nobody")), -2);
  EXPECT_EQ(FindProfileByName(QStringLiteral("B")), 3);  // found before the damage
  ProfileRecord p = Named(QStringLiteral("C"));
  EXPECT_FALSE(AddProfileRecord(p)) << "slot 10 would leave a gap";
  EXPECT_EQ(ReadAll(Pcf()), bytes);

  // A garbage record number far out.
  bytes = good;
  bytes[3] = char(0x7F);
  WriteAll(Pcf(), bytes);
  EXPECT_FALSE(AddProfileRecord(p));
  EXPECT_EQ(ReadAll(Pcf()).size(), good.size());
  EXPECT_EQ(FindProfileByName(QStringLiteral("nobody")), -2);

  // A negative header.
  bytes = good;
  bytes[3] = char(0x80);
  WriteAll(Pcf(), bytes);
  EXPECT_FALSE(AddProfileRecord(p));
  EXPECT_EQ(FindProfileByName(QStringLiteral("A")), -1);

  // A truncated file: the last profile's slot is cut inside its fields.
  WriteAll(Pcf(), good.left(10000 + 40));
  ProfileRecord r;
  EXPECT_TRUE(ReadProfileRecord(2, r));
  EXPECT_FALSE(ReadProfileRecord(3, r));
  EXPECT_EQ(r, ProfileRecord{});
  EXPECT_EQ(FindProfileByName(QStringLiteral("B")), -2);

  // A string length running past its slot, in the middle of a file.
  bytes = good;
  bytes[5000 + 6] = char(0xF0);
  bytes[5000 + 7] = char(0x13);
  WriteAll(Pcf(), bytes);
  EXPECT_FALSE(ReadProfileRecord(2, r));
  EXPECT_TRUE(ReadProfileRecord(3, r));

  // An empty file and a folder in place of the file.
  WriteAll(Pcf(), QByteArray());
  EXPECT_FALSE(ReadProfileRecord(1, r));
  QFile::remove(Pcf());
  ASSERT_TRUE(QDir().mkpath(Pcf()));
  EXPECT_FALSE(ReadProfileRecord(1, r));
  EXPECT_FALSE(CreateProfilesFile());
  ProfileRecord x = Named(QStringLiteral("x"));
  x.RecordNumber = 2;
  EXPECT_FALSE(WriteProfileRecord(x));
}

TEST_F(RecordFiles, FileOfAnotherWriter) {
  // Header, two profiles, strings in Windows-1252, folders with a trailing "/", the last slot
  // not padded.
  QByteArray file = HeaderBytes(3, 33);
  QByteArray slot2 = ForeignProfileFields(2, "Caf\xE9", "/in/", "/out");
  slot2.append(QByteArray(5000 - slot2.size(), 'J'));  // junk behind the fields
  file += slot2;
  file += ForeignProfileFields(3, "Stra\xC3\x9F" "e", "/in2", "/out2/");
  ASSERT_TRUE(QDir().mkpath(home_));
  WriteAll(Pcf(), file);

  ProfileRecord h;
  ASSERT_TRUE(ReadProfileRecord(1, h));
  EXPECT_EQ(h.RecordNumber, 3);
  EXPECT_EQ(Unscramble(h.WinMsgPws), QStringLiteral("Vesk+Talmo"));
  EXPECT_EQ(Names(), (QStringList{QStringLiteral("Café"), QStringLiteral("Straße")}));
  ProfileRecord p;
  ASSERT_TRUE(ReadProfileRecord(2, p));
  EXPECT_EQ(p.InboundDir, QStringLiteral("/in"));
  EXPECT_EQ(p.OutboundDir, QStringLiteral("/out"));
  EXPECT_EQ(p.Pop3TcpPort, 110);
  EXPECT_TRUE(p.Extension.isEmpty());
  ASSERT_TRUE(ReadProfileRecord(3, p));
  EXPECT_EQ(p.OutboundDir, QStringLiteral("/out2"));
  EXPECT_EQ(p.MsgText, QStringLiteral("Text"));
  EXPECT_EQ(FindProfileByName(QStringLiteral("Straße")), 3);

  // Adding behind the short last slot fills that slot up and appends a whole one.
  ProfileRecord d = Named(QStringLiteral("D"));
  ASSERT_TRUE(AddProfileRecord(d));
  EXPECT_EQ(d.RecordNumber, 4);
  EXPECT_EQ(ReadAll(Pcf()).size(), 20000);
  EXPECT_EQ(Names(), (QStringList{QStringLiteral("Café"), QStringLiteral("Straße"), QStringLiteral("D")}));
  // The foreign header keeps its bytes apart from the count.
  EXPECT_EQ(ReadAll(Pcf()).left(5000).mid(4), HeaderBytes(4, 33).mid(4));
}

TEST_F(RecordFiles, ModesOfFilesAndFolder) {
  const mode_t old = ::umask(0);
  ASSERT_TRUE(CreateProfilesFile());
  GlobalRecord g;
  g.ConfigFlag = 1;
  ASSERT_TRUE(WriteGlobalRecord(g));
  ::umask(old);
  EXPECT_EQ(ModeOf(home_), 0700);
  EXPECT_EQ(ModeOf(Pcf()), 0600);
  EXPECT_EQ(ModeOf(Gcf()), 0600);

  // Existing files with wider modes are narrowed on the next write.
  ASSERT_EQ(::chmod(QFile::encodeName(Pcf()).constData(), 0644), 0);
  ASSERT_EQ(::chmod(QFile::encodeName(Gcf()).constData(), 0666), 0);
  ProfileRecord p = Named(QStringLiteral("A"));
  ASSERT_TRUE(AddProfileRecord(p));
  ASSERT_TRUE(WriteGlobalRecord(g));
  EXPECT_EQ(ModeOf(Pcf()), 0600);
  EXPECT_EQ(ModeOf(Gcf()), 0600);
  // A read leaves the mode alone.
  ASSERT_EQ(::chmod(QFile::encodeName(Pcf()).constData(), 0640), 0);
  ProfileRecord r;
  ASSERT_TRUE(ReadProfileRecord(2, r));
  EXPECT_EQ(ModeOf(Pcf()), 0640);
}

TEST_F(RecordFiles, FolderInsideNewParents) {
  home_ = tmp_.path() + QStringLiteral("/a/b/vorlane");
  vrl::SetApplicationFolder(home_);
  ASSERT_TRUE(CreateProfilesFile());
  EXPECT_EQ(ModeOf(home_), 0700);
  EXPECT_TRUE(QFileInfo::exists(Pcf()));
}

TEST_F(RecordFiles, FolderGivenWithTrailingSeparator) {
  vrl::SetApplicationFolder(home_ + QStringLiteral("/"));
  ASSERT_TRUE(CreateProfilesFile());
  EXPECT_EQ(ModeOf(home_), 0700);
}

TEST_F(RecordFiles, FolderThatIsAFile) {
  WriteAll(tmp_.path() + QStringLiteral("/plain"), "x");
  vrl::SetApplicationFolder(tmp_.path() + QStringLiteral("/plain"));
  EXPECT_FALSE(CreateProfilesFile());
  EXPECT_FALSE(WriteGlobalRecord(GlobalRecord{}));
}

TEST_F(RecordFiles, GlobalRecordRoundTrip) {
  GlobalRecord g;
  g.AutoInit = true;
  g.PrcInterval = 15;
  g.PrcIntervalUnit = 1;
  g.UseLogFile = true;
  g.LogFileName = QStringLiteral("/var/log/vorlane/läuft.log");
  g.ConfigFlag = 1;
  ASSERT_TRUE(WriteGlobalRecord(g));
  EXPECT_EQ(ReadAll(Gcf()).size(), 5000);
  EXPECT_EQ(ReadGlobalRecord(), g);
  GlobalRecord r;
  EXPECT_TRUE(ReadGlobalRecord(r));
  EXPECT_EQ(r, g);

  GlobalRecord tooLong = g;
  tooLong.LogFileName = QString(5000, QLatin1Char('x'));
  EXPECT_FALSE(WriteGlobalRecord(tooLong));
  EXPECT_EQ(ReadGlobalRecord(), g);
}

TEST_F(RecordFiles, GlobalRecordUnreadable) {
  GlobalRecord r;
  r.AutoExit = true;
  EXPECT_FALSE(ReadGlobalRecord(r));
  EXPECT_EQ(ReadGlobalRecord(), GlobalRecord{});
  EXPECT_EQ(ReadGlobalRecord().ConfigFlag, 0);

  // A file cut inside the log file name: the failure keeps what was read before it.
  ASSERT_TRUE(QDir().mkpath(home_));
  WriteAll(Gcf(), QByteArray::fromHex("ffff0000ffff0000ffff0a000200ffff0000ff00616263"));
  GlobalRecord partial;
  EXPECT_FALSE(ReadGlobalRecord(partial));
  EXPECT_TRUE(partial.RunAtSysStartup);
  EXPECT_TRUE(partial.InitMinimized);
  EXPECT_EQ(partial.PrcInterval, 10);
  EXPECT_EQ(partial.PrcIntervalUnit, 2);
  EXPECT_TRUE(partial.ShowErrorMsgs);
  EXPECT_EQ(partial.ConfigFlag, 0);
  EXPECT_EQ(ReadGlobalRecord(), GlobalRecord{});

  // A global file written without padding by another program.
  WriteAll(Gcf(), QByteArray::fromHex("00000000000000000000000000000000ffff04002f6c6f670100"));
  GlobalRecord foreign;
  ASSERT_TRUE(ReadGlobalRecord(foreign));
  EXPECT_TRUE(foreign.UseLogFile);
  EXPECT_EQ(foreign.LogFileName, QStringLiteral("/log"));
  EXPECT_EQ(foreign.ConfigFlag, 1);
}

}  // namespace
