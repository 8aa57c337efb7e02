// zemb read and zemb verify: the ROM out to a file, and the ROM against a
// file, in 4096-byte reads.
#include <algorithm>
#include <array>
#include <vector>

#include "common/device/requests.h"
#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

constexpr uint32_t kChunk = kMaxRomTransfer;

// Whether [start, start + length) lies inside the configured ROM; prints why
// not.
bool RangeInRom(ZembRun& run, uint64_t start, uint64_t length, const char* what) {
  const uint64_t size = static_cast<uint64_t>(run.rom.RomSize);
  if (start >= size || length > size - start) {
    run.Error(kExitUsage, "%s (%llu bytes from %s) does not fit in the ROM of %llu bytes", what,
              static_cast<unsigned long long>(length), Hex32(start).c_str(),
              static_cast<unsigned long long>(size));
    return false;
  }
  return true;
}

}  // namespace

int ZembRead(ZembRun& run) {
  const uint64_t start = run.options.start.value_or(0);
  const uint64_t size = static_cast<uint64_t>(run.rom.RomSize);
  const uint64_t length =
      run.options.length ? *run.options.length : (start < size ? size - start : 0);
  if (!RangeInRom(run, start, length, "the range to read")) return kExitUsage;
  // From here Ctrl-C ends the run with the temporary file removed (a wait
  // for the unit's hold gives up).
  run.host.CatchInterrupts();
  ZembOutputFile out;
  std::string error;
  if (!out.Open(run.options.file, &error)) return run.Error(kExitUsage, "%s", error.c_str());
  if (int status = run.OpenDevice()) return status;
  if (int status = CheckDeviceRomType(run)) return status;

  run.Out("reading %llu bytes from %s (%s face) into %s\n", static_cast<unsigned long long>(length),
          Hex32(start).c_str(), run.FaceId(), run.options.file.c_str());
  ZembProgress progress(run.host, "read", length);
  std::array<uint8_t, kChunk> buffer{};
  for (uint64_t done = 0; done < length;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, length - done));
    const uint64_t address = start + done;
    if (!run.Table().ReadRom(run.rom, buffer.data(), static_cast<uint32_t>(address), n)) {
      progress.Finish();
      const std::string why = run.LastErrorText();
      return run.Error(kExitFailed, "cannot read the ROM at %s (%s); %s was not written",
                       Hex32(address).c_str(), why.c_str(), run.options.file.c_str());
    }
    if (!out.Write(buffer.data(), n)) {
      progress.Finish();
      return run.Error(kExitFailed, "cannot write %s (disk full?); it was not written",
                       run.options.file.c_str());
    }
    done += n;
    progress.Update(done);
    if (done < length && run.StopRequested()) {
      progress.Finish();
      return run.Error(kExitFailed, "interrupted; %s was not written", run.options.file.c_str());
    }
  }
  progress.Finish();
  if (!out.Commit(&error)) return run.Error(kExitFailed, "%s", error.c_str());
  run.Out("read %llu bytes into %s\n", static_cast<unsigned long long>(length),
          run.options.file.c_str());
  return kExitOk;
}

namespace {

// Runs of differing bytes, merged across read boundaries.
class DifferenceList {
 public:
  static constexpr size_t kShown = 8;
  void Add(uint64_t address, uint8_t rom, uint8_t file) {
    ++bytes_;
    if (count_ > 0 && address == end_) {
      ++end_;
      if (count_ <= kShown) shown_.back().end = end_;
      return;
    }
    ++count_;
    end_ = address + 1;
    if (count_ <= kShown) shown_.push_back({address, end_, rom, file});
  }
  uint64_t Count() const { return count_; }
  uint64_t Bytes() const { return bytes_; }
  struct Range {
    uint64_t start, end;
    uint8_t rom, file;  // at start
  };
  const std::vector<Range>& Shown() const { return shown_; }

 private:
  uint64_t count_ = 0, bytes_ = 0, end_ = 0;
  std::vector<Range> shown_;
};

}  // namespace

