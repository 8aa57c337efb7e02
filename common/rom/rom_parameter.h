// The ROM geometry every ROM access operation receives, as the ROM
// configuration file gives it.
#pragma once

#include <cstdint>

namespace zemb {

struct RomParameter {
  char RomTypeName[20] = {};
  char ExtraText1[20] = {};
  char ExtraText2[20] = {};
  int32_t RomSize = 0;      // bytes; printed signed
  uint16_t PageSize = 0;    // largest byte count of one ROM write
  uint8_t AddressSize = 0;  // passed to the device unchanged
};

// ROM type codes, shared by the configuration and the device's answer.
constexpr uint8_t kRomTypeI2c = 0;
constexpr uint8_t kRomTypeSpi = 1;
constexpr uint8_t kRomTypeUnset = 0xFF;

// "SPI" for any non-zero code, "I2C" for 0, as the headings print it.
inline const char* RomTypeText(uint8_t romType) {
  return romType != 0 ? "SPI" : "I2C";
}

}  // namespace zemb
