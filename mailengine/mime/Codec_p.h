#pragma once
// What the codec's two parts (Codec.cpp, Charsets.cpp) share and no caller needs.
#include <QByteArray>
#include <QByteArrayView>

namespace codec::detail {

// A character set name longer than this is no name.
inline constexpr qsizetype kMaxCharsetName = 80;
// A declared character set as compared: lower case, without quotes and an RFC 2231 language.
QByteArray NormalCharset(QByteArrayView charset);

}  // namespace codec::detail
