// The misc sector update: a read-modify-write of the 40-byte misc record,
// with the sector erased first on an SPI ROM and every byte read back.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "common/base/bytes.h"
#include "common/device/reporting.h"
#include "common/device/requests.h"
#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "rommisc/rommisc.h"

namespace zemb {

namespace {

using MiscRecord = std::array<uint8_t, kMiscRecordSize>;

// Once the sector has been erased or partly written, the fields this run
// meant to keep may be gone from the ROM. The operator gets them in the
// forms the command line takes, so they can be programmed again.
void ShowRecordAsRead(Console& console, const MiscRecord& record) {
  console.Print("    Misc record before this run: P-side MAC %s, S-side MAC %s, serial number %s\n",
                MacText(record.data() + kMiscPSideMacOffset).c_str(),
                MacText(record.data() + kMiscSSideMacOffset).c_str(),
                SerialText(record.data() + kMiscSerialOffset).c_str());
}

// The steps both functions share; `change` replaces this run's fields in
// the record read from the ROM.
template <typename Change>
int UpdateMiscRecord(Console& console, RomAccessTable& rom, RomMiscParameters& p, Change change) {
  const uint8_t deviceType = rom.GetRomType();
  // ZembRomMisc keeps no run log: these lines go to the screen only.
  ShowRomAccessHeading(console, "Modify", p.RomType);
  if (!RomTypeMatches(console, p.RomType, deviceType)) return 0;

  MiscRecord record{};
  if (!ReadMiscSector(console, rom, p, record.data(), kMiscRecordSize)) {
    console.Write("    Read Misc Sector fail !!!\n");
    return 0;
  }
  const MiscRecord asRead = record;
  if (!EraseMiscSector(console, rom, p, deviceType)) {
    console.Write("    Erase Misc Sector fail !!!\n");
    ShowRecordAsRead(console, asRead);
    return 0;
  }
  change(record.data());
  if (!WriteMiscSectorVerified(console, rom, record.data(), kMiscRecordSize, p)) {
    console.Write("    Write Misc Sector fail !!!\n");
    ShowRecordAsRead(console, asRead);
    return 0;
  }
  return 1;
}

}  // namespace

int ProgramMacAddresses(Console& console, RomAccessTable& rom, RomMiscParameters& p) {
  return UpdateMiscRecord(console, rom, p, [&p](uint8_t* record) {
    std::memcpy(record + kMiscPSideMacOffset, p.PSideMac, kMacLength);
    std::memcpy(record + kMiscSSideMacOffset, p.SSideMac, kMacLength);
  });
}

int ProgramSerialNumber(Console& console, RomAccessTable& rom, RomMiscParameters& p) {
  return UpdateMiscRecord(console, rom, p, [&p](uint8_t* record) {
    // Little-endian whatever the host's byte order.
    for (int i = 0; i < kSerialLength; ++i) {
      PutLe16(record + kMiscSerialOffset + 2 * i, p.SerialNumber[i]);
    }
  });
}

int ReadMiscSector(Console& console, RomAccessTable& rom, RomMiscParameters& p, uint8_t* buffer,
                   uint32_t length) {
  const int result = rom.ReadRom(p.Rom, buffer, kMiscAddress, length);
  if (!result) ReportSystemError(console, kCannotReadRom);
  return result;
}

int EraseMiscSector(Console& console, RomAccessTable& rom, RomMiscParameters& p,
                    uint8_t deviceRomType) {
  if (deviceRomType != kRomTypeSpi) return 1;
  console.Write("    Erase Misc sector ...\n");
  if (!rom.EraseSector(p.Rom, kMiscAddress)) {
    ReportSystemError(console, kCannotEraseRom);
    return 0;
  }
  return 1;
}

int WriteMiscSectorVerified(Console& console, RomAccessTable& rom, const uint8_t* data,
                            uint32_t length, RomMiscParameters& p) {
  if (length == 0) return 1;
  // One read returns at most this much, so nothing longer can be verified.
  if (length > kMaxRomTransfer) return 0;
  // The configuration reader refuses a page size of 0; without it the piece
  // loop below would never end.
  if (p.Rom.PageSize == 0) return 0;
  std::array<uint8_t, kMaxRomTransfer> written{};
  std::array<uint8_t, kMaxRomTransfer> readBack{};
  std::memcpy(written.data(), data, length);

  console.Write("\r");
  console.Print("    [OffsetStart : OffsetEnd] %u : %u", static_cast<unsigned>(kMiscAddress),
                static_cast<unsigned>(kMiscAddress + length));
  for (uint32_t offset = 0; offset < length;) {
    const uint32_t piece = std::min<uint32_t>(p.Rom.PageSize, length - offset);
    if (!rom.WriteRom(p.Rom, written.data() + offset, kMiscAddress + offset, piece)) {
      ReportSystemError(console, kCannotWriteRom);
      return 0;
    }
    offset += piece;
  }
  if (!rom.ReadRom(p.Rom, readBack.data(), kMiscAddress, length)) {
    ReportSystemError(console, kCannotReadRom);
    return 0;
  }
  if (std::memcmp(written.data(), readBack.data(), length) != 0) {
    ReportMismatch(console, written.data(), readBack.data(), length);
    return 0;
  }
  return 1;
}

}  // namespace zemb
