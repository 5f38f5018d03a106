#pragma once
// Delivery of one received message into a folder that other programs share. Every file of the
// message is written under a hidden temporary name first (staged) and given a free name that
// nothing on disk and no other file of the message holds; once all are written they are put in
// place together, or none is. Nothing already in the folder is ever replaced: a taken name gets
// an "n-" prefix (n = 1, 2, 3 ...). The caller flushes the folder's file system
// (vrl::FlushFileSystemOf) before the server may forget the message.
//
// The POP3 host, the local messaging host and `vrlmail fetch` all deliver through here; the
// agent's id journal keeps the staged files of a message it has recorded (StagedFile), so that a
// run that ends before they are in place finishes them (FinishPlacing) instead of fetching the
// message again, and fetches it again when a staged file is gone.
#include <QByteArrayView>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <initializer_list>
#include <sys/types.h>

#include "vrlime_export.h"

namespace delivery {

// A file name that stays one name inside its folder whatever a sender or a setting put into it:
// "/" and control characters become "_", and so does a leading dot (hidden names are ours).
VRLIME_EXPORT QString OneFileName(QString name);

// A name nothing occupies yet: path itself, else the folder with "n-" in front of the name,
// n = 1 .. 32767. Any entry (file, folder, link) counts as taken, and so does every path in
// alsoTaken; "*" and "?" are plain characters.
VRLIME_EXPORT QString MakeUniqueFileName(const QString& path, const QSet<QString>& alsoTaken = {});

// Renames `from` to a free name made from `wanted`, never over an existing entry (another
// writer taking a name meanwhile only moves it on). The name used, or empty with errno set;
// `from` then stays where it is.
VRLIME_EXPORT QString RenameToFreeName(const QString& from, const QString& wanted);

// The text of an errno value.
VRLIME_EXPORT QString ErrnoText(int err);

// Files delivered are for the user and the programs that take them: readable as the umask allows.
inline constexpr mode_t kDeliveredMode = 0666;

// A new hidden temporary name inside dir. It carries the writer's process id, so that a sweep
// leaves alone the temporaries of a writer that still runs.
VRLIME_EXPORT QString TemporaryNameIn(const QString& dir);
// Removes the temporaries that writers which no longer run (and this process) left in dir,
// except those in keep (full paths). Another live program's temporaries stay.
VRLIME_EXPORT void RemoveLeftoverTemporaries(const QString& dir, const QSet<QString>& keep = {});

// One file of a message: written at `temp`, to appear as `target`.
struct StagedFile {
  QString temp;
  QString target;
  // The written file's inode: once the temporary is gone, the file at target is this one only
  // when the inode matches (0: unknown).
  quint64 inode = 0;
  bool operator==(const StagedFile&) const = default;
};

// The files of one message on their way into a folder. Files staged and not placed are removed
// when it is destroyed.
class VRLIME_EXPORT MessageFiles {
 public:
  explicit MessageFiles(QString dir);
  ~MessageFiles();
  MessageFiles(const MessageFiles&) = delete;
  MessageFiles& operator=(const MessageFiles&) = delete;

  const QString& Folder() const { return dir_; }
  // The full path a file named `name` would take: made one name (OneFileName) and free of every
  // entry on disk and every file staged so far. Nothing is reserved until Add.
  QString FreeTarget(const QString& name) const;
  // Names that other messages staged in the same folder will take: taken for FreeTarget too.
  void Avoid(const QSet<QString>& targets) { targets_.unite(targets); }
  // A new temporary in the folder for the caller to write one file into.
  QString NewTemporary() const { return TemporaryNameIn(dir_); }
  // The file the caller wrote at temp is to appear as target (from FreeTarget). False (errno
  // set) when temp is not there.
  bool Add(const QString& temp, const QString& target);
  // Writes bytes into a new staged file for `name`; the target, or empty with *error set to
  // "<target> - <reason>".
  QString AddBytes(const QString& name, std::initializer_list<QByteArrayView> pieces, QString* error);

  const QList<StagedFile>& Files() const { return files_; }

  // Puts every staged file in place. On a failure the files placed so far are taken back, the
  // temporaries removed, and *error is "<target> - <reason>": the message left no file.
  bool Place(QString* error);
  // Where each file went (its target, or another free name when a writer took that meanwhile).
  const QStringList& Placed() const { return placed_; }
  // Removes the staged temporaries (the message is given up).
  void Discard();

 private:
  QString dir_;
  QList<StagedFile> files_;
  QSet<QString> targets_;  // of files_, kept beside them: every free name is checked against them
  QStringList placed_;
};

// What FinishPlacing found.
enum class Finish {
  Placed,  // every file is in place
  Gone,    // a staged file is gone (something removed it): the message must be fetched again;
           // the files of it that could be found were taken back
  Failed,  // a file could not be put in place now (*error); the files stay staged
};
// Finishes putting in place the staged files of a message whose delivery an interrupted run
// left: a temporary still there is put in place; a temporary gone counts as placed only when its
// target holds the very file.
VRLIME_EXPORT Finish FinishPlacing(const QList<StagedFile>& files, QString* error);

}  // namespace delivery
