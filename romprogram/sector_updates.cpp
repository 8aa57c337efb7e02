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

// A sector update's own steps, on its open input file.
using UpdateSteps = int (*)(Console& console, RomAccessTable& rom, RomProgramParameters& p,
                            InputFile& file, uint8_t deviceType);

// The start every sector update shares: the device's ROM type, the
// heading, the type check, then the input file; the update's own steps
// follow. 0 when the update cannot go on, with the reason printed.
int RunUpdate(Console& console, RomAccessTable& rom, RomProgramParameters& p, const char* path,
              const char* cannotOpen, UpdateSteps steps) {
  const uint8_t deviceType = rom.GetRomType();
  ShowRomAccessHeading(console, "Modify", p.RomType);
  if (!RomTypeMatches(console, p.RomType, deviceType)) return 0;
  InputFile file;
  if (!file.Open(path)) {
    console.WriteAndLog(cannotOpen);
    return 0;
  }
  return steps(console, rom, p, file, deviceType);
}

// SPI flash only takes new bytes where it was erased first; the other ROM
// types are written over. True when there was nothing to erase or the
// erase went through; the heading line goes out before the erase.
bool EraseBeforeWrite(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                      uint8_t deviceType, const char* heading, uint32_t start, uint32_t length) {
  if (deviceType != kRomTypeSpi) return true;
  console.WriteAndLog(heading);
  return EraseSectors(console, rom, parameter, start, length);
}

// The last step of every update: the region written from the file and
// read back.
int WriteRegionStep(Console& console, RomAccessTable& rom, const RomParameter& parameter,
                    InputFile& file, uint32_t length, uint32_t address, const char* cannotRead,
                    const char* failed) {
  if (!WriteRegionVerified(console, rom, parameter, file, length, address, cannotRead)) {
    return StepFailed(console, failed);
  }
  return 1;
}

int UpdateHwFw(Console& console, RomAccessTable& rom, RomProgramParameters& p, InputFile& file,
               uint8_t deviceType) {
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
  if (!EraseBeforeWrite(console, rom, p.Rom, deviceType,
                        "    Erase ROM Header & HW/FW Data (default 0~32kB) ...\n", kHeaderAddress,
                        kHwFwEraseEnd)) {
    return StepFailed(console, "    Erase ROM Header & HW/FW Sector fail !!!\n");
  }
  if (!WriteRomHeader(console, rom, p, header, kHeaderSize, false)) {
    return StepFailed(console, "    Write ROM Header fail !!!\n");
  }
  console.WriteAndLog("\n");
  console.WriteAndLog("    Write HW/FW Sector 256~32kB\n");
  // The whole region is written whatever the file's length; past its end
  // the bytes are 0xFF, as a Kesh file holds them.
  return WriteRegionStep(console, rom, p.Rom, file, p.HwFwLength, kHwFwAddress,
                         "    Cannot read HW/FW file !!!\n", "    Write HW/FW Sector fail !!!\n");
}

int UpdateImage(Console& console, RomAccessTable& rom, RomProgramParameters& p, InputFile& file,
                uint8_t deviceType) {
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

  if (!EraseBeforeWrite(console, rom, p.Rom, deviceType, "    Erase ROM Header ...\n",
                        kHeaderAddress, kRomSectorSize)) {
    return StepFailed(console, "    Erase ROM Header fail !!!\n");
  }
  if (!EraseBeforeWrite(console, rom, p.Rom, deviceType, "    Erase ISO Image ...\n", p.ImageStart,
                        p.ImageLength)) {
    return StepFailed(console, "    Erase ISO Image Sector fail !!!\n");
  }
  // The whole first sector goes back: IMG erased it with the header, and
  // it holds the first 3840 bytes of HW/FW data too.
  if (!WriteRomHeader(console, rom, p, header, kRomSectorSize, true)) {
    return StepFailed(console, "    Write ROM Header fail !!!\n");
  }
  console.WriteAndLog("\n");
  console.PrintAndLog("    Write ISO Image Sector 48kB~%uB\n",
                      static_cast<unsigned>(p.ImageLength + kImageAddress));
  return WriteRegionStep(console, rom, p.Rom, file, p.ImageLength, p.ImageStart,
                         "    Cannot read Image file !!!\n",
                         "    Write ISO Image Sector fail !!!\n");
}

int UpdateDesc(Console& console, RomAccessTable& rom, RomProgramParameters& p, InputFile& file,
               uint8_t deviceType) {
  p.DescStart = kDescAddress;
  p.DescLength = kDescSize;
  if (file.Length() > kDescSize) {
    console.PrintAndLog("    Desc sector Length %lld exceed %u size !!!\n",
                        static_cast<long long>(file.Length()), static_cast<unsigned>(kDescSize));
    return StepFailed(console, "    Erase Desc Sector fail !!!\n");
  }
  p.DescLength = static_cast<uint32_t>(file.Length());
  if (!EraseBeforeWrite(console, rom, p.Rom, deviceType, "    Erase Desc sector ...\n", p.DescStart,
                        p.DescLength)) {
    return StepFailed(console, "    Erase Desc Sector fail !!!\n");
  }
  return WriteRegionStep(console, rom, p.Rom, file, p.DescLength, p.DescStart,
                         "    Cannot read Desc file !!!\n", "    Write Desc Sector fail !!!\n");
}

}  // namespace

int ProgramHwFw(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  return RunUpdate(console, rom, p, p.HwFwPath, "    Cannot open ROM file !!!\n", UpdateHwFw);
}

int ProgramImage(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  return RunUpdate(console, rom, p, p.ImagePath, "    Cannot open Image file !!!\n", UpdateImage);
}

int ProgramDesc(Console& console, RomAccessTable& rom, RomProgramParameters& p) {
  return RunUpdate(console, rom, p, p.DescPath, "    Cannot open Desc file !!!\n", UpdateDesc);
}

}  // namespace zemb
