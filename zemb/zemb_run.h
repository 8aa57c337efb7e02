// What one zemb run holds, and the pieces its commands share: messages,
// files written whole or not at all, and the progress line.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/base/console.h"
#include "common/device/discovery.h"
#include "common/device/rom_access.h"
#include "common/rom/rom_parameter.h"
#include "zemb/zemb.h"

namespace zemb {

// The unit a run works on, when a station has several: found again by its
// face and device path on the run's own host.
struct UnitTarget {
  DevicePath face = DevicePath::None;
  std::string devicePath;
  std::string id;      // UnitId(port, devicePath)
  std::string port;    // the USB port, when the host knows it
  std::string serial;  // as listed; empty when unknown
  // Units of one wave run at once, a wave after the one before: an entry
  // that may be a unit seen on an earlier face waits for that face's wave.
  int wave = 0;
  // Other units of this run that carry the same serial number: clones,
  // which provisioning refuses.
  std::string cloneOf;
};

// What one unit's run says while several run at once: kept here for the
// main thread to show, instead of being written as it comes.
struct UnitSink {
  std::mutex mutex;
  std::string out;                          // the run's result lines
  std::string err;                          // its error and note lines, each "error: ..." or a note
  std::string serial;                       // the unit's serial number, once known
  std::string macP, macS;                   // its MACs (00-11-22-33-44-55), once known
  std::atomic<uint64_t> done{0}, total{0};  // progress of the transfer in hand
  std::atomic<bool> finished{false};
  // Set by the main thread (Ctrl-C): stop at the next sector boundary.
  const std::atomic<bool>* stop = nullptr;
  void SetSerial(const std::string& text) {
    std::lock_guard<std::mutex> hold(mutex);
    serial = text;
  }
  void SetMacs(const std::string& p, const std::string& s) {
    std::lock_guard<std::mutex> hold(mutex);
    macP = p;
    macS = s;
  }
};

struct ZembRun {
  ZembRun(Host& h, const ZembOptions& o) : host(h), diag(h, Console::Target::Stderr), options(o) {}

  Host& host;
  // The library's own lines (transports, the configuration reader) go to
  // standard error, so standard output carries only zemb's results.
  Console diag;
  const ZembOptions& options;
  uint8_t romType = kRomTypeUnset;
  RomParameter rom;
  // The device session: what discovery found, the unit's hold and the
  // table, released together at the end of the run.
  RomSession session{diag, BindRomAccessTable};
  // What the session found: the face and the unit's path.
  const FoundDevice& device = session.Device();
  // The text of the last Error(), for records that keep the reason.
  std::string lastError;
  // The unit to open (null: the first discovery finds), and where the run's
  // text goes when several units run at once (null: the console).
  const UnitTarget* target = nullptr;
  UnitSink* sink = nullptr;
  UnitTarget chosen;  // the unit a single --device names, once looked up

  // An interrupt came, or the main thread asked every unit to stop.
  bool StopRequested() {
    return host.InterruptRequested() || (sink != nullptr && sink->stop != nullptr && *sink->stop);
  }

  // Finds the device and binds the table; 0, or the exit status with its
  // error printed. The main flow releases what it opened.
  int OpenDevice();
  // The bound table; only after OpenDevice succeeded.
  RomAccessTable& Table() { return session.GetTable(); }
  // "no Zemb device found ..."; returns kExitNoDevice.
  int NoDeviceError();

  // Standard output.
  void Out(const char* format, ...) ZEMB_PRINTF(2, 3);
  // "zemb: error: ..." on standard error; returns `status`.
  int Error(int status, const char* format, ...) ZEMB_PRINTF(3, 4);
  // "zemb: ..." on standard error.
  void Note(const char* format, ...) ZEMB_PRINTF(2, 3);
  // "error N: text" of the thread's last error, for the end of a message.
  std::string LastErrorText();

