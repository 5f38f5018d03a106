#include "CfgTransfer.h"

#include "AppFolder.h"
#include "MdlGlbalConf.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace cfgtransfer {
namespace {

using conf::FieldKind;

constexpr const char* kRecordNumber = "RecordNumber";
constexpr const char* kExtension = "Extension";

QString Quoted(const QString& path) { return QStringLiteral("\"") + path + QStringLiteral("\""); }

QString ReadError(const QString& path) {
  return QStringLiteral("Error reading configuration file: ") + Quoted(path);
}

QString WriteError(const QString& path) {
  return QStringLiteral("Error writing configuration file: ") + Quoted(path);
}

QString TypeName(const QJsonValue& v) {
  switch (v.type()) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("a boolean");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a string");
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
  }
  return QStringLiteral("nothing");
}

QString Shown(const QJsonValue& v) {
  if (v.isDouble()) return QString::number(v.toDouble(), 'g', 17);
  return TypeName(v);
}

// A whole number within [lo, hi]; the JSON number must be integral.
bool WholeNumber(const QJsonValue& v, qint64 lo, qint64 hi, qint64& out) {
  if (!v.isDouble()) return false;
  const double d = v.toDouble();
  if (!std::isfinite(d) || d != std::trunc(d) || d < double(lo) || d > double(hi)) return false;
  out = static_cast<qint64>(d);
  return true;
}

// Checks one JSON object against the fields of a record and fills the record. `where` names the
// object in messages ("global", "profiles[2] \"Orders\"").
class ObjectReader {
 public:
  ObjectReader(const QJsonObject& obj, QString where) : obj_(obj), where_(std::move(where)) {}

  template <class Rec, class Visit>
  bool Read(Rec& rec, Visit visit, const QSet<QString>& optional, QString& error) {
    QSet<QString> known = optional;
    bool ok = true;
    visit(rec, [&](const char* name, FieldKind kind, auto& field) {
      const QString key = QString::fromLatin1(name);
      if (key == QLatin1String(kRecordNumber)) return;
      known.insert(key);
      if (!ok) return;
      ok = ReadField(key, kind, field, error);
    });
    if (!ok) return false;
    for (auto it = obj_.begin(); it != obj_.end(); ++it) {
      if (!known.contains(it.key())) {
        error = Where() + QStringLiteral("unknown field \"%1\"").arg(it.key());
        return false;
      }
    }
    return true;
  }

  QString Where() const { return where_ + QStringLiteral(": "); }

 private:
  template <class T>
  bool ReadField(const QString& key, [[maybe_unused]] FieldKind kind, T& field, QString& error) {
    const QJsonValue v = obj_.value(key);
    if (v.isUndefined()) {
      error = Where() + QStringLiteral("missing field \"%1\"").arg(key);
      return false;
    }
    auto wrong = [&](const QString& expected) {
      error = Where() + QStringLiteral("field \"%1\" must be %2, not %3").arg(key, expected, Shown(v));
      return false;
    };
    if constexpr (std::is_same_v<T, QString>) {
      if (!v.isString()) return wrong(QStringLiteral("a string"));
      // WinMsgPws (kind ByteString) stays plain here; it is scrambled once the profile checks out.
      field = v.toString();
    } else if constexpr (std::is_same_v<T, bool>) {
      if (!v.isBool()) return wrong(QStringLiteral("true or false"));
      field = v.toBool();
    } else if constexpr (std::is_same_v<T, quint16>) {
      qint64 n = 0;
      if (!WholeNumber(v, 0, 65535, n)) return wrong(QStringLiteral("a whole number from 0 to 65535"));
      field = static_cast<quint16>(n);
    } else if constexpr (std::is_same_v<T, qint16>) {
      qint64 n = 0;
      if (!WholeNumber(v, -32768, 32767, n)) {
        return wrong(QStringLiteral("a whole number from -32768 to 32767"));
      }
      field = static_cast<qint16>(n);
    } else {
      static_assert(std::is_same_v<T, qint32>);
      qint64 n = 0;
      if (!WholeNumber(v, INT32_MIN, INT32_MAX, n)) return wrong(QStringLiteral("a 32-bit whole number"));
      field = static_cast<qint32>(n);
    }
    return true;
  }

  const QJsonObject& obj_;
  QString where_;
};

auto VisitProfile = [](auto& rec, auto&& f) { conf::ForEachProfileField(rec, f); };
auto VisitGlobal = [](auto& rec, auto&& f) { conf::ForEachGlobalField(rec, f); };

