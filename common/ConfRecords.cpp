#include "ConfRecords.h"

#include <libpq-fe.h>

#include "FileIo.h"
#include "mime/Codec.h"

#include <QFile>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace conf {
namespace {


class SlotWriter {
 public:
  void Long(qint32 v) {
    const quint32 u = static_cast<quint32>(v);
    for (int i = 0; i < 4; ++i) buf_.append(static_cast<char>((u >> (8 * i)) & 0xFF));
  }
  void Word(quint16 v) {
    buf_.append(static_cast<char>(v & 0xFF));
    buf_.append(static_cast<char>(v >> 8));
  }
  void Boolean(bool v) { Word(v ? 0xFFFF : 0x0000); }
  // False when the bytes cannot be counted in the 2-byte prefix.
  bool Bytes(const QByteArray& bytes) {
    if (bytes.size() > 0xFFFF) return false;
    Word(static_cast<quint16>(bytes.size()));
    buf_.append(bytes);
    return true;
  }
  void Raw(const QByteArray& bytes) { buf_.append(bytes); }
  qsizetype Size() const { return buf_.size(); }
  // The whole slot: the fields, then zero fill.
  QByteArray Slot() const {
    QByteArray slot = buf_;
    slot.append(QByteArray(kRecordLength - slot.size(), '\0'));
    return slot;
  }

 private:
  QByteArray buf_;
};

// Reads fields from at most one slot of data; every read is bounds-checked.
class SlotReader {
 public:
  explicit SlotReader(const QByteArray& data)
      : data_(reinterpret_cast<const unsigned char*>(data.constData())),
        size_(data.size() < kRecordLength ? data.size() : kRecordLength) {}

  bool Long(qint32& v) {
    if (Remaining() < 4) return false;
    quint32 u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<quint32>(data_[pos_ + i]) << (8 * i);
    v = static_cast<qint32>(u);
    pos_ += 4;
    return true;
  }
  bool Word(quint16& v) {
    if (Remaining() < 2) return false;
    v = static_cast<quint16>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return true;
  }
  bool Bytes(QByteArray& out) {
    quint16 n = 0;
    if (!Word(n) || Remaining() < n) return false;
    out = QByteArray(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return true;
  }
  qsizetype Remaining() const { return size_ - pos_; }
  const unsigned char* Here() const { return data_ + pos_; }

 private:
  const unsigned char* data_;
  qsizetype size_;
  qsizetype pos_ = 0;
};

template <class Rec, class Visit>
std::optional<QByteArray> PackFields(const Rec& rec, Visit visit, const QByteArray& extension) {
  SlotWriter w;
  bool ok = true;
  visit(rec, [&](const char*, FieldKind kind, const auto& v) {
    using T = std::remove_cvref_t<decltype(v)>;
    if constexpr (std::is_same_v<T, QString>) {
      ok = w.Bytes(kind == FieldKind::ByteString ? v.toLatin1() : EncodeRecordString(v)) && ok;
    } else if constexpr (std::is_same_v<T, qint32>) {
      w.Long(v);
    } else if constexpr (std::is_same_v<T, bool>) {
      w.Boolean(v);
    } else {
      w.Word(static_cast<quint16>(v));
    }
  });
  if (!extension.isEmpty()) {
    w.Raw(QByteArray(kExtensionMarker, 4));
    ok = w.Bytes(extension) && ok;
  }
  if (!ok || w.Size() > kRecordLength) return std::nullopt;
  return w.Slot();
}

template <class Rec, class Visit>
bool UnpackFields(SlotReader& r, Rec& rec, Visit visit) {
  bool ok = true;
  visit(rec, [&](const char*, FieldKind kind, auto& v) {
    if (!ok) return;
    using T = std::remove_cvref_t<decltype(v)>;
    if constexpr (std::is_same_v<T, QString>) {
      QByteArray bytes;
      ok = r.Bytes(bytes);
      if (ok) v = kind == FieldKind::String ? DecodeRecordString(bytes) : QString::fromLatin1(bytes);
    } else if constexpr (std::is_same_v<T, qint32>) {
      ok = r.Long(v);
    } else {
      quint16 word = 0;
      ok = r.Word(word);
      if (!ok) return;
      if constexpr (std::is_same_v<T, bool>) {
        v = word != 0;  // any non-zero value counts as true
      } else {
        v = static_cast<T>(word);
      }
    }
  });
  return ok;
}

}  // namespace

QByteArray EncodeRecordString(const QString& s) { return s.toUtf8(); }

QString ClusterDatabaseProblem(const QString& conninfo) {
  // One line, as every text that may reach a log line.
  if (std::any_of(conninfo.cbegin(), conninfo.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line ||
               c.category() == QChar::Separator_Paragraph;
      }))
    return QStringLiteral("must not hold control characters");
  if (const qsizetype n = EncodeRecordString(conninfo).size(); n > kMaxClusterDatabaseBytes)
    return QStringLiteral("must be at most %1 bytes (UTF-8), not %2").arg(kMaxClusterDatabaseBytes).arg(n);
  // Read as the agent reads it, so that a malformed string is refused here, not at its start.
  if (!conninfo.isEmpty()) {
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.toUtf8().constData(), &message);
    const QString why = message ? QString::fromUtf8(message).simplified() : QString();
    PQfreemem(message);
    if (!options) return QStringLiteral("is not a connection string: ") + why;
    PQconninfoFree(options);
  }
  return {};
}

