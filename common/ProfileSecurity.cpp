#include "ProfileSecurity.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace conf {
namespace {

struct Entry {
  quint16 tag;
  QByteArray value;
};

quint16 Word(const QByteArray& b, qsizetype at) {
  return static_cast<quint16>(static_cast<unsigned char>(b[at]) | (static_cast<unsigned char>(b[at + 1]) << 8));
}

// The entries of a block; false when the bytes are not a list of entries.
bool Entries(const QByteArray& block, std::vector<Entry>* out) {
  out->clear();
  qsizetype at = 0;
  while (at < block.size()) {
    if (block.size() - at < 4) return false;
    const quint16 tag = Word(block, at);
    const quint16 len = Word(block, at + 2);
    if (block.size() - at - 4 < len) return false;
    out->push_back({tag, block.mid(at + 4, len)});
    at += 4 + len;
  }
  return true;
}

class Reader {
 public:
  explicit Reader(const QByteArray& b) : b_(b) {}
  bool Word(qint16& v) {
    if (b_.size() - at_ < 2) return false;
    v = static_cast<qint16>(conf::Word(b_, at_));
    at_ += 2;
    return true;
  }
  bool Text(QString& v) {
    qint16 n = 0;
    if (!Word(n) || b_.size() - at_ < static_cast<quint16>(n)) return false;
    v = DecodeRecordString(b_.mid(at_, static_cast<quint16>(n)));
    at_ += static_cast<quint16>(n);
    return true;
  }

 private:
  const QByteArray& b_;
  qsizetype at_ = 0;
};

}  // namespace

void PutWord(QByteArray& b, quint16 v) {
  b.append(static_cast<char>(v & 0xFF));
  b.append(static_cast<char>(v >> 8));
}

std::optional<QByteArray> ExtensionEntry(const ProfileRecord& rec, quint16 tag) {
  std::vector<Entry> entries;
  if (!Entries(rec.Extension, &entries)) return std::nullopt;
  for (const Entry& e : entries)
    if (e.tag == tag) return e.value;
  return std::nullopt;
}

void SetExtensionEntry(ProfileRecord& rec, quint16 tag, const std::optional<QByteArray>& value) {
  std::vector<Entry> entries;
  if (!Entries(rec.Extension, &entries)) entries.clear();  // bytes that are no entries are dropped
  std::erase_if(entries, [tag](const Entry& e) { return e.tag == tag; });
  if (value) {
    // In tag order, so that the same settings make the same bytes whatever was written first.
    const auto at = std::find_if(entries.begin(), entries.end(), [tag](const Entry& e) { return e.tag > tag; });
    entries.insert(at, {tag, value->left(0xFFFF)});
  }
  QByteArray block;
  for (const Entry& e : entries) {
    PutWord(block, e.tag);
    PutWord(block, static_cast<quint16>(e.value.size()));
    block += e.value;
  }
  rec.Extension = block;
}

ProfileSecurity ReadProfileSecurity(const ProfileRecord& rec) {
  const std::optional<QByteArray> entry = ExtensionEntry(rec, kSecurityTag);
  if (!entry) return {};
  ProfileSecurity read;
  Reader r(*entry);
  qint16 verify = -1;
  // A shorter entry (of an older version) leaves the rest at the defaults.
  if (r.Word(read.SmtpSecurity) && r.Word(read.Pop3Security) && r.Word(verify) && r.Word(read.AuthMethod) &&
      r.Text(read.CaFile) && r.Text(read.CertFingerprint)) {
    r.Text(read.PasswordCommand);
  }
  read.VerifyCertificate = verify != 0;
  return read;
}

void WriteProfileSecurity(ProfileRecord& rec, const ProfileSecurity& security) {
  if (security == ProfileSecurity()) return SetExtensionEntry(rec, kSecurityTag, std::nullopt);
  QByteArray v;
  PutWord(v, static_cast<quint16>(security.SmtpSecurity));
  PutWord(v, static_cast<quint16>(security.Pop3Security));
  PutWord(v, security.VerifyCertificate ? 0xFFFF : 0);
  PutWord(v, static_cast<quint16>(security.AuthMethod));
  for (const QString* t : {&security.CaFile, &security.CertFingerprint, &security.PasswordCommand}) {
    const QByteArray bytes = EncodeRecordString(*t).left(0xFFFF);
    PutWord(v, static_cast<quint16>(bytes.size()));
    v += bytes;
  }
  SetExtensionEntry(rec, kSecurityTag, v);
}

}  // namespace conf
