#pragma once
// An exclusive lock on a file, held for the life of the object (and so of the process). The
// kernel drops it when the process ends, a crash included, so a stale lock never blocks.
#include <QString>

namespace vrl {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock on path (created mode 0600 when missing), trying again for up to waitMs
  // while another process holds it: a process that is just ending still holds it briefly.
  // On failure error says why; when another process holds the lock it names that process.
  bool Acquire(const QString& path, int waitMs, QString* error);
  void Release();
  bool Held() const { return fd_ >= 0; }
  // After a failed Acquire: another process holds the lock (rather than the file failing).
  bool HeldElsewhere() const { return heldElsewhere_; }

 private:
  int fd_ = -1;
  bool heldElsewhere_ = false;
};

}  // namespace vrl
