#include "imap/IMAP_InMail_p.h"

#include "EventWait.h"
#include "OneLine.h"
#include "VrlError.h"
#include "mime/Pop3MimeParser.h"
#include "socket/TlsTransport.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <deque>
#include <set>
#include <utility>

using mailerr::Kind;
using namespace imapimpl;

IMAP_InMail::Impl::Impl(IMAP_InMail* owner) : q(owner), socket_(std::make_unique<CSocket>()) {
  QObject::connect(socket_.get(), &CSocket::OnDataArrival, q, [this](long) { OnData(); });
  QObject::connect(socket_.get(), &CSocket::OnError, q,
                   [this](int, const QString& d, const QString&) { OnSocketError(d); });
  QObject::connect(socket_.get(), &CSocket::OnClose, q, [this] { OnSocketClose(); });
}

IMAP_InMail::IMAP_InMail(QObject* parent) : QObject(parent), d_(std::make_unique<Impl>(this)) {}

IMAP_InMail::~IMAP_InMail() {
  d_->socket_->disconnect(this);
  if (d_->socket_->State() != CSocket::sckClosed) d_->socket_->CloseSocket();
}

bool IMAP_InMail::Connect(const QString& user, const QString& password, const QString& host, quint16& port) {
  return d_->Connect(user, password, host, port);
}
bool IMAP_InMail::Logout(bool await) { return d_->Logout(await); }
bool IMAP_InMail::IsConnected() const { return d_->connected_; }
bool IMAP_InMail::Select(const QString& folder, bool listUids) { return d_->Select(folder, listUids); }
void IMAP_InMail::SelectAfterLogin(const QString& folder) { d_->aheadFolder_ = folder; }
quint32 IMAP_InMail::UidValidity() const { return d_->uidValidity_; }
qint64 IMAP_InMail::Exists() const { return d_->exists_; }
bool IMAP_InMail::SearchUids(std::vector<quint32>& uids) { return d_->SearchUids(uids); }
bool IMAP_InMail::FetchSizes(const std::vector<quint32>& uids, std::vector<qint64>& sizes) {
  return d_->FetchSizes(uids, sizes);
}
bool IMAP_InMail::FetchMessages(const std::vector<quint32>& uids,
                                const std::function<bool(quint32, const QByteArray&)>& take) {
  return d_->FetchMessages(uids, take);
}
bool IMAP_InMail::Delete(const std::vector<quint32>& uids) { return d_->Delete(uids); }
bool IMAP_InMail::Move(const std::vector<quint32>& uids, const QString& folder) { return d_->Move(uids, folder); }
bool IMAP_InMail::Idle(int maxSecs, const std::function<bool()>& keepWaiting, bool* newMail) {
  return d_->Idle(maxSecs, keepWaiting, newMail);
}
QStringList IMAP_InMail::Capabilities() const { return d_->caps_; }
void IMAP_InMail::SetSecurity(const vrlsec::Settings& settings) { d_->security_ = settings; }
vrlsec::Settings IMAP_InMail::Security() const { return d_->security_; }
qint16 IMAP_InMail::TimeOutNSeconds() const { return d_->timeoutSeconds_; }
void IMAP_InMail::SetTimeOutNSeconds(qint16& seconds) {
  seconds = std::clamp<qint16>(seconds, 3, 300);
  d_->timeoutSeconds_ = seconds;
}
void IMAP_InMail::SetMaxMessageBytes(qint64 bytes) {
  d_->maxMessageBytes_ = bytes > 0 ? std::min(bytes, kMaxMessageBytes) : kMaxMessageBytes;
}
QString IMAP_InMail::GetLastError() const { return d_->lastError_; }
mailerr::Error IMAP_InMail::LastFailure() const { return d_->failure_; }
bool IMAP_InMail::SaveAttachmentDataToFile(const Pop3AttachmentData& data, const QString& path, QString* error,
                                           bool flush) {
  return pop3mime::SaveAttachmentData(data, path, error, flush);
}

// ---- failures ----

