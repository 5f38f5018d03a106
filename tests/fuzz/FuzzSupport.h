#pragma once
// What both fuzz targets share: a QCoreApplication, and the decoding of every part a parse found.
#include "pop3/Pop3Mail.h"
#include "mime/Codec.h"
#include "mime/Pop3MimeDecode.h"

#include <QCoreApplication>
#include <cstdlib>
#include <vector>

namespace fuzzsupport {

inline void EnsureApplication() {
  static int argc = 1;
  static char name[] = "fuzzer";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* app = new QCoreApplication(argc, argv);
  (void)app;
}

// Decodes every attachment as a save would (to a counting sink instead of a file) and checks the
// records' own invariants.
inline void CheckRecords(const Pop3Mail& mail, const std::vector<Pop3MailAttachments>& atts) {
  if (mail.AttachedFiles != static_cast<qint16>(atts.size())) std::abort();
  for (const auto& a : atts) {
    if (a.Name.isEmpty() || a.Name.contains(u'/') || a.Name.contains(u'\\') || a.Name.startsWith(u'.'))
      std::abort();
    const Pop3AttachmentData& d = a.Data;
    if (d.partBegin < 0 || d.partBegin > d.contentBegin || d.contentBegin > d.end || d.end > d.buffer.size())
      std::abort();
    qsizetype total = 0;
    codec::DecodeContent(d.Content(), d.encoding, [&total](QByteArrayView b) {
      total += b.size();
      return true;
    });
    (void)total;
  }
}

}  // namespace fuzzsupport
