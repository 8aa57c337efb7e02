// The one layout of the device ROM, and of the Kesh file that copies it from
// address 0: a 256-byte header, the HW/FW data, the descriptor sector, the
// misc sector and the ISO image. All values are little-endian; addresses are
// byte addresses from the start of the ROM.
//
// The header functions work on the first bytes of a buffer read from ROM
// address 0 (at least kHeaderDefinedBytes of them); only the ones that tell
// the operator something take a Console.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "common/base/console.h"

namespace zemb {

// The ROM is erased in sectors of this size, at multiples of it.
constexpr uint32_t kRomSectorSize = 4096;

// Regions: first address and size. The header and the first 3840 bytes of
// HW/FW data share sector 0.
constexpr uint32_t kHeaderAddress = 0x0000;
constexpr uint32_t kHeaderSize = 0x0100;  // 256
constexpr uint32_t kHwFwAddress = 0x0100;
constexpr uint32_t kHwFwSize = 0x7F00;  // 32512
constexpr uint32_t kDescAddress = 0x8000;
constexpr uint32_t kDescSize = 0x3000;  // 12288
constexpr uint32_t kMiscAddress = 0xB000;
constexpr uint32_t kMiscSize = 0x1000;      // 4096
constexpr uint32_t kImageAddress = 0xC000;  // 49152; as long as the IMG file

// In the Kesh file the DESC file may fill the descriptor and misc regions
// together; a longer one would shift the image.
constexpr uint32_t kKeshDescSpan = kImageAddress - kDescAddress;  // 16384

// Region types of the header's entries.
constexpr uint8_t REGION_IMAGE = 1;
constexpr uint8_t REGION_DESC = 2;
constexpr uint8_t REGION_MISC = 3;
constexpr uint8_t REGION_HWFW = 0x64;

constexpr uint16_t kHeaderSignature = 0xBEEF;
constexpr uint8_t kHeaderMarker = 0xFF;
constexpr uint16_t kHeaderFormatWord = 1;

// Where the fields stand in the header. The entries are in this fixed order,
// which is not the address order.
constexpr size_t kHeaderSignatureOffset = 0;
constexpr size_t kHeaderMarker2Offset = 2;
constexpr size_t kHeaderMarker3Offset = 3;
constexpr size_t kHeaderFormatWordOffset = 4;
constexpr size_t kHwFwEntryOffset = 6;
constexpr size_t kDescEntryOffset = 16;
constexpr size_t kImageEntryOffset = 26;
constexpr size_t kMiscEntryOffset = 36;
constexpr size_t kHeaderDefinedBytes = 46;  // the rest of the 256 is reserved
constexpr size_t kRegionEntrySize = 10;

struct RegionEntry {
  uint8_t RegionType = 0;
  uint8_t Reserved = 0;
  uint32_t RegionStart = 0;
  uint32_t RegionLength = 0;

  friend bool operator==(const RegionEntry&, const RegionEntry&) = default;
};

struct RomHeader {
  uint16_t HeaderSignature = kHeaderSignature;
  uint8_t Marker2 = kHeaderMarker;
  uint8_t Marker3 = kHeaderMarker;
  uint16_t FormatWord = kHeaderFormatWord;
  RegionEntry HwFw;
  RegionEntry Desc;
  RegionEntry Image;
  RegionEntry Misc;
  std::array<uint8_t, kHeaderSize - kHeaderDefinedBytes> Reserved{};
};

// The entries the header always carries. The HW/FW entry says start 0 and
// length 0x7F00 although its data lies at 256 to 32767: the device reads
// exactly these values.
RegionEntry DefaultHwFwEntry();
RegionEntry DefaultDescEntry();
RegionEntry DefaultMiscEntry();
RegionEntry ImageEntry(uint32_t imageLength);

// The default header with the given image length (0: no image).
RomHeader DefaultRomHeader(uint32_t imageLength = 0);

std::array<uint8_t, kRegionEntrySize> EncodeRegionEntry(const RegionEntry& entry);
RegionEntry DecodeRegionEntry(const uint8_t* bytes);
std::array<uint8_t, kHeaderSize> EncodeRomHeader(const RomHeader& header);

// Writes one entry at `offset` of a header buffer.
void PutRegionEntry(std::span<uint8_t> header, size_t offset, const RegionEntry& entry);

// The header is valid when it carries the signature, both marker bytes and
// the HW/FW entry's type.
bool IsRomHeaderValid(std::span<const uint8_t> header);

// Full header check: an invalid header has its bytes 0 to 45 replaced by the
// default header (image length 0) with a line saying so; the bytes after
// them keep what was read. That is no failure. Returns true when the header
// was replaced.
bool CheckFullRomHeader(Console& console, std::span<uint8_t> header);

// HW/FW presence check: fails with its line when the HW/FW entry's type is
// missing (signature and markers are not looked at). Otherwise an image
// entry that is not type 1 at 0xC000 is rewritten as type 1, start 0xC000,
// length 0, and the entry's start and length are given back.
bool CheckHwFwPresence(Console& console, std::span<uint8_t> header, uint32_t* imageStart,
                       uint32_t* imageLength);

// Before every header write: the HW/FW, descriptor and misc entries get
// their default types, starts and lengths. Signature, markers, FormatWord,
// the entries' reserved bytes and the whole image entry are left alone.
void RefreshRomHeader(std::span<uint8_t> header);

// The image entry as the IMG update writes it: type 1, reserved 0, start
// 0xC000 and the new length.
void SetImageEntry(std::span<uint8_t> header, uint32_t imageLength);

}  // namespace zemb
