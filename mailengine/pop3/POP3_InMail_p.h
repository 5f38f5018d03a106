#pragma once
// The state behind POP3_InMail, shared by its parts: the operations (POP3_InMail.cpp), the
// answers and how each is judged (Pop3Answers.cpp), the login (Pop3Login.cpp) and read-ahead
// (Pop3ReadAhead.cpp).
#include "pop3/POP3_InMail.h"
#include "pop3/Pop3Steps.h"
#include "socket/CSocket.h"
#include "socket/MailError.h"

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace pop3impl {

inline const QString kErrClearLogin =
    QStringLiteral("The POP3 server does not offer STLS: the password would go in clear text, so nothing was sent "
                   "(choose security tls or starttls, or none for a trusted local server)");
inline const QString kErrNoStls =
    QStringLiteral("The POP3 server does not offer STLS, which the profile requires: nothing was sent");
inline const QString kProductName = QStringLiteral("Vorlane POP3 & SMTP Engine 3.1");
// A status line longer than this is handled as it stands (a POP3 status line is at most 512).
constexpr qsizetype kMaxStatusLine = 64 * 1024;
// As much of a server's answer as an error text quotes.
constexpr qsizetype kMaxQuotedAnswer = 200;
// What a retrieval reserves at most on the word of the server, before any byte of it came.
constexpr qint64 kMaxFirstReserve = 256LL << 20;

// A command argument stays on its command's line: a CR or LF in it would start a new command.
inline QByteArray OneLine(const QString& text) {
  QByteArray bytes = text.toUtf8();
  bytes.replace('\r', QByteArray()).replace('\n', QByteArray());
  return bytes;
}

inline QByteArray WithoutCR(QByteArray line) {
  if (line.endsWith('\r')) line.chop(1);
  return line;
}

// The first "\n.\r\n" (or "\n.\n") at or after from; the index of its LF, or -1.
inline qsizetype FindTerminator(const QByteArray& buf, qsizetype from) {
  const char* data = buf.constData();
  const qsizetype n = buf.size();
  for (qsizetype pos = std::max<qsizetype>(from, 0); pos < n;) {
    const void* hit = memmem(data + pos, static_cast<size_t>(n - pos), "\n.", 2);
    if (!hit) return -1;
    const qsizetype i = static_cast<const char*>(hit) - data;
    if (i + 2 < n && data[i + 2] == '\n') return i;
    if (i + 3 < n && data[i + 2] == '\r' && data[i + 3] == '\n') return i;
    pos = i + 1;
  }
  return -1;
}

}  // namespace pop3impl

struct POP3_InMail::Impl {
  explicit Impl(POP3_InMail* owner);

  enum Operation { OpNone = 0, OpConnect = 1, OpDisconnect = 2, OpCount = 3, OpRetrieve = 4, OpDelete = 5,
                   OpCapa = 6, OpList = 7, OpUidl = 8, OpAuth = 9 };
  // A command sent without waiting whose answer has not been read yet: STAT, UIDL and LIST of
  // AskMailbox; RETR, DELE and QUIT of read-ahead.
  struct Pending {
    int index;
    Operation op;
  };
  static QByteArray CommandOf(Operation op) {
    switch (op) {
      case OpRetrieve: return "RETR";
      case OpDelete: return "DELE";
      case OpCount: return "STAT";
      case OpUidl: return "UIDL";
      case OpList: return "LIST";
      default: return "QUIT";
    }
  }
  // The command whose answer is awaited: the first queued one, else the one sent last.
  QByteArray Awaited() const { return pending_.empty() ? command_ : CommandOf(pending_.front().op); }
  // A RETR answer read ahead: the message, or refused.
  struct Ahead {
    int index;
    bool refused;
    QByteArray message;
  };

  bool ConnectToPop3Server(const QString& user, const QString& password, const QString& host, quint16& port);
  bool DisConnectFromPop3Server();
  qint16 GetNMailsOnPop3Server(bool force);
  bool GetMail(qint16 index, Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments, QByteArray* source);
  bool DelMail(qint16 index);
  bool RetrieveInOrder(std::vector<qint16> order);
  bool AskMailbox();
  bool SaveAttachmentDataToFile(const Pop3AttachmentData& data, const QString& path, bool flush);

  enum WaitResult { WaitDone, WaitAborted, WaitTimedOut };

  void OnDataArrival(long bytesTotal);
  void OnSocketError(int number, const QString& description, const QString& source);
  void OnSocketClose();

  // The answer handler: every byte the server sends goes through here.
  void HandleAnswerBytes(QByteArrayView bytes);
  void HandleLine(const QByteArray& line);
  void HandleLoginLine(const QByteArray& line);
  void HandleRetrieveBytes(QByteArrayView bytes);
  void CompleteRetrieve(qsizetype terminator);
  void HandleErrorAnswer(const QByteArray& line, const QByteArray& rest = QByteArray());
  // An answer the command cannot get: the session ends at once, without QUIT (nothing is
  // deleted), since no later answer can be trusted to be the one it seems.
  // report false: the operation reports it itself (a retrieval, through abortReason_).
  void WrongAnswer(const QByteArray& command, const QByteArray& line, bool report = true);
  void HandleListLine(const QByteArray& line);
  // The answer to the first pending command is read: the next one's turn (rest: bytes after it).
  void AnswerDone(const QByteArray& rest);
  // An answer to a command AskMailbox queued is read (usable: not refused, not garbled).
  void AskedAnswered(bool usable);
  void FollowPending();
  // CAPA, LIST or UIDL: one answer of several lines.
  WaitResult ListOperation(Operation op);
  // LIST or UIDL into sizes_ or uids_, for every message of the count.
  bool ListPerMessage(Operation op);
  void Queue(const QByteArray& command, Pending p);
  void SendAhead();
  bool Flush();
  // Waits until every command sent is answered and ends the read-ahead; false when the session
  // broke (the socket is closed then, since later answers could not be matched).
  bool Drain();
  bool TakeAhead(Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments, QByteArray* source);
  void BreakPipeline();
  qint64 AheadSize(int index) const;

