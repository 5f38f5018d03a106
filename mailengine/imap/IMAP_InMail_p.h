#pragma once
// The state behind IMAP_InMail, shared by the session machinery and operations (IMAP_InMail.cpp)
// and the login (ImapLogin.cpp).
#include "imap/IMAP_InMail.h"
#include "imap/ImapResponse.h"
#include "socket/CSocket.h"

#include <QElapsedTimer>
#include <deque>
#include <map>
#include <optional>
#include <set>

namespace imapimpl {
// As much of a server's text as an error quotes.
constexpr qsizetype kMaxQuoted = 200;
// Messages one FETCH asks for, and the announced bytes it asks for at most (when sizes are known).
constexpr size_t kBatchCount = 50;
constexpr qint64 kBatchBytes = 32LL << 20;
// The longest UID set one command carries.
constexpr qsizetype kMaxSetBytes = 2000;
}  // namespace imapimpl

struct IMAP_InMail::Impl {
  explicit Impl(IMAP_InMail* owner);

  // A command sent whose tagged answer has not been taken yet.
  struct Pending {
    QByteArray tag;
    QByteArray name;  // the command word(s), for error texts: never an argument
    bool done = false;
    imap::Response answer;
  };

  void OnData();
  void OnSocketError(const QString& description);
  void OnSocketClose();
  void Dispatch(const imap::Response& r);

  // Sends "tag head strings..." (each string quoted, or as a literal after the server's "+").
  // The tag, or empty when the session broke (reported).
  QByteArray Send(const QByteArray& name, const QByteArray& head, const QList<QByteArray>& strings = {});
  // Waits for tag's answer (or, when orContinuation, a "+" before it). False: the session broke
  // or timed out (reported).
  bool Await(const QByteArray& tag, bool orContinuation = false);
  // The answer of the first pending command (after Await said it is there).
  imap::Response Take();
  // Send and Await together; *answer is the tagged answer.
  bool Run(const QByteArray& name, const QByteArray& head, const QList<QByteArray>& strings,
           imap::Response* answer);
  // Run, and a NO or BAD is a failure of kind refused (Login while logging in).
  bool RunOk(const QByteArray& name, const QByteArray& head, const QList<QByteArray>& strings = {},
             imap::Response* answer = nullptr);
  bool SendRaw(const QByteArray& bytes);
  // Runs the event loop until done() holds, the session breaks, or silence for the time-out.
  bool Wait(const std::function<bool()>& done, const char* what);
  bool Ready(const char* what);

  // Collects the UIDs of SEARCH answers into found, bounded; bad when one is no UID.
  std::function<void(const imap::Response&)> SearchCollector(std::set<quint32>& found, bool& bad) const;
  // The UIDs asked for right behind SELECT, for the SearchUids that follows it.
  std::optional<std::vector<quint32>> listed_;
  // SELECT folder with UID SEARCH ALL behind it: the search's tag, or empty when the session broke.
  QByteArray SendSelect(const QString& folder);
  // Awaits both answers; *selected is SELECT's. False: the session broke (reported).
  bool FinishSelect(const QByteArray& searchTag, imap::Response* selected);
  std::set<quint32> selectFound_;
  bool selectBad_ = false;
  // SelectAfterLogin: the folder, the search's tag sent behind the login, SELECT's answer once in.
  QString aheadFolder_;
  QByteArray aheadTag_;
  std::optional<imap::Response> aheadSelected_;
  void SendBehindLogin();

  bool Offers(const char* capability) const { return caps_.contains(QString::fromLatin1(capability)); }
  void TakeCapabilities(const QByteArray& words);
  bool AskCapabilities();
  bool LogIn();
  bool SaslLogIn(const QByteArray& mech, const QByteArray& response, imap::Response* answer);
  bool PutTls(bool implicit);
  void EndSession();

  void Fail(const QString& text, mailerr::Kind kind, const QByteArray& reply = QByteArray());
  void Refused(const QByteArray& name, const imap::Response& answer);
  // The server's text as one printable line of bounded length.
  static QString Said(const QByteArray& text);

  bool Connect(const QString& user, const QString& password, const QString& host, quint16& port);
  bool Select(const QString& folder, bool listUids);
  bool SearchUids(std::vector<quint32>& uids);
  bool FetchSizes(const std::vector<quint32>& uids, std::vector<qint64>& sizes);
  bool FetchMessages(const std::vector<quint32>& uids, const std::function<bool(quint32, const QByteArray&)>& take);
  bool Delete(const std::vector<quint32>& uids);
  bool Move(const std::vector<quint32>& uids, const QString& folder);
  bool Idle(int maxSecs, const std::function<bool()>& keepWaiting, bool* newMail);
  bool Logout(bool await);
  // Runs a UID command once per slice of the UIDs whose set fits on one line.
  bool PerSlice(const std::vector<quint32>& uids, const std::function<bool(const std::vector<quint32>&)>& run);

  IMAP_InMail* q;
  std::unique_ptr<CSocket> socket_;
  imap::Reader reader_;
  vrlsec::Settings security_;
  qint16 timeoutSeconds_ = 30;
  qint64 maxMessageBytes_ = IMAP_InMail::kMaxMessageBytes;
  QString host_, user_, password_;
  bool connected_ = false;   // logged in
  bool open_ = false;        // the socket carries a session
  bool broken_ = false;      // the session ended while an operation waited
  bool dataSeen_ = false;
  bool greeted_ = false;
  imap::Response greeting_;
  bool continuation_ = false;
  QByteArray challenge_;
  bool loggingIn_ = false;
  bool loggingOut_ = false;
  bool byeSeen_ = false;
  int nextTag_ = 1;
  std::deque<Pending> pending_;
  // Each untagged response also goes here while an operation wants it.
  std::function<void(const imap::Response&)> onUntagged_;
  QStringList caps_;
  qint64 exists_ = 0;
  bool existsGrew_ = false;
  quint32 uidValidity_ = 0;
  std::map<quint32, qint64> sizes_;  // what FetchSizes learnt, for FetchMessages' batches
  QElapsedTimer since_;              // the operation's start, for its overall bound
  qint64 bytesSince_ = 0;            // bytes that came since
  QString lastError_;
  mailerr::Error failure_;
};
