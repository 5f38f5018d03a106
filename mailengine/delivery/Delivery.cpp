#include "delivery/Delivery.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <cstring>

#include "FileFunctions.h"
#include "FileIo.h"

namespace delivery {
namespace {

constexpr int kMaxUniqueTries = 32767;
const QString kTempPrefix = QStringLiteral(".vrltmp-");

QByteArray Native(const QString& path) { return QFile::encodeName(path); }

bool Stat(const QString& path, struct stat* st) { return ::lstat(Native(path).constData(), st) == 0; }

bool Exists(const QString& path) {
  struct stat st {};
  return Stat(path, &st);
}

// True when the file at path is the one with this inode.
bool Holds(const QString& path, quint64 inode) {
  struct stat st {};
  return inode != 0 && Stat(path, &st) && quint64(st.st_ino) == inode;
}

// The process that wrote a temporary of ours still runs (names without a process id are from
// before it was written into them: their writers are gone).
bool WriterRuns(const QString& name) {
  const QString rest = name.mid(kTempPrefix.size());
  const qsizetype dash = rest.indexOf(QLatin1Char('-'));
  if (dash <= 0) return false;
  bool ok = false;
  const qint64 pid = rest.left(dash).toLongLong(&ok);
  if (!ok || pid <= 0 || pid > INT32_MAX || pid == ::getpid()) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

QString ErrnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

QString OneFileName(QString name) {
  for (QChar& c : name)
    if (c == QLatin1Char('/') || c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char('_');
  if (name.startsWith(QLatin1Char('.'))) name[0] = QLatin1Char('_');
  return name;
}

QString MakeUniqueFileName(const QString& path, const QSet<QString>& alsoTaken) {
  const FileFunctions ff;
  const QString dir = ff.GetPathOfFile(path);
  const QString name = ff.GetFileNameFromPath(path);
  QString candidate = path;
  for (int n = 1; n <= kMaxUniqueTries && (alsoTaken.contains(candidate) || Exists(candidate)); ++n)
    candidate = dir + QString::number(n) + QLatin1Char('-') + name;
  return candidate;
}

QString RenameToFreeName(const QString& from, const QString& wanted) {
  // Another writer may take a name between the check and the rename: try the next one then.
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
    const QString target = MakeUniqueFileName(wanted);
    if (vrl::RenameNoReplace(from, target)) return target;
    err = errno;
  }
  errno = err;
  return {};
}

QString TemporaryNameIn(const QString& dir) {
  const quint64 r = QRandomGenerator::system()->generate64();
  return dir + QLatin1Char('/') + kTempPrefix + QString::number(::getpid()) + QLatin1Char('-') +
         QString::number(r, 36);
}

void RemoveLeftoverTemporaries(const QString& dir, const QSet<QString>& keep) {
  const QStringList names =
      QDir(dir).entryList({kTempPrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
  for (const QString& n : names) {
    const QString path = dir + QLatin1Char('/') + n;
    if (!keep.contains(path) && !WriterRuns(n)) QFile::remove(path);
  }
}

MessageFiles::MessageFiles(QString dir) : dir_(std::move(dir)) {}

MessageFiles::~MessageFiles() { Discard(); }

QString MessageFiles::FreeTarget(const QString& name) const {
  return MakeUniqueFileName(dir_ + QLatin1Char('/') + OneFileName(name), targets_);
}

bool MessageFiles::Add(const QString& temp, const QString& target) {
  struct stat st {};
  if (!Stat(temp, &st)) return false;
  files_.append({temp, target, quint64(st.st_ino)});
  targets_.insert(target);
  return true;
}

QString MessageFiles::AddBytes(const QString& name, std::initializer_list<QByteArrayView> pieces,
                               QString* error) {
  const QString target = FreeTarget(name);
  const QString temp = NewTemporary();
  if (vrl::WriteNewFile(temp, pieces, false, kDeliveredMode) && Add(temp, target)) return target;
  if (error) *error = target + QStringLiteral(" - ") + ErrnoText(errno);
  QFile::remove(temp);
  return {};
}

bool MessageFiles::Place(QString* error) {
  placed_.clear();
  for (const StagedFile& f : std::as_const(files_)) {
    const QString to = RenameToFreeName(f.temp, f.target);
    if (to.isEmpty()) {
      if (error) *error = f.target + QStringLiteral(" - ") + ErrnoText(errno);
      // All or none: a reader must never take half a message for the whole.
      for (const QString& p : std::as_const(placed_)) QFile::remove(p);
      placed_.clear();
      Discard();
      return false;
    }
    placed_.append(to);
  }
  files_.clear();
  targets_.clear();
  return true;
}

void MessageFiles::Discard() {
  for (const StagedFile& f : std::as_const(files_)) QFile::remove(f.temp);
  files_.clear();
  targets_.clear();
}

Finish FinishPlacing(const QList<StagedFile>& files, QString* error) {
  bool gone = false;
  for (const StagedFile& f : files) {
    struct stat temp {};
    if (!Stat(f.temp, &temp)) {
      gone = gone || !Holds(f.target, f.inode);
      continue;
    }
    // Placed through a hard link whose temporary name outlived the run.
    if (Holds(f.target, quint64(temp.st_ino))) {
      QFile::remove(f.temp);
      continue;
    }
    if (gone) continue;  // nothing more is placed for a message that must come again
    if (RenameToFreeName(f.temp, f.target).isEmpty()) {
      if (error) *error = f.target + QStringLiteral(" - ") + ErrnoText(errno);
      return Finish::Failed;
    }
  }
  if (!gone) return Finish::Placed;
  for (const StagedFile& f : files) {
    if (Holds(f.target, f.inode)) QFile::remove(f.target);
    QFile::remove(f.temp);
  }
  return Finish::Gone;
}

}  // namespace delivery