int ZembVerify(ZembRun& run) {
  ZembInputFile file;
  std::string error;
  if (!file.Open(run.options.file, &error)) return run.Error(kExitUsage, "%s", error.c_str());
  const uint64_t start = run.options.start.value_or(0);
  const uint64_t length = file.Size();
  if (length == 0) return run.Error(kExitUsage, "%s is empty", run.options.file.c_str());
  if (!RangeInRom(run, start, length, run.options.file.c_str())) return kExitUsage;
  if (int status = run.OpenDevice()) return status;
  if (int status = CheckDeviceRomType(run)) return status;
  run.host.CatchInterrupts();

  run.Out("verifying %s (%llu bytes) against the ROM at %s (%s face)\n", run.options.file.c_str(),
          static_cast<unsigned long long>(length), Hex32(start).c_str(), run.FaceId());
  ZembProgress progress(run.host, "verify", length);
  std::array<uint8_t, kChunk> rom{}, expected{};
  DifferenceList differences;
  // The unit's misc record, which write keeps from the unit: an image
  // written onto a provisioned unit always differs there.
  const uint64_t recordEnd = kMiscAddress + kMiscRecordSize;
  auto inRecord = [recordEnd](uint64_t a) { return a >= kMiscAddress && a < recordEnd; };
  bool recordDiffers = false;
  for (uint64_t done = 0; done < length;) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, length - done));
    const uint64_t address = start + done;
    if (!file.Read(expected.data(), n)) {
      progress.Finish();
      return run.Error(kExitUsage, "cannot read %s (did it change while being read?)",
                       run.options.file.c_str());
    }
    if (!run.Table().ReadRom(run.rom, rom.data(), static_cast<uint32_t>(address), n)) {
      progress.Finish();
      const std::string why = run.LastErrorText();
      return run.Error(kExitFailed, "cannot read the ROM at %s (%s)", Hex32(address).c_str(),
                       why.c_str());
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (rom[i] == expected[i]) continue;
      if (inRecord(address + i)) {
        if (run.options.ignoreMisc) continue;
        recordDiffers = true;
      }
      differences.Add(address + i, rom[i], expected[i]);
    }
    done += n;
    progress.Update(done);
    if (done < length && run.StopRequested()) {
      progress.Finish();
      return run.Error(kExitFailed, "interrupted; %s was verified up to %s only",
                       run.options.file.c_str(), Hex32(address + n).c_str());
    }
  }
  progress.Finish();
  const bool recordLeftOut =
      run.options.ignoreMisc && start < recordEnd && start + length > kMiscAddress;
  if (differences.Count() == 0) {
    run.Out("verified: the ROM holds %s%s\n", run.options.file.c_str(),
            recordLeftOut ? Format(" (but for the misc record at %s-%s, not compared)",
                                   Hex32(kMiscAddress).c_str(), Hex32(recordEnd - 1).c_str())
                                .c_str()
                          : "");
    return kExitOk;
  }
  run.Out("the ROM differs from %s in %s, %s:\n", run.options.file.c_str(),
          Counted(differences.Bytes(), "byte").c_str(),
          Counted(differences.Count(), "range").c_str());
  for (const auto& r : differences.Shown()) {
    run.Out("  %s-%s (%s): first at %s: ROM 0x%02X, file 0x%02X\n", Hex32(r.start).c_str(),
            Hex32(r.end - 1).c_str(), Counted(r.end - r.start, "byte").c_str(),
            Hex32(r.start).c_str(), r.rom, r.file);
  }
  if (differences.Count() > DifferenceList::kShown) {
    run.Out("  ... and %s more\n",
            Counted(differences.Count() - DifferenceList::kShown, "range").c_str());
  }
  if (recordDiffers) {
    run.Note(
        "%s-%s is the unit's misc record (serial number and MACs), which write keeps from "
        "the unit; --ignore-misc leaves it out of the comparison",
        Hex32(kMiscAddress).c_str(), Hex32(recordEnd - 1).c_str());
  }
  return run.Error(kExitFailed, "verify failed: the ROM differs from %s", run.options.file.c_str());
}

}  // namespace zemb
