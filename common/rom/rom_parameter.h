// The ROM geometry every ROM access operation receives, as the ROM
// configuration file gives it, and the lines every ROM function starts with.
#pragma once

#include <cstdint>

#include "common/base/console.h"

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

// A function's heading, also to the run log: a line of 31 blanks, then
// `title` as given ("Make - ROM Bin file            \n\n").
void ShowHeading(Console& console, const char* title);

// The heading of a function on the device ROM: "<function> - <type> ROM
// Access", padded with blanks to 32 columns, and a blank line.
void ShowRomAccessHeading(Console& console, const char* function, uint8_t romType);

// Compares the configured ROM type with the device's answer (0xFF when the
// request failed); when they differ, prints "The device ROM type <answer> is
// not <configured>!!!" (also to the run log) and returns false.
bool RomTypeMatches(Console& console, uint8_t configured, uint8_t device);

}  // namespace zemb
