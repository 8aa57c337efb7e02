// zemb provision: a value of an identity pool (the unit's own, or the next
// one), written with an image, read back, and recorded.
#include "zemb/provision.h"

#include <array>
#include <cstring>
#include <vector>

#include "common/base/numbers.h"
#include "common/device/unit_list.h"
#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "zemb/pool/kill_point.h"
#include "zemb/sha256.h"
#include "zemb/zemb_run.h"
#if defined(_WIN32)
#include "common/host/windows_api.h"
#else
#include <unistd.h>
#endif

namespace zemb {

bool HashFile(const std::string& path, std::string* digest, std::string* error) {
  ZembInputFile file;
  if (!file.Open(path, error)) return false;
  Sha256 sha;
  std::array<uint8_t, 65536> buffer{};
  for (uint64_t left = file.Size(); left > 0;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), left));
    if (!file.Read(buffer.data(), n)) {
      *error = "cannot read " + path;
      return false;
    }
    sha.Update(buffer.data(), n);
    left -= n;
  }
  *digest = Sha256::Hex(sha.Finish());
  return true;
}

namespace {

bool ParseMacText(const std::string& text, uint8_t mac[6]) {
  if (text.size() != 17) return false;
  for (int i = 0; i < 6; ++i) {
    const int hi = HexDigit(text[3 * i]), lo = HexDigit(text[3 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    mac[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

std::array<uint8_t, kMiscRecordSize> MiscRecordOf(const UnitRecord& r) {
  std::array<uint8_t, kMiscRecordSize> record{};
  ParseMacText(r.macP, record.data() + kMiscPSideMacOffset);
  ParseMacText(r.macS, record.data() + kMiscSSideMacOffset);
  for (int i = 0; i < kSerialLength; ++i) {
    record[kMiscSerialOffset + 2 * i] = static_cast<uint8_t>(r.serial[i]);
    record[kMiscSerialOffset + 2 * i + 1] = 0;
  }
  return record;
}

// Reads the range the image was written to, and the record when the image
// does not cover it, and checks them against the file and the record:
// *digest is the SHA-256 of what the image's range holds now. False with
// the error printed.
bool ReadBack(ZembRun& run, const ProvisionInputs& in, const std::array<uint8_t, 40>& record,
              std::string* digest) {
  ZembInputFile file;
  std::string error;
  if (!file.Open(in.image, &error)) {
    run.Error(kExitFailed, "%s", error.c_str());
    return false;
  }
  Sha256 sha;
  std::vector<uint8_t> expected(kRomSectorSize), back(kRomSectorSize);
  const uint64_t end = in.start + in.length;
  for (uint64_t at = in.start; at < end;) {
    const uint64_t n = std::min<uint64_t>(kRomSectorSize - at % kRomSectorSize, end - at);
    if (!file.Read(expected.data(), n)) {
      run.Error(kExitFailed, "cannot read %s again (did it change while being written?)",
                in.image.c_str());
      return false;
    }
    if (!run.Table().ReadRom(run.rom, back.data(), static_cast<uint32_t>(at),
                             static_cast<uint32_t>(n))) {
      run.Error(kExitFailed, "cannot read the ROM back at %s (%s)", Hex32(at).c_str(),
                run.LastErrorText().c_str());
      return false;
    }
    // The record's bytes are the pool's value, not the file's.
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t address = at + i;
      if (address >= kMiscAddress && address < kMiscAddress + kMiscRecordSize) {
        expected[i] = record[address - kMiscAddress];
      }
      if (back[i] != expected[i]) {
        run.Error(kExitFailed, "read back, the ROM at %s holds 0x%02X, not 0x%02X",
                  Hex32(address).c_str(), back[i], expected[i]);
        return false;
      }
    }
    sha.Update(back.data(), static_cast<size_t>(n));
    at += n;
  }
  std::array<uint8_t, kMiscRecordSize> held{};
  if (!run.Table().ReadRom(run.rom, held.data(), kMiscAddress, kMiscRecordSize)) {
    run.Error(kExitFailed, "cannot read the misc record back (%s)", run.LastErrorText().c_str());
    return false;
  }
  if (held != record) {
    run.Error(kExitFailed, "read back, the misc record does not hold the values written");
    return false;
  }
  *digest = Sha256::Hex(sha.Finish());
  return true;
}

// The record could not reach the store: it waits in the spool, and the run
// says what the operator must do. Always exit status 1.
int SpoolOrSay(ZembRun& run, const ProvisionInputs& in, const UnitRecord& record,
               const PoolError& why) {
  std::string error;
  const std::string spool = SpoolPath();
  const std::string pool = MaskSecrets(in.poolSpec);
  const bool written = record.state == UnitState::Committed;
  const std::string what =
      written ? "the unit was written and verified" : "the unit's write failed";
  if (SpoolRecord(spool, in.poolSpec, record, &error)) {
    return run.Error(kExitFailed,
                     "%s (serial number %s), but its record could not reach the pool (%s); the "
                     "record waits in %s: run 'zemb pool sync --pool %s' once the pool can be "
                     "reached",
                     what.c_str(), record.serial.c_str(), why.text.c_str(), spool.c_str(),
                     pool.c_str());
  }
  return run.Error(kExitFailed,
                   "%s (serial number %s, P-side MAC %s, S-side MAC %s, %s), but neither the pool "
                   "(%s) nor the spool (%s) could take its record; write it down for the pool",
                   what.c_str(), record.serial.c_str(), record.macP.c_str(), record.macS.c_str(),
                   UnitStateName(record.state), why.text.c_str(), error.c_str());
}

}  // namespace

std::string StationName() {
#if defined(_WIN32)
  char name[256] = {};
  DWORD size = sizeof(name);
  if (GetComputerNameA(name, &size)) return std::string(name, size);
  return "";
#else
  char name[256] = {};
  if (gethostname(name, sizeof(name) - 1) == 0) return name;
  return "";
#endif
}

int CheckProvisionInputs(ZembRun& run, ProvisionInputs* in) {
  const ZembOptions& o = run.options;
  std::string error;
  ZembInputFile file;
  if (!file.Open(o.file, &error) || !HashFile(o.file, &in->imageSha256, &error)) {
    return run.Error(kExitUsage, "%s", error.c_str());
  }
  in->image = o.file;
  in->start = o.start.value_or(0);
  in->length = file.Size();
  WritePlan plan;
  plan.name = o.file;
  plan.start = in->start;
  plan.length = in->length;
  if (int status = CheckWriteRange(run, plan)) return status;
  if (static_cast<uint64_t>(run.rom.RomSize) < kMiscAddress + kMiscRecordSize) {
    return run.Error(kExitUsage, "a ROM of %d bytes has no room for the misc record at 0xB000",
                     run.rom.RomSize);
  }
  std::optional<PoolRange> range;
  if (o.count) {
    PoolRange r;
    if (!MakePoolRange(o.serialFrom, o.macFrom, *o.count, &r, &error)) {
      return run.Error(kExitUsage, "%s", error.c_str());
    }
    range = r;
  }
  in->poolSpec = o.pool;
  PoolError why;
  in->pool = MakePoolStore(o.pool, &why);
  if (in->pool == nullptr) {
    return run.Error(ExitStatusOf(why.kind), "%s; nothing was written to any unit",
                     why.text.c_str());
  }
  PoolWaitNote noted(run, *in->pool);
  if (!in->pool->Open(&why)) {
    return run.Error(ExitStatusOf(why.kind), "%s; nothing was written to any unit",
                     why.text.c_str());
  }
  if (range && !(*range == in->pool->Range())) {
    const PoolRange& have = in->pool->Range();
    return run.Error(kExitUsage,
                     "the pool %s holds another pool (serial numbers from %s, MACs from %s, %u "
                     "units); leave out --serial-from, --mac-from and --count",
                     in->pool->Name().c_str(), have.serialFrom.c_str(),
                     NthValue(have, 0).macP.c_str(), have.count);
  }
  return 0;
}

PoolWaitNote::PoolWaitNote(ZembRun& run, PoolStore& pool) : pool_(pool) {
  pool_.SetWaitNote([&run](const std::string& text) { run.Note("%s", text.c_str()); });
}

PoolWaitNote::~PoolWaitNote() {
  pool_.SetWaitNote({});
}

std::unique_ptr<PoolStore> OpenPoolAgain(const ProvisionInputs& inputs, PoolError* error) {
  std::unique_ptr<PoolStore> store = MakePoolStore(inputs.poolSpec, error);
  if (store != nullptr && !store->Open(error)) store.reset();
  return store;
}

int CheckProvisionInputs(ZembRun& run) {
  ProvisionInputs in;
  return CheckProvisionInputs(run, &in);
}

int ProvisionUnit(ZembRun& run, const ProvisionInputs& in, PoolStore& pool, const UnitFacts& facts,
                  UnitRecord* out) {
  PoolWaitNote noted(run, pool);
  if (int status = run.OpenDevice()) return status;
  if (int status = CheckDeviceRomType(run)) return status;
  if (run.target != nullptr && !run.target->cloneOf.empty()) {
    return run.Error(kExitFailed,
                     "the unit carries serial number %s, as does %s in this run: they are clones "
                     "(an image read from one written onto another); neither is provisioned, "
                     "set them aside for an engineer",
                     run.target->serial.c_str(), run.target->cloneOf.c_str());
  }
  std::array<uint8_t, kMiscRecordSize> current{};
  if (!run.Table().ReadRom(run.rom, current.data(), kMiscAddress, kMiscRecordSize)) {
    const std::string why = run.LastErrorText();
    return run.Error(kExitFailed, "cannot read the unit's misc record (%s)", why.c_str());
  }
  UnitCarries carries;
  carries.serial = ValidSerial(current.data() + kMiscSerialOffset).value_or("");
  if (!carries.serial.empty()) {
    carries.macP = MacText(current.data() + kMiscPSideMacOffset);
    carries.macS = MacText(current.data() + kMiscSSideMacOffset);
  }

  UnitRecord claim;
  claim.image = in.image;
  claim.imageSha256 = in.imageSha256;
  claim.devicePath = run.device.devicePath;
  claim.port = run.target != nullptr ? run.target->port : run.host.DevicePort(claim.devicePath);
  claim.unitId = run.target != nullptr ? run.target->id : UnitId(claim.port, claim.devicePath);
  claim.station = facts.station.empty() ? StationName() : facts.station;
  claim.operatorName = facts.operatorName;
  claim.toolVersion = kZembVersion;
  claim.start = UtcNow();
  claim.profileSha256 = facts.profileSha256;
  claim.label = facts.label;

  Reservation reservation;
  PoolError why;
  if (!pool.Reserve(carries, claim, &reservation, &why)) {
    return run.Error(ExitStatusOf(why.kind), "%s; nothing was written to the unit",
                     why.text.c_str());
  }
  UnitRecord record = reservation.record;
  if (out != nullptr) *out = record;
  if (run.sink != nullptr) run.sink->SetSerial(record.serial);
  const auto misc = MiscRecordOf(record);
  run.Out("provisioning %s (%s face): serial number %s, P-side MAC %s, S-side MAC %s%s\n",
          run.device.devicePath.c_str(), run.FaceId(), record.serial.c_str(), record.macP.c_str(),
          record.macS.c_str(), reservation.kept ? " (the unit's own, from this pool)" : "");

  run.host.CatchInterrupts();
  ZembInputFile file;
  std::string error;
  int status = kExitOk;
  WriteOutcome outcome;
  if (!file.Open(in.image, &error)) {
    status = run.Error(kExitFailed, "%s", error.c_str());
  } else {
    WritePlan plan;
    plan.file = &file;
    plan.name = in.image;
    plan.start = in.start;
    plan.length = in.length;
    plan.misc = MiscRule::Replace;
    plan.record = misc.data();
    status = WriteImage(run, plan, &outcome);
  }
  if (status == kExitOk && outcome.misc != MiscOutcome::Replaced) {
    // The image does not reach the record: its sector on its own.
    WritePlan recordPlan;
    recordPlan.name = "the misc record";
    recordPlan.start = kMiscAddress;
    recordPlan.length = kMiscRecordSize;
    recordPlan.misc = MiscRule::Replace;
    recordPlan.record = misc.data();
    WriteOutcome recordOutcome;
    status = WriteImage(run, recordPlan, &recordOutcome);
    outcome.stats.sectors += recordOutcome.stats.sectors;
    outcome.stats.skipped += recordOutcome.stats.skipped;
    outcome.stats.programmed += recordOutcome.stats.programmed;
    outcome.stats.erased += recordOutcome.stats.erased;
  }
  KillPoint("readback");
  if (status == kExitOk && !ReadBack(run, in, misc, &record.readbackSha256)) status = kExitFailed;
  record.end = UtcNow();

  if (status == kExitOk) {
    record.state = UnitState::Committed;
    record.reason.clear();
    if (out != nullptr) *out = record;
    KillPoint("commit");
    if (!pool.Finish(record, &why)) return SpoolOrSay(run, in, record, why);
    run.Out("provisioned: %s\n", WriteSummary(outcome.stats).c_str());
    return kExitOk;
  }

  // The write failed. The value goes back to the pool only when the unit
  // provably does not hold it: its record reads, and holds something else.
  // A value the unit carried before is never given back.
  record.reason = run.lastError;
  std::array<uint8_t, kMiscRecordSize> now{};
  // An interrupt stops a write at a sector boundary, so the record still
  // reads true afterwards.
  const bool readable = run.Table().ReadRom(run.rom, now.data(), kMiscAddress, kMiscRecordSize);
  const bool holds =
      !readable || ValidSerial(now.data() + kMiscSerialOffset).value_or("") == record.serial;
  record.state = reservation.kept || holds ? UnitState::Failed : UnitState::Released;
  if (out != nullptr) *out = record;
  if (!pool.Finish(record, &why)) {
    SpoolOrSay(run, in, record, why);
    return status;
  }
  if (record.state == UnitState::Released) {
    run.Note("the unit does not hold serial number %s; it goes back to the pool",
             record.serial.c_str());
  } else {
    run.Note(
        "serial number %s is held as failed (the unit may carry it); 'zemb pool status' "
        "lists it for an engineer",
        record.serial.c_str());
  }
  return status;
}

void MarkClones(std::vector<UnitTarget>* targets) {
  for (UnitTarget& t : *targets) {
    for (const UnitTarget& u : *targets) {
      if (&t == &u || t.serial.empty() || t.serial != u.serial) continue;
      // One unit shows on several faces with one serial number; a port
      // tells them apart where the host knows it.
      const bool twoUnits =
          t.face == u.face || (!t.port.empty() && !u.port.empty() && t.port != u.port);
      if (twoUnits) t.cloneOf += (t.cloneOf.empty() ? "" : ", ") + u.id;
    }
  }
}

int ZembProvision(ZembRun& run) {
  ProvisionInputs in;
  if (int status = CheckProvisionInputs(run, &in)) return status;
  UnitFacts facts;
  facts.station = run.options.station;
  facts.operatorName = run.options.operatorName;
  return ProvisionUnit(run, in, *in.pool, facts, nullptr);
}

}  // namespace zemb
