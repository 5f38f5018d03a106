#pragma once
// POP3 client of the mail engine: log in with USER/PASS, count (STAT), retrieve and parse (RETR),
// delete (DELE), log out (QUIT). Every operation blocks its caller while the thread's event loop
// runs, until the answer, an error or a silence time-out of TimeOutNSeconds.
//
// Security settings (none by default: the original dialogue, byte for byte) add CAPA, STLS or
// implicit TLS, and SASL logins (AUTH PLAIN, AUTH XOAUTH2) beside USER/PASS.
#include "pop3/Pop3Mail.h"
#include "socket/MailError.h"
#include "socket/SecuritySettings.h"
#include "vrlime_export.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

class CSocket;

class VRLIME_EXPORT POP3_InMail : public QObject {
  Q_OBJECT
 public:
  // Values of the stored message count that are not a count.
  enum CurNumberMessagesEnum : qint16 { NotInitialized = -2, ErrorOcurred = -1 };

  explicit POP3_InMail(QObject* parent = nullptr);
  ~POP3_InMail() override;  // closes the socket without QUIT

  // Connects and logs in. Port 0 becomes 110 (995 under implicit TLS) and is written back.
  bool ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                           const QString& strHost, quint16& intPort);
  bool ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                           const QString& strHost);
  bool DisConnectFromPop3Server();
  // The server answered the last QUIT with +OK: the deletions of that session are done. (A server
  // that only closes the connection may or may not have done them.)
  bool QuitConfirmed() const;
  // The stored count when it is above 0 and not forced, else asks the server (STAT). 0 on failure
  // (CountFailed tells it from an empty mailbox; GetLastError holds the server's words).
  qint16 GetNMailsOnPop3Server(bool ForceGetFromServer = false);
  // The last count asked for failed: refused, garbled, timed out or not connected.
  bool CountFailed() const;
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
  // RefusedDeletion(); QUIT goes right behind the last command and waits for every answer. True
  // when read-ahead is on; otherwise the dialogue stays one command at a time. Asking for another
  // message ends the read-ahead.
  bool RetrieveInOrder(qint16 first, qint16 last);
  // When this session's capabilities list PIPELINING, asks STAT, UIDL and LIST in one write;
  // GetNMailsOnPop3Server, GetUniqueIds and GetSizes then answer from what came, and an answer
  // refused is asked again by its own call, which reports it as before. False when nothing was
  // asked, or when the session broke (GetNMailsOnPop3Server then fails with the reason).
  bool AskMailbox();
  // The same for the messages of order (each once, in that order): a caller that leaves some.
  bool RetrieveInOrder(std::vector<qint16> order);
  // The first message whose DELE the server refused during read-ahead, 0 for none.
  qint16 RefusedDeletion() const;
  // The largest message a retrieval may bring (plus 10% and 64 KB for dot-stuffing), whatever the
  // server announces: a larger answer ends the session without QUIT and the message stays.
  static constexpr qint64 kMaxMessageBytes = qint64(1) << 30;
  void SetMaxMessageBytes(qint64 bytes);
  static constexpr int kAheadCount = 64;
  static constexpr qint64 kAheadBytes = 1024 * 1024;
  // Decodes one attachment into a new file. Throws vrl::VrlError "File already exists!"
  // (0x80040210) or "Path not found!" (0x8004020F); any other failure returns false with the
  // reason in GetLastError. The file and its name are on disk when true is returned, unless
  // flush is false (for a caller that flushes all it wrote once, before QUIT).
  bool SaveAttachmentDataToFile(const Pop3AttachmentData& AttachmentData,
                                const QString& FileAndPathName, bool flush = true);

  // The unique id of every message (UIDL), index 1..count; [0] is unused. False when the server
  // refuses UIDL or the session broke.
  bool GetUniqueIds(std::vector<QByteArray>& ids);
  // The size of every message (LIST), index 1..count; [0] is unused, -1 where not announced.
  bool GetSizes(std::vector<qint64>& sizes);
  // What the server announced to CAPA in this session, upper case ("STLS", "SASL PLAIN", ...);
  // empty when it was not asked or refused.
  QStringList Capabilities() const;

  // Applies from the next connection on.
  void SetSecurity(const vrlsec::Settings& settings);
  vrlsec::Settings Security() const;

  bool IsConectedToServer() const;
  qint16 TimeOutNSeconds() const;
  // Clamps to 3..300 and writes the value taken back.
  void SetTimeOutNSeconds(qint16& seconds);
  QString GetLastError() const;
  // The last failure as a value: its kind, the text GetLastError gave, the server's answer.
  mailerr::Error LastFailure() const;

 signals:
  void Pop3OperationFailed(const QString& Explanation);
  void Pop3Status(const QString& Status);
  // The session runs under TLS: protocol version and the certificate's subject.
  void SecureConnection(const QString& description);
  // Right after it: the server certificate in full (TlsTransport::PeerCertificateDetails).
  void ServerCertificate(const QString& details);

 private:
  struct VRLIME_NO_EXPORT Impl;
  std::unique_ptr<Impl> d_;
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
