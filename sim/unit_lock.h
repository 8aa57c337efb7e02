// Lock files in the unit's state folder: run.lock is held by a tool run
// from discovery to release, so two runs never interleave on one unit;
// state.lock is held for a moment around each request of a run and each
// zembsim command, so neither reads the kept state half written by the
// other. The system drops a lock whose holder dies.
#pragma once

#include <memory>
#include <string>

namespace zemb::sim {

constexpr const char* kRunLockName = "run.lock";
constexpr const char* kStateLockName = "state.lock";

class UnitFileLock {
 public:
  enum class Result { Acquired, Busy, Failed };

  // `wait` false returns Busy at once when the lock is held elsewhere; true
  // waits for it. On Failed, *error is the errno of the open or the lock.
  static Result Take(const std::string& path, bool wait, std::unique_ptr<UnitFileLock>* lock,
                     int* error);

  virtual ~UnitFileLock() = default;
};

}  // namespace zemb::sim
