#pragma once
// A scripted loopback server for protocol tests. It listens on 127.0.0.1 on a free port and runs,
// on its own thread, one scenario per accepted connection: a list of steps (expect a line from
// the client, send bytes, send them split into pieces, pause, read a DATA body, drop the
// connection). Any line that differs from the script is recorded as an error, which the test
// checks with errors(). Every wait is bounded, so a confused client cannot hang a test.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

namespace vrltest {

class Scenario {
 public:
  struct Step {
    enum Kind { Send, SendSplit, Expect, ExpectPrefix, ReadUntilDot, Delay, Close, ExpectClose, Reset };
    Kind kind;
    QByteArray bytes;       // Send*: what to send; Expect*: the line (no CR LF)
    std::vector<int> cuts;  // SendSplit: byte offsets to cut at
    int delayMs = 0;        // Delay; SendSplit: pause between pieces
  };

  // Sends the bytes as they are (add "\r\n" yourself).
  Scenario& send(const QByteArray& bytes) { return add({Step::Send, bytes, {}, 0}); }
  // Sends one line: text + CR LF.
  Scenario& reply(const QByteArray& line) { return send(line + "\r\n"); }
  // Sends the bytes cut at the offsets, pausing between the pieces.
  Scenario& sendSplit(const QByteArray& bytes, std::vector<int> cuts, int pauseMs = 20) {
    return add({Step::SendSplit, bytes, std::move(cuts), pauseMs});
  }
  // Reads one line (up to CR LF) and checks it equals the text.
  Scenario& expect(const QByteArray& line) { return add({Step::Expect, line, {}, 0}); }
  // Reads one line and checks it starts with the text.
  Scenario& expectPrefix(const QByteArray& prefix) { return add({Step::ExpectPrefix, prefix, {}, 0}); }
  // Reads a DATA body up to and including the line ".", keeps it (see ScriptedServer::data).
  Scenario& readUntilDot() { return add({Step::ReadUntilDot, {}, {}, 0}); }
  Scenario& delay(int ms) { return add({Step::Delay, {}, {}, ms}); }
  // Closes the connection at this point.
  Scenario& close() { return add({Step::Close, {}, {}, 0}); }
  // Waits until the client closes (bounded).
  Scenario& expectClose() { return add({Step::ExpectClose, {}, {}, 0}); }
  // Drops the connection abortively (SO_LINGER 0): the client sees a reset, not an orderly end.
  Scenario& reset() { return add({Step::Reset, {}, {}, 0}); }

  // A body as a server or client puts it on the wire after DATA or RETR: every line that starts
  // with "." gets one more ".", a missing final CR LF is added, and the line "." ends it.
  static QByteArray dotStuff(const QByteArray& body);

  const std::vector<Step>& steps() const { return steps_; }

 private:
  Scenario& add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
  }
  std::vector<Step> steps_;
};

class ScriptedServer {
 public:
  // Connection i runs scenarios[i]; connections beyond the list are closed at once and recorded
  // as an error. ioTimeoutMs bounds every read.
  explicit ScriptedServer(std::vector<Scenario> scenarios, int ioTimeoutMs = 10000);
  ~ScriptedServer();  // stops the thread

  uint16_t port() const;
  // Waits (bounded) until every scenario ran to its end or failed.
  bool waitDone(int timeoutMs = 10000);
  // Mismatches and time-outs, in order; empty when the client did exactly what the script says.
  QStringList errors() const;
  // Everything the client sent on connection i.
  QByteArray received(int connection) const;
  // The bodies read by readUntilDot() on connection i, each without the final ".".
  std::vector<QByteArray> data(int connection) const;
  int connectionsAccepted() const;
  // Where the script stands, for failure messages: the connection waited for, or the step a
  // connection is at ("connection 1 of 2, step 3 (expect \"QUIT\")"), or that all are done.
  QString progress() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace vrltest
