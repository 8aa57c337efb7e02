// zemb provision: the next serial number and MAC pair of a ledger's pool,
// written with an image, verified, and recorded.
#include <array>
#include <cstring>

#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "zemb/ledger.h"
#include "zemb/sha256.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

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

std::array<uint8_t, kMiscRecordSize> RecordOf(const Allocation& a) {
  std::array<uint8_t, kMiscRecordSize> record{};
  std::memcpy(record.data() + kMiscPSideMacOffset, a.macP, kMacLength);
  std::memcpy(record.data() + kMiscSSideMacOffset, a.macS, kMacLength);
  for (int i = 0; i < kSerialLength; ++i) {
    record[kMiscSerialOffset + 2 * i] = static_cast<uint8_t>(a.serial[i]);
    record[kMiscSerialOffset + 2 * i + 1] = 0;
  }
  return record;
}

// What provisioning needs before it touches a unit: the file and its
// digest, the plan, and the ledger (made from the pool when it is new).
struct ProvisionSetUp {
  ZembInputFile file;
  std::string digest;
  WritePlan plan;
  Ledger ledger;
};

int SetUpProvision(ZembRun& run, ProvisionSetUp* s) {
  const ZembOptions& o = run.options;
  std::string error;
  if (!s->file.Open(o.file, &error) || !HashFile(o.file, &s->digest, &error)) {
    return run.Error(kExitUsage, "%s", error.c_str());
  }
  std::optional<LedgerPool> pool;
  if (o.count) {
    LedgerPool p;
    if (!MakeLedgerPool(o.serialFrom, o.macFrom, *o.count, &p, &error)) {
      return run.Error(kExitUsage, "%s", error.c_str());
    }
    pool = p;
  }
  WritePlan& plan = s->plan;
  plan.file = &s->file;
  plan.name = o.file;
  plan.start = o.start.value_or(0);
  plan.length = s->file.Size();
  plan.misc = MiscRule::Replace;
  if (int status = CheckWriteRange(run, plan)) return status;
  if (static_cast<uint64_t>(run.rom.RomSize) < kMiscAddress + kMiscRecordSize) {
    return run.Error(kExitUsage, "a ROM of %d bytes has no room for the misc record at 0xB000",
                     run.rom.RomSize);
  }
  if (!s->ledger.Open(o.ledger, pool, &error)) return run.Error(kExitUsage, "%s", error.c_str());
  return 0;
}

}  // namespace

int CheckProvisionInputs(ZembRun& run) {
  ProvisionSetUp s;
  return SetUpProvision(run, &s);
}

int ZembProvision(ZembRun& run) {
  ProvisionSetUp s;
  if (int status = SetUpProvision(run, &s)) return status;
  std::string error;
  const std::string& digest = s.digest;
  WritePlan& plan = s.plan;
  Ledger& ledger = s.ledger;

  if (int status = run.OpenDevice()) return status;
  if (int status = CheckDeviceRomType(run)) return status;
  std::array<uint8_t, kMiscRecordSize> current{};
  if (!run.Table().ReadRom(run.rom, current.data(), kMiscAddress, kMiscRecordSize)) {
    const std::string why = run.LastErrorText();
    return run.Error(kExitFailed, "cannot read the unit's misc record (%s)", why.c_str());
  }
  const std::string unitSerial = ValidSerial(current.data() + kMiscSerialOffset).value_or("");
  Allocation allocation;
  if (!ledger.Allocate(unitSerial, run.device.devicePath, digest, &allocation, &error)) {
    return run.Error(kExitUsage, "%s; nothing was written to the unit", error.c_str());
  }
  if (run.sink != nullptr) run.sink->SetSerial(allocation.serial);
  const auto record = RecordOf(allocation);
  plan.record = record.data();
  run.Out("provisioning %s (%s face): serial number %s, P-side MAC %s, S-side MAC %s%s\n",
          run.device.devicePath.c_str(), run.FaceId(), allocation.serial.c_str(),
          MacText(allocation.macP).c_str(), MacText(allocation.macS).c_str(),
          allocation.reused ? " (the unit's own, from this ledger)" : "");

  run.host.CatchInterrupts();
  WriteOutcome outcome;
  int status = WriteImage(run, plan, &outcome);
  if (status == kExitOk && outcome.misc != MiscOutcome::Replaced) {
    // The image does not reach the record: its sector on its own.
    WritePlan recordPlan;
    recordPlan.name = "the misc record";
    recordPlan.start = kMiscAddress;
    recordPlan.length = kMiscRecordSize;
    recordPlan.misc = MiscRule::Replace;
    recordPlan.record = record.data();
    WriteOutcome recordOutcome;
    status = WriteImage(run, recordPlan, &recordOutcome);
    outcome.stats.sectors += recordOutcome.stats.sectors;
    outcome.stats.skipped += recordOutcome.stats.skipped;
    outcome.stats.programmed += recordOutcome.stats.programmed;
    outcome.stats.erased += recordOutcome.stats.erased;
  }
  const std::string result = status == kExitOk ? "ok" : "failed: " + run.lastError;
  if (!ledger.Record(allocation, run.device.devicePath, digest, result, &error)) {
    // The values stay handed out all the same: the allocation is on disk.
    run.Error(kExitFailed, "%s", error.c_str());
    return kExitFailed;
  }
  if (status != kExitOk) return status;
  run.Out("provisioned: %s\n", WriteSummary(outcome.stats).c_str());
  return kExitOk;
}

}  // namespace zemb
