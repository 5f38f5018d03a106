// Byte layout of the two records, the string encodings and the password scrambling.
#include "ConfRecords.h"
#include "ExpectBytes.h"
#include "Mdl_Crypto.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

#include <set>

namespace {

ProfileRecord SampleInternetProfile() {
  ProfileRecord p;
  p.RecordNumber = 2;
  p.PrfEnabled = true;
  p.Prfname = QStringLiteral("Orders");
  p.HostType = 2;
  p.SmtpServer = QStringLiteral("smtp.example.org");
  p.Pop3Server = QStringLiteral("pop.example.org");
  p.UserName = QStringLiteral("anna");
  p.Pop3SmtpPws = QStringLiteral("sécret");
  p.FromName = QStringLiteral("Anna");
  p.FromAddress = QStringLiteral("anna@example.org");
  p.SmtpRequiresLogin = true;
  p.Pop3TcpPort = 995;
  p.SmtpTcpPort = 65535;
  p.TimeOutSecs = 30;
  p.PrcInboundMessages = true;
  p.PrcOutboundMessages = true;
  p.InboundDir = QStringLiteral("/srv/in");
  p.CreateAttchsInMsgs = true;
  p.FileExtention = QStringLiteral("*.TXT");
  p.ResFilesExtention = QStringLiteral("*.RES");
  p.OutboundMode = 2;
  p.OutboundDir = QStringLiteral("/srv/out");
  p.OutFilesExtention = QStringLiteral("*.INF");
  p.RenamedFilesExtention = QStringLiteral("*.PRC");
  p.AdressLin = 1;
  p.Adress1Sep = QStringLiteral("To:");
  p.FileLin = 2;
  p.File1Sep = QStringLiteral("File:");
  p.SubjectLin = -1;
  p.MsgLin = -2;
  p.DeleteInterchange = true;
  return p;
}

QByteArray SampleInternetProfileBytes() {
  return Expect()
      .Long(2).Bool(true).Str("Orders").Int(2)
      .Str("").Str("")                                   // WinMsgProfileName, WinMsgPws
      .Str("smtp.example.org").Str("pop.example.org").Str("anna")
      .Str("s\xC3\xA9" "cret")                           // UTF-8, byte-counted
      .Str("Anna").Str("anna@example.org")
      .Bool(true).Bool(false)
      .Int(995).Int(0xFFFF).Int(30)
      .Bool(true).Bool(true)
      .Str("/srv/in").Bool(true).Bool(false).Str("*.TXT").Str("*.RES")
      .Int(2).Str("/srv/out").Str("*.INF").Str("*.PRC")
      .Int(1).Str("To:").Str("")
      .Int(2).Str("File:").Str("")
      .Int(-1).Str("").Str("")
      .Int(-2).Str("").Str("")
      .Str("").Str("").Str("")
      .Bool(true)
      .Slot();
}

TEST(RecordBytes, ProfileGolden) {
  const std::optional<QByteArray> packed = conf::PackProfile(SampleInternetProfile());
  ASSERT_TRUE(packed);
  ASSERT_EQ(packed->size(), 5000);
  EXPECT_EQ(packed->toHex(), SampleInternetProfileBytes().toHex());
  // The first fields spelled out: Long 2, True, "Orders", Integer 2.
  EXPECT_EQ(packed->left(16).toHex(), QByteArray("02000000ffff06004f72646572730200"));

  const std::optional<ProfileRecord> back = conf::UnpackProfile(*packed);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, SampleInternetProfile());
}

