#pragma once
// IMAP4rev1 client of the mail engine (RFC 3501; the parts of IMAP4rev2 it shares): log in, select
// a folder, list its UIDs and sizes, fetch messages many per command, delete or move them, wait
// for new mail (IDLE), log out. Every operation blocks its caller while the thread's event loop
// runs, until the tagged answer, an error or a silence time-out of TimeOutNSeconds.
//
// Commands are tagged "A1", "A2", ... in the order they are sent on a connection. Answers are
// judged in that order; commands that do not depend on each other (STORE and EXPUNGE) go out
// together. A malformed or over-long response, a literal larger than SetMaxMessageBytes, a tag
// out of order or a BYE the client did not ask for ends the session.
#include "socket/MailError.h"
#include "socket/SecuritySettings.h"
#include "mime/Pop3Mail.h"
#include "vrlime_export.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class VRLIME_EXPORT IMAP_InMail : public QObject {
  Q_OBJECT
 public:
  explicit IMAP_InMail(QObject* parent = nullptr);
  ~IMAP_InMail() override;  // closes the socket without LOGOUT

  // Connects and logs in. Port 0 becomes 143 (993 under implicit TLS) and is written back.
  // Security::Auto never sends a credential in clear: without STARTTLS (or with LOGINDISABLED
  // before it) nothing is sent.
  bool Connect(const QString& user, const QString& password, const QString& host, quint16& port);
  // LOGOUT; the socket is closed either way. Without await the answer is not waited for (a
  // round trip saved when nothing asked is still unanswered).
  bool Logout(bool await = true);
  bool IsConnected() const;

  // SELECT; the folder name goes as modified UTF-7. UidValidity and Exists describe it after.
  // listUids: UID SEARCH ALL goes right behind SELECT, and the SearchUids that follows answers
  // from it without a round trip of its own.
  bool Select(const QString& folder, bool listUids = false);
  // The folder the caller selects (with listUids) right after Connect: SELECT and UID SEARCH go
  // behind a login that needs no further exchange (LOGIN, AUTHENTICATE PLAIN with an initial
  // response), and that Select answers from them. Empty: none.
  void SelectAfterLogin(const QString& folder);
  quint32 UidValidity() const;
  qint64 Exists() const;

  // UID SEARCH ALL: ascending, without duplicates.
  bool SearchUids(std::vector<quint32>& uids);
  // UID FETCH (RFC822.SIZE): sizes[i] for uids[i], -1 where the server named none.
  bool FetchSizes(const std::vector<quint32>& uids, std::vector<qint64>& sizes);
  // UID FETCH (UID BODY.PEEK[]) in batches (by count, and by the sizes FetchSizes learnt), two
  // in flight, so that the next batch comes while the caller writes this one's messages; each
  // message goes to take once complete, in the order the server sends them, and never from
  // inside the socket's handler: take may let events run. When take returns false, the answers
  // of the commands sent are read and dropped, no further batch is asked, and the call returns
  // true. A message larger than SetMaxMessageBytes ends the session before it is read
  // (Kind::Protocol); the messages complete before a failure are handed all the same.
  bool FetchMessages(const std::vector<quint32>& uids,
                     const std::function<bool(quint32 uid, const QByteArray& message)>& take);
  // UID STORE +FLAGS.SILENT (\Deleted), then UID EXPUNGE of the same set when the server offers
  // UIDPLUS, else EXPUNGE (which also removes what other clients marked \Deleted).
  bool Delete(const std::vector<quint32>& uids);
  // UID MOVE when offered, else UID COPY and Delete. A [TRYCREATE] refusal creates the folder
  // once and tries again.
  bool Move(const std::vector<quint32>& uids, const QString& folder);
  // IDLE (only when offered): returns when the folder's EXISTS grows (newMail true), maxSecs
  // pass, or keepWaiting (asked about every 200 ms) returns false; then DONE and its answer.
  bool Idle(int maxSecs, const std::function<bool()>& keepWaiting, bool* newMail);

  // What the server announced, upper case ("IMAP4REV1", "AUTH=PLAIN", "IDLE", ...).
  QStringList Capabilities() const;

  // Applies from the next connection on.
  void SetSecurity(const vrlsec::Settings& settings);
  vrlsec::Settings Security() const;
  qint16 TimeOutNSeconds() const;
  // Clamps to 3..300 and writes the value taken back.
  void SetTimeOutNSeconds(qint16& seconds);
  // The largest message (literal) taken; at most and by default kMaxMessageBytes.
  static constexpr qint64 kMaxMessageBytes = qint64(1) << 30;
  void SetMaxMessageBytes(qint64 bytes);
  QString GetLastError() const;
  mailerr::Error LastFailure() const;

  // Decodes one attachment of a parsed message into a new file (as POP3_InMail does). Throws
  // vrl::VrlError "File already exists!" or "Path not found!"; other failures return false with
  // the reason in *error.
  static bool SaveAttachmentDataToFile(const Pop3AttachmentData& data, const QString& path, QString* error,
                                       bool flush = true);

 signals:
  void OperationFailed(const QString& explanation);
  void Status(const QString& status);
  // The session runs under TLS: protocol version and the certificate's subject.
  void SecureConnection(const QString& description);
  // Right after it: the server certificate in full.
  void ServerCertificate(const QString& details);

 private:
  struct VRLIME_NO_EXPORT Impl;
  std::unique_ptr<Impl> d_;
};
