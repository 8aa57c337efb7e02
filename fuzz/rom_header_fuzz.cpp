// The ROM header checks on any first sector: what each one may change, and
// what holds once it has run.
#include <array>
#include <cstring>

#include "common/base/console.h"
#include "common/rom/rom_layout.h"
#include "fuzz/fuzz_support.h"
#include "sim/sim_host.h"

namespace {

using namespace zemb;

using Sector = std::array<uint8_t, kRomSectorSize>;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Bytes outside [from, to) are as they were.
bool SameOutside(const Sector& a, const Sector& b, size_t from, size_t to) {
  return std::memcmp(a.data(), b.data(), from) == 0 &&
         std::memcmp(a.data() + to, b.data() + to, a.size() - to) == 0;
}

bool EntryIs(const Sector& header, size_t offset, const RegionEntry& want) {
  const RegionEntry got = DecodeRegionEntry(header.data() + offset);
  return got.RegionType == want.RegionType && got.RegionStart == want.RegionStart &&
         got.RegionLength == want.RegionLength;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The updates always read a whole sector; what the ROM does not supply
  // here is erased.
  Sector read;
  read.fill(0xFF);
  std::memcpy(read.data(), data, size < read.size() ? size : read.size());

  sim::VirtualClock clock;
  sim::SimHost host(sim::SimMachine{}, nullptr, clock, sim::ConsoleMode::Capture);
  Console console(host);

  // Full header check (HWFW).
  {
    Sector header = read;
    const bool wasValid = IsRomHeaderValid(header);
    const bool replaced = CheckFullRomHeader(console, header);
    ZEMB_FUZZ_CHECK(replaced == !wasValid);
    ZEMB_FUZZ_CHECK(IsRomHeaderValid(header));
    ZEMB_FUZZ_CHECK(SameOutside(header, read, 0, kHeaderDefinedBytes));
    if (!replaced) ZEMB_FUZZ_CHECK(header == read);
    if (replaced) {
      const auto fresh = EncodeRomHeader(DefaultRomHeader(0));
      ZEMB_FUZZ_CHECK(std::memcmp(header.data(), fresh.data(), kHeaderDefinedBytes) == 0);
    }
    const Sector checked = header;
    RefreshRomHeader(header);
    ZEMB_FUZZ_CHECK(EntryIs(header, kHwFwEntryOffset, DefaultHwFwEntry()));
    ZEMB_FUZZ_CHECK(EntryIs(header, kDescEntryOffset, DefaultDescEntry()));
    ZEMB_FUZZ_CHECK(EntryIs(header, kMiscEntryOffset, DefaultMiscEntry()));
    // The image entry and everything outside the three entries are kept.
    ZEMB_FUZZ_CHECK(std::memcmp(header.data() + kImageEntryOffset,
                                checked.data() + kImageEntryOffset, kRegionEntrySize) == 0);
    ZEMB_FUZZ_CHECK(SameOutside(header, checked, kHwFwEntryOffset, kHeaderDefinedBytes));
    ZEMB_FUZZ_CHECK(IsRomHeaderValid(header));
  }

  // HW/FW presence check (IMG).
  {
    Sector header = read;
    uint32_t start = 0x12345678, length = 0x9ABCDEF0;
    const bool present = CheckHwFwPresence(console, header, &start, &length);
    ZEMB_FUZZ_CHECK(present == (read[kHwFwEntryOffset] == REGION_HWFW));
    if (present) {
      ZEMB_FUZZ_CHECK(start == kImageAddress);
      ZEMB_FUZZ_CHECK(header[kImageEntryOffset] == REGION_IMAGE);
      ZEMB_FUZZ_CHECK(Le32(header.data() + kImageEntryOffset + 2) == kImageAddress);
      ZEMB_FUZZ_CHECK(length == Le32(header.data() + kImageEntryOffset + 6));
      ZEMB_FUZZ_CHECK(
          SameOutside(header, read, kImageEntryOffset, kImageEntryOffset + kRegionEntrySize));
      const uint32_t newLength = Le32(read.data() + 64);
      SetImageEntry(header, newLength);
      ZEMB_FUZZ_CHECK(DecodeRegionEntry(header.data() + kImageEntryOffset) ==
                      ImageEntry(newLength));
    } else {
      ZEMB_FUZZ_CHECK(header == read);
    }
  }

  // Entries survive encoding.
  for (size_t offset : {kHwFwEntryOffset, kDescEntryOffset, kImageEntryOffset, kMiscEntryOffset}) {
    const RegionEntry entry = DecodeRegionEntry(read.data() + offset);
    const auto bytes = EncodeRegionEntry(entry);
    ZEMB_FUZZ_CHECK(std::memcmp(bytes.data(), read.data() + offset, kRegionEntrySize) == 0);
  }
  const auto made = EncodeRomHeader(DefaultRomHeader(Le32(read.data() + 64)));
  ZEMB_FUZZ_CHECK(IsRomHeaderValid(made));
  return 0;
}
