// HWFW, IMG and DESC rewrite one region of a programmed ROM in place and
// keep the header consistent with it; the other regions are left as they
// are.
#include <array>
#include <cstring>
#include <span>

#include "common/device/reporting.h"
#include "common/rom/rom_layout.h"
#include "romprogram/image_steps.h"
#include "romprogram/romprogram.h"

namespace zemb {

namespace {

using HeaderSector = std::array<uint8_t, kRomSectorSize>;

constexpr uint32_t kHwFwEraseEnd = kDescAddress;  // sectors 0 to 28672

bool ReadHeaderSector(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                      HeaderSector& header) {
  if (!rom.ReadRom(parameter, header.data(), kHeaderAddress, kRomSectorSize)) {
    ReportSystemError(console, kCannotReadRom);
    return false;
  }
  return true;
}

// Reads the first sector and runs the full header check; an invalid header
// is replaced by the default one, which is no failure.
bool CheckRomHeader(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                    HeaderSector& header) {
  if (!ReadHeaderSector(console, rom, parameter, header)) return false;
  CheckFullRomHeader(console, header);
  return true;
}

// Reads the first sector, requires the HW/FW entry and takes the image
// entry's start and length.
bool CheckImageHeader(Console& console, RomAccessTable& rom, RomProgramParameters& p,
                      HeaderSector& header) {
  if (!ReadHeaderSector(console, rom, p.Rom, header)) return false;
  return CheckHwFwPresence(console, header, &p.ImageStart, &p.ImageLength);
}

// Writes the first `length` bytes of the header buffer (256 for HWFW, the
// whole sector for IMG) from address 0 and verifies them.
bool WriteRomHeader(Console& console, RomAccessTable& rom, RomProgramParameters& p,
                    HeaderSector& header, uint32_t length, bool withImage) {
  RefreshRomHeader(header);
  if (withImage) SetImageEntry(header, p.ImageLength);
  console.WriteAndLog(withImage ? "    Write ROM Header + Other Data 0~4kB\n"
                                : "    Write ROM Header 0~256B\n");
  console.WriteAndLog("\r    [OffsetStart : OffsetEnd] 0 : 255");
  if (!WritePieces(console, rom, p.Rom, header.data(), kHeaderAddress, length)) return false;
  HeaderSector readBack{};
  return ReadBackAndCompare(console, rom, p.Rom, header.data(), readBack.data(), kHeaderAddress,
                            length);
}

// A failed step: its own messages are out, the step's line follows.
int StepFailed(Console& console, const char* line) {
  console.WriteAndLog(line);
  return 0;
}

// The start every sector update shares: the device's ROM type, the
// heading, the type check, then the input file. False when the update
// cannot go on, with the reason printed.
bool StartUpdate(Console& console, RomAccessTable& rom, const RomProgramParameters& p,
                 const char* path, const char* cannotOpen, InputFile& file, uint8_t* deviceType) {
  *deviceType = rom.GetRomType();
  ShowRomAccessHeading(console, "Modify", p.RomType);
  if (!RomTypeMatches(console, p.RomType, *deviceType)) return false;
  if (!file.Open(path)) {
    console.WriteAndLog(cannotOpen);
    return false;
  }
  return true;
}

}  // namespace

int ProgramHwFw(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  uint8_t deviceType = 0;
  InputFile file;
  if (!StartUpdate(console, rom, p, p.HwFwPath, "    Cannot open ROM file !!!\n", file,
                   &deviceType)) {
    return 0;
  }
  HeaderSector header{};

  if (file.Length() > kHwFwSize) {
    console.PrintAndLog("    HW/FW Data Length %lld exceed Default 32kB size !!!\n",
                        static_cast<long long>(file.Length()));
    return 0;
  }
  p.HwFwLength = kHwFwSize;

  if (!CheckRomHeader(console, rom, p.Rom, header)) {
    return StepFailed(console, "    Check ROM Header fail !!!\n");
  }
  if (deviceType == kRomTypeSpi) {
    console.WriteAndLog("    Erase ROM Header & HW/FW Data (default 0~32kB) ...\n");
    if (!EraseSectors(console, rom, p.Rom, kHeaderAddress, kHwFwEraseEnd)) {
      return StepFailed(console, "    Erase ROM Header & HW/FW Sector fail !!!\n");
    }
  }
  if (!WriteRomHeader(console, rom, p, header, kHeaderSize, false)) {
    return StepFailed(console, "    Write ROM Header fail !!!\n");
  }
  console.WriteAndLog("\n");
  console.WriteAndLog("    Write HW/FW Sector 256~32kB\n");
  // The whole region is written whatever the file's length; past its end
  // the bytes are 0xFF, as a Kesh file holds them.
  if (!WriteRegionVerified(console, rom, p.Rom, file, p.HwFwLength, kHwFwAddress,
                           "    Cannot read HW/FW file !!!\n")) {
    return StepFailed(console, "    Write HW/FW Sector fail !!!\n");
  }
  return 1;
}

int ProgramImage(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  uint8_t deviceType = 0;
  InputFile file;
  if (!StartUpdate(console, rom, p, p.ImagePath, "    Cannot open Image file !!!\n", file,
                   &deviceType)) {
    return 0;
  }
  HeaderSector header{};

  if (!CheckImageHeader(console, rom, p, header)) {
    return StepFailed(console, "    Check ROM Header fail !!!\n");
  }
  const uint64_t length = file.Length();
  if (!EndsWithinRom(uint64_t{p.ImageStart} + length, p.Rom.RomSize)) {
    console.PrintAndLog("    Image Data Length %lld exceed ROM size !!!\n",
                        static_cast<long long>(length));
    return StepFailed(console, "    Erase ISO Image Sector fail !!!\n");
  }
  p.ImageLength = static_cast<uint32_t>(length);

  if (deviceType == kRomTypeSpi) {
    console.WriteAndLog("    Erase ROM Header ...\n");
    if (!EraseSectors(console, rom, p.Rom, kHeaderAddress, kRomSectorSize)) {
      return StepFailed(console, "    Erase ROM Header fail !!!\n");
    }
    console.WriteAndLog("    Erase ISO Image ...\n");
    if (!EraseSectors(console, rom, p.Rom, p.ImageStart, p.ImageLength)) {
      return StepFailed(console, "    Erase ISO Image Sector fail !!!\n");
    }
  }
  // The whole first sector goes back: IMG erased it with the header, and
  // it holds the first 3840 bytes of HW/FW data too.
  if (!WriteRomHeader(console, rom, p, header, kRomSectorSize, true)) {
    return StepFailed(console, "    Write ROM Header fail !!!\n");
  }
  console.WriteAndLog("\n");
  console.PrintAndLog("    Write ISO Image Sector 48kB~%uB\n",
                      static_cast<unsigned>(p.ImageLength + kImageAddress));
  if (!WriteRegionVerified(console, rom, p.Rom, file, p.ImageLength, p.ImageStart,
                           "    Cannot read Image file !!!\n")) {
    return StepFailed(console, "    Write ISO Image Sector fail !!!\n");
  }
  return 1;
}

int ProgramDesc(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  uint8_t deviceType = 0;
  InputFile file;
  if (!StartUpdate(console, rom, p, p.DescPath, "    Cannot open Desc file !!!\n", file,
                   &deviceType)) {
    return 0;
  }

  p.DescStart = kDescAddress;
  p.DescLength = kDescSize;
  if (file.Length() > kDescSize) {
    console.PrintAndLog("    Desc sector Length %lld exceed %u size !!!\n",
                        static_cast<long long>(file.Length()), static_cast<unsigned>(kDescSize));
    return StepFailed(console, "    Erase Desc Sector fail !!!\n");
  }
  p.DescLength = static_cast<uint32_t>(file.Length());
  if (deviceType == kRomTypeSpi) {
    console.WriteAndLog("    Erase Desc sector ...\n");
    if (!EraseSectors(console, rom, p.Rom, p.DescStart, p.DescLength)) {
      return StepFailed(console, "    Erase Desc Sector fail !!!\n");
    }
  }
  if (!WriteRegionVerified(console, rom, p.Rom, file, p.DescLength, p.DescStart,
                           "    Cannot read Desc file !!!\n")) {
    return StepFailed(console, "    Write Desc Sector fail !!!\n");
  }
  return 1;
}

}  // namespace zemb
