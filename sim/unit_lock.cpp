#include "sim/unit_lock.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/locking.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <thread>
#else
#include "common/host/posix_lock.h"
#endif

namespace zemb::sim {

#if defined(_WIN32)

namespace {

// One byte locked with LockFile underneath; closing the descriptor, or the
// process ending, unlocks it.
class CrtByteLock final : public UnitFileLock {
 public:
  explicit CrtByteLock(int fd) : fd_(fd) {}
  ~CrtByteLock() override {
    _lseek(fd_, 0, SEEK_SET);
    _locking(fd_, _LK_UNLCK, 1);
    _close(fd_);
  }

 private:
  int fd_;
};

}  // namespace

UnitFileLock::Result UnitFileLock::Take(const std::string& path, bool wait,
                                        std::unique_ptr<UnitFileLock>* lock, int* error) {
  lock->reset();
  *error = 0;
  const int fd = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *error = errno;
    return Result::Failed;
  }
  for (;;) {
    _lseek(fd, 0, SEEK_SET);
    if (_locking(fd, _LK_NBLCK, 1) == 0) break;
    const int why = errno;
    if (why != EACCES && why != EDEADLOCK) {
      _close(fd);
      *error = why;
      return Result::Failed;
    }
    if (!wait) {
      _close(fd);
      return Result::Busy;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  *lock = std::make_unique<CrtByteLock>(fd);
  return Result::Acquired;
}

#else

namespace {

class FlockLock final : public UnitFileLock {
 public:
  explicit FlockLock(std::unique_ptr<PosixFileLock> lock) : lock_(std::move(lock)) {}

 private:
  std::unique_ptr<PosixFileLock> lock_;
};

}  // namespace

UnitFileLock::Result UnitFileLock::Take(const std::string& path, bool wait,
                                        std::unique_ptr<UnitFileLock>* lock, int* error) {
  lock->reset();
  std::unique_ptr<PosixFileLock> held;
  switch (PosixFileLock::Take(path, wait, &held, error)) {
    case PosixFileLock::Result::Acquired:
      *lock = std::make_unique<FlockLock>(std::move(held));
      return Result::Acquired;
    case PosixFileLock::Result::Busy:
      return Result::Busy;
    case PosixFileLock::Result::Failed:
      break;
  }
  return Result::Failed;
}

#endif

}  // namespace zemb::sim