QString IMAP_InMail::Impl::Said(const QByteArray& text) {
  return vrl::OneLine(QString::fromUtf8(text.left(kMaxQuoted))).trimmed();
}

void IMAP_InMail::Impl::Fail(const QString& text, Kind kind, const QByteArray& reply) {
  lastError_ = text;
  failure_ = mailerr::Error::Make(kind, text, reply.left(kMaxQuoted));
  emit q->Status(QString());
  emit q->OperationFailed(text);
}

void IMAP_InMail::Impl::Refused(const QByteArray& name, const imap::Response& answer) {
  // Response codes name the refusals that pass by themselves (RFC 5530).
  const QByteArray& c = answer.code;
  const bool passing = c == "UNAVAILABLE" || c == "INUSE" || c == "LIMIT" || c == "SERVERBUG" || c == "OVERQUOTA";
  const Kind kind = loggingIn_ && answer.keyword == "NO" ? Kind::Login
                    : answer.keyword == "BAD"            ? Kind::Protocol
                    : passing                            ? Kind::RefusedForNow
                                                         : Kind::RefusedPermanently;
  QString text = QStringLiteral("The IMAP server refused ") + QString::fromLatin1(name) + QStringLiteral(": ") +
                 QString::fromLatin1(answer.keyword);
  if (!c.isEmpty()) text += QStringLiteral(" [") + Said(c) + QLatin1Char(']');
  if (!answer.text.isEmpty()) text += QLatin1Char(' ') + Said(answer.text);
  Fail(text, kind, answer.keyword + ' ' + answer.text);
  failure_.transient = passing;
}

void IMAP_InMail::Impl::EndSession() {
  connected_ = open_ = false;
  broken_ = true;
  pending_.clear();
  onUntagged_ = nullptr;
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
  socket_->SetTransport(nullptr);
}

// ---- socket events and responses ----

void IMAP_InMail::Impl::OnData() {
  const QByteArray bytes = socket_->GetData();
  if (!open_) return;
  dataSeen_ = true;
  bytesSince_ += bytes.size();
  reader_.Feed(bytes);
  imap::Response r;
  for (;;) {
    const imap::Reader::Result got = reader_.Next(&r);
    if (got == imap::Reader::Incomplete) return;
    if (got == imap::Reader::Bad) {
      Fail(QStringLiteral("The IMAP server sent ") + reader_.error() + QStringLiteral(": the session ends"), Kind::Protocol);
      EndSession();
      return;
    }
    Dispatch(r);
    if (!open_) return;
  }
}

void IMAP_InMail::Impl::OnSocketError(const QString& description) {
  if (!open_) return;
  Fail(description, socket_->HandshakeFailed() ? Kind::Tls : Kind::Connection);
  EndSession();
}

void IMAP_InMail::Impl::OnSocketClose() {
  if (!open_) return;
  if (loggingOut_ && byeSeen_) {
    connected_ = open_ = false;
    pending_.clear();
    return;
  }
  Fail(QStringLiteral("Connection closed by the IMAP server"), Kind::Connection);
  EndSession();
}

void IMAP_InMail::Impl::TakeCapabilities(const QByteArray& words) {
  caps_.clear();
  for (const QByteArray& w : words.simplified().split(' '))
    if (!w.isEmpty() && caps_.size() < 200) caps_.append(QString::fromLatin1(w.toUpper()));
}

