// Fuzzes the whole way from a RETR answer to the records: the bytes are handed to the client's
// answer handler as a server would send them, once whole and once in pieces whose sizes come from
// the input; both must give the same records. Input that is not already an answer (a message
// from the seed corpus) is wrapped into one, so that mutations start from complete answers.
#include "FuzzSupport.h"
#include "pop3/POP3_InMail.h"

#include <cstddef>
#include <cstdint>
#include <tuple>

namespace {

struct Outcome {
  bool done = false;
  Pop3Mail mail;
  std::vector<Pop3MailAttachments> atts;
};

Outcome Feed(const QByteArray& wire, uint32_t seed, bool split) {
  POP3_InMail client;
  POP3_InMailInternal::BeginRetrieve(client);
  qsizetype pos = 0;
  uint32_t state = seed | 1u;
  while (pos < wire.size()) {
    qsizetype n = wire.size() - pos;
    if (split) {
      state = state * 1103515245u + 12345u;
      n = std::min<qsizetype>(n, 1 + (state >> 16) % 64);
    }
    POP3_InMailInternal::Feed(client, QByteArrayView(wire).sliced(pos, n));
    pos += n;
    if (POP3_InMailInternal::RetrieveDone(client)) break;
  }
  Outcome o;
  o.done = POP3_InMailInternal::RetrieveDone(client);
  if (o.done) POP3_InMailInternal::TakeMessage(client, o.mail, o.atts);
  return o;
}

bool Same(const Outcome& a, const Outcome& b) {
  const auto fields = [](const Outcome& o) {
    const Pop3Mail& m = o.mail;
    return std::tie(o.done, m.Header, m.from, m.To, m.Date, m.Subject, m.Message, m.HTMLMessage, m.Size,
                    m.AttachedFiles);
  };
  if (!a.done || !b.done) return a.done == b.done;
  if (fields(a) != fields(b) || a.atts.size() != b.atts.size()) return false;
  for (size_t i = 0; i < a.atts.size(); ++i)
    if (a.atts[i].Name != b.atts[i].Name || a.atts[i].Data.Part() != b.atts[i].Data.Part() ||
        a.atts[i].Data.encoding != b.atts[i].Data.encoding)
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::EnsureApplication();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QByteArray wire(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  if (!wire.startsWith("+OK") && !wire.startsWith("-ERR")) wire = "+OK\r\n" + wire + "\r\n.\r\n";
  uint32_t seed = 0;
  for (size_t i = 0; i < size && i < 8; ++i) seed = seed * 31u + data[i];
  const Outcome whole = Feed(wire, seed, false);
  const Outcome pieces = Feed(wire, seed, true);
  if (!Same(whole, pieces)) std::abort();
  if (whole.done) fuzzsupport::CheckRecords(whole.mail, whole.atts);
  return 0;
}
