// Micro-benchmarks of the receive side: a RETR answer through the answer handler (reassembly,
// end-marker search, dot-unstuffing, parsing), parsing alone, and the content decoders.
#include "pop3/POP3_InMail.h"
#include "mime/Codec.h"
#include "mime/Pop3MimeDecode.h"
#include "mime/Pop3MimeParser.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

namespace {

QByteArray Payload(qsizetype n) {
  QByteArray p(n, Qt::Uninitialized);
  quint32 x = 2463534242u;
  for (qsizetype i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    p[i] = static_cast<char>(x);
  }
  return p;
}

QByteArray Wrapped(const QByteArray& b64) {
  QByteArray out;
  out.reserve(b64.size() + b64.size() / 38 + 2);
  for (qsizetype i = 0; i < b64.size(); i += 76) out += b64.mid(i, 76) + "\r\n";
  return out;
}

// A message as the sending side writes it: a text part and one base64 attachment.
QByteArray Message(qsizetype attachmentBytes) {
  return "From: \"a@example.org\" <a@example.org>\r\nSubject: bench\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed;\r\n\tboundary=\"----_=_NextPart_000_0000B8A1.01234567\"\r\n\r\n"
         "------_=_NextPart_000_0000B8A1.01234567\r\nContent-Type: text/plain;\r\n\tcharset=\"iso-8859-1\"\r\n"
         "Content-Transfer-Encoding: 7bit\r\n\r\n\r\nSee attached.\r\n\r\n\r\n\r\n"
         "------_=_NextPart_000_0000B8A1.01234567\r\nContent-Type: application/octet-stream;\r\n"
         "\tname=\"data.bin\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
         "\tfilename=\"data.bin\"\r\n\r\n" +
         Wrapped(Payload(attachmentBytes).toBase64()) +
         "\r\n------_=_NextPart_000_0000B8A1.01234567--\r\n";
}

void BM_RetrAnswer(benchmark::State& state) {
  const QByteArray wire = "+OK\r\n" + Message(state.range(0)) + ".\r\n";
  constexpr qsizetype kRead = 64 * 1024;
  for (auto _ : state) {
    POP3_InMail client;
    POP3_InMailInternal::BeginRetrieve(client);
    for (qsizetype pos = 0; pos < wire.size(); pos += kRead)
      POP3_InMailInternal::Feed(client, QByteArrayView(wire).sliced(pos, std::min(kRead, wire.size() - pos)));
    if (!POP3_InMailInternal::RetrieveDone(client)) state.SkipWithError("not complete");
    Pop3Mail m;
    std::vector<Pop3MailAttachments> atts;
    POP3_InMailInternal::TakeMessage(client, m, atts);
    benchmark::DoNotOptimize(atts.data());
  }
  state.SetBytesProcessed(state.iterations() * wire.size());
}
BENCHMARK(BM_RetrAnswer)->Arg(64 << 10)->Arg(4 << 20)->Arg(32 << 20)->Unit(benchmark::kMillisecond);

void BM_Parse(benchmark::State& state) {
  const QByteArray msg = Message(state.range(0));
  for (auto _ : state) {
    Pop3Mail m;
    std::vector<Pop3MailAttachments> atts;
    pop3mime::ParseMessage(msg, m, atts);
    benchmark::DoNotOptimize(atts.data());
  }
  state.SetBytesProcessed(state.iterations() * msg.size());
}
BENCHMARK(BM_Parse)->Arg(64 << 10)->Arg(4 << 20)->Unit(benchmark::kMicrosecond);

void BM_DecodeBase64(benchmark::State& state) {
  const QByteArray b64 = Wrapped(Payload(state.range(0)).toBase64());
  for (auto _ : state) {
    qsizetype total = 0;
    codec::DecodeContent(b64, Pop3TransferEncoding::Base64, [&total](QByteArrayView b) {
      total += b.size();
      return true;
    });
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() * b64.size());
}
BENCHMARK(BM_DecodeBase64)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

void BM_DecodeQuotedPrintable(benchmark::State& state) {
  QByteArray text;
  while (text.size() < state.range(0)) text += "Caf=E9 cr=E8me and a long line broken with a soft =\r\nbreak, then more text.\r\n";
  for (auto _ : state) {
    qsizetype total = 0;
    codec::DecodeContent(text, Pop3TransferEncoding::QuotedPrintable, [&total](QByteArrayView b) {
      total += b.size();
      return true;
    });
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_DecodeQuotedPrintable)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  QCoreApplication app(argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