TEST(RecordBytes, ProfileGoldenWithScrambledPasswordAndExtension) {
  ProfileRecord p;
  p.RecordNumber = 3;
  p.HostType = 1;
  p.WinMsgProfileName = QStringLiteral("Büro");
  p.WinMsgPws = QString::fromLatin1("\x0A\x6B\xFF\x80");
  p.OutboundMode = 1;
  p.RecAddress = QStringLiteral("a@b");
  p.Extension = QByteArray("\x01\x00\xFFz", 4);

  Expect e;
  e.Long(3).Bool(false).Str("").Int(1).Str("B\xC3\xBCro").Str(QByteArray("\x0A\x6B\xFF\x80"));
  for (int i = 0; i < 6; ++i) e.Str("");   // SmtpServer .. FromAddress
  e.Bool(false).Bool(false).Int(0).Int(0).Int(0).Bool(false).Bool(false);
  e.Str("").Bool(false).Bool(false).Str("").Str("");
  e.Int(1).Str("").Str("").Str("");
  for (int i = 0; i < 4; ++i) e.Int(0).Str("").Str("");
  e.Str("a@b").Str("").Str("").Bool(false);
  e.Raw("VXB1").Str(QByteArray("\x01\x00\xFFz", 4));

  const std::optional<QByteArray> packed = conf::PackProfile(p);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->toHex(), e.Slot().toHex());
  const std::optional<ProfileRecord> back = conf::UnpackProfile(*packed);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, p);
  EXPECT_EQ(back->WinMsgPws.toLatin1(), QByteArray("\x0A\x6B\xFF\x80"));
}

TEST(RecordBytes, GlobalGolden) {
  GlobalRecord g;
  g.RunAtSysStartup = true;
  g.AutoInit = false;
  g.InitMinimized = true;
  g.HideWhenMinimized = false;
  g.AutoExit = true;
  g.PrcInterval = 5;
  g.PrcIntervalUnit = 1;
  g.ShowErrorMsgs = true;
  g.UseLogFile = true;
  g.LogFileName = QStringLiteral("/var/log/v.log");
  g.ConfigFlag = 1;
  const QByteArray expected =
      QByteArray::fromHex("ffff0000ffff0000ffff05000100ffffffff0e002f7661722f6c6f672f762e6c6f670100") +
      QByteArray(5000 - 36, '\0');
  const std::optional<QByteArray> packed = conf::PackGlobal(g);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->toHex(), expected.toHex());
  const std::optional<GlobalRecord> back = conf::UnpackGlobal(*packed);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, g);

  // A log limit goes into a marked block right behind the fields.
  g.LogMaxMB = 1;
  const std::optional<QByteArray> limited = conf::PackGlobal(g);
  ASSERT_TRUE(limited);
  EXPECT_EQ(limited->mid(36, 10).toHex(), QByteArray("56584231040001000000"));
  EXPECT_EQ(conf::UnpackGlobal(*limited)->LogMaxMB, 1);
}

TEST(RecordBytes, ReadsAnyNonZeroBooleanAsTrueAndPortsUnsigned) {
  QByteArray bytes = SampleInternetProfileBytes();
  bytes[4] = 0x01;  // PrfEnabled = 0x0001
  bytes[5] = 0x00;
  std::optional<ProfileRecord> p = conf::UnpackProfile(bytes);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->PrfEnabled);
  EXPECT_EQ(p->SmtpTcpPort, 65535);
  EXPECT_EQ(p->SubjectLin, -1);
  EXPECT_EQ(p->MsgLin, -2);

  QByteArray global = QByteArray::fromHex("00800000000000000000000000000000000000000000");
  std::optional<GlobalRecord> g = conf::UnpackGlobal(global);
  ASSERT_TRUE(g);
  EXPECT_TRUE(g->RunAtSysStartup);
  EXPECT_FALSE(g->AutoInit);
}

