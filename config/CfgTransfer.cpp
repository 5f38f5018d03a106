#include "CfgTransfer.h"

#include "MdlGlbalConf.h"
#include "Metrics.h"
#include "Mdl_Crypto.h"
#include "Mdl_FicheiroConf.h"
#include "ProfileCheck.h"
#include "ProfileInbound.h"
#include "ProfileOAuth.h"
#include "ProfileSecurity.h"
#include "ProfileUnattended.h"
#include "smtp/SMTP_OutMail.h"
#include "socket/SecuritySettings.h"
#include "socket/TlsTransport.h"
#include "oauth/TokenEndpoint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace cfgtransfer {
namespace {

using conf::FieldKind;

constexpr const char* kRecordNumber = "RecordNumber";
constexpr const char* kExtension = "Extension";
// The security entry of the extension block, as fields of their own.
constexpr const char* kSecurityFields[] = {"SmtpSecurity", "Pop3Security", "VerifyCertificate", "CaFile",
                                           "CertFingerprint", "AuthMethod", "PasswordCommand"};
// The OAuth entry likewise, in the order of the entry.
constexpr const char* kOAuthFields[] = {"OAuthProvider", "OAuthClientId", "OAuthClientSecret", "OAuthTenant",
                                        "OAuthScopes",   "OAuthDeviceUrl", "OAuthAuthorizeUrl", "OAuthTokenUrl"};
// The unattended entry likewise.
constexpr const char* kUnattendedFields[] = {"RetryTransient", "RetryHours", "KeepOnServer", "KeepDays"};
// The inbound entry likewise.
constexpr const char* kInboundFields[] = {"InboundProtocol", "ImapFolder", "ImapAfter", "ImapMoveTo", "ImapIdle"};
constexpr const char* kAttachmentFolders = "AttachmentFolders";
constexpr const char* kLogMaxMB = "LogMaxMB";
constexpr qint64 kNewLogMaxMB = 50;
constexpr qint64 kLogMaxMBLimit = 1048576;
constexpr const char* kMaxMessageMB = "MaxMessageMB";
constexpr const char* kMaxAttachments = "MaxAttachments";
constexpr qint64 kMaxAttachmentsLimit = 1000000;
constexpr const char* kMetricsFile = "MetricsFile";
constexpr const char* kClusterDatabase = "ClusterDatabase";
constexpr const char* kLeaseSeconds = "LeaseSeconds";

QString Quoted(const QString& path) { return QStringLiteral("\"") + path + QStringLiteral("\""); }

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

// The problems of a document, in the order found; the first kMaxProblems are kept.
class Problems {
 public:
  void Add(const QString& text) {
    if (list_.size() < kMaxProblems) list_ << text;
    else ++more_;
  }
  QStringList List() const {
    QStringList out = list_;
    if (more_ > 0) out << QStringLiteral("... and %1 more").arg(more_);
    return out;
  }