// Checks what the types alone cannot: values the rest of the system relies on.
bool CheckProfile(const ProfileRecord& p, const QString& where, QString& error) {
  auto fail = [&](const QString& text) {
    error = where + text;
    return false;
  };
  if (p.Prfname.isEmpty()) return fail(QStringLiteral("field \"Prfname\" must not be empty"));
  if (p.HostType != 1 && p.HostType != 2) {
    return fail(QStringLiteral("field \"HostType\" must be 1 (messaging) or 2 (internet mail), not %1").arg(p.HostType));
  }
  if (p.OutboundMode != 1 && p.OutboundMode != 2) {
    return fail(QStringLiteral("field \"OutboundMode\" must be 1 or 2, not %1").arg(p.OutboundMode));
  }
  // Internet-mail profiles need real ports and a time-out; a messaging profile does not use
  // them, and the profile editor stores 0 there.
  const bool internet = p.HostType == 2;
  const int minimum = internet ? 1 : 0;
  const struct {
    const char* name;
    int value;
    int max;
  } ranges[] = {{"Pop3TcpPort", p.Pop3TcpPort, 65535},
                {"SmtpTcpPort", p.SmtpTcpPort, 65535},
                {"TimeOutSecs", p.TimeOutSecs, 300}};
  for (const auto& r : ranges) {
    if (r.value < minimum || r.value > r.max) {
      return fail(QStringLiteral("field \"%1\" must be from %2 to %3%4, not %5")
                      .arg(QLatin1String(r.name))
                      .arg(minimum)
                      .arg(r.max)
                      .arg(internet ? QStringLiteral(" for an internet-mail profile") : QString())
                      .arg(r.value));
    }
  }
  return true;
}

bool ReadProfilesInto(QList<ProfileRecord>& out, QString& error) {
  out.clear();
  const QString path = ProfilesFilePath();
  if (!QFileInfo::exists(path)) return true;
  ProfileRecord header;
  if (!ReadProfileRecord(1, header)) {
    error = ReadError(path);
    return false;
  }
  for (qint32 slot = 2; slot <= header.RecordNumber; ++slot) {
    ProfileRecord p;
    if (!ReadProfileRecord(slot, p)) {
      out.clear();
      error = ReadError(path);
      return false;
    }
    p.RecordNumber = slot;
    out.append(p);
  }
  return true;
}

// A new empty file beside `finalPath`, mode 0600; empty text on failure.
QString MakeTemporaryBeside(const QString& finalPath) {
  const QFileInfo info(finalPath);
  QByteArray templ = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                                       QStringLiteral(".XXXXXX"));
  const int fd = ::mkstemp(templ.data());
  if (fd < 0) return {};
  ::close(fd);
  return QFile::decodeName(templ);
}

bool RenameInto(const QString& from, const QString& to) {
  return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

}  // namespace

bool ReadProfiles(QList<ProfileRecord>& out, QString& error) { return ReadProfilesInto(out, error); }

bool ReadConfiguration(Configuration& out, QString& error) {
  out = Configuration{};
  const QString globalPath = GlobalFilePath();
  if (QFileInfo::exists(globalPath) && !ReadGlobalRecord(out.global)) {
    error = ReadError(globalPath);
    return false;
  }
  return ReadProfilesInto(out.profiles, error);
}

