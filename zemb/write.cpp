// zemb write: a file into the ROM, sector by sector, touching only what
// differs and proving every sector it wrote.
//
// Each 4096-byte sector is read first. An equal sector is skipped. On SPI
// NOR, programming can only clear bits: a sector whose new data clears bits
// and sets none gets its differing pages programmed without an erase; any
// other sector is erased and its pages that are not all 0xFF programmed
// (an erased page already reads 0xFF). On an I2C EEPROM every write
// overwrites, so the differing pages are written. Every sector written is
// read back and compared before the next one is begun, so an interrupt or a
// failure always leaves a known boundary: below it the ROM holds the file,
// from it on what it held before (but for the one sector named).
#include <algorithm>
#include <array>
#include <cstring>

#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "zemb/pool/kill_point.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

using Sector = std::array<uint8_t, kRomSectorSize>;

class SectorWriter {
 public:
  SectorWriter(ZembRun& run, const WritePlan& plan)
      : run_(run),
        plan_(plan),
        rom_(run.rom),
        table_(run.Table()),
        spi_(run.romType == kRomTypeSpi),
        piece_(std::min<uint32_t>(run.rom.PageSize, kRomSectorSize)) {}

  // Writes one sector at `sector` (n bytes of it inside the ROM) whose file
  // bytes (null: none) lie at [lo, hi). False with the error printed.
  bool Write(uint64_t sector, uint32_t n, uint64_t lo, uint64_t hi, const uint8_t* fileBytes,
             WriteOutcome* outcome);

  // Whether the sector being written may have been changed when it failed.
  bool Touched() const { return touched_; }

 private:
  bool Program(uint64_t sector, uint32_t n, bool (*want)(const uint8_t*, const uint8_t*, uint32_t));
  bool Fail(const char* what, uint64_t address);

  ZembRun& run_;
  const WritePlan& plan_;
  const RomParameter& rom_;
  RomAccessTable& table_;
  const bool spi_;
  const uint32_t piece_;
  Sector old_{}, new_{}, back_{};
  bool touched_ = false;
};

bool SectorWriter::Fail(const char* what, uint64_t address) {
  const std::string why = run_.LastErrorText();
  run_.Error(kExitFailed, "cannot %s the ROM at %s (%s)", what, Hex32(address).c_str(),
             why.c_str());
  return false;
}

// Programs the pieces of the sector that `want` selects (new, old, length).
bool SectorWriter::Program(uint64_t sector, uint32_t n,
                           bool (*want)(const uint8_t*, const uint8_t*, uint32_t)) {
  for (uint32_t offset = 0; offset < n; offset += piece_) {
    const uint32_t count = std::min(piece_, n - offset);
    if (!want(new_.data() + offset, old_.data() + offset, count)) continue;
    touched_ = true;
    const uint64_t address = sector + offset;
    if (!table_.WriteRom(rom_, new_.data() + offset, static_cast<uint32_t>(address), count)) {
      return Fail("write", address);
    }
  }
  return true;
}

// A record that names a unit: a valid serial number (what provisioning
// writes with the MACs), not just bytes that happen to stand there.
bool CarriesIdentity(const uint8_t* record) {
  return ValidSerial(record + kMiscSerialOffset).has_value();
}

bool Differs(const uint8_t* a, const uint8_t* b, uint32_t n) {
  return std::memcmp(a, b, n) != 0;
}
bool NotErased(const uint8_t* a, const uint8_t*, uint32_t n) {
  return !IsErased(a, n);
}
bool Always(const uint8_t*, const uint8_t*, uint32_t) {
  return true;
}

