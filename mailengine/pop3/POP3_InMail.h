#pragma once
// POP3 client of the mail engine: log in with USER/PASS, count (STAT), retrieve and parse (RETR),
// delete (DELE), log out (QUIT). Every operation blocks its caller while the thread's event loop
// runs, until the answer, an error or a silence time-out of TimeOutNSeconds.
#include "pop3/Pop3Mail.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <deque>
#include <vector>

class CSocket;

class POP3_InMail : public QObject {
  Q_OBJECT
 public:
  // Values of the stored message count that are not a count.
  enum CurNumberMessagesEnum : qint16 { NotInitialized = -2, ErrorOcurred = -1 };

  explicit POP3_InMail(QObject* parent = nullptr);
  ~POP3_InMail() override;  // closes the socket without QUIT

  // Connects and logs in. Port 0 becomes 110 and is written back (ports are 0..65535).
  bool ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                           const QString& strHost, quint16& intPort);
  bool ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                           const QString& strHost);
  bool DisConnectFromPop3Server();
  // The stored count when it is above 0 and not forced, else asks the server (STAT). 0 on failure.
  qint16 GetNMailsOnPop3Server(bool ForceGetFromServer = false);
  // Retrieves and parses message index (1..count). Throws vrl::VrlError "Bad Mail Index!"
  // (0x8004020E) for an index outside 1..count.
  // source, when given, receives the message as retrieved (shared with the attachments, not
  // copied): for a caller that must keep a message that yields no file.
  bool GetMail(qint16 index, Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments,
               QByteArray* source = nullptr);
  // Marks message index for deletion. Same index check as GetMail.
  bool DelMail(qint16 index);
  // Lets GetMail read ahead: the caller takes messages first, first+1, ... last (downwards when
  // last < first), each once, in that order. When the server offers PIPELINING (CAPA), the RETR
  // commands of the next messages go out before they are asked for (by the sizes LIST announces,
  // as many as fit in kAheadBytes, at most kAheadCount), DelMail sends DELE without waiting for
  // its answer, and the answers are read in order. A refused DELE then shows in
  // RefusedDeletion(); QUIT waits for every answer. True when read-ahead is on; otherwise the
  // dialogue stays one command at a time. Asking for another message ends the read-ahead.
  bool RetrieveInOrder(qint16 first, qint16 last);
  // The first message whose DELE the server refused during read-ahead, 0 for none.
  qint16 RefusedDeletion() const { return refusedDeletion_; }
  static constexpr int kAheadCount = 16;
  static constexpr qint64 kAheadBytes = 512 * 1024;
  // Decodes one attachment into a new file. Throws vrl::VrlError "File already exists!"
  // (0x80040210) or "Path not found!" (0x8004020F); any other failure returns false with the
  // reason in GetLastError. The file and its name are on disk when true is returned, unless
  // flush is false (for a caller that flushes all it wrote once, before QUIT).
  bool SaveAttachmentDataToFile(const Pop3AttachmentData& AttachmentData,
                                const QString& FileAndPathName, bool flush = true);

  bool IsConectedToServer() const { return connected_; }
  qint16 TimeOutNSeconds() const { return timeoutSeconds_; }
  // Clamps to 3..300 and writes the value taken back.
  void SetTimeOutNSeconds(qint16& seconds);
  QString GetLastError() const { return lastError_; }

 signals:
  void Pop3OperationFailed(const QString& Explanation);
  void Pop3Status(const QString& Status);

 private:
  enum Operation { OpNone = 0, OpConnect = 1, OpDisconnect = 2, OpCount = 3, OpRetrieve = 4, OpDelete = 5,
                   OpCapa = 6, OpList = 7 };
  // A command sent during read-ahead whose answer has not been read yet.
  struct Pending {
    int index;
    bool dele;
  };
  // A RETR answer read ahead: the message, or refused.
  struct Ahead {
    int index;
    bool refused;
    QByteArray message;
  };

  void OnDataArrival(long bytesTotal);
  void OnSocketError(int number, const QString& description, const QString& source);
  void OnSocketClose();

  // The answer handler: every byte the server sends goes through here.
  void HandleAnswerBytes(QByteArrayView bytes);
  void HandleLine(const QByteArray& line);
  void HandleRetrieveBytes(QByteArrayView bytes);
  void CompleteRetrieve(qsizetype terminator);
  void HandleErrorAnswer(const QByteArray& line, const QByteArray& rest = QByteArray());
  void HandleListLine(const QByteArray& line);
  // The answer to the first pending command is read: the next one's turn (rest: bytes after it).
  void AnswerDone(const QByteArray& rest);
  void FollowPending();
  // CAPA or LIST, one answer of several lines.
  bool ListOperation(Operation op);
  void Queue(const QByteArray& command, Pending p);
  void SendAhead();
  bool Flush();
  // Waits until every command sent is answered and ends the read-ahead; false when the session
  // broke (the socket is closed then, since later answers could not be matched).
  bool Drain();
  bool TakeAhead(Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments, QByteArray* source);
  void BreakPipeline();
  qint64 AheadSize(int index) const;

  void StartOperation(Operation op);
  bool SendCommand(const QByteArray& command);
  // Runs the event loop until flag is set (true), an abort, or silence for the time-out.
  enum WaitResult { WaitDone, WaitAborted, WaitTimedOut };
  WaitResult Wait(const bool& flag);
  void Fail(const QString& text);
  // False when the count cannot be had; throws for a bad index.
  bool CheckIndex(qint16 index);

  CSocket* socket_;
  qint16 timeoutSeconds_ = 3;
  QString host_;
  QString user_;
  QString password_;
  Operation op_ = OpNone;
  int loginStep_ = 0;
  bool connected_ = false;
  bool connectDone_ = false;
  bool disconnectDone_ = false;
  bool countDone_ = false;
  bool retrieveDone_ = false;
  bool deleteDone_ = false;
  bool listDone_ = false;
  bool multiLine_ = false;  // the "+OK" of a CAPA or LIST answer arrived, its lines follow
  bool canPipeline_ = false;
  bool answered_ = false;
  bool handling_ = false;   // inside the answer handler: data arriving meanwhile waits in inbox_
  QByteArray inbox_;
  bool error_ = false;
  bool abort_ = false;
  bool dataSeen_ = false;
  qint16 count_ = NotInitialized;
  // The maildrop size STAT announced; -1 unknown. No message can be larger, so a retrieval
  // that grows past it (with slack for dot-stuffing) is a server that never ends its answer.
  qint64 maildropBytes_ = -1;
  QString abortReason_;  // why the client itself ended the operation
  QByteArray lineBuffer_;      // answer bytes not yet handled as lines
  qsizetype lineStart_ = 0;    // first byte of lineBuffer_ not yet handled
  QByteArray retrieve_;        // a RETR answer as it arrives
  qsizetype statusEnd_ = -1;   // first byte after the RETR status line, -1 before it arrived
  qsizetype searchFrom_ = 0;   // where the search for the final "." line goes on
  Pop3Mail lastMail_;
  std::vector<Pop3MailAttachments> lastAttachments_;
  QByteArray lastSource_;
  QString lastError_;
  // Read-ahead: the commands in flight (answers come in this order), the RETR answers read and
  // not yet taken, what is still to be sent, and the message sizes LIST announced (-1 unknown).
  bool pipelined_ = false;
  std::deque<Pending> pending_;
  std::deque<Ahead> ahead_;
  QByteArray outgoing_;
  int planNext_ = 0, planEnd_ = 0, planStep_ = 1, takeNext_ = 0;
  int aheadCount_ = 0;
  qint64 aheadBytes_ = 0;
  std::vector<qint64> sizes_;
  qint16 refusedDeletion_ = 0;

  friend struct POP3_InMailInternal;
};

// Entry points for tests and fuzzers: drive the answer handler without a network.
struct POP3_InMailInternal {
  // Puts the client into the retrieving state, as after "RETR n" was sent.
  static void BeginRetrieve(POP3_InMail& client);
  // Hands bytes to the answer handler as one arrival of data.
  static void Feed(POP3_InMail& client, QByteArrayView bytes);
  static bool RetrieveDone(const POP3_InMail& client);
  // Moves the parsed message out (as GetMail does on success).
  static void TakeMessage(POP3_InMail& client, Pop3Mail& mail,
                          std::vector<Pop3MailAttachments>& attachments);
  // Capacity of the retrieval buffer (to check that it grows geometrically).
  static qsizetype RetrieveCapacity(const POP3_InMail& client);
};
