// vrlmail fetch --protocol imap end to end against the scripted server: the files are written,
// then exactly the messages delivered are deleted, before LOGOUT.
#include "ScriptedServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using vrltest::Scenario;
using vrltest::ScriptedServer;

TEST(ImapFetchTool, WritesFilesThenDeletes) {
  QTemporaryDir tmp;
  const QString dir = tmp.filePath(QStringLiteral("in")), pw = tmp.filePath(QStringLiteral("pw"));
  ASSERT_TRUE(QDir().mkpath(dir));
  QFile f(pw);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("s3cret\n");
  f.close();
  const QByteArray withFile =
      "From: a@example.org\r\nSubject: report\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n--b\r\nContent-Type: application/octet-stream; name=\"r.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\naGVsbG8=\r\n--b--\r\n";
  const QByteArray plain = "From: b@example.org\r\nSubject: note\r\n\r\njust text\r\n";
  Scenario s;
  s.reply("* OK [CAPABILITY IMAP4rev1 UIDPLUS] ready").expect("A1 LOGIN \"u\" \"s3cret\"").reply("A1 OK in");
  s.expect("A2 CAPABILITY").reply("* CAPABILITY IMAP4rev1 UIDPLUS").reply("A2 OK");
  s.expect("A3 SELECT \"Work\"").send("* 2 EXISTS\r\n* OK [UIDVALIDITY 1] v\r\nA3 OK done\r\n");
  s.expect("A4 UID SEARCH ALL").send("* SEARCH 7 9\r\nA4 OK done\r\n");
  s.expect("A5 UID FETCH 7,9 (UID BODY.PEEK[])");
  s.send("* 1 FETCH (UID 7 BODY[] {" + QByteArray::number(withFile.size()) + "}\r\n" + withFile + ")\r\n");
  s.send("* 2 FETCH (UID 9 BODY[] {" + QByteArray::number(plain.size()) + "}\r\n" + plain + ")\r\nA5 OK done\r\n");
  s.expect("A6 UID STORE 7,9 +FLAGS.SILENT (\\Deleted)").expect("A7 UID EXPUNGE 7,9").send("A6 OK\r\nA7 OK\r\n");
  s.expect("A8 LOGOUT").reply("* BYE bye").reply("A8 OK done").expectClose();
  ScriptedServer server({s});

  QProcess p;
  p.start(QStringLiteral(VRL_BIN_DIR "/vrlmail"),
          {QStringLiteral("fetch"), QStringLiteral("--protocol"), QStringLiteral("imap"), QStringLiteral("--folder"),
           QStringLiteral("Work"), QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
           QString::number(server.port()), QStringLiteral("--user"), QStringLiteral("u"),
           QStringLiteral("--password-file"), pw, QStringLiteral("--dir"), dir, QStringLiteral("--security"),
           QStringLiteral("none"), QStringLiteral("--timeout"), QStringLiteral("5")});
  ASSERT_TRUE(p.waitForFinished(20000));
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  EXPECT_EQ(p.readAllStandardOutput(), "7\ta@example.org\treport\tr.bin\n9\tb@example.org\tnote\tnote.eml\n");
  QFile saved(QDir(dir).filePath(QStringLiteral("r.bin")));
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readAll(), "hello");
  EXPECT_TRUE(server.waitDone(5000)) << server.progress().toStdString();
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
}
