// An exclusive lock on a lock file, held with flock(2): the machine-wide
// "one run at a time on this unit" of the POSIX hosts. The kernel drops the
// lock when the holder's descriptor closes, so a run that is killed never
// leaves the unit locked; the file itself stays and is reused.
#pragma once

#include <memory>
#include <string>

namespace zemb {

class PosixFileLock {
 public:
  enum class Result { Acquired, Busy, Failed };

  // Opens `path` (creating it) and locks it. `wait` false returns Busy at
  // once when another open file holds the lock; true blocks until it is
  // free, for locks that are only ever held for a moment. On Failed, *error
  // is the errno of the open or the lock.
  static Result Take(const std::string& path, bool wait, std::unique_ptr<PosixFileLock>* lock,
                     int* error);

  ~PosixFileLock();
  PosixFileLock(const PosixFileLock&) = delete;
  PosixFileLock& operator=(const PosixFileLock&) = delete;

 private:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace zemb
