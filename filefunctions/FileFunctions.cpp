#include "FileFunctions.h"
// (implementation pending)
QString FileFunctions::TruncFileName(const QString& p, qint16) const { return p; }
QString FileFunctions::GetPathOfFile(const QString&) const { return {}; }
QString FileFunctions::GetFileNameFromPath(const QString&) const { return {}; }
QString FileFunctions::GetFileNameExtention(const QString&) const { return {}; }
bool FileFunctions::FileExists(const QString&) const { return false; }
bool FileFunctions::DirExists(QString&) const { return false; }
QString FileFunctions::ModifiFileExtention(const QString& f, QString&) const { return f; }
namespace olvet {
bool WildcardMatch(const QString&, const QString&) { return false; }
}
