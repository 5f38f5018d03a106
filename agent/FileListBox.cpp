#include "FileListBox.h"

#include "FileFunctions.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace agent {

void FileListBox::Refresh() {
  entries_.clear();
  QStringList patterns;
  for (const QString& p : Pattern.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    const QString t = p.trimmed();
    if (!t.isEmpty()) patterns << t;
  }
  if (patterns.isEmpty()) patterns << QStringLiteral("*");

  // Without QDir::Hidden, names starting with a dot stay out; isFile() keeps regular files
  // (and links to them) only.
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  const QFileInfoList infos =
      QDir(Path).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
  for (const QFileInfo& info : infos) {
    if (!info.isFile()) continue;
    if (MinAgeMs > 0) {
      const qint64 age = now - info.lastModified().toMSecsSinceEpoch();
      // A time stamp far in the future (a skewed clock) must not hold a file back for good.
      if (age < MinAgeMs && age > -MinAgeMs) continue;
    }
    const QString name = info.fileName();
    if (std::any_of(patterns.cbegin(), patterns.cend(),
                    [&](const QString& p) { return olvet::WildcardMatch(p, name); }))
      entries_ << name;
  }
  std::sort(entries_.begin(), entries_.end(), [](const QString& a, const QString& b) {
    const int c = a.compare(b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a < b;
  });
}

}  // namespace agent
