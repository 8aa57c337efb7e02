// PRINT shows 1024 bytes of the ROM; ERASE erases an SPI ROM.
#include <array>
#include <string>

#include "common/device/reporting.h"
#include "common/device/requests.h"
#include "romprogram/romprogram.h"

namespace zemb {

int PrintAddress(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  uint8_t deviceType = rom.GetRomType();
  int32_t start = p.StartAddress;
  ShowRomAccessHeading(console, "Print", p.RomType);
  if (!RomTypeMatches(console, p.RomType, deviceType)) return 0;
  std::array<uint8_t, kMaxRomTransfer> buffer{};
  if (!rom.ReadRom(p.Rom, buffer.data(), static_cast<uint32_t>(start), kMaxRomTransfer)) {
    ReportSystemError(console, kCannotReadRom);
    return 0;
  }
  console.PrintAndLog("ROM:%d ~ %d Bytes\n", start, start + 1023);
  std::string text;
  text.reserve(1024 * 3 + 64);
  for (int i = 0; i < 1024; ++i) {
    text += Format("%02x ", buffer[i]);
    if (i % 16 == 15) text += '\n';
  }
  console.WriteAndLog(text);
  return 1;
}

int EraseSpiChip(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  uint8_t deviceType = rom.GetRomType();
  ShowRomAccessHeading(console, "Erase", p.RomType);
  // Nothing erased is no success: a failed type request or an I2C part
  // fails here as it does in every other function.
  if (!RomTypeMatches(console, p.RomType, deviceType)) return 0;
  console.WriteAndLog("    Erase chip ...\n");
  if (rom.CanEraseChip()) {
    if (!rom.EraseChip()) {
      ReportSystemError(console, kCannotEraseRom);
      return 0;
    }
    return 1;
  }
  // Where the transport has no chip erase, the chip is erased sector by
  // sector.
  if (p.Rom.RomSize <= 0) return 0;  // CheckParameter refuses it; never a 4 GiB loop
  const uint32_t size = static_cast<uint32_t>(p.Rom.RomSize);
  for (uint64_t address = 0; address < size; address += 4096) {
    console.PrintAndLog("\r    [OffsetStart : OffsetEnd] %u : %u", static_cast<unsigned>(address),
                        static_cast<unsigned>(address + 4096));
    if (!rom.EraseSector(p.Rom, static_cast<uint32_t>(address))) {
      ReportSystemError(console, kCannotEraseRom);
      return 0;
    }
  }
  console.WriteAndLog("\n");
  return 1;
}

}  // namespace zemb
