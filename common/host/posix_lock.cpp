#include "common/host/posix_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zemb {

namespace {

int SystemOpen(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

}  // namespace

PosixFileLock::Result PosixFileLock::Take(const std::string& path, bool wait,
                                          std::unique_ptr<PosixFileLock>* lock, int* error,
                                          OpenCall openCall) {
  lock->reset();
  *error = 0;
  if (openCall == nullptr) openCall = SystemOpen;
  // Read-only is enough to lock, so a lock file the run cannot write still
  // serves. O_NOFOLLOW: a link planted in its place must not make a run
  // create a file elsewhere. An existing file is opened without O_CREAT:
  // in a sticky folder (/run/lock, /tmp) the kernel refuses O_CREAT on
  // another user's file when fs.protected_regular is set (Debian sets 2),
  // root included, so the second user of a unit could never lock it.
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 2; ++attempt) {
    fd = openCall(path.c_str(), kFlags, 0);
    if (fd >= 0 || errno != ENOENT) break;
    // Missing: made by this run alone (O_EXCL), readable by everyone, so
    // whoever may use the unit can open and lock it whatever this user's
    // umask is. Another run that made it first is met on the next turn.
    constexpr mode_t kMode = 0644;
    fd = openCall(path.c_str(), kFlags | O_CREAT | O_EXCL, kMode);
    if (fd >= 0) {
      (void)::fchmod(fd, kMode);
    } else if (errno != EEXIST) {
      break;
    }
  }
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