QString DecodeRecordString(const QByteArray& bytes) {
  // A leading byte-order mark stays: the stored text is returned as stored.
  return codec::Utf8OrWindows1252(bytes, true);
}

int ProfileStringBytes(const ProfileRecord& rec) {
  qsizetype total = 0;
  ForEachProfileField(rec, [&](const char*, FieldKind kind, const auto& v) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(v)>, QString>) {
      total += kind == FieldKind::String ? EncodeRecordString(v).size() : v.size();
    }
  });
  if (!rec.Extension.isEmpty()) total += kExtensionHeaderBytes + rec.Extension.size();
  return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

std::optional<QByteArray> PackProfile(const ProfileRecord& rec) {
  return PackFields(rec, [](const ProfileRecord& r, auto&& f) { ForEachProfileField(r, f); },
                    rec.Extension);
}

std::optional<QByteArray> PackGlobal(const GlobalRecord& rec) {
  // No block for the defaults, so that such a record stays byte for byte what it always was.
  // A later value needs the ones before it, so a block ends at its last value that is not its
  // default (0 for the sizes; MaxAttachments and LeaseSeconds have defaults of their own; an
  // empty text).
  QByteArray extension;
  const auto put = [&](qint32 value) {
    const quint32 v = static_cast<quint32>(value);
    for (int i = 0; i < 4; ++i) extension.append(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  const auto putText = [&](const QByteArray& bytes) {
    extension.append(static_cast<char>(bytes.size() & 0xFF));
    extension.append(static_cast<char>(bytes.size() >> 8));
    extension.append(bytes);
  };
  const QByteArray metrics = EncodeRecordString(rec.MetricsFile);
  const QByteArray cluster = EncodeRecordString(rec.ClusterDatabase);
  if (metrics.size() > 0xFFFF || cluster.size() > 0xFFFF) return std::nullopt;
  const bool lease = rec.LeaseSeconds != GlobalRecord::kDefaultLeaseSeconds;
  const bool clusterText = !cluster.isEmpty() || lease;
  const bool metricsText = !metrics.isEmpty() || clusterText;
  const bool attachments = rec.MaxAttachments != GlobalRecord::kDefaultMaxAttachments || metricsText;
  const bool messages = rec.MaxMessageMB != 0 || attachments;
  if (rec.LogMaxMB != 0 || messages) put(rec.LogMaxMB);
  if (messages) put(rec.MaxMessageMB);
  if (attachments) put(rec.MaxAttachments);
  if (metricsText) putText(metrics);
  if (clusterText) putText(cluster);
  if (lease) put(rec.LeaseSeconds);
  return PackFields(rec, [](const GlobalRecord& r, auto&& f) { ForEachGlobalField(r, f); },
                    extension);
}

// The extension block counts only when its marker stands right behind the fields and its
// length fits the slot; anything else there is leftover bytes.
static QByteArray ExtensionBlock(SlotReader& r) {
  if (r.Remaining() < kExtensionHeaderBytes || std::memcmp(r.Here(), kExtensionMarker, 4) != 0)
    return {};
  const unsigned char* h = r.Here();
  const qsizetype n = h[4] | (h[5] << 8);
  if (r.Remaining() - kExtensionHeaderBytes < n) return {};
  return QByteArray(reinterpret_cast<const char*>(h + kExtensionHeaderBytes), n);
}

std::optional<ProfileRecord> UnpackProfile(const QByteArray& slot) {
  SlotReader r(slot);
  ProfileRecord rec;
  if (!UnpackFields(r, rec, [](ProfileRecord& p, auto&& f) { ForEachProfileField(p, f); })) {
    return std::nullopt;
  }
  rec.Extension = ExtensionBlock(r);
  return rec;
}

bool UnpackGlobalInto(const QByteArray& slot, GlobalRecord& rec) {
  SlotReader r(slot);
  if (!UnpackFields(r, rec, [](GlobalRecord& g, auto&& f) { ForEachGlobalField(g, f); }))
    return false;
  const QByteArray ext = ExtensionBlock(r);
  const auto get = [&ext](qsizetype at, qint32& value) {
    if (ext.size() < at + 4) return;
    quint32 v = 0;
    for (qsizetype i = at + 3; i >= at; --i) v = (v << 8) | static_cast<unsigned char>(ext[i]);
    value = static_cast<qint32>(v);
  };
  // A text at `at` when its count and bytes fit the block; moves `at` behind it.
  const auto getText = [&ext](qsizetype& at, QString& value) {
    if (ext.size() < at + 2) return false;
    const qsizetype n = static_cast<unsigned char>(ext[at]) | (static_cast<unsigned char>(ext[at + 1]) << 8);
    if (ext.size() - at - 2 < n) return false;
    value = DecodeRecordString(ext.mid(at + 2, n));
    at += 2 + n;
    return true;
  };
  // What the block does not hold has its default, also in a record read into before; a text
  // whose count runs past the block reads as none, and so does all behind it.
  const GlobalRecord defaults;
  rec.LogMaxMB = defaults.LogMaxMB;
  rec.MaxMessageMB = defaults.MaxMessageMB;
  rec.MaxAttachments = defaults.MaxAttachments;
  rec.MetricsFile = defaults.MetricsFile;
  rec.ClusterDatabase = defaults.ClusterDatabase;
  rec.LeaseSeconds = defaults.LeaseSeconds;
  get(0, rec.LogMaxMB);
  get(4, rec.MaxMessageMB);
  get(8, rec.MaxAttachments);
  qsizetype at = 12;
  QString metrics, cluster;
  if (!getText(at, metrics)) return true;
  rec.MetricsFile = metrics;
  if (!getText(at, cluster)) return true;
  rec.ClusterDatabase = cluster;
  // Agents take each other's profiles by the lease: a stored value it cannot have is not used.
  qint32 lease = defaults.LeaseSeconds;
  get(at, lease);
  if (lease >= GlobalRecord::kMinLeaseSeconds && lease <= GlobalRecord::kMaxLeaseSeconds) rec.LeaseSeconds = lease;
  return true;
}

std::optional<GlobalRecord> UnpackGlobal(const QByteArray& slot) {
  GlobalRecord rec;
  if (!UnpackGlobalInto(slot, rec)) return std::nullopt;
  return rec;
}

namespace {

QString WhatItIs(mode_t mode) {
  if (S_ISDIR(mode)) return QStringLiteral("a folder");
  if (S_ISFIFO(mode)) return QStringLiteral("a FIFO");
  if (S_ISCHR(mode)) return QStringLiteral("a character device");
  if (S_ISBLK(mode)) return QStringLiteral("a block device");
  if (S_ISSOCK(mode)) return QStringLiteral("a socket");
  return QStringLiteral("something else");
}

// What keeps a reader from the regular file on fd, whose size is given; empty when nothing.
QString Damage(int fd, qint64 size, RecordKind kind) {
  const QString damaged = QStringLiteral("the file is damaged: ");
  if (size == 0) return damaged + QStringLiteral("it is empty");
  if (kind == RecordKind::Global) {
    if (size < kGlobalFixedBytes || size > kRecordLength)
      return damaged + QStringLiteral("its size (%1 bytes) is not that of one %2-byte record").arg(size).arg(kRecordLength);
    return {};
  }
  const qint64 tail = size % kRecordLength;
  if (tail != 0 && tail < kProfileFixedBytes)
    return damaged +
           QStringLiteral("its size (%1 bytes) is not a whole number of %2-byte records").arg(size).arg(kRecordLength);
  // A header always holds its count and names; all zero bytes is what a lost write leaves.
  char header[kRecordLength];
  const qint64 want = std::min<qint64>(size, kRecordLength);
  qint64 got = 0;
  while (got < want) {
    const ssize_t n = ::pread(fd, header + got, size_t(want - got), off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return QString::fromLocal8Bit(std::strerror(errno));
    if (n == 0) break;
    got += n;
  }
  if (std::all_of(header, header + got, [](char c) { return c == 0; }))
    return damaged + QStringLiteral("its header record is all zero bytes");
  return {};
}

// Opens a record file that is a regular file and, when it is to be read, sound; else -1 and why.
// O_NONBLOCK keeps the open itself from waiting on a FIFO or a device; on the regular file it
// then has no effect.
int OpenRecordFile(const QString& path, RecordFile::Mode mode, RecordKind kind, QString& why) {
  const QByteArray native = QFile::encodeName(path);
  if (native.isEmpty() || native.contains('\0')) {
    why = QStringLiteral("not a usable file name");
    return -1;
  }
  int flags = O_RDONLY;
  switch (mode) {
    case RecordFile::Mode::Read: break;
    case RecordFile::Mode::ReadWrite: flags = O_RDWR; break;
    case RecordFile::Mode::Create: flags = O_RDWR | O_CREAT; break;
  }
  const int fd = vrl::OpenFile(path, flags | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    why = QString::fromLocal8Bit(std::strerror(errno));
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    why = QString::fromLocal8Bit(std::strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    why = QStringLiteral("it is %1, not a regular file").arg(WhatItIs(st.st_mode));
  } else if (mode != RecordFile::Mode::Create) {
    why = Damage(fd, st.st_size, kind);
  }
  if (!why.isEmpty()) {
    ::close(fd);
    return -1;
  }
  // An existing file may have been made with a wider mode; not fatal when we do not own it.
  if (mode != RecordFile::Mode::Read && (st.st_mode & 07777) != 0600) (void)::fchmod(fd, 0600);
  return fd;
}

}  // namespace

QString RecordFileProblem(const QString& path, RecordKind kind) {
  QString why;
  const int fd = OpenRecordFile(path, RecordFile::Mode::Read, kind, why);
  if (fd >= 0) ::close(fd);
  return why;
}

RecordFile::RecordFile(const QString& path, Mode mode, RecordKind kind) {
  QString why;
  fd_ = OpenRecordFile(path, mode, kind, why);
}

RecordFile::~RecordFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool RecordFile::ReadSlot(qint32 number, QByteArray& slot) const {
  slot.clear();
  if (fd_ < 0 || number < 1) return false;
  const off_t offset = static_cast<off_t>(number - 1) * kRecordLength;
  QByteArray buf(kRecordLength, Qt::Uninitialized);
  qsizetype got = 0;
  while (got < kRecordLength) {
    const ssize_t n = ::pread(fd_, buf.data() + got, kRecordLength - got, offset + got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    got += n;
  }
  if (got == 0) return false;
  buf.truncate(got);
  slot = buf;
  return true;
}

bool RecordFile::WriteSlot(qint32 number, const QByteArray& slot) const {
  if (fd_ < 0 || number < 1 || slot.size() != kRecordLength) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return false;
  // Slots in use (a short last slot counts); the next one may be written, nothing behind it.
  const qint64 slotsInFile = (static_cast<qint64>(st.st_size) + kRecordLength - 1) / kRecordLength;
  if (number > slotsInFile + 1) return false;
  return vrl::WriteAllAt(fd_, slot, static_cast<qint64>(number - 1) * kRecordLength);
}

}  // namespace conf
