#include "sim/unit_lock.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <thread>
#else
#include "common/host/posix_lock.h"
#endif

namespace zemb::sim {

#if defined(_WIN32)

namespace {

// The first byte locked with LockFileEx; closing the descriptor, or the
// process ending, unlocks it. (The C runtime's _locking is not used: under
// Wine it leaves errno unset when the byte is taken, so a busy unit would
// read as a failure.)
HANDLE OsHandle(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

class CrtByteLock final : public UnitFileLock {
 public:
  explicit CrtByteLock(int fd) : fd_(fd) {}
  ~CrtByteLock() override {
    OVERLAPPED first{};
    UnlockFileEx(OsHandle(fd_), 0, 1, 0, &first);
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
    OVERLAPPED first{};
    if (LockFileEx(OsHandle(fd), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &first)) {
      break;
    }
    const DWORD why = GetLastError();
    if (why != ERROR_LOCK_VIOLATION && why != ERROR_SHARING_VIOLATION && why != ERROR_IO_PENDING) {
      _close(fd);
      *error = EIO;
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
