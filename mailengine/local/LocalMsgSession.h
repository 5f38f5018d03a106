#pragma once
// The local messaging system a messaging profile (host type 1) works through. The profile names
// a Maildir: its new/ and cur/ folders are the Inbox, oldest delivery first; a message sent from
// the Outbox is composed as the SMTP client composes it and handed to the system's sendmail
// ("/usr/sbin/sendmail -i -t", or the program $VORLANE_SENDMAIL names), whose mail transfer
// agent delivers it.
//
// The calls keep the object model of a messaging session: a Session with its Outbox and Inbox
// folders, their message lists, messages with recipients, attachments and a sender. Objects
// other than the session and its messages are light handles into their owner: they are valid
// while the message (held by shared pointer) lives. Failures raise vrl::VrlError with the
// numbers below.
#include <QString>
#include <QtGlobal>
#include <memory>
#include <optional>

#include "VrlError.h"
#include "vrlime_export.h"

namespace localmsg {

// The logon failed: the profile names no Maildir this user may read and write.
inline constexpr int32_t kErrLogonFailed = vrl::ErrNum(0x80040111u);
// An object was not found: an attachment's source file, a field, an item, a message removed.
inline constexpr int32_t kErrNotFound = vrl::ErrNum(0x8004010Fu);
// A call failed: a write refused, sendmail failed, a message file unreadable.
inline constexpr int32_t kErrCallFailed = vrl::ErrNum(0x80004005u);
// A call this system does not offer (adding to the Inbox, sending a received message).
inline constexpr int32_t kErrNoSupport = vrl::ErrNum(0x80040102u);
// A recipient's address does not resolve.
inline constexpr int32_t kErrUnresolved = 32014;
// The folder of a file to write does not exist.
inline constexpr int32_t kErrPathNotFound = 76;

// Recipient types.
inline constexpr qint32 kPrimaryRecipient = 1;
inline constexpr qint32 kCopyRecipient = 2;
// Attachment types: file data, or a part that only refers to content kept elsewhere
// (message/external-body).
inline constexpr qint32 kFileData = 1;
inline constexpr qint32 kFileLink = 2;
// The field of an attachment that holds its long file name.
inline constexpr quint32 kAttachLongFilename = 0x3707001Eu;

// The folder a profile name stands for: "~" and "~/..." from the home folder, a relative name
// inside the home folder, an absolute path as it is.
VRLIME_EXPORT QString MaildirPath(const QString& profileName);
// Empty when the profile name names a Maildir (new/, cur/ and tmp/ folders) this user may
// read and write; otherwise a sentence that says why not.
VRLIME_EXPORT QString MaildirProblem(const QString& profileName);

struct SessionData;
struct MessageData;

struct AddressEntry {
  QString Name;     // the display name, or the address when there is none
  QString Address;
};

class VRLIME_EXPORT Recipient {
 public:
  QString Name() const;
  void SetName(const QString& name);  // an address, or "Display Name <address>"
  qint32 Type() const;
  void SetType(qint32 type);  // kPrimaryRecipient or kCopyRecipient
  QString Address() const;    // once resolved
  // Checks the address syntax as a local mail transfer agent takes it: a local name, or
  // name@domain. Raises kErrUnresolved.
  void Resolve();

 private:
  friend class RecipientList;
  Recipient(MessageData* m, size_t i) : m_(m), i_(i) {}
  MessageData* m_;
  size_t i_;
};

class VRLIME_EXPORT RecipientList {
 public:
  Recipient Add();
  long Count() const;
  Recipient Item(long index) const;  // from 1

 private:
  friend class Message;
  explicit RecipientList(MessageData* m) : m_(m) {}
  MessageData* m_;
};

class VRLIME_EXPORT Attachment {
 public:
  qint32 Type() const;
  QString Name() const;
  // kAttachLongFilename: the attachment's file name; any other field raises kErrNotFound.
  QString Fields(quint32 id) const;
  // Writes a received attachment's decoded content into a new file (never over an existing
  // one). With flush the data and the name are on disk when it returns. Raises kErrPathNotFound
  // when the folder does not exist, kErrCallFailed when the write is refused.
  void WriteToFile(const QString& path, bool flush = true) const;