void IMAP_InMail::Impl::Dispatch(const imap::Response& r) {
  if (r.kind == imap::Response::Continuation) {
    continuation_ = true;
    challenge_ = r.text;
    return;
  }
  if (r.kind == imap::Response::Tagged) {
    auto it = std::find_if(pending_.begin(), pending_.end(), [](const Pending& p) { return !p.done; });
    if (it == pending_.end() || it->tag != r.tag) {
      Fail(QStringLiteral("The IMAP server answered a command not sent (tag ") + Said(r.tag) +
               QStringLiteral("): the session ends"),
           Kind::Protocol);
      EndSession();
      return;
    }
    it->done = true;
    it->answer = r;
    if (r.code == "CAPABILITY") TakeCapabilities(r.codeArgs);
    return;
  }
  if (!greeted_) {
    greeted_ = true;
    greeting_ = r;
    if (r.code == "CAPABILITY") TakeCapabilities(r.codeArgs);
    return;
  }
  if (r.keyword == "BYE") {
    byeSeen_ = true;
    if (loggingOut_) return;
    Fail(QStringLiteral("The IMAP server ended the session: ") + Said(r.text), Kind::Connection, "BYE " + r.text);
    EndSession();
    return;
  }
  if (r.code == "CAPABILITY") TakeCapabilities(r.codeArgs);
  if (r.keyword == "CAPABILITY") {
    QByteArray words;
    for (const imap::Value& v : r.data) words += v.text + ' ';
    TakeCapabilities(words);
  } else if (r.keyword == "OK" && r.code == "UIDVALIDITY") {
    qint64 n = 0;
    if (imap::ReadNumber(r.codeArgs.trimmed(), &n) && n <= 0xffffffffLL) uidValidity_ = static_cast<quint32>(n);
  } else if (r.keyword == "EXISTS") {
    if (r.number > exists_) existsGrew_ = true;
    exists_ = r.number;
  } else if (r.keyword == "EXPUNGE") {
    if (exists_ > 0) --exists_;
  }
  if (onUntagged_) onUntagged_(r);
}

// ---- commands ----

bool IMAP_InMail::Impl::SendRaw(const QByteArray& bytes) {
  try {
    socket_->SendData(bytes);
    return true;
  } catch (const vrl::VrlError& e) {
    if (open_) Fail(e.Description(), Kind::Connection);
    EndSession();
    return false;
  }
}

QByteArray IMAP_InMail::Impl::Send(const QByteArray& name, const QByteArray& head, const QList<QByteArray>& strings) {
  if (!open_) return QByteArray();
  const QByteArray tag = 'A' + QByteArray::number(nextTag_++);
  pending_.push_back({tag, name, false, {}});
  // A literal waits for the server's "+" unless the server takes it without (LITERAL+).
  const bool nonSync = Offers("LITERAL+");
  QByteArray line = tag + ' ' + head;
  for (const QByteArray& s : strings) {
    bool literal = false;
    QByteArray arg = imap::Quoted(s, &literal);
    if (!literal) {
      line += ' ' + arg;
      continue;
    }
    if (nonSync) arg.insert(arg.size() - 1, '+');
    line += ' ' + arg + "\r\n";
    if (!nonSync) {
      if (!SendRaw(line)) return QByteArray();
      continuation_ = false;
      if (!Await(tag, true)) return QByteArray();
      if (!continuation_) return tag;  // refused before the literal: its answer is there
      line.clear();
    }
    line += s;
  }
  return SendRaw(line + "\r\n") ? tag : QByteArray();
}

bool IMAP_InMail::Impl::Wait(const std::function<bool()>& done, const char* what) {
  // Data keeps the silence time-out from running out, but no operation lasts longer than ten
  // time-outs plus a millisecond for every byte that came (a server as slow as 1 KB/s).
  const vrl::EventWait::Result r = vrl::EventWait::Until(
      [&] { return done() || !open_; },
      [&] { return since_.elapsed() > qint64(timeoutSeconds_) * 10000 + bytesSince_; },
      timeoutSeconds_ * 1000, [this] { return std::exchange(dataSeen_, false); });
  if (r == vrl::EventWait::Done && open_) return true;
  if (open_) {
    Fail(QStringLiteral("Timeout waiting for the IMAP server (") + QString::fromLatin1(what) + QLatin1Char(')'),
         Kind::Timeout);
    EndSession();
  }
  return false;
}

bool IMAP_InMail::Impl::Await(const QByteArray& tag, bool orContinuation) {
  auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.tag == tag; });
  if (it == pending_.end()) return false;
  const QByteArray name = it->name;
  return Wait([&] {
    if (orContinuation && continuation_) return true;
    auto at = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.tag == tag; });
    return at != pending_.end() && at->done;
  }, name.constData());
}

