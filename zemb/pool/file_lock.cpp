#include "zemb/pool/file_lock.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "common/base/console.h"
#include "common/host/file_names.h"
#include "common/host/windows_api.h"
#if !defined(_WIN32)
#include "common/host/posix_lock.h"
#endif

namespace zemb {

namespace {

// Changing a pool takes milliseconds; a lock held longer belongs to a run
// that hangs, and waiting for ever would hang this one too.
constexpr int kLockWaitMs = 30000;

PoolError Err(PoolErrorKind kind, std::string text) {
  return PoolError{kind, std::move(text)};
}

}  // namespace

#if defined(_WIN32)
PoolFileLock::PoolFileLock() : handle_(INVALID_HANDLE_VALUE) {}
PoolFileLock::~PoolFileLock() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(static_cast<HANDLE>(handle_));
}
#else
PoolFileLock::PoolFileLock() = default;
PoolFileLock::~PoolFileLock() = default;
#endif

bool PoolFileLock::Take(const std::string& path, PoolError* error,
                        const std::function<void(const std::string&)>& waiting) {
  const std::string lockPath = path + ".lock";
#if defined(_WIN32)
  HANDLE handle = CreateFileW(WideFromUtf8(lockPath).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = handle;
  if (handle == INVALID_HANDLE_VALUE) {
    *error = Err(PoolErrorKind::Unreachable,
                 Format("cannot open the lock file %s (error %lu)", lockPath.c_str(),
                        static_cast<unsigned long>(GetLastError())));
    return false;
  }
#endif
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(kLockWaitMs);
  bool told = false;
  for (;;) {
#if defined(_WIN32)
    OVERLAPPED whole{};
    if (LockFileEx(static_cast<HANDLE>(handle_),
                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
      return true;
    }
#else
    int why = 0;
    switch (PosixFileLock::Take(lockPath, false, &lock_, &why)) {
      case PosixFileLock::Result::Acquired:
        return true;
      case PosixFileLock::Result::Failed:
        *error =
            Err(PoolErrorKind::Unreachable, "cannot lock " + lockPath + ": " + std::strerror(why));
        return false;
      case PosixFileLock::Result::Busy:
        break;
    }
#endif
    if (std::chrono::steady_clock::now() > deadline) {
      *error = Err(PoolErrorKind::Unreachable,
                   "another zemb has held " + lockPath + " for more than 30 s; is it hanging?");
      return false;
    }
    if (!told && waiting && std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) {
      waiting("waiting for another zemb run, which holds " + lockPath +
              ", to finish its step (at most 30 s)");
      told = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace zemb