 private:
  friend class AttachmentList;
  Attachment(MessageData* m, size_t i) : m_(m), i_(i) {}
  MessageData* m_;
  size_t i_;
};

class VRLIME_EXPORT AttachmentList {
 public:
  // A file to send: its name in the message, where it goes among the text (ignored), its type
  // (file data when left out) and the file it is read from. Raises kErrNotFound when that file
  // does not exist.
  Attachment Add(const QString& name, std::optional<long> position, std::optional<qint32> type,
                 const QString& source);
  long Count() const;
  Attachment Item(long index) const;  // from 1; kErrNotFound outside 1..Count

 private:
  friend class Message;
  explicit AttachmentList(MessageData* m) : m_(m) {}
  MessageData* m_;
};

class VRLIME_EXPORT Message {
 public:
  ~Message();
  RecipientList Recipients();
  AttachmentList Attachments();
  QString Subject() const;
  void SetSubject(const QString& subject);
  QString Text() const;
  // The same as UTF-8; a received message's without a copy.
  QByteArray TextUtf8() const;
  void SetText(const QString& text);
  // Nothing to store: a new message lives until it is sent.
  void Update();
  // Resolves what is not resolved yet, composes the message and hands it to sendmail. A
  // non-zero exit raises kErrCallFailed with sendmail's own words.
  void Send(bool showDialog = false);
  // Who sent a received message; empty when it names nobody.
  std::optional<AddressEntry> Sender() const;
  // Removes a received message from the Maildir (kErrNotFound when it is gone already).
  void Delete();
  // Leaves a received message in the Maildir and out of this session's list: GetFirst goes on
  // with the next one.
  void Keep();
  // A received message's unique name in the Maildir (its file name without the flags), which
  // stays when the message moves from new/ to cur/.
  QByteArray Id() const;

 private:
  friend class MessageList;
  explicit Message(std::unique_ptr<MessageData> d);
  std::unique_ptr<MessageData> d_;
};

class VRLIME_EXPORT MessageList {
 public:
  // A new message (Outbox only).
  std::shared_ptr<Message> Add();
  // Inbox: the messages listed when the list was taken that are still there.
  long Count() const;
  // The oldest remaining message, or null when none is left.
  std::shared_ptr<Message> GetFirst();

 private:
  friend class Folder;
  MessageList(std::shared_ptr<SessionData> s, bool inbox) : s_(std::move(s)), inbox_(inbox) {}
  std::shared_ptr<SessionData> s_;
  bool inbox_;
};

class VRLIME_EXPORT Folder {
 public:
  // The folder's messages; for the Inbox, the Maildir is listed now.
  MessageList Messages();

 private:
  friend class Session;
  Folder(std::shared_ptr<SessionData> s, bool inbox) : s_(std::move(s)), inbox_(inbox) {}
  std::shared_ptr<SessionData> s_;
  bool inbox_;
};

class VRLIME_EXPORT Session {
 public:
  Session();
  ~Session();

  // Opens the Maildir that profileName names (MaildirPath). The password is not needed by a
  // Maildir; the dialog, session and window arguments have nothing to do here. Raises
  // kErrLogonFailed with the reason (MaildirProblem).
  void Logon(const QString& profileName, const QString& password, bool showDialog = false,
             bool newSession = true, long parentWindow = 0);
  void Logoff();
  // Folders of a logged-on session (kErrCallFailed otherwise).
  Folder Outbox();
  Folder Inbox();
  // Sent messages are with the mail transfer agent already and its deliveries land in the
  // Maildir by themselves: nothing to push or pull.
  void DeliverNow();

  // The From of sent messages: this user's login name and full name unless set here.
  void SetSender(const QString& name, const QString& address);
  // The Maildir of the logged-on session.
  QString MaildirFolder() const;
  // After a failed Send: true when it may pass by itself (sendmail answered "try again later"
  // or did not finish in time).
  bool LastFailureTransient() const;

 private:
  std::shared_ptr<SessionData> d_;
};

}  // namespace localmsg
