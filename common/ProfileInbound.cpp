#include "ProfileInbound.h"

#include "ProfileSecurity.h"

#include <QStringList>

#include <algorithm>

namespace conf {
namespace {

const QString kImap = QStringLiteral("imap");
const QString kMove = QStringLiteral("move");

void PutText(QByteArray& v, const QString& text) {
  const QByteArray b = text.toUtf8().left(0xFFFF);
  PutWord(v, static_cast<quint16>(b.size()));
  v += b;
}

// The texts of an entry, in order; a shorter entry gives fewer.
QStringList Texts(const QByteArray& entry) {
  QStringList out;
  qsizetype at = 0;
  while (entry.size() - at >= 2) {
    const qsizetype n = static_cast<unsigned char>(entry[at]) | (static_cast<unsigned char>(entry[at + 1]) << 8);
    if (entry.size() - at - 2 < n) break;
    out.append(QString::fromUtf8(entry.mid(at + 2, n)));
    at += 2 + n;
  }
  return out;
}

bool OneName(const QString& name) {
  return name.toUtf8().size() <= kMaxImapFolderBytes &&
         std::none_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

}  // namespace

ProfileInbound ReadProfileInbound(const ProfileRecord& rec) {
  ProfileInbound in;
  const std::optional<QByteArray> entry = ExtensionEntry(rec, kInboundTag);
  if (!entry) return in;
  const QStringList t = Texts(*entry);
  auto known = [&](qsizetype i, const QStringList& values, QString& field) {
    if (i < t.size() && values.contains(t[i])) field = t[i];
  };
  known(0, {QStringLiteral("pop3"), kImap}, in.Protocol);
  if (t.size() > 1 && !t[1].isEmpty()) in.ImapFolder = t[1];
  known(2, {QStringLiteral("delete"), kMove, QStringLiteral("keep")}, in.ImapAfter);
  in.ImapMoveTo = t.value(3);
  in.ImapIdle = t.value(4) == QLatin1String("idle");
  return in;
}

void WriteProfileInbound(ProfileRecord& rec, const ProfileInbound& settings) {
  if (settings == ProfileInbound()) return SetExtensionEntry(rec, kInboundTag, std::nullopt);
  QByteArray v;
  for (const QString& text : {settings.Protocol, settings.ImapFolder, settings.ImapAfter, settings.ImapMoveTo,
                              settings.ImapIdle ? QStringLiteral("idle") : QString()})
    PutText(v, text);
  SetExtensionEntry(rec, kInboundTag, v);
}

InboundFault CheckProfileInbound(const ProfileInbound& s) {
  if (!OneName(s.ImapFolder)) return InboundFault::BadFolder;
  if (s.Protocol == kImap && s.ImapFolder.trimmed().isEmpty()) return InboundFault::EmptyFolder;
  if (!OneName(s.ImapMoveTo)) return InboundFault::BadMoveTo;
  if (s.ImapAfter == kMove && s.ImapMoveTo.trimmed().isEmpty()) return InboundFault::NoMoveTo;
  if (s.ImapAfter == kMove && s.ImapMoveTo == s.ImapFolder) return InboundFault::MoveToSame;
  return InboundFault::None;
}

}  // namespace conf