TEST(RecordBytes, ShortLastSlotIsAcceptedWhenTheFieldsFit) {
  const QByteArray fields = Expect()
                                .Long(2).Bool(true).Str("x").Int(2)
                                .Str("").Str("").Str("").Str("").Str("").Str("").Str("").Str("")
                                .Bool(false).Bool(false).Int(110).Int(25).Int(30).Bool(false).Bool(false)
                                .Str("").Bool(false).Bool(false).Str("").Str("")
                                .Int(1).Str("").Str("").Str("")
                                .Int(0).Str("").Str("").Int(0).Str("").Str("")
                                .Int(0).Str("").Str("").Int(0).Str("").Str("")
                                .Str("").Str("").Str("").Bool(false)
                                .Fields();
  EXPECT_EQ(fields.size(), 91);  // 90 fixed bytes and one character
  std::optional<ProfileRecord> p = conf::UnpackProfile(fields);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Prfname, QStringLiteral("x"));
  EXPECT_EQ(p->Pop3TcpPort, 110);
  EXPECT_TRUE(p->Extension.isEmpty());

  // Every cut inside the fields fails cleanly.
  for (qsizetype n = 0; n < fields.size(); ++n) {
    EXPECT_FALSE(conf::UnpackProfile(fields.left(n))) << n;
  }
  EXPECT_FALSE(conf::UnpackGlobal(QByteArray::fromHex("ffff0000")));
}

TEST(RecordBytes, LengthPrefixRunningPastTheSlotFails) {
  QByteArray bytes = SampleInternetProfileBytes();
  // Prfname's length claims 4995 bytes: runs past the 5000-byte slot.
  bytes[6] = char(0x83);
  bytes[7] = char(0x13);
  EXPECT_FALSE(conf::UnpackProfile(bytes));
  // Data beyond one slot is never read, even when present.
  bytes.append(QByteArray(10000, 'x'));
  EXPECT_FALSE(conf::UnpackProfile(bytes));

  QByteArray global = QByteArray(5000, '\0');
  global[18] = char(0xFF);  // LogFileName length 0xFFFF
  global[19] = char(0xFF);
  EXPECT_FALSE(conf::UnpackGlobal(global));
}

TEST(RecordBytes, GarbageNeverCrashes) {
  QRandomGenerator rng(12345);
  for (int round = 0; round < 2000; ++round) {
    QByteArray junk(int(rng.bounded(0, 5200)), '\0');
    for (char& c : junk) c = char(rng.bounded(0, 256));
    // Small length prefixes make it past more fields now and then.
    if (round % 2) {
      for (qsizetype i = 1; i < junk.size(); i += 7) junk[i] = 0;
    }
    (void)conf::UnpackProfile(junk);
    (void)conf::UnpackGlobal(junk);
  }
  SUCCEED();
}

TEST(RecordBytes, ExtensionOnlyRightBehindTheFieldsAndWhenItFits) {
  ProfileRecord p = SampleInternetProfile();
  p.Extension = QByteArray("settings");
  QByteArray bytes = *conf::PackProfile(p);
  EXPECT_EQ(conf::PackProfile(SampleInternetProfile())->indexOf("VXB1"), -1);

  const qsizetype marker = bytes.indexOf("VXB1");
  ASSERT_GT(marker, 0);
  EXPECT_EQ(conf::UnpackProfile(bytes)->Extension, QByteArray("settings"));

  // A length past the slot: the block is not taken, the fields still are.
  QByteArray tooLong = bytes;
  tooLong[marker + 4] = char(0xFF);
  tooLong[marker + 5] = char(0x7F);
  std::optional<ProfileRecord> r = conf::UnpackProfile(tooLong);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->Extension.isEmpty());
  EXPECT_EQ(r->Prfname, QStringLiteral("Orders"));

  // A short last slot cut inside the block: not taken either.
  r = conf::UnpackProfile(bytes.left(marker + 6 + 3));
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->Extension.isEmpty());

  // Leftover bytes that do not start with the marker are ignored.
  QByteArray other = *conf::PackProfile(SampleInternetProfile());
  other.replace(marker, 4, "VXB2");
  EXPECT_TRUE(conf::UnpackProfile(other)->Extension.isEmpty());
}

