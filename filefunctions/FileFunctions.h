#pragma once
// Stateless path and existence functions shared by every component. "/" is the only separator.
#include <QString>

class FileFunctions {
 public:
  // Shortens a long path for display by replacing its middle folders with "...".
  QString TruncFileName(const QString& PathAndFileName, qint16 MaxLen) const;
  // The text up to and including the last "/"; empty without one.
  QString GetPathOfFile(const QString& PathAndFileName) const;
  // The text after the last "/"; empty without one.
  QString GetFileNameFromPath(const QString& PathAndFileName) const;
  // The text after the last dot of the name part; empty when the name part has no dot.
  QString GetFileNameExtention(const QString& FileName) const;
  // True when a regular, non-hidden file matches; "*" and "?" match without regard to case.
  bool FileExists(const QString& PathAndFileName) const;
  // Trims the caller's text (written back) and tells whether that folder (or regular file) exists.
  bool DirExists(QString& DirPathName) const;
  // Replaces the extension; a dotted NewExtention is cleaned and written back.
  QString ModifiFileExtention(const QString& FileName, QString& NewExtention) const;
};

namespace olvet {
// Wildcard match of one name against one pattern ("*", "?"), ignoring letter case.
bool WildcardMatch(const QString& pattern, const QString& name);
}  // namespace olvet