imap::Response IMAP_InMail::Impl::Take() {
  imap::Response r = std::move(pending_.front().answer);
  pending_.pop_front();
  return r;
}

bool IMAP_InMail::Impl::Run(const QByteArray& name, const QByteArray& head, const QList<QByteArray>& strings,
                            imap::Response* answer) {
  const QByteArray tag = Send(name, head, strings);
  if (tag.isEmpty() || !Await(tag)) return false;
  *answer = Take();
  return true;
}

bool IMAP_InMail::Impl::RunOk(const QByteArray& name, const QByteArray& head, const QList<QByteArray>& strings,
                              imap::Response* answer) {
  imap::Response r;
  if (!Run(name, head, strings, &r)) return false;
  if (answer) *answer = r;
  if (r.keyword == "OK") return true;
  Refused(name, r);
  return false;
}

bool IMAP_InMail::Impl::Ready(const char* what) {
  if (!connected_) {
    Fail(QStringLiteral("Not connected to the IMAP server"), Kind::Connection);
    return false;
  }
  failure_ = {};
  lastError_.clear();
  since_.start();
  bytesSince_ = 0;
  broken_ = false;
  emit q->Status(QString::fromLatin1(what));
  return true;
}

// ---- operations ----

bool IMAP_InMail::Impl::Select(const QString& folder, bool listUids) {
  if (!Ready("Selecting the folder...")) return false;
  imap::Response selected;
  if (listUids && aheadSelected_ && folder == aheadFolder_) {
    selected = *std::exchange(aheadSelected_, std::nullopt);
  } else {
    aheadSelected_.reset();
    if (!listUids) {
      exists_ = 0;
      uidValidity_ = 0;
      sizes_.clear();
      listed_.reset();
      return RunOk("SELECT", "SELECT", {imap::EncodeMailbox(folder)});
    }
    // The UIDs go right behind: the caller lists them next, and a round trip is saved.
    const QByteArray search = SendSelect(folder);
    if (search.isEmpty() || !FinishSelect(search, &selected)) return false;
  }
  if (selected.keyword != "OK") {
    Refused("SELECT", selected);
    return false;
  }
  return true;
}

QByteArray IMAP_InMail::Impl::SendSelect(const QString& folder) {
  exists_ = 0;
  uidValidity_ = 0;
  sizes_.clear();
  listed_.reset();
  selectFound_.clear();
  selectBad_ = false;
  onUntagged_ = SearchCollector(selectFound_, selectBad_);
  const QByteArray select = Send("SELECT", "SELECT", {imap::EncodeMailbox(folder)});
  return select.isEmpty() ? QByteArray() : Send("UID SEARCH", "UID SEARCH ALL");
}

bool IMAP_InMail::Impl::FinishSelect(const QByteArray& searchTag, imap::Response* selected) {
  const bool answered = Await(searchTag);
  onUntagged_ = nullptr;
  if (!answered) return false;
  *selected = Take();
  const imap::Response searched = Take();
  // A search that failed is asked again by SearchUids, which reports it.
  if (selected->keyword == "OK" && searched.keyword == "OK" && !selectBad_)
    listed_.emplace(selectFound_.begin(), selectFound_.end());
  selectFound_.clear();
  return true;
}

std::function<void(const imap::Response&)> IMAP_InMail::Impl::SearchCollector(std::set<quint32>& found,
                                                                           bool& bad) const {
  return [this, &found, &bad](const imap::Response& r) {
    if (r.keyword != "SEARCH") return;
    // No more UIDs than the folder holds (and what arrives meanwhile) are kept.
    const size_t bound = static_cast<size_t>(std::min<qint64>(exists_, 10000000)) + 10000;
    for (const imap::Value& v : r.data) {
      qint64 n = 0;
      if (v.type != imap::Value::Atom || !imap::ReadNumber(v.text, &n) || n < 1 || n > 0xffffffffLL) bad = true;
      else if (found.size() < bound) found.insert(static_cast<quint32>(n));
    }
  };
}

