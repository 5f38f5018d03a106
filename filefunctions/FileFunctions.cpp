#include "FileFunctions.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr QChar kSep = QLatin1Char('/');

bool IsHiddenName(const QString& name) { return name.startsWith(QLatin1Char('.')); }

// The name part of a path; the whole text when it holds no "/".
QString LastComponent(const QString& path) {
  const qsizetype last = path.lastIndexOf(kSep);
  return last >= 0 ? path.mid(last + 1) : path;
}

bool HasWildcards(const QString& name) {
  return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}

// stat() follows links: a link to a regular file counts as that file.
bool StatPath(const QString& path, struct stat& st) {
  const QByteArray native = QFile::encodeName(path);
  if (native.isEmpty() || native.contains('\0')) return false;
  return ::stat(native.constData(), &st) == 0;
}

}  // namespace

QString FileFunctions::TruncFileName(const QString& PathAndFileName, qint16 MaxLen) const {
  const QString& text = PathAndFileName;
  const qsizetype len = text.size();
  if (len <= MaxLen) return text;

  const QString name = GetFileNameFromPath(text);
  if (name.size() > MaxLen) return name;

  const qsizetype last = text.lastIndexOf(kSep);
  const QString tail = last >= 0 ? text.mid(last) : QString();

  // The first "/" behind position 1 whose left neighbour is neither "/" nor ":" ends the head;
  // that skips the root of a drive ("C:/") and the two leading separators of a network path.
  QString head;
  for (qsizetype i = 1; i < len; ++i) {
    if (text[i] != kSep) continue;
    const QChar before = text[i - 1];
    if (before != kSep && before != QLatin1Char(':')) {
      head = text.left(i + 1);
      break;
    }
  }

  if (!head.isEmpty() && !tail.isEmpty()) return head + QStringLiteral("...") + tail;
  return text;
}

QString FileFunctions::GetPathOfFile(const QString& PathAndFileName) const {
  const qsizetype last = PathAndFileName.lastIndexOf(kSep);
  return last >= 0 ? PathAndFileName.left(last + 1) : QString();
}

QString FileFunctions::GetFileNameFromPath(const QString& PathAndFileName) const {
  const qsizetype last = PathAndFileName.lastIndexOf(kSep);
  return last >= 0 ? PathAndFileName.mid(last + 1) : QString();
}

QString FileFunctions::GetFileNameExtention(const QString& FileName) const {
  // Scanning from the end, a "/" before any dot means the name part has no extension.
  for (qsizetype i = FileName.size() - 1; i >= 0; --i) {
    if (FileName[i] == kSep) return {};
    if (FileName[i] == QLatin1Char('.')) return FileName.mid(i + 1);
  }
  return {};
}

bool FileFunctions::FileExists(const QString& PathAndFileName) const {
  const QString name = LastComponent(PathAndFileName);
  if (name.isEmpty() || IsHiddenName(name)) return false;

  if (!HasWildcards(name)) {
    struct stat st {};
    return StatPath(PathAndFileName, st) && S_ISREG(st.st_mode);
  }

  // A pattern: list the folder and take the first visible regular file that matches.
  QString folder = GetPathOfFile(PathAndFileName);
  if (folder.isEmpty()) folder = QStringLiteral(".");
  const QByteArray nativeFolder = QFile::encodeName(folder);
  if (nativeFolder.contains('\0')) return false;
  const int dirFd = ::open(nativeFolder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return false;
  DIR* dir = ::fdopendir(dirFd);
  if (!dir) {
    ::close(dirFd);
    return false;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> guard(dir, ::closedir);
  while (const dirent* entry = ::readdir(dir)) {
    const QString entryName = QFile::decodeName(entry->d_name);
    if (IsHiddenName(entryName) || !olvet::WildcardMatch(name, entryName)) continue;
    struct stat st {};
    if (::fstatat(dirFd, entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) return true;
  }
  return false;
}

bool FileFunctions::DirExists(QString& DirPathName) const {
  // Only spaces are trimmed, as the caller typed them.
  qsizetype begin = 0;
  qsizetype end = DirPathName.size();
  while (begin < end && DirPathName[begin] == QLatin1Char(' ')) ++begin;
  while (end > begin && DirPathName[end - 1] == QLatin1Char(' ')) --end;
  DirPathName = DirPathName.mid(begin, end - begin);

  if (DirPathName.isEmpty()) return false;
  // Excludes the entries for the current and the parent folder.
  if (DirPathName.endsWith(QLatin1Char('.'))) return false;
  if (DirPathName.endsWith(kSep)) {
    DirPathName.chop(1);
    if (DirPathName.endsWith(kSep)) return false;
  }
  if (DirPathName.isEmpty()) return false;

  if (IsHiddenName(LastComponent(DirPathName))) return false;

  struct stat st {};
  if (!StatPath(DirPathName, st)) return false;
  return S_ISDIR(st.st_mode) || S_ISREG(st.st_mode);
}

QString FileFunctions::ModifiFileExtention(const QString& FileName, QString& NewExtention) const {
  const qsizetype dot = NewExtention.indexOf(QLatin1Char('.'));
  if (dot >= 0) NewExtention = NewExtention.mid(dot + 1);

  const QString ext = GetFileNameExtention(FileName);
  QString base = FileName.left(FileName.size() - ext.size());
  if (!base.endsWith(QLatin1Char('.'))) base += QLatin1Char('.');
  return base + NewExtention;
}

namespace olvet {

bool WildcardMatch(const QString& pattern, const QString& name) {
  // Whole code points, so that "?" stands for one character even outside the basic plane.
  const QList<uint> p = pattern.toCaseFolded().toUcs4();
  const QList<uint> n = name.toCaseFolded().toUcs4();
  const qsizetype pn = p.size();
  const qsizetype nn = n.size();

  // Greedy scan that remembers the last "*": on a mismatch the star absorbs one more character.
  // Each step advances the name or the pattern, so the work is at most |pattern| * |name|.
  qsizetype pi = 0;
  qsizetype ni = 0;
  qsizetype starP = -1;
  qsizetype starN = 0;
  while (ni < nn) {
    if (pi < pn && p[pi] == '*') {
      starP = pi++;
      starN = ni;
    } else if (pi < pn && (p[pi] == '?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
    } else if (starP >= 0) {
      pi = starP + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (pi < pn && p[pi] == '*') ++pi;
  return pi == pn;
}

}  // namespace olvet
