#include "common/host/posix_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace zemb {

PosixFileLock::Result PosixFileLock::Take(const std::string& path, bool wait,
                                          std::unique_ptr<PosixFileLock>* lock, int* error) {
  lock->reset();
  *error = 0;
  // Read-only is enough to lock, so a lock file the run cannot write still
  // serves. O_NOFOLLOW: a link planted in its place must not make a run
  // create a file elsewhere.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    *error = errno;
    return Result::Failed;
  }
  int rc = 0;
  do {
    rc = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int why = errno;
    ::close(fd);
    if (why == EWOULDBLOCK) return Result::Busy;
    *error = why;
    return Result::Failed;
  }
  lock->reset(new PosixFileLock(fd));
  return Result::Acquired;
}

PosixFileLock::~PosixFileLock() {
  ::close(fd_);
}

}  // namespace zemb
