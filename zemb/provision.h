// Provisioning one unit from an identity pool: reserve a value (or find the
// one the unit carries), write the image with it, read back the written
// range and the record, and commit the unit's record; on a failed write,
// release the value when the unit provably does not hold it, else hold it
// as failed. The entry point zemb provision and the station share.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "zemb/pool/pool.h"
#include "zemb/zemb_run.h"

namespace zemb {

// What provisioning checks once, before any unit is touched: the image and
// its digest, the write plan, and the pool (opened, so a pool that is not
// there, is damaged or cannot be reached stops the run with exit 2).
struct ProvisionInputs {
  std::string image;                // the image file's name as given
  std::string imageSha256;          // of the whole file
  uint64_t start = 0;               // where the image goes in the ROM
  uint64_t length = 0;              // its size
  std::string poolSpec;             // as given to --pool, for the spool (masked when shown)
  std::unique_ptr<PoolStore> pool;  // opened
};

// Fills *inputs from the run's options (FILE, --start, --pool or --ledger),
// with the run's ROM configuration read. 0, or the exit status with the
// error printed.
int CheckProvisionInputs(ZembRun& run, ProvisionInputs* inputs);

// Another store on the same pool, opened, for a worker thread (a store
// serves one thread). Null with *error set when it cannot be opened.
std::unique_ptr<PoolStore> OpenPoolAgain(const ProvisionInputs& inputs, PoolError* error);

// What the caller knows of the unit and of itself beyond the device: filled
// by the station; zemb provision fills station and operator.
struct UnitFacts {
  std::string station;  // empty: the host's name
  std::string operatorName;
  std::string profileSha256;
  std::string label;
};

// Provisions the unit the run targets (run.target, or the first found) with
// a value of `pool` (opened; a store serves one thread, so a worker passes
// its own). The exit status: 0 committed; 1 failed (the value released or
// held, or the record spooled); 2 refused before anything was written (no
// pool, used up, damaged, unreachable); 3 no device. *out (may be null) is
// the unit's record as it ended, also on failure once a value was reserved.
int ProvisionUnit(ZembRun& run, const ProvisionInputs& inputs, PoolStore& pool,
                  const UnitFacts& facts, UnitRecord* out);

// Marks the targets of one run that carry one serial number as clones of
// each other (UnitTarget::cloneOf): both are refused.
void MarkClones(std::vector<UnitTarget>* targets);

// The host's name, for the record's station when none is given.
std::string StationName();

// While it lives, a wait of `pool` on another run's hold (a pool file's
// lock another station's step holds) is said once as the run's note.
class PoolWaitNote {
 public:
  PoolWaitNote(ZembRun& run, PoolStore& pool);
  ~PoolWaitNote();
  PoolWaitNote(const PoolWaitNote&) = delete;
  PoolWaitNote& operator=(const PoolWaitNote&) = delete;

 private:
  PoolStore& pool_;
};

// The SHA-256 of a file, in lower-case hexadecimal; false with *error set
// when it cannot be read.
bool HashFile(const std::string& path, std::string* digest, std::string* error);

}  // namespace zemb