bool SectorWriter::Write(uint64_t sector, uint32_t n, uint64_t lo, uint64_t hi,
                         const uint8_t* fileBytes, WriteOutcome* outcome) {
  touched_ = false;
  WriteStats* stats = &outcome->stats;
  const bool full = plan_.full;
  const uint64_t recordEnd = kMiscAddress + kMiscRecordSize;
  const bool recordHere = sector < recordEnd && sector + n > kMiscAddress;
  const bool coversRecord = fileBytes != nullptr && lo < recordEnd && hi > kMiscAddress;
  const bool partial = fileBytes == nullptr || lo > sector || hi < sector + n;
  // The BURN way reads nothing it need not: only sectors the file covers in
  // part (the rest must survive the erase) and the one whose record is kept.
  const bool readOld = !full || partial || (coversRecord && plan_.misc == MiscRule::Keep);
  if (readOld) {
    if (!table_.ReadRom(rom_, old_.data(), static_cast<uint32_t>(sector), n)) {
      return Fail("read", sector);
    }
  } else {
    old_.fill(0xFF);
  }
  new_ = old_;
  if (fileBytes != nullptr) std::memcpy(new_.data() + (lo - sector), fileBytes, hi - lo);
  if (plan_.misc == MiscRule::Replace && recordHere) {
    std::memcpy(new_.data() + (kMiscAddress - sector), plan_.record, kMiscRecordSize);
    outcome->misc = MiscOutcome::Replaced;
  } else if (coversRecord) {
    if (plan_.misc == MiscRule::Overwrite) {
      outcome->misc = MiscOutcome::Overwritten;
    } else if (IsErased(old_.data() + (kMiscAddress - sector), kMiscRecordSize)) {
      // An image read from a provisioned unit carries that unit's identity;
      // written onto a blank unit it would make a clone.
      const uint8_t* fileRecord = new_.data() + (kMiscAddress - sector);
      if (CarriesIdentity(fileRecord)) {
        std::memcpy(outcome->keptRecord.data(), fileRecord, kMiscRecordSize);
        std::memset(new_.data() + (kMiscAddress - sector), 0xFF, kMiscRecordSize);
        outcome->misc = MiscOutcome::IdentityLeftOut;
      } else {
        outcome->misc = MiscOutcome::ErasedOnUnit;
      }
    } else {
      // The unit's identity wins over whatever the image carries there.
      const uint64_t from = std::max<uint64_t>(lo, kMiscAddress);
      const uint64_t to = std::min<uint64_t>(hi, recordEnd);
      std::memcpy(new_.data() + (from - sector), old_.data() + (from - sector), to - from);
      outcome->misc = MiscOutcome::Kept;
      std::memcpy(outcome->keptRecord.data(), old_.data() + (kMiscAddress - sector),
                  kMiscRecordSize);
    }
  }

  ++stats->sectors;
  bool erase = false;
  bool (*want)(const uint8_t*, const uint8_t*, uint32_t) = Differs;
  if (full) {
    erase = spi_;
    want = Always;
  } else {
    if (std::memcmp(new_.data(), old_.data(), n) == 0) {
      ++stats->skipped;
      return true;
    }
    if (spi_) {
      for (uint32_t i = 0; i < n && !erase; ++i) erase = (new_[i] & ~old_[i]) != 0;
      if (erase) want = NotErased;
    }
  }
  if (erase) {
    touched_ = true;
    if (!table_.EraseSector(rom_, static_cast<uint32_t>(sector))) return Fail("erase", sector);
    old_.fill(0xFF);
  }
  if (!Program(sector, n, want)) return false;
  (erase ? stats->erased : stats->programmed) += 1;

  back_.fill(0);
  if (!table_.ReadRom(rom_, back_.data(), static_cast<uint32_t>(sector), n)) {
    return Fail("read back", sector);
  }
  for (uint32_t i = 0; i < n; ++i) {
    if (back_[i] != new_[i]) {
      run_.Error(kExitFailed, "the sector at %s did not verify: at %s it reads 0x%02X, not 0x%02X",
                 Hex32(sector).c_str(), Hex32(sector + i).c_str(), back_[i], new_[i]);
      return false;
    }
  }
  return true;
}

