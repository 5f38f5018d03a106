#include "Mdl_Crypto.h"

#include "ConfRecords.h"

#include <QRandomGenerator>

namespace crypto {
namespace {
int& FixedKey() {
  static int key = 0;
  return key;
}

int DrawKey() {
  if (FixedKey() >= 1 && FixedKey() <= 230) return FixedKey();
  // Seeded by the system's entropy source, so keys do not repeat with the start time.
  return static_cast<int>(QRandomGenerator::system()->bounded(1, 231));
}
}  // namespace

void SetKeyForTesting(int key) { FixedKey() = key; }

QByteArray ScrambleBytes(const QByteArray& plain, int key) {
  QByteArray out;
  out.reserve(plain.size() + 1);
  out.append(static_cast<char>(key));
  for (const char c : plain) {
    int d = static_cast<unsigned char>(c) + key;
    if (d > 255) d -= 255;  // a sum of exactly 255 stays 255
    out.append(static_cast<char>(d));
  }
  return out;
}

QByteArray UnscrambleBytes(const QByteArray& stored) {
  if (stored.isEmpty()) return {};
  const int key = static_cast<unsigned char>(stored[0]);
  QByteArray out;
  out.reserve(stored.size() - 1);
  for (qsizetype i = 1; i < stored.size(); ++i) {
    int c = static_cast<unsigned char>(stored[i]) - key;
    if (c < 0) c += 255;
    out.append(static_cast<char>(c));
  }
  return out;
}

}  // namespace crypto

QString Scramble(const QString& text) {
  return QString::fromLatin1(crypto::ScrambleBytes(text.toUtf8(), crypto::DrawKey()));
}

QString Unscramble(const QString& stored) {
  if (stored.isEmpty()) return {};
  return conf::DecodeRecordString(crypto::UnscrambleBytes(stored.toLatin1()));
}