bool IMAP_InMail::Impl::SearchUids(std::vector<quint32>& uids) {
  uids.clear();
  if (listed_ && connected_) {
    uids = std::exchange(listed_, std::nullopt).value();
    return true;
  }
  if (!Ready("Listing the messages...")) return false;
  std::set<quint32> found;
  bool bad = false;
  onUntagged_ = SearchCollector(found, bad);
  const bool ok = RunOk("UID SEARCH", "UID SEARCH ALL");
  onUntagged_ = nullptr;
  if (!ok) return false;
  if (bad) {
    Fail(QStringLiteral("The IMAP server answered UID SEARCH with something that is no UID"), Kind::Protocol);
    return false;
  }
  uids.assign(found.begin(), found.end());
  return true;
}

bool IMAP_InMail::Impl::PerSlice(const std::vector<quint32>& uids,
                                 const std::function<bool(const std::vector<quint32>&)>& run) {
  std::vector<quint32> sorted = uids;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  // As many UIDs a slice as keep its set (runs written "a:b") within kMaxSetBytes.
  for (size_t from = 0; from < sorted.size();) {
    size_t to = from;
    qsizetype bytes = 0;
    while (to < sorted.size()) {
      size_t end = to;
      while (end + 1 < sorted.size() && sorted[end + 1] == sorted[end] + 1) ++end;
      const qsizetype most = 22;  // "a:b," at most
      if (to > from && bytes + most > kMaxSetBytes) break;
      bytes += most;
      to = end + 1;
    }
    const std::vector<quint32> slice(sorted.begin() + static_cast<std::ptrdiff_t>(from),
                                     sorted.begin() + static_cast<std::ptrdiff_t>(to));
    if (!run(slice)) return false;
    from = to;
  }
  return true;
}

bool IMAP_InMail::Impl::FetchSizes(const std::vector<quint32>& uids, std::vector<qint64>& sizes) {
  sizes.assign(uids.size(), -1);
  if (!Ready("Asking for the sizes...")) return false;
  bool bad = false;
  onUntagged_ = [&](const imap::Response& r) {
    if (r.keyword != "FETCH") return;
    imap::FetchData f;
    if (!imap::ReadFetch(r, &f)) bad = true;
    else if (f.uid > 0 && f.uid <= 0xffffffffLL && f.size >= 0) sizes_[static_cast<quint32>(f.uid)] = f.size;
  };
  const bool ok = PerSlice(uids, [&](const std::vector<quint32>& slice) {
    return RunOk("UID FETCH", "UID FETCH " + imap::UidSet(slice) + " (UID RFC822.SIZE)") && !bad;
  });
  onUntagged_ = nullptr;
  if (bad) {
    Fail(QStringLiteral("The IMAP server answered UID FETCH with a malformed FETCH response"), Kind::Protocol);
    EndSession();
    return false;
  }
  for (size_t i = 0; i < uids.size(); ++i)
    if (auto it = sizes_.find(uids[i]); it != sizes_.end()) sizes[i] = it->second;
  return ok;
}