  // The face found, as zemb names it ("own", "cdrom", "xu"), and in words.
  const char* FaceId() const;
  const char* FaceWords() const;
};

// The commands; each returns the run's exit status. The configuration is
// read where the command takes one; each command checks its files before it
// opens the device (OpenDevice), so a bad file sends nothing.
int ZembInfo(ZembRun& run);
int ZembRead(ZembRun& run);
int ZembVerify(ZembRun& run);
int ZembWrite(ZembRun& run);
int ZembProvision(ZembRun& run);
int ZembList(ZembRun& run);
int ZembPool(ZembRun& run);

// What write and provision check before they open a device (the file, the
// range, the ledger): a run on several units checks it once, before any
// unit is touched. 0, or the exit status with the error printed.
int CheckWriteInputs(ZembRun& run);
int CheckProvisionInputs(ZembRun& run);

// The units the options name (--device, --all): 0 with *targets filled, or
// the exit status with the error printed.
int ChooseUnits(ZembRun& run, std::vector<UnitTarget>* targets);

// Runs `command` on every target, each in a worker with a host of its own
// from `makeHost` (null: one after another on run.host); shows each unit's
// outcome and the table, and returns the run's exit status.
int RunOnUnits(ZembRun& run, const std::vector<UnitTarget>& targets, HostFactory makeHost,
               int (*command)(ZembRun&));

// What a write puts into the ROM: `length` bytes of `file` from `start`
// (file null: the sectors keep their bytes, but for a record to replace),
// with the misc record (the 40 bytes at 0xB000) kept from the unit,
// overwritten by the file, or replaced by `record`.
enum class MiscRule { Keep, Overwrite, Replace };
class ZembInputFile;
struct WritePlan {
  ZembInputFile* file = nullptr;
  std::string name;  // what the messages call the data
  uint64_t start = 0, length = 0;
  bool full = false;  // erase and write every sector, as BURN does
  MiscRule misc = MiscRule::Keep;
  const uint8_t* record = nullptr;  // MiscRule::Replace
};

struct WriteStats {
  uint64_t sectors = 0;
  uint64_t skipped = 0;
  uint64_t programmed = 0;  // without an erase
  uint64_t erased = 0;      // erased, then programmed
};

// IdentityLeftOut: the unit's record was erased and the file's named a
// unit (an image read from a provisioned one); the record stays erased.
enum class MiscOutcome { NotCovered, Kept, ErasedOnUnit, IdentityLeftOut, Overwritten, Replaced };

struct WriteOutcome {
  WriteStats stats;
  MiscOutcome misc = MiscOutcome::NotCovered;
  std::array<uint8_t, 40> keptRecord{};
};

// 0, or the exit status with the error printed, when the plan's range does
// not fit the ROM or is empty.
int CheckWriteRange(ZembRun& run, const WritePlan& plan);

// Writes the plan sector by sector (zemb write's algorithm); the device is
// open and its ROM type checked. The exit status; on a failure or an
// interrupt, what went wrong and where the ROM stands are printed.
int WriteImage(ZembRun& run, const WritePlan& plan, WriteOutcome* outcome);

// "16 sectors: 15 skipped, 0 programmed without erase, 1 erased and
// programmed; the written sector verified"
std::string WriteSummary(const WriteStats& stats);

// The ROM type check every ROM command makes first: the device must answer
// and report the type the configuration gives. Prints its error; returns 0
// when the type matches, else the exit status.
int CheckDeviceRomType(ZembRun& run);

// An input file: a regular file (a FIFO or a device would block or never
// end), read in order; reads must deliver exactly what was asked.
class ZembInputFile {
 public:
  ZembInputFile() = default;
  ~ZembInputFile();
  ZembInputFile(const ZembInputFile&) = delete;
  ZembInputFile& operator=(const ZembInputFile&) = delete;
  // False with *error set (a sentence naming the file).
  bool Open(const std::string& path, std::string* error);
  uint64_t Size() const { return size_; }
  bool Read(uint8_t* destination, size_t count);

 private:
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
};

// An output file written whole or not at all: the data goes to a temporary
// file beside it, which replaces the target only when every byte is on
// disk. A target that is not a regular file (a device, a FIFO, a link, a
// folder) is refused rather than replaced.
class ZembOutputFile {
 public:
  ZembOutputFile() = default;
  ~ZembOutputFile();
  ZembOutputFile(const ZembOutputFile&) = delete;
  ZembOutputFile& operator=(const ZembOutputFile&) = delete;
  bool Open(const std::string& path, std::string* error);
  bool Write(const uint8_t* data, size_t count);
  // Flushes, closes and renames over the target; false with *error set.
  bool Commit(std::string* error);
  // Throws the temporary file away; the target stays as it was.
  void Discard();

 private:
  std::string path_;
  std::string temp_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

// One progress line on standard error, redrawn in place while it is a
// terminal (percent, bytes done of total, throughput, time left); nothing at
// all otherwise, so logs keep only the start and result lines.
class ZembProgress {
 public:
  // With a sink, the progress goes there instead of the console.
  ZembProgress(Host& host, const char* verb, uint64_t total, UnitSink* sink = nullptr);
  ~ZembProgress() { Finish(); }
  void Update(uint64_t done);
  // Clears the line.
  void Finish();

 private:
  void Draw(uint64_t done);
  Host& host_;
  UnitSink* sink_;
  const char* verb_;
  uint64_t total_;
  bool terminal_;
  bool drawn_ = false;
  uint64_t startMs_;
  uint64_t lastDrawMs_ = 0;
  size_t lastWidth_ = 0;
};

// "0x0000B000"
std::string Hex32(uint64_t value);
// A JSON string: "text" with quotes, backslashes and control bytes escaped.
std::string JsonString(const std::string& text);
// "1 sector", "2 sectors"
std::string Counted(uint64_t count, const char* noun);

}  // namespace zemb