// Where the ROM stands after a write that stopped at the sector beginning at
// `sector`: below it the file is in place, from it on the ROM is as it was,
// but for that sector itself when it had been touched.
void SayWhereItStopped(ZembRun& run, const WritePlan& plan, uint64_t sector, bool sectorTouched) {
  const uint64_t start = plan.start, end = plan.start + plan.length;
  const uint64_t held = std::max(sector, start);
  std::string text;
  if (held > start) {
    text = Format("the ROM holds %s from %s to %s (verified)", plan.name.c_str(),
                  Hex32(start).c_str(), Hex32(held - 1).c_str());
  } else {
    text = "nothing of " + plan.name + " was written";
  }
  uint64_t asItWas = held;
  if (sectorTouched) {
    text += Format("; the sector at %s may be erased or partly written", Hex32(sector).c_str());
    asItWas = sector + kRomSectorSize;
  }
  if (asItWas < end) {
    text += Format("; from %s to %s the ROM is as it was", Hex32(asItWas).c_str(),
                   Hex32(end - 1).c_str());
  }
  run.Note("%s", text.c_str());
}

}  // namespace

int WriteImage(ZembRun& run, const WritePlan& plan, WriteOutcome* outcome) {
  const uint64_t start = plan.start;
  const uint64_t end = start + plan.length;
  const uint64_t romSize = static_cast<uint64_t>(run.rom.RomSize);
  const uint64_t first = start - start % kRomSectorSize;
  const uint64_t sectorCount = (end - first + kRomSectorSize - 1) / kRomSectorSize;
  SectorWriter writer(run, plan);
  Sector fileBytes{};
  ZembProgress progress(run.host, "write", plan.length, run.sink);
  for (uint64_t sector = first; sector < end; sector += kRomSectorSize) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kRomSectorSize, romSize - sector));
    const uint64_t lo = std::max(start, sector);
    const uint64_t hi = std::min(end, sector + n);
    if (plan.file != nullptr && !plan.file->Read(fileBytes.data(), hi - lo)) {
      progress.Finish();
      run.Error(kExitUsage, "cannot read %s (did it change while being written?)",
                plan.name.c_str());
      SayWhereItStopped(run, plan, sector, false);
      return kExitUsage;
    }
    KillPoint("write.sector");
    if (!writer.Write(sector, n, lo, hi, plan.file != nullptr ? fileBytes.data() : nullptr,
                      outcome)) {
      progress.Finish();
      SayWhereItStopped(run, plan, sector, writer.Touched());
      return kExitFailed;
    }
    progress.Update(hi - start);
    const uint64_t next = sector + kRomSectorSize;
    if (next < end && run.StopRequested()) {
      progress.Finish();
      const uint64_t left = (end - next + kRomSectorSize - 1) / kRomSectorSize;
      run.Error(kExitFailed, "interrupted; %llu of %llu sectors not written",
                static_cast<unsigned long long>(left),
                static_cast<unsigned long long>(sectorCount));
      SayWhereItStopped(run, plan, next, false);
      return kExitFailed;
    }
  }
  progress.Finish();
  return kExitOk;
}

std::string WriteSummary(const WriteStats& stats) {
  const uint64_t written = stats.programmed + stats.erased;
  const std::string verified = written == 0   ? std::string("nothing needed writing")
                               : written == 1 ? std::string("the written sector verified")
                                              : Format("all %llu written sectors verified",
                                                       static_cast<unsigned long long>(written));
  return Format("%s: %llu skipped, %llu programmed without erase, %llu erased and programmed; %s",
                Counted(stats.sectors, "sector").c_str(),
                static_cast<unsigned long long>(stats.skipped),
                static_cast<unsigned long long>(stats.programmed),
                static_cast<unsigned long long>(stats.erased), verified.c_str());
}

namespace {

// The file and the plan of zemb write; 0, or the exit status with the error
// printed.
int SetUpWrite(ZembRun& run, ZembInputFile* file, WritePlan* plan) {
  std::string error;
  if (!file->Open(run.options.file, &error)) return run.Error(kExitUsage, "%s", error.c_str());
  plan->file = file;
  plan->name = run.options.file;
  plan->start = run.options.start.value_or(0);
  plan->length = file->Size();
  plan->full = run.options.full;
  plan->misc = run.options.overwriteMisc ? MiscRule::Overwrite : MiscRule::Keep;
  return CheckWriteRange(run, *plan);
}

}  // namespace