QByteArray ToJson(const Configuration& conf) {
  auto toJson = [](QJsonObject& obj) {
    return [&obj](const char* name, FieldKind kind, const auto& field) {
      using T = std::remove_cvref_t<decltype(field)>;
      const QString key = QString::fromLatin1(name);
      if (key == QLatin1String(kRecordNumber)) return;
      if constexpr (std::is_same_v<T, QString>) {
        obj.insert(key, kind == FieldKind::ByteString ? Unscramble(field) : field);
      } else if constexpr (std::is_same_v<T, bool>) {
        obj.insert(key, field);
      } else {
        obj.insert(key, static_cast<int>(field));
      }
    };
  };

  QJsonObject global;
  conf::ForEachGlobalField(conf.global, toJson(global));
  QJsonArray profiles;
  for (const ProfileRecord& p : conf.profiles) {
    QJsonObject obj;
    conf::ForEachProfileField(p, toJson(obj));
    if (!p.Extension.isEmpty()) {
      obj.insert(QLatin1String(kExtension), QString::fromLatin1(p.Extension.toBase64()));
    }
    profiles.append(obj);
  }
  QJsonObject root;
  root.insert(QStringLiteral("global"), global);
  root.insert(QStringLiteral("profiles"), profiles);
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool FromJson(const QByteArray& json, Configuration& out, QString& error) {
  out = Configuration{};
  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
  if (parseError.error != QJsonParseError::NoError) {
    error = QStringLiteral("not valid JSON at offset %1: %2").arg(parseError.offset).arg(parseError.errorString());
    return false;
  }
  if (!doc.isObject()) {
    error = QStringLiteral("the document must be a JSON object with \"global\" and \"profiles\"");
    return false;
  }
  const QJsonObject root = doc.object();
  for (auto it = root.begin(); it != root.end(); ++it) {
    if (it.key() != QLatin1String("global") && it.key() != QLatin1String("profiles")) {
      error = QStringLiteral("unknown field \"%1\" at the top level").arg(it.key());
      return false;
    }
  }
  if (!root.value(QLatin1String("global")).isObject()) {
    error = QStringLiteral("\"global\" must be an object, not %1").arg(TypeName(root.value(QLatin1String("global"))));
    return false;
  }
  if (!root.value(QLatin1String("profiles")).isArray()) {
    error = QStringLiteral("\"profiles\" must be an array, not %1")
                .arg(TypeName(root.value(QLatin1String("profiles"))));
    return false;
  }

  Configuration conf;
  const QJsonObject global = root.value(QLatin1String("global")).toObject();
  if (!ObjectReader(global, QStringLiteral("global")).Read(conf.global, VisitGlobal, {}, error)) return false;
  if (!conf::PackGlobal(conf.global)) {
    error = QStringLiteral("global: field \"LogFileName\" is too long for the global record");
    return false;
  }

  const QJsonArray profiles = root.value(QLatin1String("profiles")).toArray();
  QSet<QString> names;
  for (qsizetype i = 0; i < profiles.size(); ++i) {
    QString where = QStringLiteral("profiles[%1]").arg(i);
    if (!profiles.at(i).isObject()) {
      error = where + QStringLiteral(": must be an object, not %1").arg(TypeName(profiles.at(i)));
      return false;
    }
    const QJsonObject obj = profiles.at(i).toObject();
    const QJsonValue name = obj.value(QLatin1String("Prfname"));
    if (name.isString()) where += QStringLiteral(" \"%1\"").arg(name.toString());

    ProfileRecord p;
    ObjectReader reader(obj, where);
    if (!reader.Read(p, VisitProfile, {QString::fromLatin1(kExtension)}, error)) return false;
    const QJsonValue ext = obj.value(QLatin1String(kExtension));
    if (!ext.isUndefined()) {
      if (!ext.isString()) {
        error = reader.Where() + QStringLiteral("field \"Extension\" must be base64 text, not %1").arg(TypeName(ext));
        return false;
      }
      const auto decoded = QByteArray::fromBase64Encoding(ext.toString().toLatin1(),
                                                          QByteArray::AbortOnBase64DecodingErrors);
      if (!decoded) {
        error = reader.Where() + QStringLiteral("field \"Extension\" is not valid base64");
        return false;
      }
      p.Extension = *decoded;
    }
    if (!CheckProfile(p, reader.Where(), error)) return false;
    if (names.contains(p.Prfname)) {
      error = reader.Where() + QStringLiteral("a profile of this name comes earlier in the document");
      return false;
    }
    names.insert(p.Prfname);

    // The password is stored scrambled; an empty one stays empty, as the editor stores it.
    if (!p.WinMsgPws.isEmpty()) p.WinMsgPws = Scramble(p.WinMsgPws);
    p.RecordNumber = static_cast<qint32>(i + 2);
    if (!conf::PackProfile(p)) {
      error = reader.Where() +
              QStringLiteral("its texts take %1 bytes; a profile holds at most %2 (extension included)")
                  .arg(conf::ProfileStringBytes(p))
                  .arg(kProfileMaxStringBytes);
      return false;
    }
    conf.profiles.append(p);
  }
  out = conf;
  return true;
}

bool WriteConfiguration(const Configuration& conf, QString& error) {
  const QString globalPath = GlobalFilePath();
  const QString profilesPath = ProfilesFilePath();
  if (!vrl::EnsureApplicationFolder()) {
    error = WriteError(globalPath);
    return false;
  }
  // A rename can fail only for what stands in the way; look before replacing either file, so
  // that the two are replaced together or not at all.
  for (const QString& path : {globalPath, profilesPath}) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
      error = WriteError(path);
      return false;
    }
  }
  const QString globalTmp = MakeTemporaryBeside(globalPath);
  const QString profilesTmp = globalTmp.isEmpty() ? QString() : MakeTemporaryBeside(profilesPath);
  auto cleanUp = [&] {
    if (!globalTmp.isEmpty()) QFile::remove(globalTmp);
    if (!profilesTmp.isEmpty()) QFile::remove(profilesTmp);
  };
  if (globalTmp.isEmpty() || !conf::WriteGlobalRecordAt(globalTmp, conf.global)) {
    cleanUp();
    error = WriteError(globalPath);
    return false;
  }
  bool ok = !profilesTmp.isEmpty() && conf::CreateProfilesFileAt(profilesTmp);
  for (qsizetype i = 0; ok && i < conf.profiles.size(); ++i) {
    ProfileRecord p = conf.profiles[i];
    ok = conf::AddProfileRecordAt(profilesTmp, p);
  }
  if (!ok) {
    cleanUp();
    error = WriteError(profilesPath);
    return false;
  }
  if (!RenameInto(globalTmp, globalPath)) {
    cleanUp();
    error = WriteError(globalPath);
    return false;
  }
  if (!RenameInto(profilesTmp, profilesPath)) {
    QFile::remove(profilesTmp);
    error = WriteError(profilesPath);
    return false;
  }
  return true;
}

}  // namespace cfgtransfer
