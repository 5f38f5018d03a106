#pragma once
// Scrambling of the one stored password the profiles file keeps scrambled. Works on bytes: the
// plain text's UTF-8 bytes are shifted by a key; the stored form holds one QChar per byte.
#include <QByteArray>
#include <QString>

QString Scramble(const QString& text);
QString Unscramble(const QString& stored);

namespace crypto {
// Byte-level forms; key in 1..230. The stored form is the key byte followed by the shifted bytes.
QByteArray ScrambleBytes(const QByteArray& plain, int key);
QByteArray UnscrambleBytes(const QByteArray& stored);
// Fixes the key Scramble uses (1..230) so that tests can compare bytes; 0 restores random keys.
void SetKeyForTesting(int key);
}  // namespace crypto
