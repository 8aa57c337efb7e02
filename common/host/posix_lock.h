// An exclusive lock on a lock file, held with flock(2): the machine-wide
// "one run at a time on this unit" of the POSIX hosts. The kernel drops the
// lock when the holder's descriptor closes, so a run that is killed never
// leaves the unit locked; the file itself stays and is reused.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace zemb {

class PosixFileLock {
 public:
  enum class Result { Acquired, Busy, Failed };

  // open(2) as Take calls it; a test may stand in for the kernel.
  using OpenCall = int (*)(const char* path, int flags, mode_t mode);

  // Opens `path` and locks it: an existing file without O_CREAT, a missing
  // one created with O_CREAT | O_EXCL and mode 0644 (whatever the umask),
  // so every user can lock it. `wait` false returns Busy at once when
  // another open file holds the lock; true blocks until it is free, for
  // locks that are only ever held for a moment. On Failed, *error is the
  // errno of the open or the lock.
  static Result Take(const std::string& path, bool wait, std::unique_ptr<PosixFileLock>* lock,
                     int* error, OpenCall openCall = nullptr);

  ~PosixFileLock();
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;

 private:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace zemb