  // Login steps: one command and its "+OK" (or a SASL continuation).
  WaitResult Step(const QByteArray& command, bool send = true);
  WaitResult Capabilities();
  bool Offers(const QString& capability) const;
  bool OffersSasl(const QByteArray& mechanism) const;
  bool PutTls(bool implicit);
  WaitResult LogIn();
  WaitResult SaslLogIn(const QByteArray& mechanism, const QByteArray& response);
  void CloseSocket();

  void StartOperation(Operation op);
  bool SendCommand(const QByteArray& command);
  // Runs the event loop until flag is set (true), an abort, or silence for the time-out.
  WaitResult Wait(const bool& flag);
  // kind None: the kind of the failure that caused this one (a refusal, a broken connection).
  void Fail(const QString& text, mailerr::Kind kind, const QByteArray& reply = QByteArray());
  void FailRetrieve(WaitResult r);
  // A "-ERR" answer as an error value; login: it answers USER, PASS or AUTH.
  static mailerr::Error Refusal(const QByteArray& line, bool login);
  void Fail(const mailerr::Error& error) {
    Fail(error.description, error.kind, error.reply);
    failure_ = error;
  }
  // False when the count cannot be had; throws for a bad index.
  bool CheckIndex(qint16 index);

  POP3_InMail* q;
  std::unique_ptr<CSocket> socket_;
  vrlsec::Settings security_;
  qint16 timeoutSeconds_ = 3;
  QString host_;
  QString user_;
  QString password_;
  Operation op_ = OpNone;
  bool connected_ = false;
  bool stepDone_ = false;
  bool continuation_ = false;  // the server answered "+ " to a SASL step
  QByteArray challenge_;       // what came with it
  QString authError_;          // what a refused XOAUTH2 token's challenge said
  bool listRefused_ = false;
  bool disconnectDone_ = false;
  bool countDone_ = false;
  bool retrieveDone_ = false;
  bool deleteDone_ = false;
  bool listDone_ = false;
  bool multiLine_ = false;  // the "+OK" of a CAPA, LIST or UIDL answer arrived, its lines follow
  bool capaAsked_ = false;  // CAPA was answered in this session (capabilities_ holds it)
  QStringList capabilities_;
  std::vector<QByteArray> uids_;
  bool haveCount_ = false;   // count_ holds the answer AskMailbox got, even 0
  bool haveUids_ = false;    // uids_ holds the answer AskMailbox got
  bool haveSizes_ = false;   // sizes_ likewise
  bool askBroke_ = false;    // AskMailbox ended the session: lastError_ says why
  bool answered_ = false;
  bool handling_ = false;   // inside the answer handler: data arriving meanwhile waits in inbox_
  QByteArray inbox_;
  bool error_ = false;
  bool abort_ = false;
  bool dataSeen_ = false;
  qint16 count_ = NotInitialized;
  bool countFailed_ = false;  // the last GetNMailsOnPop3Server failed
  bool quitConfirmed_ = false;  // the last QUIT was answered +OK
  // The maildrop size STAT announced; -1 unknown. No message can be larger, so a retrieval
  // that grows past it (with slack for dot-stuffing) is a server that never ends its answer.
  // Without it the message's own size from LIST bounds it, and nothing is ever larger than
  // maxMessageBytes_.
  qint64 maildropBytes_ = -1;
  qint64 maxMessageBytes_ = POP3_InMail::kMaxMessageBytes;
  qint16 retrieving_ = 0;  // the message of a RETR without read-ahead
  QString abortReason_;  // why the client itself ended the operation
  QString socketFailure_;  // why the socket layer closed the socket in this session
  QByteArray lineBuffer_;      // answer bytes not yet handled as lines
  qsizetype lineStart_ = 0;    // first byte of lineBuffer_ not yet handled
  QByteArray retrieve_;        // a RETR answer as it arrives
  qsizetype statusEnd_ = -1;   // first byte after the RETR status line, -1 before it arrived
  qsizetype searchFrom_ = 0;   // where the search for the final "." line goes on
  Pop3Mail lastMail_;
  std::vector<Pop3MailAttachments> lastAttachments_;
  QByteArray lastSource_;
  QString lastError_;
  mailerr::Error failure_;  // the last failure as a value (LastFailure)
  QByteArray command_;      // the word of the command whose answer is awaited ("" the greeting)
  bool loggingIn_ = false;  // a refusal now is the login's
  // Read-ahead: the commands in flight (answers come in this order), the RETR answers read and
  // not yet taken, what is still to be sent, and the message sizes LIST announced (-1 unknown).
  bool pipelined_ = false;
  std::deque<Pending> pending_;
  std::deque<Ahead> ahead_;
  QByteArray outgoing_;
  std::vector<qint16> plan_;  // the messages to take, in order
  size_t planSent_ = 0, planTaken_ = 0;
  int aheadCount_ = 0;
  qint64 aheadBytes_ = 0;
  std::vector<qint64> sizes_;
  qint16 refusedDeletion_ = 0;
};
