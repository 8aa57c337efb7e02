// The provisioning ledger: a pool of serial numbers and MAC address pairs,
// and every allocation ever made from it, in a CSV file a spreadsheet
// opens.
//
//   zemb ledger,1,serial_from,20000130041400,mac_from,00-11-22-33-44-00,count,100
//   time,device,serial,mac_p,mac_s,image_sha256,result
//   2026-12-10T05:40:00Z,<device path>,20000130041400,00-11-22-33-44-00,00-11-22-33-44-01,<sha>,ok
//
// Allocation k (from 0) is serial_from + k (counted in decimal when
// serial_from is all decimal digits, else in hexadecimal), P-side MAC
// mac_from + 2k and S-side MAC mac_from + 2k + 1. The lines stand in
// allocation order, so a line's place is its allocation: a value once
// written to the file is never handed out again, whatever became of the
// unit. Every change is made under an OS file lock on LEDGER.lock, written
// to a temporary file, flushed to disk and renamed over the ledger, so a
// crash leaves the old ledger or the new one. A torn last line (a ledger
// that ends without a line end, from a power cut on a system that did not
// keep the rename whole) still counts as handed out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zemb {

struct LedgerPool {
  std::string serialFrom;  // 14 hex digits, upper case
  uint64_t macFrom = 0;    // 48 bits
  uint32_t count = 0;      // units
  friend bool operator==(const LedgerPool&, const LedgerPool&) = default;
};

struct LedgerLine {
  std::string time, device, serial, macP, macS, sha256, result;
};

struct Allocation {
  uint32_t index = 0;
  std::string serial;  // 14 characters
  uint8_t macP[6] = {};
  uint8_t macS[6] = {};
  bool reused = false;  // the unit already had it from this ledger
};

// Checks a pool given on the command line; false with *error set.
bool MakeLedgerPool(const std::string& serialFrom, const std::string& macFrom, uint32_t count,
                    LedgerPool* pool, std::string* error);

// "00-11-22-33-44-55"
std::string MacString(uint64_t mac);

class Ledger {
 public:
  // Opens the ledger at `path`. When it does not exist, `pool` (if given)
  // creates it; when it exists, `pool` (if given) must be its pool. A file
  // that is not a ledger, or one whose lines do not follow from its pool,
  // is refused and left as it was. False with *error set.
  bool Open(const std::string& path, const std::optional<LedgerPool>& pool, std::string* error);

  const LedgerPool& Pool() const { return pool_; }

  // Under the lock, from the ledger as it is on disk now: the allocation
  // whose serial number is `unitSerial` when there is one (reused), else
  // the next one, written to disk before this returns. False with *error
  // set when the pool is exhausted or the ledger cannot be written.
  bool Allocate(const std::string& unitSerial, const std::string& device, const std::string& sha256,
                Allocation* allocation, std::string* error);

  // Under the lock: sets the result (and time, device, image) of the
  // allocation's line.
  bool Record(const Allocation& allocation, const std::string& device, const std::string& sha256,
              const std::string& result, std::string* error);

  // The values of allocation `index` of a pool.
  static Allocation Nth(const LedgerPool& pool, uint32_t index);

 private:
  // Reads and checks the file (under the lock where the caller holds it).
  bool Load(std::vector<LedgerLine>* lines, std::string* error);
  bool Save(const std::vector<LedgerLine>& lines, std::string* error);

  std::string path_;
  LedgerPool pool_;
};

}  // namespace zemb
