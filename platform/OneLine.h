#pragma once
// Text from outside (a sender's name, a subject, a server's words, a profile name) on one line of
// ours: line breaks and every other control character (C0, DEL, C1, U+2028, U+2029) become
// spaces, so that no reader of a log, an information file or a listing finds a line moved.
#include <QString>

namespace vrl {

enum class Tabs { Replace, Keep };

inline QString OneLine(QString s, Tabs tabs = Tabs::Replace) {
  for (QChar& c : s) {
    const char16_t u = c.unicode();
    if (u == u'\t' && tabs == Tabs::Keep) continue;
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029) c = u' ';
  }
  return s;
}

}  // namespace vrl