TEST(RecordBytes, SlotLimit) {
  // 4910 bytes of strings fit exactly; one more does not.
  ProfileRecord p;
  p.RecordNumber = 2;
  p.Prfname = QStringLiteral("p");
  p.MsgText = QString(4909, QLatin1Char('m'));
  EXPECT_EQ(conf::ProfileStringBytes(p), 4910);
  std::optional<QByteArray> packed = conf::PackProfile(p);
  ASSERT_TRUE(packed);
  EXPECT_EQ(packed->size(), 5000);
  EXPECT_EQ(packed->mid(5000 - 2 - 4909, 4909), QByteArray(4909, 'm'));
  EXPECT_EQ(packed->right(2), QByteArray(2, '\0'));  // DeleteInterchange
  EXPECT_EQ(conf::UnpackProfile(*packed)->MsgText.size(), 4909);

  p.MsgText.append(QLatin1Char('m'));
  EXPECT_EQ(conf::ProfileStringBytes(p), 4911);
  EXPECT_FALSE(conf::PackProfile(p));

  // Bytes count, not characters: "é" takes two.
  p.MsgText = QString(4907, QLatin1Char('m')) + QStringLiteral("é");
  EXPECT_EQ(conf::ProfileStringBytes(p), 4910);
  EXPECT_TRUE(conf::PackProfile(p));
  p.MsgText = QString(4908, QLatin1Char('m')) + QStringLiteral("é");
  EXPECT_FALSE(conf::PackProfile(p));

  // The extension block takes its six header bytes and its data from the same budget.
  p.MsgText = QString(4900, QLatin1Char('m'));
  p.Extension = QByteArray(3, 'e');
  EXPECT_EQ(conf::ProfileStringBytes(p), 4910);
  EXPECT_TRUE(conf::PackProfile(p));
  p.Extension = QByteArray(4, 'e');
  EXPECT_FALSE(conf::PackProfile(p));

  // One string longer than a length prefix can count.
  ProfileRecord huge;
  huge.Subject = QString(70000, QLatin1Char('s'));
  EXPECT_FALSE(conf::PackProfile(huge));

  GlobalRecord g;
  g.LogFileName = QString(4978, QLatin1Char('l'));
  EXPECT_TRUE(conf::PackGlobal(g));
  g.LogFileName.append(QLatin1Char('l'));
  EXPECT_FALSE(conf::PackGlobal(g));
}

TEST(RecordStrings, Utf8WhenValidElseWindows1252) {
  struct Case {
    QByteArray bytes;
    QString text;
  };
  const Case cases[] = {
      {"", QString()},
      {"plain", QStringLiteral("plain")},
      {"Caf\xC3\xA9 \xE2\x82\xAC", QStringLiteral("Café €")},
      {"Caf\xE9 \x80", QStringLiteral("Café €")},  // Windows-1252
      {"\x93quoted\x94 \x85", QStringLiteral("\u201Cquoted\u201D \u2026")},
      {"\x81\x8D\x8F\x90\x9D", QStringLiteral("\u0081\u008D\u008F\u0090\u009D")},  // unassigned
      {"\xC3\x28", QStringLiteral("\u00C3(")},           // broken sequence
      {"\xED\xA0\x80", QStringLiteral("\u00ED\u00A0\u20AC")},  // encoded surrogate is not UTF-8
      {"\xC0\xAF", QStringLiteral("\u00C0\u00AF")},      // overlong
      {"\xEF\xBB\xBFx", QStringLiteral("\uFEFFx")},      // a leading BOM stays a character
      {QByteArray("a\0b", 3), QString(QStringLiteral("a")) + QChar(0) + QStringLiteral("b")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(conf::DecodeRecordString(c.bytes), c.text) << c.bytes.toHex().constData();
  }
  EXPECT_EQ(conf::EncodeRecordString(QStringLiteral("Café")), QByteArray("Caf\xC3\xA9"));
  EXPECT_EQ(conf::DecodeRecordString(conf::EncodeRecordString(QStringLiteral("\uFEFFx"))),
            QStringLiteral("\uFEFFx"));
}

TEST(RecordStrings, Windows1252FieldInAProfile) {
  ProfileRecord p = SampleInternetProfile();
  QByteArray bytes = SampleInternetProfileBytes();
  // Pop3SmtpPws as a Windows installation stored it: "s\xE9" "cret" (6 bytes, not 7).
  const QByteArray utf8 = QByteArray("\x07\x00s\xC3\xA9" "cret", 9);
  const qsizetype at = bytes.indexOf(utf8);
  ASSERT_GT(at, 0);
  bytes.replace(at, utf8.size(), QByteArray("\x06\x00s\xE9" "cret", 8));
  std::optional<ProfileRecord> r = conf::UnpackProfile(bytes);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, p);
}

