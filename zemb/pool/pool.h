// The identity pool: the serial numbers and MAC address pairs a line of
// stations hands out, and the record of every unit that got one. One small
// interface, two stores behind it (a journal file on this machine, or a SQL
// database reached through ODBC); provisioning and the station never see
// which store answers.
//
// Value k of a pool (from 0) is serial_from + k (counted in decimal when
// serial_from is all decimal digits, else in hexadecimal), P-side MAC
// mac_from + 2k and S-side MAC mac_from + 2k + 1.
//
// A value moves through these states, each change made durable by the store
// before the caller takes its next step:
//
//   (free) --Reserve--> reserved --Commit--> committed
//                          |  \----Fail----> failed   (held for an engineer,
//                          |                           never handed out again)
//                          \-----Release---> released (proven unwritten: the
//                                                      next unit gets it)
//
// A station that dies between Reserve and Commit leaves the value reserved;
// the unit, provisioned again, keeps it when it carries it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zemb {

// The pool's values, as `pool init` gives them.
struct PoolRange {
  std::string serialFrom;  // 14 hex digits, upper case
  uint64_t macFrom = 0;    // 48 bits
  uint32_t count = 0;      // units
  friend bool operator==(const PoolRange&, const PoolRange&) = default;
};

enum class UnitState { Reserved, Committed, Failed, Released };

// "reserved", "committed", "failed", "released"; and back (false for any
// other word).
const char* UnitStateName(UnitState state);
bool UnitStateNamed(const std::string& word, UnitState* state);

// Everything known of one unit and the value it was given: the same fields
// in every store, and the columns of `pool export`.
struct UnitRecord {
  uint32_t index = 0;  // the value's place in the pool
  std::string serial;  // 14 characters
  std::string macP;    // "00-11-22-33-44-55"
  std::string macS;
  std::string image;  // the image file's name as given
  std::string imageSha256;
  std::string readbackSha256;  // of what was read back from the unit over the written range
  std::string devicePath;
  std::string unitId;
  std::string port;  // the USB port, where the host knows it
  std::string station;
  std::string operatorName;
  std::string toolVersion;
  std::string start;  // UTC, ISO 8601: 2026-12-10T05:40:00Z
  std::string end;
  UnitState state = UnitState::Reserved;  // exported as "result"
  std::string reason;                     // why it failed, or why it was released
  // Filled by the station.
  std::string profileSha256;
  std::string label;  // the scanned label
  std::string hook;   // the hook's outcome
};

// The fields of a UnitRecord in export order, as the CSV header names them,
// and one record as a CSV row of those fields (quoted where needed).
const std::vector<std::string>& UnitRecordFields();
std::vector<std::string> UnitRecordValues(const UnitRecord& record);
// Back from the values of a row; false when a field does not fit.
bool UnitRecordFromValues(const std::vector<std::string>& values, UnitRecord* record);

// Why a pool operation did not succeed. Refusals come before anything was
// written to a unit (exit status 2); Failed is a failure of a run in hand
// (exit status 1).
enum class PoolErrorKind {
  None,
  NoPool,       // no pool at the place given (only `pool init` makes one)
  UsedUp,       // every value has been handed out
  Damaged,      // the store holds something that is not a pool's record
  Unreachable,  // the store cannot be reached or written now
  Invalid,  // the request itself cannot be served (another pool's values, a bad --pool argument)
  Failed,   // the operation failed after the unit was touched
};

struct PoolError {
  PoolErrorKind kind = PoolErrorKind::None;
  std::string text;  // one sentence, no prefix; never a password
};

// 2 for the refusals, 1 for Failed.
int ExitStatusOf(const PoolErrorKind kind);

// What `pool status` shows.
struct PoolStatusReport {
  PoolRange range;
  uint32_t committed = 0, reserved = 0, failed = 0, released = 0;
  uint32_t handedOut = 0;                 // values ever reserved (released ones included)
  uint32_t left = 0;                      // values a Reserve can still hand out
  std::vector<UnitRecord> reservedUnits;  // with station and start time
  std::vector<UnitRecord> failedUnits;
  // Values seen on more than one unit (clones): the value, and each unit's
  // ID or device path.
  struct Clone {
    std::string serial;
    std::vector<std::string> units;
  };
  std::vector<Clone> clones;
};

// What the unit carries before it is provisioned (read from its misc
// record): empty when its record is erased or holds no valid serial number.
struct UnitCarries {
  std::string serial;
  std::string macP, macS;
};

struct Reservation {
  UnitRecord record;  // index, serial and MACs filled, state Reserved
  bool kept = false;  // the unit's own value, from this pool
};

// One pool. A store object serves one thread; each worker opens its own.
class PoolStore {
 public:
  virtual ~PoolStore() = default;

  // What messages call the store: a file name, or the database's server and
  // name (never a password).
  virtual std::string Name() const = 0;

  // Who to tell, once a step, when the store waits on another run (a pool
  // file's lock another station's step holds): the run's note. Empty:
  // nobody. The caller clears it before what it captures goes away.
  void SetWaitNote(std::function<void(const std::string&)> note) { waitNote_ = std::move(note); }

  // Makes the pool: a second Init with the same range is a no-op (true),
  // with another range an Invalid error naming the pool that is there.
  virtual bool Init(const PoolRange& range, PoolError* error) = 0;