bool IMAP_InMail::Impl::FetchMessages(const std::vector<quint32>& uids,
                                      const std::function<bool(quint32, const QByteArray&)>& take) {
  if (!Ready("Retrieving messages...")) return false;
  reader_.SetMaxLiteral(maxMessageBytes_);
  std::set<quint32> wanted, handed;
  std::deque<std::pair<quint32, QByteArray>> ready;  // complete, not handed yet
  qint64 readyBytes = 0;
  bool bad = false, stop = false;
  // Only queued here: take runs outside the socket's handler, so that whatever it does (letting
  // events run included) never meets the next message halfway.
  onUntagged_ = [&](const imap::Response& r) {
    if (r.keyword != "FETCH") return;
    imap::FetchData f;
    if (!imap::ReadFetch(r, &f)) {
      bad = true;
      return;
    }
    // Flag changes and messages not asked for (or asked before) are not handed.
    if (!f.hasBody || f.uid < 1 || f.uid > 0xffffffffLL || stop) return;
    const auto uid = static_cast<quint32>(f.uid);
    if (!wanted.count(uid) || !handed.insert(uid).second) return;
    readyBytes += f.body.size();
    ready.emplace_back(uid, f.body);
  };
  std::vector<quint32> sorted = uids;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  // Batches by count, and by the announced sizes when FetchSizes learnt them.
  std::vector<std::vector<quint32>> batches;
  for (size_t from = 0; from < sorted.size();) {
    size_t to = from;
    qint64 bytes = 0;
    while (to < sorted.size() && to - from < kBatchCount) {
      const auto it = sizes_.find(sorted[to]);
      const qint64 size = it == sizes_.end() ? 0 : it->second;
      if (to > from && bytes + size > kBatchBytes) break;
      bytes += size;
      ++to;
    }
    batches.emplace_back(sorted.begin() + static_cast<std::ptrdiff_t>(from), sorted.begin() + static_cast<std::ptrdiff_t>(to));
    from = to;
  }
  // Two batches in flight: the next one's messages come while the caller writes this one's. A
  // finished command lets the next go before the caller is handed what came, so the link stays
  // busy; no more is asked while two batches wait for the caller.
  std::deque<QByteArray> tags;
  size_t next = 0;
  bool ok = true;
  const auto sendNext = [&] {
    wanted.insert(batches[next].begin(), batches[next].end());
    const QByteArray tag = Send("UID FETCH", "UID FETCH " + imap::UidSet(batches[next++]) + " (UID BODY.PEEK[])");
    if (tag.isEmpty()) ok = false;
    else tags.push_back(tag);
  };
  const auto frontDone = [&] { return !pending_.empty() && pending_.front().tag == tags.front() && pending_.front().done; };
  while (ok) {
    while (ok && !tags.empty() && frontDone()) {
      tags.pop_front();
      const imap::Response r = Take();
      if (r.keyword != "OK") {
        Refused("UID FETCH", r);
        ok = false;
      }
      since_.start();
      bytesSince_ = 0;
    }
    while (ok && !stop && next < batches.size() && tags.size() < 2 && ready.size() < 2 * kBatchCount &&
           readyBytes < kBatchBytes)
      sendNext();
    if (!ok) break;
    if (!ready.empty()) {
      auto [uid, body] = std::move(ready.front());
      ready.pop_front();
      readyBytes -= body.size();
      if (!stop && !take(uid, body)) stop = true;
    } else if (tags.empty()) {
      break;
    } else if (bad || !open_) {
      ok = false;
    } else {
      ok = Wait([&] { return !ready.empty() || frontDone() || bad; }, "UID FETCH");
    }
  }
  onUntagged_ = nullptr;
  // Messages that came whole before a failure are the caller's all the same.
  for (auto& [uid, body] : ready)
    if (!stop && !take(uid, body)) stop = true;
  if (bad && open_) {
    Fail(QStringLiteral("The IMAP server answered UID FETCH with a malformed FETCH response"), Kind::Protocol);
    EndSession();
  }
  return ok && !bad;
}

bool IMAP_InMail::Impl::Delete(const std::vector<quint32>& uids) {
  if (!Ready("Deleting messages...")) return false;
  return PerSlice(uids, [&](const std::vector<quint32>& slice) {
    const QByteArray set = imap::UidSet(slice);
    // Both go out together: the EXPUNGE removes only what the STORE marked (with UIDPLUS).
    const QByteArray store = Send("UID STORE", "UID STORE " + set + " +FLAGS.SILENT (\\Deleted)");
    const QByteArray expunge =
        Offers("UIDPLUS") ? Send("UID EXPUNGE", "UID EXPUNGE " + set) : Send("EXPUNGE", "EXPUNGE");
    if (store.isEmpty() || expunge.isEmpty() || !Await(store)) return false;
    const imap::Response stored = Take();
    if (!Await(expunge)) return false;
    const QByteArray name = pending_.front().name;
    const imap::Response expunged = Take();
    if (stored.keyword != "OK") {
      Refused("UID STORE", stored);
      return false;
    }
    if (expunged.keyword != "OK") {
      Refused(name, expunged);
      return false;
    }
    return true;
  });
}