TEST(Scrambling, KeyTenOnAbc) {
  EXPECT_EQ(crypto::ScrambleBytes("abc", 10), QByteArray("\x0A\x6B\x6C\x6D"));
  crypto::SetKeyForTesting(10);
  const QString stored = Scramble(QStringLiteral("abc"));
  crypto::SetKeyForTesting(0);
  ASSERT_EQ(stored.size(), 4);
  EXPECT_EQ(stored.toLatin1(), QByteArray("\x0A\x6B\x6C\x6D"));
  EXPECT_EQ(Unscramble(stored), QStringLiteral("abc"));
}

TEST(Scrambling, ByteRoundTripForEveryKey) {
  QByteArray all;
  for (int c = 0; c <= 254; ++c) all.append(char(c));
  for (int key = 1; key <= 230; ++key) {
    const QByteArray stored = crypto::ScrambleBytes(all, key);
    ASSERT_EQ(stored.size(), all.size() + 1);
    EXPECT_EQ(quint8(stored[0]), key);
    EXPECT_EQ(crypto::UnscrambleBytes(stored), all) << key;
    // Code 255 comes back as 0; a sum of exactly 255 stays 255.
    EXPECT_EQ(crypto::UnscrambleBytes(crypto::ScrambleBytes("\xFF", key)), QByteArray(1, '\0'));
    EXPECT_EQ(quint8(crypto::ScrambleBytes(QByteArray(1, char(255 - key)), key)[1]), 255);
  }
}

TEST(Scrambling, EmptyTexts) {
  const QString stored = Scramble(QString());
  ASSERT_EQ(stored.size(), 1);
  EXPECT_GE(stored[0].unicode(), 1);
  EXPECT_LE(stored[0].unicode(), 230);
  EXPECT_EQ(Unscramble(stored), QString());
  EXPECT_EQ(Unscramble(QString()), QString());
}

TEST(Scrambling, TextRoundTripAndRandomKeys) {
  const QString texts[] = {QStringLiteral("Vesk+Talmo"), QStringLiteral("pässwörd €"),
                           QStringLiteral("\U0001F600"), QString(QChar(0)) + QStringLiteral("x")};
  std::set<int> keys;
  for (int i = 0; i < 400; ++i) {
    for (const QString& t : texts) {
      const QString stored = Scramble(t);
      const int key = stored[0].unicode();
      ASSERT_GE(key, 1);
      ASSERT_LE(key, 230);
      keys.insert(key);
      for (QChar c : stored) ASSERT_LE(c.unicode(), 255);  // one stored byte per character
      ASSERT_EQ(Unscramble(stored), t);
    }
  }
  EXPECT_GT(keys.size(), 150u);  // 1600 draws over 230 keys
}

TEST(Scrambling, StoredWindows1252PasswordReadsBack) {
  // A Windows installation scrambled the code page bytes of "pä": 'p' 0x70, 'ä' 0xE4, key 20.
  const QByteArray stored = crypto::ScrambleBytes("p\xE4", 20);
  EXPECT_EQ(Unscramble(QString::fromLatin1(stored)), QStringLiteral("pä"));
}

}  // namespace
