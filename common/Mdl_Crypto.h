#pragma once
// Scrambling of the one stored password the profiles file keeps scrambled. Works on bytes: the
// plain text's UTF-8 bytes are shifted by a key; the stored form holds one QChar per byte.
#include <QByteArray>
#include <QString>

QString Scramble(const QString& text);
QString Unscramble(const QString& stored);

namespace crypto {
// Byte-level forms; key in 1..230.
QByteArray ScrambleBytes(const QByteArray& plain, int key);
QByteArray UnscrambleBytes(const QByteArray& stored);
}  // namespace crypto
