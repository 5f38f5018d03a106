#pragma once
// The one place where files are created, written, flushed to disk and put into place. Paths are
// Qt texts (encoded with QFile::encodeName); a failure returns false (or -1) with errno telling
// why, and leaves nothing half-made behind.
#include "VrlError.h"

#include <QByteArrayView>
#include <QString>
#include <initializer_list>
#include <sys/types.h>

namespace vrl {

// Numbers of the file errors raised as VrlError.
inline constexpr int32_t kErrPathNotFound = ErrNum(0x8004020Fu);  // "Path not found!"
inline constexpr int32_t kErrFileExists = ErrNum(0x80040210u);    // "File already exists!"

// " - " and the system's text for err, to follow a message that names a path; empty for 0 (no
// system call failed).
QString ReasonSuffix(int err);

// False on the first error (errno tells which); a zero-length write counts as an error.
bool WriteAll(int fd, QByteArrayView bytes);
// The same at a file offset (pwrite), leaving the file position alone.
bool WriteAllAt(int fd, QByteArrayView bytes, qint64 offset);

// open(2) with O_CLOEXEC, tried again when a signal interrupts it; the descriptor or -1.
int OpenFile(const QString& path, int flags, mode_t mode = 0600);
// Creates a new file for writing; anything already at path (even a dangling link) makes it fail
// with EEXIST. The mode is narrowed by the umask.
int CreateNewFile(const QString& path, mode_t mode = 0600);
// Creates a new file, mode 0600, from pattern: six X before a suffix of suffixLength characters
// become a free name, written back into pattern. The descriptor or -1.
int CreateTemporary(QByteArray& pattern, int suffixLength = 0);
// A new empty file ".<name>.XXXXXX" beside path (mode 0600); its path, or empty.
QString CreateTemporaryBeside(const QString& path);
// Removes the temporaries CreateTemporaryBeside made for path: for a file only one process
// writes, those left are a crash's.
void RemoveTemporariesBeside(const QString& path);

// fsync(2); a file system that cannot flush (EINVAL, EROFS) has nothing to flush.
bool FlushFile(int fd);
// Flushes a folder's entries, so that names made or moved in it survive a crash.
bool FlushFolder(const QString& dir);
// Flushes everything written to the file system that holds dir (data and names): one flush for
// many files costs one journal commit instead of two per file.
bool FlushFileSystemOf(const QString& dir);

// Writes bytes into a new file (CreateNewFile); with flush, the data and the name are on disk
// when it returns true. On failure the file is removed again.
bool WriteNewFile(const QString& path, QByteArrayView bytes, bool flush, mode_t mode = 0600);
// The same with the file's bytes in pieces, written one after the other.
bool WriteNewFile(const QString& path, std::initializer_list<QByteArrayView> pieces, bool flush,
                  mode_t mode = 0600);
// rename(2) over whatever is at `to` (a temporary from CreateTemporaryBeside puts a whole new
// file in place: a reader sees the old one or the new one); with flush, the folder of `to` is
// flushed then, so that the new name survives a crash.
bool RenameOver(const QString& from, const QString& to, bool flush = true);
// Replaces the file at path whole with bytes (a temporary beside it, written, flushed and renamed
// over it): a reader or a crash sees the old file or the new one, never a part. With flushFolder
// the new name is on disk too when it returns true. The new file gets mode, whatever the umask.
bool ReplaceFile(const QString& path, QByteArrayView bytes, bool flushFolder = true, mode_t mode = 0600);
// rename(2) that never replaces: the kernel's no-replace flag, or a hard link (and removal of
// `from`) where the file system lacks it. EEXIST when `to` is taken.
bool RenameNoReplace(const QString& from, const QString& to);

}  // namespace vrl
