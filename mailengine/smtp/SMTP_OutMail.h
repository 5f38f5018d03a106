#pragma once
// SMTP client of the mail engine: the caller sets the properties, then calls send(); progress
// and the outcome come as signals, the same text in GetLastError() and a false result.
// Connect() keeps the session open so that several messages go over one connection.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "mime/MimeCompose.h"
#include "smtp/SmtpReply.h"

class CSocket;

class SMTP_OutMail : public QObject {
  Q_OBJECT
 public:
  enum VALIDATE_HOST_METHOD {
    VALIDATE_HOST_NONE = 0,
    VALIDATE_HOST_SYNTAX = 1,
    VALIDATE_HOST_PING = 2,
    VALIDATE_HOST_DNS = 3,
  };
  enum VALIDATE_METHOD { validate_none = 0, VALIDATE_SYNTAX = 1 };
  enum ENCODE_METHOD { MIME_ENCODE = 0, UU_ENCODE = 1 };
  enum MAIL_PRIORITY { HIGH_PRIORITY = 1, NORMAL_PRIORITY = 3, LOW_PRIORITY = 5 };

  explicit SMTP_OutMail(QObject* parent = nullptr);
  ~SMTP_OutMail() override;  // runs the closing procedure when the socket is not closed

  // --- properties ---
  QString SMTPHost() const { return smtpHost_; }
  void SetSMTPHost(const QString& host);
  long SMTPPort() const { return smtpPort_; }
  void SetSMTPPort(long port);
  QString POP3Host() const { return pop3Host_; }
  void SetPOP3Host(const QString& host);
  long POP3Port() const { return pop3Port_; }
  void SetPOP3Port(long port);
  int ConnectRetry() const { return connectRetry_; }
  void SetConnectRetry(int retries);  // 1..20, others ignored
  int TimeOutNSeconds() const { return timeOut_; }
  void SetTimeOutNSeconds(int& seconds);  // clamped to 3..300, written back
  void SetTimeOutNSeconds(int&& seconds);
  VALIDATE_HOST_METHOD SMTPHostValidation() const { return hostValidation_; }
  void SetSMTPHostValidation(VALIDATE_HOST_METHOD method);
  VALIDATE_METHOD EmailAddressValidation() const { return addressValidation_; }
  void SetEmailAddressValidation(VALIDATE_METHOD method) { addressValidation_ = method; }
  ENCODE_METHOD EncodeType() const { return encodeType_; }
  void SetEncodeType(ENCODE_METHOD type) { encodeType_ = type; }
  int Priority() const { return priority_; }
  void SetPriority(int priority);
  QString Delimiter() const { return delimiter_; }
  void SetDelimiter(const QString& delimiter);  // keeps the first character
  bool AsHTML() const { return asHtml_; }
  void SetAsHTML(bool v) { asHtml_ = v; }
  bool Receipt() const { return receipt_; }
  void SetReceipt(bool v) { receipt_ = v; }
  bool UseAuthentication() const { return useAuth_; }
  void SetUseAuthentication(bool v) { useAuth_ = v; }
  bool UsePopAuthentication() const { return usePopAuth_; }
  void SetUsePopAuthentication(bool v) { usePopAuth_ = v; }

  QString from() const { return from_; }
  void Setfrom(const QString& address);
  QString FromDisplayName() const { return fromDisplayName_; }
  void SetFromDisplayName(const QString& name) { fromDisplayName_ = name.trimmed(); }
  QString ReplyToAddress() const { return replyTo_; }
  void SetReplyToAddress(const QString& address);
  QString Subject() const { return subject_; }
  void SetSubject(const QString& subject) { subject_ = subject; }
  QString Message() const { return message_; }
  void SetMessage(const QString& text);
  QString ContentBase() const { return contentBase_; }
  void SetContentBase(const QString& base);
  QString Username() const { return username_; }
  void SetUsername(const QString& v) { username_ = v; }
  QString Password() const { return password_; }
  void SetPassword(const QString& v) { password_ = v; }

  QString Recipient() const { return to_.join(delimiter_); }
  void SetRecipient(const QString& list);
  QString RecipientDisplayName() const { return toNames_.join(delimiter_); }
  void SetRecipientDisplayName(const QString& list) { toNames_ = SplitList(list); }
  QString CcRecipient() const { return cc_.join(delimiter_); }
  void SetCcRecipient(const QString& list);
  QString CcDisplayName() const { return ccNames_.join(delimiter_); }
  void SetCcDisplayName(const QString& list) { ccNames_ = SplitList(list); }
  QString BccRecipient() const { return bcc_.join(delimiter_); }
  void SetBccRecipient(const QString& list);
  QString Attachment() const { return attachmentValue_; }
  void SetAttachment(const QString& list);

  QString GetLastError() const { return lastError_; }

