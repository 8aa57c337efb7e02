#include "common/rom/rom_layout.h"

#include <algorithm>

#include "common/base/bytes.h"

namespace zemb {

namespace {

// Sets type, start and length and leaves the reserved byte as it is.
void PutEntryFields(std::span<uint8_t> header, size_t offset, const RegionEntry& entry) {
  uint8_t* p = header.data() + offset;
  p[0] = entry.RegionType;
  PutLe32(p + 2, entry.RegionStart);
  PutLe32(p + 6, entry.RegionLength);
}

}  // namespace

RegionEntry DefaultHwFwEntry() {
  return {REGION_HWFW, 0, 0, kHwFwSize};
}

RegionEntry DefaultDescEntry() {
  return {REGION_DESC, 0, kDescAddress, kDescSize};
}

RegionEntry DefaultMiscEntry() {
  return {REGION_MISC, 0, kMiscAddress, kMiscSize};
}

RegionEntry ImageEntry(uint32_t imageLength) {
  return {REGION_IMAGE, 0, kImageAddress, imageLength};
}

RomHeader DefaultRomHeader(uint32_t imageLength) {
  RomHeader header;
  header.HwFw = DefaultHwFwEntry();
  header.Desc = DefaultDescEntry();
  header.Image = ImageEntry(imageLength);
  header.Misc = DefaultMiscEntry();
  return header;
}

std::array<uint8_t, kRegionEntrySize> EncodeRegionEntry(const RegionEntry& entry) {
  std::array<uint8_t, kRegionEntrySize> bytes{};
  bytes[0] = entry.RegionType;
  bytes[1] = entry.Reserved;
  PutLe32(&bytes[2], entry.RegionStart);
  PutLe32(&bytes[6], entry.RegionLength);
  return bytes;
}

RegionEntry DecodeRegionEntry(const uint8_t* bytes) {
  return {bytes[0], bytes[1], GetLe32(bytes + 2), GetLe32(bytes + 6)};
}

std::array<uint8_t, kHeaderSize> EncodeRomHeader(const RomHeader& header) {
  std::array<uint8_t, kHeaderSize> bytes{};
  PutLe16(&bytes[kHeaderSignatureOffset], header.HeaderSignature);
  bytes[kHeaderMarker2Offset] = header.Marker2;
  bytes[kHeaderMarker3Offset] = header.Marker3;
  PutLe16(&bytes[kHeaderFormatWordOffset], header.FormatWord);
  PutRegionEntry(bytes, kHwFwEntryOffset, header.HwFw);
  PutRegionEntry(bytes, kDescEntryOffset, header.Desc);
  PutRegionEntry(bytes, kImageEntryOffset, header.Image);
  PutRegionEntry(bytes, kMiscEntryOffset, header.Misc);
  std::copy(header.Reserved.begin(), header.Reserved.end(), bytes.begin() + kHeaderDefinedBytes);
  return bytes;
}

void PutRegionEntry(std::span<uint8_t> header, size_t offset, const RegionEntry& entry) {
  const auto bytes = EncodeRegionEntry(entry);
  std::copy(bytes.begin(), bytes.end(), header.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool IsRomHeaderValid(std::span<const uint8_t> header) {
  return GetLe16(header.data()) == kHeaderSignature &&
         header[kHeaderMarker3Offset] == kHeaderMarker &&
         header[kHeaderMarker2Offset] == kHeaderMarker && header[kHwFwEntryOffset] == REGION_HWFW;
}

bool CheckFullRomHeader(Console& console, std::span<uint8_t> header) {
  if (IsRomHeaderValid(header)) return false;
  console.WriteAndLog("    Header parameter error, Make a new Header\n");
  const auto fresh = EncodeRomHeader(DefaultRomHeader(0));
  std::copy(fresh.begin(), fresh.begin() + kHeaderDefinedBytes, header.begin());
  return true;
}

bool CheckHwFwPresence(Console& console, std::span<uint8_t> header, uint32_t* imageStart,
                       uint32_t* imageLength) {
  if (header[kHwFwEntryOffset] != REGION_HWFW) {
    console.WriteAndLog("    No HW/FW Sector - error !!!      \n");
    return false;
  }
  RegionEntry image = DecodeRegionEntry(header.data() + kImageEntryOffset);
  if (image.RegionType != REGION_IMAGE || image.RegionStart != kImageAddress) {
    image = ImageEntry(0);
    PutRegionEntry(header, kImageEntryOffset, image);
  }
  *imageStart = image.RegionStart;
  *imageLength = image.RegionLength;
  return true;
}

void RefreshRomHeader(std::span<uint8_t> header) {
  PutEntryFields(header, kHwFwEntryOffset, DefaultHwFwEntry());
  PutEntryFields(header, kDescEntryOffset, DefaultDescEntry());
  PutEntryFields(header, kMiscEntryOffset, DefaultMiscEntry());
}

void SetImageEntry(std::span<uint8_t> header, uint32_t imageLength) {
  PutRegionEntry(header, kImageEntryOffset, ImageEntry(imageLength));
}

}  // namespace zemb