bool IMAP_InMail::Impl::Move(const std::vector<quint32>& uids, const QString& folder) {
  if (!Ready("Moving messages...")) return false;
  const QByteArray mailbox = imap::EncodeMailbox(folder);
  const bool move = Offers("MOVE");
  const QByteArray name = move ? "UID MOVE" : "UID COPY";
  bool created = false;
  const bool ok = PerSlice(uids, [&](const std::vector<quint32>& slice) {
    const QByteArray head = name + ' ' + imap::UidSet(slice);
    for (;;) {
      imap::Response r;
      if (!Run(name, head, {mailbox}, &r)) return false;
      if (r.keyword == "OK") return true;
      // The folder does not exist yet: made once, then asked again.
      if (r.keyword != "NO" || r.code != "TRYCREATE" || created) {
        Refused(name, r);
        return false;
      }
      created = true;
      if (!RunOk("CREATE", "CREATE", {mailbox})) return false;
    }
  });
  if (!ok || move) return ok;
  return Delete(uids);
}

bool IMAP_InMail::Impl::Idle(int maxSecs, const std::function<bool()>& keepWaiting, bool* newMail) {
  if (newMail) *newMail = false;
  if (!Ready("Waiting for new mail...")) return false;
  if (!Offers("IDLE")) {
    Fail(QStringLiteral("The IMAP server does not offer IDLE"), Kind::RefusedPermanently);
    return false;
  }
  continuation_ = false;
  existsGrew_ = false;
  const QByteArray tag = Send("IDLE", "IDLE");
  if (tag.isEmpty() || !Await(tag, true)) return false;
  if (!continuation_) {
    Refused("IDLE", Take());
    return false;
  }
  // The server may stay silent as long as it likes now: only the caller's bounds apply.
  const QDeadlineTimer deadline(qint64(std::clamp(maxSecs, 1, 29 * 60)) * 1000);
  while (open_ && !existsGrew_ && !deadline.hasExpired() && (!keepWaiting || keepWaiting()))
    vrl::EventWait::Until([&] { return existsGrew_ || !open_; }, {}, 200);
  if (!open_) return false;
  if (newMail) *newMail = existsGrew_;
  since_.start();
  bytesSince_ = 0;
  if (!SendRaw("DONE\r\n") || !Await(tag)) return false;
  const imap::Response r = Take();
  if (r.keyword == "OK") return true;
  Refused("IDLE", r);
  return false;
}

bool IMAP_InMail::Impl::Logout(bool await) {
  if (!open_) {
    Fail(QStringLiteral("Not connected to the IMAP server"), Kind::Connection);
    return false;
  }
  if (!await) {
    // Everything asked is answered: the server's goodbye tells nothing more.
    const bool sent = !Send("LOGOUT", "LOGOUT").isEmpty();
    connected_ = open_ = false;
    pending_.clear();
    if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
    socket_->SetTransport(nullptr);
    return sent;
  }
  since_.start();
  bytesSince_ = 0;
  loggingOut_ = true;
  byeSeen_ = false;
  imap::Response r;
  const QByteArray tag = Send("LOGOUT", "LOGOUT");
  // The server may close right after its answer, or after BYE alone.
  const bool answered = !tag.isEmpty() && Wait([&] { return (!pending_.empty() && pending_.front().done) || !open_; }, "LOGOUT");
  const bool ok = (answered && !pending_.empty() && pending_.front().answer.keyword == "OK") || (byeSeen_ && !broken_);
  loggingOut_ = false;
  connected_ = false;
  const bool wasOpen = open_;
  open_ = false;
  pending_.clear();
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
  socket_->SetTransport(nullptr);
  if (!ok && wasOpen) Fail(QStringLiteral("The IMAP server did not confirm LOGOUT"), Kind::Protocol);
  return ok;
}
