#pragma once
// Expected record bytes for the tests, built by hand field by field.
#include <QByteArray>

// Builds expected slot bytes by hand, field by field, independent of the packing code.
class Expect {
 public:
  Expect& Long(quint32 v) {
    for (int i = 0; i < 4; ++i) b_.append(char((v >> (8 * i)) & 0xFF));
    return *this;
  }
  Expect& Int(int v) {
    const auto u = quint16(v & 0xFFFF);
    b_.append(char(u & 0xFF));
    b_.append(char(u >> 8));
    return *this;
  }
  Expect& Bool(bool v) { return Int(v ? -1 : 0); }
  Expect& Str(const QByteArray& bytes) {
    Int(int(bytes.size()));
    b_.append(bytes);
    return *this;
  }
  Expect& Raw(const QByteArray& bytes) {
    b_.append(bytes);
    return *this;
  }
  QByteArray Fields() const { return b_; }
  QByteArray Slot() const { return b_ + QByteArray(5000 - b_.size(), '\0'); }

 private:
  QByteArray b_;
};

// The header record of a profiles file as its bytes, with the marker password scrambled by key.
inline QByteArray HeaderBytes(qint32 recordNumber, int key) {
  QByteArray pws(1, char(key));
  for (const char c : QByteArray("Vesk+Talmo")) {
    const int d = quint8(c) + key;
    pws.append(char(d > 255 ? d - 255 : d));
  }
  Expect e;
  e.Long(quint32(recordNumber)).Bool(true).Str("QuorvoV3").Int(0).Str("").Str(pws);
  for (int i = 0; i < 6; ++i) e.Str("");
  e.Bool(false).Bool(false).Int(0).Int(0).Int(0).Bool(false).Bool(false);
  e.Str("NXB CONFIGURATION FILE 3").Bool(false).Bool(false).Str("QTX+WMB").Str("");
  e.Int(0).Str("NXB").Str("TORVA").Str("");
  for (int i = 0; i < 4; ++i) e.Int(0).Str("").Str("");
  e.Str("").Str("").Str("").Bool(false);
  return e.Slot();
}

// The fields of a simple internet-mail profile as another program would store them (the
// strings given as stored bytes); no zero fill.
inline QByteArray ForeignProfileFields(qint32 number, const QByteArray& name,
                                       const QByteArray& inboundDir, const QByteArray& outboundDir) {
  Expect e;
  e.Long(quint32(number)).Bool(true).Str(name).Int(2).Str("").Str("");
  e.Str("smtp.example.org").Str("pop.example.org").Str("user").Str("pw").Str("").Str("me@example.org");
  e.Bool(false).Bool(false).Int(110).Int(25).Int(30).Bool(true).Bool(true);
  e.Str(inboundDir).Bool(true).Bool(true).Str("*.TXT").Str("*.RES");
  e.Int(1).Str(outboundDir).Str("*.TXT").Str("");
  for (int i = 0; i < 4; ++i) e.Int(0).Str("").Str("");
  e.Str("to@example.org").Str("Subject").Str("Text").Bool(false);
  return e.Fields();
}