  // Finds the pool made by Init and checks it can be reached; NoPool when
  // there is none. Every other operation needs an Open that succeeded.
  virtual bool Open(PoolError* error) = 0;
  virtual const PoolRange& Range() const = 0;

  // The value for a unit: the one it carries when that is a value of this
  // pool already handed out (kept), else the next free one (a released
  // value first). `claim` gives the record's facts (image, device, station,
  // operator, start time...); the reserved record is durable when this
  // returns. UsedUp when nothing is left.
  virtual bool Reserve(const UnitCarries& carries, const UnitRecord& claim, Reservation* out,
                       PoolError* error) = 0;

  // The unit's final record: state Committed (it holds the value), Failed
  // (it may hold it; held for an engineer) or Released (proven not to hold
  // it: the value may go to the next unit). Invalid when the record is not
  // of a value this pool handed out.
  virtual bool Finish(const UnitRecord& record, PoolError* error) = 0;
  // The station's hook ended after the unit was finished: its outcome
  // (record.hook) joins that finished record, the same value's attempt that
  // started at record.start; nothing else of it changes. Invalid when that
  // attempt is not the value's latest finished record (never finished, or
  // the value went to another unit since).
  virtual bool AddHook(const UnitRecord& record, PoolError* error) {
    (void)record;
    *error = {PoolErrorKind::Invalid, Name() + " keeps no hook outcomes"};
    return false;
  }

  virtual bool Status(PoolStatusReport* report, PoolError* error) = 0;

  // The latest record of every value ever handed out, in pool order.
  virtual bool Records(std::vector<UnitRecord>* records, PoolError* error) = 0;

 protected:
  std::function<void(const std::string&)> waitNote_;
};

// The three finishing steps, named as provisioning uses them.
inline bool Commit(PoolStore& store, UnitRecord record, PoolError* error) {
  record.state = UnitState::Committed;
  return store.Finish(record, error);
}
inline bool Fail(PoolStore& store, UnitRecord record, PoolError* error) {
  record.state = UnitState::Failed;
  return store.Finish(record, error);
}
inline bool Release(PoolStore& store, UnitRecord record, PoolError* error) {
  record.state = UnitState::Released;
  return store.Finish(record, error);
}

// The store a --pool POOL names: "odbc:CONNECTION STRING" a SQL database
// through ODBC, anything else the local journal at that path. Null with
// *error set when the --pool argument cannot be used (nothing is opened yet).
std::unique_ptr<PoolStore> MakePoolStore(const std::string& pool, PoolError* error);

// A --pool argument or connection string as it may be shown, logged or recorded:
// the value of every PWD= or PASSWORD= key (any letter case) replaced by
// "***".
std::string MaskSecrets(const std::string& pool);

// Checks a pool given on the command line; false with *error set. A MAC
// start of all zeros or a multicast address is refused, as is a pool that
// runs past 14 serial digits or past the maker's three octets. `existing`:
// the range of a pool already made (an older zemb let a pool start at
// 00-00-00-00-00-00), read as it is but for what no pool can be.
bool MakePoolRange(const std::string& serialFrom, const std::string& macFrom, uint32_t count,
                   PoolRange* range, std::string* error, bool existing = false);

// Value `index` of a pool: index, serial and MACs of a record.
UnitRecord NthValue(const PoolRange& range, uint32_t index);

// The index of `serial` in the pool, when it is one of its values.
std::optional<uint32_t> IndexOfSerial(const PoolRange& range, const std::string& serial);

// "2026-12-10T05:40:00Z", now; with milliseconds "2026-12-10T05:40:00.123Z".
std::string UtcNow(bool milliseconds = false);

// --- The spool -----------------------------------------------------------
// A unit's final record that its store could not take (a database that
// went away after the unit was written, a journal another program holds)
// is kept in a spool file in the station's working folder, and pushed by
// `pool sync` later. Records of several pools may wait there; each line
// names its pool by its masked --pool argument.

// The spool of this working folder.
std::string SpoolPath();

// Appends the record, durably; false with *error set.
bool SpoolRecord(const std::string& spoolPath, const std::string& poolSpec,
                 const UnitRecord& record, std::string* error);

// Whether the spool holds a record of `poolSpec` for the same attempt
// (value, serial number, start) as `record`: its finish waits there.
bool SpoolHolds(const std::string& spoolPath, const std::string& poolSpec,
                const UnitRecord& record);

struct SyncResult {
  uint32_t pushed = 0;   // records the store now has
  uint32_t waiting = 0;  // records of this pool left in the spool
  uint32_t other = 0;    // records of other pools, left alone
};

// Pushes every spooled record of `poolSpec` to `store` (opened), and
// removes from the spool exactly those the store took. A spooled hook
// outcome (the unit's final record again, with its hook) joins that final
// record through AddHook once the record is there. A record the store
// already has as its latest (same state, end time and device: a sync that
// ended before it could rewrite the spool) is not added again. False with *error
// set when the spool cannot be read or rewritten; records the store
// refused stay and are counted as waiting.
bool SyncSpool(const std::string& spoolPath, const std::string& poolSpec, PoolStore& store,
               SyncResult* result, PoolError* error);

}  // namespace zemb