int CheckWriteInputs(ZembRun& run) {
  ZembInputFile file;
  WritePlan plan;
  return SetUpWrite(run, &file, &plan);
}

int ZembWrite(ZembRun& run) {
  ZembInputFile file;
  WritePlan plan;
  if (int status = SetUpWrite(run, &file, &plan)) return status;
  if (int status = run.OpenDevice()) return status;
  if (int status = CheckDeviceRomType(run)) return status;
  // From here an interrupt stops the write at the next sector boundary.
  run.host.CatchInterrupts();

  const uint64_t first = plan.start - plan.start % kRomSectorSize;
  const uint64_t sectorCount =
      (plan.start + plan.length - first + kRomSectorSize - 1) / kRomSectorSize;
  run.Out("writing %s (%s) at %s (%s face, %s ROM): %s, %s\n", plan.name.c_str(),
          Counted(plan.length, "byte").c_str(), Hex32(plan.start).c_str(), run.FaceId(),
          RomTypeText(run.romType), Counted(sectorCount, "sector").c_str(),
          plan.full ? "every sector erased and written" : "only what differs");
  WriteOutcome outcome;
  if (int status = WriteImage(run, plan, &outcome)) return status;
  run.Out("wrote %s: %s\n", plan.name.c_str(), WriteSummary(outcome.stats).c_str());
  switch (outcome.misc) {
    case MiscOutcome::Kept: {
      const uint8_t* record = outcome.keptRecord.data();
      if (run.sink != nullptr) {
        run.sink->SetSerial(ValidSerial(record + kMiscSerialOffset).value_or(""));
        auto mac = [](const uint8_t* m) {
          return IsErased(m, kMacLength) ? std::string() : MacText(m);
        };
        run.sink->SetMacs(mac(record + kMiscPSideMacOffset), mac(record + kMiscSSideMacOffset));
      }
      run.Out("kept the unit's misc record: serial number %s, P-side MAC %s, S-side MAC %s\n",
              SerialText(record + kMiscSerialOffset).c_str(),
              MacText(record + kMiscPSideMacOffset).c_str(),
              MacText(record + kMiscSSideMacOffset).c_str());
      break;
    }
    case MiscOutcome::ErasedOnUnit:
      run.Out("the unit's misc record was erased; the file's bytes stand there\n");
      break;
    case MiscOutcome::IdentityLeftOut: {
      const uint8_t* record = outcome.keptRecord.data();
      const std::string what =
          "serial number " + ValidSerial(record + kMiscSerialOffset).value_or("");
      run.Out(
          "the unit's misc record was erased and %s's carries %s; it is left erased, so the "
          "unit is no clone of the one the file was read from (--overwrite-misc writes it)\n",
          plan.name.c_str(), what.c_str());
      break;
    }
    case MiscOutcome::Overwritten:
      run.Out("the file's bytes replaced the unit's misc record (--overwrite-misc)\n");
      break;
    case MiscOutcome::Replaced:
    case MiscOutcome::NotCovered:
      break;
  }
  return kExitOk;
}

int CheckWriteRange(ZembRun& run, const WritePlan& plan) {
  const uint64_t romSize = static_cast<uint64_t>(run.rom.RomSize);
  if (plan.length == 0) return run.Error(kExitUsage, "%s is empty", plan.name.c_str());
  if (plan.start >= romSize || plan.length > romSize - plan.start) {
    return run.Error(kExitUsage, "%s (%llu bytes from %s) does not fit in the ROM of %llu bytes",
                     plan.name.c_str(), static_cast<unsigned long long>(plan.length),
                     Hex32(plan.start).c_str(), static_cast<unsigned long long>(romSize));
  }
  return 0;
}

}  // namespace zemb
