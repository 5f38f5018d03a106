#include "CfgTransfer.h"

#include "AppFolder.h"
#include "FileIo.h"
#include "MdlGlbalConf.h"
#include "Mdl_FicheiroConf.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>

// The two files of the application folder, read and written as one configuration.
namespace cfgtransfer {
namespace {

QString Quoted(const QString& path) { return QStringLiteral("\"") + path + QStringLiteral("\""); }

// The message names the file and, when it can be told, what is wrong with it.
QString ReadError(const QString& path, conf::RecordKind kind) {
  const QString why = conf::RecordFileProblem(path, kind);
  return QStringLiteral("Error reading configuration file: ") + Quoted(path) +
         (why.isEmpty() ? QString() : QStringLiteral(": ") + why);
}

bool ReadProfilesInto(QList<ProfileRecord>& out, QString& error) {
  if (ReadAllProfileRecords(out)) return true;
  error = ReadError(ProfilesFilePath(), conf::RecordKind::Profiles);
  return false;
}

}  // namespace

bool ReadProfiles(QList<ProfileRecord>& out, QString& error) { return ReadProfilesInto(out, error); }

bool ReadConfiguration(Configuration& out, QString& error) {
  out = Configuration{};
  const QString globalPath = GlobalFilePath();
  if (QFileInfo::exists(globalPath) && !ReadGlobalRecord(out.global)) {
    error = ReadError(globalPath, conf::RecordKind::Global);
    return false;
  }
  return ReadProfilesInto(out.profiles, error);
}

bool WriteConfiguration(const Configuration& conf, QString& error) {
  const QString globalPath = GlobalFilePath();
  const QString profilesPath = ProfilesFilePath();
  errno = 0;
  if (QString failed; !vrl::EnsureApplicationFolder(&failed)) {
    error = WriteErrorText(failed, errno);
    return false;
  }
  // A rename can fail only for what stands in the way; look before replacing either file, so
  // that the two are replaced together or not at all.
  for (const QString& path : {globalPath, profilesPath}) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
      error = WriteErrorText(path, EISDIR);
      return false;
    }
  }
  int err = 0;
  errno = 0;
  const QString globalTmp = vrl::CreateTemporaryBeside(globalPath);
  const QString profilesTmp = globalTmp.isEmpty() ? QString() : vrl::CreateTemporaryBeside(profilesPath);
  // The reason is taken before the clean-up can change errno.
  auto cleanUp = [&] {
    err = errno;
    if (!globalTmp.isEmpty()) QFile::remove(globalTmp);
    if (!profilesTmp.isEmpty()) QFile::remove(profilesTmp);
  };
  if (globalTmp.isEmpty() || !conf::WriteGlobalRecordAt(globalTmp, conf.global)) {
    cleanUp();
    error = WriteErrorText(globalPath, err);
    return false;
  }
  bool ok = !profilesTmp.isEmpty() && conf::CreateProfilesFileAt(profilesTmp);
  for (qsizetype i = 0; ok && i < conf.profiles.size(); ++i) {
    ProfileRecord p = conf.profiles[i];
    ok = conf::AddProfileRecordAt(profilesTmp, p);
  }
  if (!ok) {
    cleanUp();
    error = WriteErrorText(profilesPath, err);
    return false;
  }
  // Both live in the application folder: the second rename's flush puts both names on disk.
  if (!vrl::RenameOver(globalTmp, globalPath, false)) {
    cleanUp();
    error = WriteErrorText(globalPath, err);
    return false;
  }
  if (!vrl::RenameOver(profilesTmp, profilesPath)) {
    err = errno;
    QFile::remove(profilesTmp);
    error = WriteErrorText(profilesPath, err);
    return false;
  }
  return true;
}

}  // namespace cfgtransfer
