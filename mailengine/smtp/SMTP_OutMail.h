#pragma once
// SMTP client of the mail engine: the caller sets the properties, then calls send(); progress
// and the outcome come as signals, the same text in GetLastError() and a false result. Every
// command is a step that waits for its reply and judges it by the codes that command may get.
// Connect() keeps the session open so that several messages go over one connection.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

#include "socket/MailError.h"
#include "socket/SecuritySettings.h"
#include "vrlime_export.h"

class VRLIME_EXPORT SMTP_OutMail : public QObject {
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
  QString SMTPHost() const;
  void SetSMTPHost(const QString& host);
  long SMTPPort() const;
  void SetSMTPPort(long port);
  QString POP3Host() const;
  void SetPOP3Host(const QString& host);
  long POP3Port() const;
  void SetPOP3Port(long port);
  int ConnectRetry() const;
  void SetConnectRetry(int retries);  // 1..20, others ignored
  int TimeOutNSeconds() const;
  void SetTimeOutNSeconds(int& seconds);  // clamped to 3..300, written back
  void SetTimeOutNSeconds(int&& seconds);
  VALIDATE_HOST_METHOD SMTPHostValidation() const;
  void SetSMTPHostValidation(VALIDATE_HOST_METHOD method);
  VALIDATE_METHOD EmailAddressValidation() const;
  void SetEmailAddressValidation(VALIDATE_METHOD method);
  ENCODE_METHOD EncodeType() const;
  void SetEncodeType(ENCODE_METHOD type);
  int Priority() const;
  void SetPriority(int priority);
  QString Delimiter() const;
  void SetDelimiter(const QString& delimiter);  // keeps the first character
  bool AsHTML() const;
  void SetAsHTML(bool v);
  bool Receipt() const;
  void SetReceipt(bool v);
  bool UseAuthentication() const;
  void SetUseAuthentication(bool v);
  bool UsePopAuthentication() const;
  void SetUsePopAuthentication(bool v);

  QString from() const;
  void Setfrom(const QString& address);
  QString FromDisplayName() const;
  void SetFromDisplayName(const QString& name);
  QString ReplyToAddress() const;
  void SetReplyToAddress(const QString& address);
  QString Subject() const;
  void SetSubject(const QString& subject);
  QString Message() const;
  void SetMessage(const QString& text);
  QString ContentBase() const;
  void SetContentBase(const QString& base);
  QString Username() const;
  void SetUsername(const QString& v);
  QString Password() const;
  void SetPassword(const QString& v);

  QString Recipient() const;
  void SetRecipient(const QString& list);
  QString RecipientDisplayName() const;
  void SetRecipientDisplayName(const QString& list);
  QString CcRecipient() const;
  void SetCcRecipient(const QString& list);
  QString CcDisplayName() const;
  void SetCcDisplayName(const QString& list);
  QString BccRecipient() const;
  void SetBccRecipient(const QString& list);
  QString Attachment() const;
  void SetAttachment(const QString& list);

  QString GetLastError() const;
  // Whether the last failure of send or Connect may pass by itself: the connection could not be
  // opened, timed out or dropped, or the server answered 4xx. False for a 5xx reply and for what
  // the client refused before sending.
  bool LastFailureTransient() const;
  // The last failure of send, Connect or Disconnect as a value: its kind, the text GetLastError
  // gave, and the server's reply when one caused it.
  mailerr::Error LastFailure() const;

  // With the server's PIPELINING (RFC 2920), MAIL, every RCPT and DATA go out in one write and
  // their replies are read in order. Off by default: the original dialogue, one command at a time.
  bool Pipelining() const;
  void SetPipelining(bool on);
  // Another message follows this one over the kept-open connection (Connect), most likely to the
  // same sender and recipients: under PIPELINING its MAIL, RCPT and DATA go right behind this
  // message's final dot, so that each message costs one round trip. A next message with another
  // envelope, or none (Disconnect), drops that connection, which ends its transaction unsent.
  void SetAnotherFollows(bool follows);

  // Transport security and the authentication mechanism. The default is the original
  // dialogue: clear text, AUTH LOGIN when the server offers it.
  vrlsec::Settings Security() const;
  void SetSecurity(const vrlsec::Settings& settings);

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
      kErrPop3Timeout, kErrNoStartTls, kErrClearLogin;

 signals:
  void Status(const QString& Status);
  void Progress(long PercentComplete);
  void SendSuccesful();
  void SendFailed(const QString& Explanation);
  // The connection is under TLS: protocol version and the server certificate's subject.
  void SecureConnection(const QString& Description);
  // Right after it: the server certificate in full (TlsTransport::PeerCertificateDetails).
  void ServerCertificate(const QString& details);

 private:
  struct VRLIME_NO_EXPORT Impl;
  std::unique_ptr<Impl> d_;
};
