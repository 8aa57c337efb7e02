// An exclusive OS lock on FILE.lock for as long as the object lives, taken
// by every run that changes FILE. The system drops it when the process ends,
// however it ends.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "zemb/pool/pool.h"

namespace zemb {

class PosixFileLock;

class PoolFileLock {
 public:
  PoolFileLock();
  ~PoolFileLock();
  PoolFileLock(const PoolFileLock&) = delete;
  PoolFileLock& operator=(const PoolFileLock&) = delete;

  // Waits up to 30 s for the lock on `path`.lock; false with *error set
  // (Unreachable) when it cannot be had. A wait past a second is said once
  // through `waiting` (when it is set), so a run never waits in silence.
  bool Take(const std::string& path, PoolError* error,
            const std::function<void(const std::string&)>& waiting = {});

 private:
#if defined(_WIN32)
  void* handle_;
#else
  std::unique_ptr<PosixFileLock> lock_;
#endif
};

}  // namespace zemb