  // --- methods ---
  bool send();
  bool Connect();
  void Disconnect();
  bool IsValidEmailAddress(const QString& AddressString) const;
  // Blocking lookup: the first IPv4 address, else the first address, "" on failure. An empty
  // argument looks up this machine's own name and writes it back.
  QString GetIPAddress(QString& sHostName) const;
  QString GetIPAddress(QString&& sHostName) const;
  QString GetIPHost() const;
  bool Ping(const QString& Address, QString* RoundTripTime = nullptr, QString* DataSize = nullptr,
            bool* DataMatch = nullptr) const;
  QString GetContentType(const QString& strFile, const QString& strDefault = QString()) const;
  QString DecodeBase64String(const QString& str2Decode) const;

  // The host syntax check (dotted IPv4 address, or a name whose last label is a known top-level
  // domain).
  static bool IsValidHostSyntax(const QString& host);

  // The error texts (exact).
  static const QString kErrHost, kErrPop3Host, kErrPort, kErrRecipient, kErrCc, kErrBcc, kErrSender,
      kErrNoRecipient, kErrTooMany, kErrHtmlUu, kErrTimeout, kErrAttach, kErrSocketNotOpen,
      kErrPop3Timeout;

 signals:
  void Status(const QString& Status);
  void Progress(long PercentComplete);
  void SendSuccesful();
  void SendFailed(const QString& Explanation);

 private:
  enum Flag { kReplyOk, kReadyForData, kLoginOk, kFlagCount };
  enum WaitResult { kWaitDone, kWaitAborted, kWaitTimedOut, kWaitClosed };

  QStringList SplitList(const QString& list) const;
  void SetAddressList(QStringList& target, const QString& list, const QString& error);
  bool ValidateHost(const QString& host) const;
  void AddError(const QString& text);
  void RemoveError(const QString& text);
  void Fail();
  void FailWith(const QString& text);

  // One message: the steps of send.
  struct Outgoing {
    mimecompose::MessageContent content;
    QByteArray boundary, head;
    QList<QByteArray> rcpts;  // the RCPT TO lines
  };
  bool CheckBeforeConnect();
  bool PrepareMessage(Outgoing& out);
  bool EnsureSession();
  bool SendEnvelope(const Outgoing& out);
  bool SendContent(const Outgoing& out);

  bool ConnectionProcedure();
  bool PopBeforeSmtp();
  bool LogIn();
  bool AttemptConnect(const QString& host, long port);
  void ClosingProcedure();
  void CloseSocket();
  void AbortTransaction(bool serverInSync);

  WaitResult WaitFlag(Flag flag, int timeoutMs, bool needConnection);
  bool Command(const QByteArray& line, Flag flag, int timeoutMs);  // raising wait
  bool SendRaw(const QByteArray& bytes);
  bool SocketConnected() const;
  bool SinkBlock(const QByteArray& bytes);
  bool FlushOut();
  bool WaitSendBuffer(long limit, int silenceMs);

  void OnConnect();
  void OnClose();
  void OnDataArrival(long bytesTotal);
  // Handles the complete replies received; stops after the one an operation waits for, so
  // that a reply after it (a 421 behind the "250" to the final dot) belongs to what follows.
  void ProcessReplies();
  void OnError(int number, const QString& description, const QString& source);
  void OnSendProgress(long bytesSent, long bytesRemaining);
  void HandleReply(const QByteArray& raw);
  void AnswerChallenge(const smtp::Reply& reply);

  std::unique_ptr<CSocket> socket_;

  QString smtpHost_;
  long smtpPort_ = 25;
  QString pop3Host_;
  long pop3Port_ = 110;
  int connectRetry_ = 3;
  int timeOut_ = 30;
  VALIDATE_HOST_METHOD hostValidation_ = VALIDATE_HOST_DNS;
  VALIDATE_METHOD addressValidation_ = VALIDATE_SYNTAX;
  ENCODE_METHOD encodeType_ = MIME_ENCODE;
  int priority_ = NORMAL_PRIORITY;
  QString priorityText_ = QStringLiteral("Normal");
  QString delimiter_ = QStringLiteral(";");
  bool asHtml_ = false, receipt_ = false, useAuth_ = false, usePopAuth_ = false;
  QString from_, fromDisplayName_, replyTo_, subject_, message_, contentBase_, username_, password_;
  QStringList to_, toNames_, cc_, ccNames_, bcc_;
  QString attachmentValue_;
  std::vector<mimecompose::AttachmentInfo> attachments_;

  QStringList pendingErrors_;
  QString lastError_;

  bool flags_[kFlagCount] = {};
  bool connected_ = false;
  bool connectSeen_ = false;  // OnConnect came since the last Connect of the socket
  bool keepOpen_ = false;
  bool busy_ = false;  // inside send, Connect or Disconnect
  bool closing_ = false;  // saying QUIT: the message's fate is decided, nothing fails it now
  int awaited_ = -1;      // the flag an operation waits for; -1 none
  bool abort_ = false;
  bool readingExtensions_ = false;  // the reply awaited is the one to EHLO
  smtp::Extensions extensions_;
  QByteArray rx_;               // received bytes not yet forming a complete reply
  QByteArray pendingReply_;     // lines of a multi-line reply seen so far
  QByteArray out_;              // message text not yet handed to the socket

  qint64 bytesSent_ = 0;
  long bytesRemaining_ = 0;
  qint64 totalEstimate_ = 0;
  long lastPercent_ = -1;
};
