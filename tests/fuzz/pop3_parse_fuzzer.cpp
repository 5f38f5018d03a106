// Fuzzes the message parser: any bytes as a retrieved message.
#include "FuzzSupport.h"
#include "mime/Pop3MimeParser.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::EnsureApplication();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray message(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  Pop3Mail mail;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(message, mail, atts);
  if (mail.Size != message.size()) std::abort();
  fuzzsupport::CheckRecords(mail, atts);
  // The header decoders on their own, on the same bytes.
  (void)codec::DecodeHeaderText(message);
  (void)pop3mime::ParamText(pop3mime::ParseContentField(message), "name");
  return 0;
}