 private:
  QStringList list_;
  int more_ = 0;
};

// A whole number within [lo, hi]; the JSON number must be integral.
bool WholeNumber(const QJsonValue& v, qint64 lo, qint64 hi, qint64& out) {
  if (!v.isDouble()) return false;
  const double d = v.toDouble();
  if (!std::isfinite(d) || d != std::trunc(d) || d < double(lo) || d > double(hi)) return false;
  out = static_cast<qint64>(d);
  return true;
}

// Edit distance, for naming the known field a misspelt one was meant to be.
int Distance(const QString& a, const QString& b) {
  QList<int> row(b.size() + 1);
  for (int j = 0; j <= b.size(); ++j) row[j] = j;
  for (int i = 1; i <= a.size(); ++i) {
    int diag = row[0];
    row[0] = i;
    for (int j = 1; j <= b.size(); ++j) {
      const int up = row[j];
      const bool same = a[i - 1].toLower() == b[j - 1].toLower();
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// Checks one JSON object against the fields of a record and fills the record, reporting every
// problem. `where` names the object in messages ("global", "profile \"Orders\" (slot 2)").
class ObjectReader {
 public:
  ObjectReader(const QJsonObject& obj, QString where, Problems& problems)
      : obj_(obj), where_(std::move(where)), problems_(problems) {}

  template <class Rec, class Visit>
  bool Read(Rec& rec, Visit visit, const QSet<QString>& optional) {
    QStringList known(optional.begin(), optional.end());
    QStringList fields;
    visit(rec, [&](const char* name, FieldKind, auto&) {
      const QString key = QString::fromLatin1(name);
      if (key != QLatin1String(kRecordNumber)) fields << key;
    });
    known += fields;
    // An unknown field close to a missing one is that field misspelt: said once, as such.
    QSet<QString> meant;
    for (auto it = obj_.begin(); it != obj_.end(); ++it) {
      if (known.contains(it.key())) continue;
      QString best;
      for (const QString& f : fields) {
        if (obj_.contains(f) || meant.contains(f)) continue;
        if (Distance(it.key(), f) <= std::max<int>(2, int(f.size()) / 4) &&
            (best.isEmpty() || Distance(it.key(), f) < Distance(it.key(), best)))
          best = f;
      }
      if (best.isEmpty()) {
        Fail(QStringLiteral("unknown field \"%1\"").arg(it.key()));
      } else {
        meant.insert(best);
        Fail(QStringLiteral("unknown field \"%1\"; did you mean \"%2\"?").arg(it.key(), best));
      }
    }
    visit(rec, [&](const char* name, FieldKind kind, auto& field) {
      const QString key = QString::fromLatin1(name);
      if (key == QLatin1String(kRecordNumber) || meant.contains(key)) return;
      ReadField(key, kind, field);
    });
    return ok_;
  }

  QString Where() const { return where_ + QStringLiteral(": "); }
  void Fail(const QString& text) {
    problems_.Add(Where() + text);
    ok_ = false;
  }

 private:
  template <class T>
  void ReadField(const QString& key, [[maybe_unused]] FieldKind kind, T& field) {
    const QJsonValue v = obj_.value(key);
    if (v.isUndefined()) return Fail(QStringLiteral("missing field \"%1\"").arg(key));
    auto wrong = [&](const QString& expected) {
      Fail(QStringLiteral("field \"%1\" must be %2, not %3").arg(key, expected, Shown(v)));
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
      if (!WholeNumber(v, 0, 65535, n)) return wrong(QStringLiteral("a port number"));
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
  }

  const QJsonObject& obj_;
  QString where_;
  Problems& problems_;
  bool ok_ = true;
};

auto VisitProfile = [](auto& rec, auto&& f) { conf::ForEachProfileField(rec, f); };
auto VisitGlobal = [](auto& rec, auto&& f) { conf::ForEachGlobalField(rec, f); };

// A folder or file path as the agent will use it: absolute; "~" and "~/..." are expanded now,
// since the agent runs elsewhere. Empty stays empty. False for a relative path.
bool ResolvePath(QString& path, const QString& what, QStringList& notes) {
  if (path.isEmpty() || path.startsWith(u'/')) return true;
  const QString typed = path;
  if (!conf::ExpandHome(path)) return false;
  notes << what + QStringLiteral(": \"%1\" stored as \"%2\"").arg(typed, path);
  return true;
}

// True when the folder exists or could be made: its nearest existing ancestor is a folder this
// user may write in.
bool FolderUsable(const QString& folder) {
  QFileInfo info(folder);
  if (info.exists()) return info.isDir();
  QString up = folder;
  while (!QFileInfo::exists(up)) {
    const QString parent = QFileInfo(up).path();
    if (parent == up) return false;
    up = parent;
  }
  return QFileInfo(up).isDir() && ::access(QFile::encodeName(up).constData(), W_OK | X_OK) == 0;
}

// Checks what the types alone cannot, by the rules the editor applies: refusals fail the
// document, questions are taken as answered Yes (what that changes is done) and become warnings.
void CheckProfile(ProfileRecord& p, ObjectReader& reader, QStringList& notes, QStringList& warnings) {
  for (auto [name, dir] : {std::pair{"InboundDir", &p.InboundDir}, std::pair{"OutboundDir", &p.OutboundDir}}) {
    ResolvePath(*dir, reader.Where() + QLatin1String(name), notes);  // a relative one is refused below
  }
  conf::ProfileCheckOptions options;
  options.folderExists = [](const QString& dir) { return QFileInfo(dir).isDir(); };
  for (const conf::ProfileProblem& problem : conf::CheckProfileAnsweringYes(p, options)) {
    if (problem.severity == conf::Severity::Refuse)
      reader.Fail(problem.detail);
    else
      warnings << reader.Where() + problem.detail;
  }
}

void CheckGlobal(GlobalRecord& g, ObjectReader& reader, QStringList& notes) {
  if (g.PrcInterval < 0)
    reader.Fail(QStringLiteral("field \"PrcInterval\" must be 0 (one cycle) or more, not %1").arg(g.PrcInterval));
  if (g.PrcIntervalUnit < 0 || g.PrcIntervalUnit > 2)
    reader.Fail(QStringLiteral("field \"PrcIntervalUnit\" must be 0 (seconds), 1 (minutes) or 2 "
                               "(hours), not %1")
                    .arg(g.PrcIntervalUnit));
  if (!ResolvePath(g.LogFileName, reader.Where() + QStringLiteral("LogFileName"), notes)) {
    reader.Fail(QStringLiteral("field \"LogFileName\" must be an absolute path (starting with / or "
                               "~/), not \"%1\"")
                    .arg(g.LogFileName));
  } else if (g.UseLogFile) {
    if (g.LogFileName.isEmpty())
      reader.Fail(QStringLiteral("field \"LogFileName\" must name a file when UseLogFile is on"));
    else if (!FolderUsable(QFileInfo(g.LogFileName).path()))
      reader.Fail(QStringLiteral("field \"LogFileName\": the folder %1 does not exist and cannot "
                                 "be created")
                      .arg(Quoted(QFileInfo(g.LogFileName).path())));
  }
}

// The file for monitoring figures: optional (none when absent), absolute, one line, bounded; a
// folder that does not exist (yet) is only said, since the agent may run where it does.
void ReadMetricsFile(const QJsonObject& obj, GlobalRecord& g, ObjectReader& reader, QStringList& notes,
                     QStringList& warnings) {
  const QJsonValue v = obj.value(QLatin1String(kMetricsFile));
  if (v.isUndefined()) return;
  if (!v.isString())
    return reader.Fail(QStringLiteral("field \"MetricsFile\" must be a string, not %1").arg(Shown(v)));
  QString path = v.toString();
  ResolvePath(path, reader.Where() + QLatin1String(kMetricsFile), notes);  // a relative one is refused below
  if (const QString problem = metrics::PathProblem(path); !problem.isEmpty())
    return reader.Fail(QStringLiteral("field \"MetricsFile\" ") + problem);
  g.MetricsFile = path;
  if (!path.isEmpty() && !QFileInfo(QFileInfo(path).path()).isDir())
    warnings << reader.Where() +
                    QStringLiteral("field \"MetricsFile\": the folder %1 does not exist").arg(Quoted(QFileInfo(path).path()));
}

// The database a fleet of agents shares: optional (none when absent), one line, bounded. Its form
// is for libpq to judge where the agent connects.
void ReadClusterDatabase(const QJsonObject& obj, GlobalRecord& g, ObjectReader& reader) {
  const QJsonValue v = obj.value(QLatin1String(kClusterDatabase));
  if (v.isUndefined()) return;
  if (!v.isString())
    return reader.Fail(QStringLiteral("field \"ClusterDatabase\" must be a string, not %1").arg(Shown(v)));
  if (const QString problem = conf::ClusterDatabaseProblem(v.toString()); !problem.isEmpty())
    return reader.Fail(QStringLiteral("field \"ClusterDatabase\" ") + problem);
  g.ClusterDatabase = v.toString();
}

// The security fields of a profile; absent ones take the automatic settings of a new profile.
void ReadSecurity(const QJsonObject& obj, ProfileRecord& p, ObjectReader& reader) {
  ProfileSecurity sec = ProfileSecurity::Automatic();
  auto text = [&](const char* key, QString* out) {
    const QJsonValue v = obj.value(QLatin1String(key));
    if (v.isUndefined()) return false;
    if (!v.isString()) {
      reader.Fail(QStringLiteral("field \"%1\" must be a string, not %2").arg(QLatin1String(key), Shown(v)));
      return false;
    }
    *out = v.toString();
    return true;
  };
  for (auto [key, field] : {std::pair{"SmtpSecurity", &sec.SmtpSecurity}, std::pair{"Pop3Security", &sec.Pop3Security}}) {
    QString name;
    vrlsec::Security s;
    if (!text(key, &name)) continue;
    if (vrlsec::ParseSecurity(name, &s))
      *field = static_cast<qint16>(s);
    else
      reader.Fail(QStringLiteral("field \"%1\" must be \"auto\", \"none\", \"starttls\" or \"tls\", not \"%2\"")
                      .arg(QLatin1String(key), name));
  }
  QString auth;
  if (text("AuthMethod", &auth)) {
    vrlsec::AuthMethod a;
    if (vrlsec::ParseAuth(auth, &a))
      sec.AuthMethod = static_cast<qint16>(a);
    else
      reader.Fail(QStringLiteral("field \"AuthMethod\" must be \"auto\", \"login\", \"plain\", \"xoauth2\" or "
                                 "\"oauth2\", not \"%1\"")
                      .arg(auth));
  }
  const QJsonValue verify = obj.value(QLatin1String("VerifyCertificate"));
  if (!verify.isUndefined()) {
    if (verify.isBool())
      sec.VerifyCertificate = verify.toBool();
    else
      reader.Fail(QStringLiteral("field \"VerifyCertificate\" must be true or false, not %1").arg(Shown(verify)));
  }
  if (text("CaFile", &sec.CaFile) && !sec.CaFile.isEmpty() && !QFileInfo(sec.CaFile).isFile())
    reader.Fail(QStringLiteral("field \"CaFile\": there is no file %1").arg(sec.CaFile));
  QByteArray pin;
  if (text("CertFingerprint", &sec.CertFingerprint) && !vrlsock::TlsSettings::ParseFingerprint(sec.CertFingerprint, &pin))
    reader.Fail(QStringLiteral("field \"CertFingerprint\" must be \"SHA256:\" followed by 64 hex digits, not \"%1\"")
                    .arg(sec.CertFingerprint));
  text("PasswordCommand", &sec.PasswordCommand);
  conf::WriteProfileSecurity(p, sec);
}

QString* OAuthField(ProfileOAuth& o, size_t i) {
  QString* fields[] = {&o.Provider, &o.ClientId, &o.ClientSecret, &o.Tenant,
                       &o.Scopes,   &o.DeviceUrl, &o.AuthorizeUrl, &o.TokenUrl};
  return fields[i];
}

// The OAuth fields of a profile. With AuthMethod "oauth2" a provider and a client id are needed,
// and the endpoints the provider does not give; every endpoint is HTTPS (HTTP only to loopback).
void ReadOAuth(const QJsonObject& obj, ProfileRecord& p, ObjectReader& reader) {
  ProfileOAuth o;
  for (size_t i = 0; i < std::size(kOAuthFields); ++i) {
    const QLatin1String key(kOAuthFields[i]);
    const QJsonValue v = obj.value(key);
    if (v.isUndefined()) continue;
    const QString text = v.toString();
    if (!v.isString())
      reader.Fail(QStringLiteral("field \"%1\" must be a string, not %2").arg(key, Shown(v)));
    else if (text.toUtf8().size() > conf::kMaxOAuthFieldBytes ||
             std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; }))
      reader.Fail(QStringLiteral("field \"%1\" must be one line of at most %2 bytes").arg(key).arg(conf::kMaxOAuthFieldBytes));
    else
      *OAuthField(o, i) = text;
  }
  if (!o.Provider.isEmpty() && !conf::OAuthProviders().contains(o.Provider))
    reader.Fail(QStringLiteral("field \"OAuthProvider\" must be \"microsoft\", \"google\" or \"custom\", not \"%1\"")
                    .arg(o.Provider));
  const ProfileOAuth r = o.Resolved();
  for (const auto& [key, url] : {std::pair{"OAuthDeviceUrl", r.DeviceUrl}, std::pair{"OAuthAuthorizeUrl", r.AuthorizeUrl},
                                 std::pair{"OAuthTokenUrl", r.TokenUrl}})
    if (!url.isEmpty() && !oauth::AllowedEndpoint(QUrl(url, QUrl::StrictMode)))
      reader.Fail(QStringLiteral("field \"%1\" must be an https address (http only to this computer), not \"%2\"")
                      .arg(QLatin1String(key), url));
  if (conf::ReadProfileSecurity(p).UsesOAuth()) {
    if (o.Provider.isEmpty())
      reader.Fail(QStringLiteral("field \"OAuthProvider\" is needed with AuthMethod \"oauth2\""));
    if (o.ClientId.trimmed().isEmpty())
      reader.Fail(QStringLiteral("field \"OAuthClientId\" is needed with AuthMethod \"oauth2\""));
    if (r.TokenUrl.isEmpty())
      reader.Fail(QStringLiteral("field \"OAuthTokenUrl\" is needed with OAuthProvider \"%1\"").arg(o.Provider));
    if (r.DeviceUrl.isEmpty() && r.AuthorizeUrl.isEmpty())
      reader.Fail(QStringLiteral("field \"OAuthDeviceUrl\" or \"OAuthAuthorizeUrl\" is needed with OAuthProvider \"%1\"")
                      .arg(o.Provider));
  }
  conf::WriteProfileOAuth(p, o);
}

// The unattended fields of a profile; absent ones take the settings of a new profile.
void ReadUnattended(const QJsonObject& obj, ProfileRecord& p, ObjectReader& reader) {
  ProfileUnattended u = ProfileUnattended::NewProfile();
  for (auto [key, field] : {std::pair{"RetryTransient", &u.RetryTransient}, std::pair{"KeepOnServer", &u.KeepOnServer}}) {
    const QJsonValue v = obj.value(QLatin1String(key));
    if (v.isBool())
      *field = v.toBool();
    else if (!v.isUndefined())
      reader.Fail(QStringLiteral("field \"%1\" must be true or false, not %2").arg(QLatin1String(key), Shown(v)));
  }
  const struct {
    const char* key;
    qint16* field;
    qint64 min;
    const char* meaning;
  } numbers[] = {{"RetryHours", &u.RetryHours, 1, "hours"}, {"KeepDays", &u.KeepDays, 0, "days, 0 for ever"}};
  for (const auto& n : numbers) {
    const QJsonValue v = obj.value(QLatin1String(n.key));
    qint64 value = 0;
    if (v.isUndefined()) continue;
    if (WholeNumber(v, n.min, 32767, value))
      *n.field = static_cast<qint16>(value);
    else
      reader.Fail(QStringLiteral("field \"%1\" must be a whole number from %2 to 32767 (%3), not %4")
                      .arg(QLatin1String(n.key))
                      .arg(n.min)
                      .arg(QLatin1String(n.meaning), Shown(v)));
  }
  conf::WriteProfileUnattended(p, u);

  // Absolute folder names, one name each; absent or empty: anywhere, as it always was.
  const QJsonValue folders = obj.value(QLatin1String(kAttachmentFolders));
  if (folders.isUndefined()) return;
  QStringList list;
  bool strings = folders.isArray();
  for (const QJsonValue f : folders.toArray()) {
    strings = strings && f.isString();
    list << f.toString();
  }
  const conf::FolderListFault fault = strings ? conf::CheckAttachmentFolders(list) : conf::FolderListFault::BadName;
  if (fault == conf::FolderListFault::BadName)
    reader.Fail(QStringLiteral("field \"%1\" must be a list of absolute folder names, not %2")
                    .arg(QLatin1String(kAttachmentFolders), Shown(folders)));
  else if (fault == conf::FolderListFault::TooLong)
    reader.Fail(QStringLiteral("field \"%1\" is too long (at most %2 bytes in all)")
                    .arg(QLatin1String(kAttachmentFolders))
                    .arg(conf::kMaxAttachmentFoldersBytes));
  else
    conf::WriteAttachmentFolders(p, list);
}

// How the profile fetches its mail; absent fields take the defaults (POP3).
void ReadInbound(const QJsonObject& obj, ProfileRecord& p, ObjectReader& reader) {
  ProfileInbound in;
  const struct {
    const char* key;
    QString* field;
    QStringList values;
  } texts[] = {{"InboundProtocol", &in.Protocol, {QStringLiteral("pop3"), QStringLiteral("imap")}},
               {"ImapFolder", &in.ImapFolder, {}},
               {"ImapAfter", &in.ImapAfter, {QStringLiteral("delete"), QStringLiteral("move"), QStringLiteral("keep")}},
               {"ImapMoveTo", &in.ImapMoveTo, {}}};
  bool ok = true;
  for (const auto& t : texts) {
    const QLatin1String key(t.key);
    const QJsonValue v = obj.value(key);
    if (v.isUndefined()) continue;
    if (!v.isString()) {
      reader.Fail(QStringLiteral("field \"%1\" must be a string, not %2").arg(key, Shown(v)));
    } else if (!t.values.isEmpty() && !t.values.contains(v.toString())) {
      QStringList quoted;
      for (const QString& value : t.values) quoted << Quoted(value);
      const QString last = quoted.takeLast();
      reader.Fail(QStringLiteral("field \"%1\" must be %2 or %3, not \"%4\"")
                      .arg(key, quoted.join(QStringLiteral(", ")), last, v.toString()));
    } else {
      *t.field = v.toString();
      continue;
    }
    ok = false;
  }
  const QJsonValue idle = obj.value(QLatin1String("ImapIdle"));
  if (idle.isBool())
    in.ImapIdle = idle.toBool();
  else if (!idle.isUndefined())
    reader.Fail(QStringLiteral("field \"ImapIdle\" must be true or false, not %1").arg(Shown(idle)));
  if (!ok) return;
  // POP3 has no folder: an empty one is the default.
  if (!in.UsesImap() && in.ImapFolder.isEmpty()) in.ImapFolder = ProfileInbound().ImapFolder;
  const QString bytes = QString::number(conf::kMaxImapFolderBytes);
  switch (conf::CheckProfileInbound(in)) {
    case conf::InboundFault::None: return conf::WriteProfileInbound(p, in);
    case conf::InboundFault::BadFolder:
      return reader.Fail(QStringLiteral("field \"ImapFolder\" must be one line of at most %1 bytes").arg(bytes));
    case conf::InboundFault::EmptyFolder:
      return reader.Fail(QStringLiteral("field \"ImapFolder\" must not be empty with InboundProtocol \"imap\""));
    case conf::InboundFault::BadMoveTo:
      return reader.Fail(QStringLiteral("field \"ImapMoveTo\" must be one line of at most %1 bytes").arg(bytes));
    case conf::InboundFault::NoMoveTo:
      return reader.Fail(QStringLiteral("field \"ImapMoveTo\" is needed with ImapAfter \"move\""));
    case conf::InboundFault::MoveToSame:
      return reader.Fail(QStringLiteral("field \"ImapMoveTo\" must differ from \"ImapFolder\" (%1)")
                             .arg(Quoted(in.ImapFolder)));
  }
}

}  // namespace

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
  global.insert(QLatin1String(kLogMaxMB), conf.global.LogMaxMB);
  global.insert(QLatin1String(kMaxMessageMB), conf.global.MaxMessageMB);
  global.insert(QLatin1String(kMaxAttachments), conf.global.MaxAttachments);
  global.insert(QLatin1String(kMetricsFile), conf.global.MetricsFile);
  global.insert(QLatin1String(kClusterDatabase), conf.global.ClusterDatabase);
  global.insert(QLatin1String(kLeaseSeconds), conf.global.LeaseSeconds);
  QJsonArray profiles;
  for (const ProfileRecord& p : conf.profiles) {
    QJsonObject obj;
    conf::ForEachProfileField(p, toJson(obj));
    const ProfileSecurity sec = conf::ReadProfileSecurity(p);
    obj.insert(QStringLiteral("SmtpSecurity"), vrlsec::SecurityName(static_cast<vrlsec::Security>(sec.SmtpSecurity)));
    obj.insert(QStringLiteral("Pop3Security"), vrlsec::SecurityName(static_cast<vrlsec::Security>(sec.Pop3Security)));
    obj.insert(QStringLiteral("VerifyCertificate"), sec.VerifyCertificate);
    obj.insert(QStringLiteral("CaFile"), sec.CaFile);
    obj.insert(QStringLiteral("CertFingerprint"), sec.CertFingerprint);
    obj.insert(QStringLiteral("AuthMethod"), vrlsec::AuthName(static_cast<vrlsec::AuthMethod>(sec.AuthMethod)));
    // Only where there is something to say: most profiles sign in with a password.
    if (ProfileOAuth o = conf::ReadProfileOAuth(p); o != ProfileOAuth() || sec.UsesOAuth())
      for (size_t i = 0; i < std::size(kOAuthFields); ++i) obj.insert(QLatin1String(kOAuthFields[i]), *OAuthField(o, i));
    obj.insert(QStringLiteral("PasswordCommand"), sec.PasswordCommand);
    const ProfileUnattended u = conf::ReadProfileUnattended(p);
    obj.insert(QStringLiteral("RetryTransient"), u.RetryTransient);
    obj.insert(QStringLiteral("RetryHours"), int(u.RetryHours));
    obj.insert(QStringLiteral("KeepOnServer"), u.KeepOnServer);
    obj.insert(QStringLiteral("KeepDays"), int(u.KeepDays));
    if (const QStringList folders = conf::ReadAttachmentFolders(p); !folders.isEmpty())
      obj.insert(QLatin1String(kAttachmentFolders), QJsonArray::fromStringList(folders));
    // Only where there is something to say: most profiles fetch by POP3.
    if (const ProfileInbound in = conf::ReadProfileInbound(p); in != ProfileInbound()) {
      const QJsonValue values[] = {in.Protocol, in.ImapFolder, in.ImapAfter, in.ImapMoveTo, in.ImapIdle};
      for (size_t i = 0; i < std::size(kInboundFields); ++i) obj.insert(QLatin1String(kInboundFields[i]), values[i]);
    }
    // The rest of the block (entries of later versions) travels as it is.
    ProfileRecord rest = p;
    conf::WriteProfileSecurity(rest, ProfileSecurity());
    conf::WriteProfileUnattended(rest, ProfileUnattended());
    conf::WriteProfileOAuth(rest, ProfileOAuth());
    conf::WriteAttachmentFolders(rest, {});
    conf::WriteProfileInbound(rest, ProfileInbound());
    if (!rest.Extension.isEmpty()) {
      obj.insert(QLatin1String(kExtension), QString::fromLatin1(rest.Extension.toBase64()));
    }
    profiles.append(obj);
  }
  QJsonObject root;
  root.insert(QStringLiteral("global"), global);
  root.insert(QStringLiteral("profiles"), profiles);
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool FromJson(const QByteArray& json, Configuration& out, QStringList& problems,
              QStringList* notes, QStringList* warnings) {
  out = Configuration{};
  Problems found;
  QStringList said, warned;
  auto done = [&] {
    problems = found.List();
    if (notes) *notes = said;
    if (warnings) *warnings = warned;
    return problems.isEmpty();
  };
  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
  if (parseError.error != QJsonParseError::NoError) {
    const QByteArray before = json.left(parseError.offset);
    const qsizetype line = before.count('\n') + 1;
    const qsizetype column = parseError.offset - (before.lastIndexOf('\n') + 1) + 1;
    found.Add(QStringLiteral("not valid JSON at line %1, column %2: %3")
                  .arg(line)
                  .arg(column)
                  .arg(parseError.errorString()));
    return done();
  }
  if (!doc.isObject()) {
    found.Add(QStringLiteral("the document must be a JSON object with \"global\" and \"profiles\""));
    return done();
  }
  const QJsonObject root = doc.object();
  for (auto it = root.begin(); it != root.end(); ++it) {
    if (it.key() != QLatin1String("global") && it.key() != QLatin1String("profiles"))
      found.Add(QStringLiteral("unknown field \"%1\" at the top level").arg(it.key()));
  }
  Configuration conf;
  if (!root.value(QLatin1String("global")).isObject()) {
    found.Add(QStringLiteral("\"global\" must be an object, not %1").arg(TypeName(root.value(QLatin1String("global")))));
  } else {
    const QJsonObject global = root.value(QLatin1String("global")).toObject();
    ObjectReader reader(global, QStringLiteral("global"), found);
    if (reader.Read(conf.global, VisitGlobal,
                    {QString::fromLatin1(kLogMaxMB), QString::fromLatin1(kMaxMessageMB),
                     QString::fromLatin1(kMaxAttachments), QString::fromLatin1(kMetricsFile),
                     QString::fromLatin1(kClusterDatabase), QString::fromLatin1(kLeaseSeconds)}))
      CheckGlobal(conf.global, reader, said);
    ReadMetricsFile(global, conf.global, reader, said, warned);
    ReadClusterDatabase(global, conf.global, reader);
    // Optional limits: a document from before LogMaxMB gets the limit of a new installation,
    // one from before MaxMessageMB no limit, one from before MaxAttachments its default.
    const auto limit = [&](const char* name, qint64 fallback, qint64 most, qint32& field) {
      const QJsonValue v = global.value(QLatin1String(name));
      qint64 n = fallback;
      if (!v.isUndefined() && !WholeNumber(v, 0, most, n))
        reader.Fail(QStringLiteral("field \"%1\" must be a whole number from 0 (no limit) to %2, not %3")
                        .arg(QLatin1String(name))
                        .arg(most)
                        .arg(Shown(v)));
      field = static_cast<qint32>(n);
    };
    limit(kLogMaxMB, kNewLogMaxMB, kLogMaxMBLimit, conf.global.LogMaxMB);
    limit(kMaxMessageMB, 0, kLogMaxMBLimit, conf.global.MaxMessageMB);
    limit(kMaxAttachments, GlobalRecord::kDefaultMaxAttachments, kMaxAttachmentsLimit, conf.global.MaxAttachments);
    const QJsonValue lease = global.value(QLatin1String(kLeaseSeconds));
    qint64 seconds = GlobalRecord::kDefaultLeaseSeconds;
    if (!lease.isUndefined() &&
        !WholeNumber(lease, GlobalRecord::kMinLeaseSeconds, GlobalRecord::kMaxLeaseSeconds, seconds))
      reader.Fail(QStringLiteral("field \"LeaseSeconds\" must be a whole number from %1 to %2, not %3")
                      .arg(GlobalRecord::kMinLeaseSeconds)
                      .arg(GlobalRecord::kMaxLeaseSeconds)
                      .arg(Shown(lease)));
    conf.global.LeaseSeconds = static_cast<qint32>(seconds);
    // The flag says "a configuration has been saved": an import saves one.
    conf.global.ConfigFlag = 1;
    if (!conf::PackGlobal(conf.global))
      reader.Fail(QStringLiteral("fields \"LogFileName\", \"MetricsFile\" and \"ClusterDatabase\" are too long "
                                 "for the global record"));
  }
  if (!root.value(QLatin1String("profiles")).isArray()) {
    found.Add(QStringLiteral("\"profiles\" must be an array, not %1")
                  .arg(TypeName(root.value(QLatin1String("profiles")))));
    return done();
  }

  const QJsonArray profiles = root.value(QLatin1String("profiles")).toArray();
  QHash<QString, QString> names;  // name -> where it first stood
  for (qsizetype i = 0; i < profiles.size(); ++i) {
    // Profiles are named as VRLCfg31 --list shows them: by name and slot.
    const qsizetype slot = i + 2;
    const QJsonValue name = profiles.at(i).toObject().value(QLatin1String("Prfname"));
    const QString where = name.isString()
                              ? QStringLiteral("profile \"%1\" (slot %2)").arg(name.toString()).arg(slot)
                              : QStringLiteral("profile at slot %1").arg(slot);
    if (!profiles.at(i).isObject()) {
      found.Add(where + QStringLiteral(": must be an object, not %1").arg(TypeName(profiles.at(i))));
      continue;
    }
    const QJsonObject obj = profiles.at(i).toObject();
    ProfileRecord p;
    ObjectReader reader(obj, where, found);
    QSet<QString> optional{QString::fromLatin1(kExtension)};
    for (const char* f : kSecurityFields) optional.insert(QString::fromLatin1(f));
    for (const char* f : kUnattendedFields) optional.insert(QString::fromLatin1(f));
    for (const char* f : kOAuthFields) optional.insert(QString::fromLatin1(f));
    for (const char* f : kInboundFields) optional.insert(QString::fromLatin1(f));
    optional.insert(QLatin1String(kAttachmentFolders));
    if (!reader.Read(p, VisitProfile, optional)) continue;
    const QJsonValue ext = obj.value(QLatin1String(kExtension));
    if (!ext.isUndefined()) {
      const auto decoded = ext.isString()
                               ? QByteArray::fromBase64Encoding(ext.toString().toLatin1(),
                                                                QByteArray::AbortOnBase64DecodingErrors)
                               : QByteArray::FromBase64Result{};
      if (!ext.isString())
        reader.Fail(QStringLiteral("field \"Extension\" must be base64 text, not %1").arg(TypeName(ext)));
      else if (!decoded)
        reader.Fail(QStringLiteral("field \"Extension\" is not valid base64"));
      else
        p.Extension = *decoded;
    }
    ReadSecurity(obj, p, reader);
    ReadUnattended(obj, p, reader);
    ReadOAuth(obj, p, reader);
    ReadInbound(obj, p, reader);
    CheckProfile(p, reader, said, warned);
    // The editor lets an edited profile take another's name, so a copy of a name is said, not refused.
    if (names.contains(p.Prfname))
      warned << reader.Where() + QStringLiteral("the name is also that of %1").arg(names.value(p.Prfname));
    else
      names.insert(p.Prfname, where);

    // The password is stored scrambled; an empty one stays empty, as the editor stores it.
    if (!p.WinMsgPws.isEmpty()) p.WinMsgPws = Scramble(p.WinMsgPws);
    p.RecordNumber = static_cast<qint32>(slot);
    if (!conf::PackProfile(p)) {
      reader.Fail(QStringLiteral("its texts take %1 bytes; a profile holds at most %2 (extension included)")
                      .arg(conf::ProfileStringBytes(p))
                      .arg(kProfileMaxStringBytes));
    }
    conf.profiles.append(p);
  }
  if (!done()) return false;
  out = conf;
  return true;
}

bool FromJson(const QByteArray& json, Configuration& out, QString& error) {
  QStringList problems;
  const bool ok = FromJson(json, out, problems);
  error = problems.join(QStringLiteral("; "));
  return ok;
}

}  // namespace cfgtransfer
