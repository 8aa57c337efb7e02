// ZembRomMisc: writes the unit's serial number, or its two MAC addresses,
// into the misc sector of the device ROM, keeping the other fields of the
// sector's record. One function per run; no run log.
#pragma once

#include <cstdint>

#include "common/base/console.h"
#include "common/device/rom_access.h"
#include "common/host/host.h"
#include "common/rom/misc_record.h"
#include "common/rom/rom_parameter.h"

namespace zemb {

// The codes continue ZembRomProgram's function codes 1 to 7.
constexpr uint8_t FUNCTION_MAC = 8;
constexpr uint8_t FUNCTION_SER = 9;

inline constexpr const char* kRomMiscTool = "ZembRomMisc";
inline constexpr const char* kRomMiscVersion = "1.1.00";

struct RomMiscParameters {
  uint32_t ShowVersion = 0;
  uint32_t NeedDevice = 0;
  uint8_t Function = 0;
  uint8_t RomType = kRomTypeUnset;
  // These point into the argument list, which outlives the run.
  const char* MacTextP = nullptr;
  const char* MacTextS = nullptr;
  const char* SerialText = nullptr;
  const char* ConfigPath = nullptr;
  uint8_t PSideMac[kMacLength] = {};
  uint8_t SSideMac[kMacLength] = {};
  uint16_t SerialNumber[kSerialLength] = {};  // upper-case characters, no terminator
  RomParameter Rom;
};

// Fills the record from the command line; never prints.
void ParseMiscArguments(int argc, const char* const* argv, RomMiscParameters& params);
// Reads the ROM configuration, then converts the function's texts. 1 or 0;
// only the configuration reader prints.
int CheckMiscParameters(Console& console, RomMiscParameters& params);
// Six groups of one or two hex digits joined by single hyphens. 1 or 0; the
// output is untouched when the length is already wrong.
int ParseMacAddress(const char* text, uint8_t mac[kMacLength]);
// Exactly 14 characters 0-9, A-F or a-f, stored in upper case. 1 or 0.
int ParseSerialNumber(const char* text, uint16_t serial[kSerialLength]);
// 0 to 15; 0 for a character that is no hex digit.
int HexDigitValue(char c);
uint32_t HexTextValue(const char* text);
// The MAC block for MAC, the SER block for SER, both otherwise.
void PrintUsage(Console& console, const RomMiscParameters& params);

// The whole run; always 0, the verdict is in the text.
int RunRomMisc(int argc, const char* const* argv, Host& host);

// The functions and their steps. Each returns 1 for success and 0 for
// failure, with the reason printed.
int ProgramMacAddresses(Console& console, RomAccessTable& rom, RomMiscParameters& params);
int ProgramSerialNumber(Console& console, RomAccessTable& rom, RomMiscParameters& params);
int ReadMiscSector(Console& console, RomAccessTable& rom, RomMiscParameters& params,
                   uint8_t* buffer, uint32_t length);
// Erases the sector only on an SPI ROM; an I2C ROM is written over in place.
int EraseMiscSector(Console& console, RomAccessTable& rom, RomMiscParameters& params,
                    uint8_t deviceRomType);
// Writes `length` (at most 4096) bytes at the misc sector in PageSize
// pieces, reads them back and compares.
int WriteMiscSectorVerified(Console& console, RomAccessTable& rom, const uint8_t* data,
                            uint32_t length, RomMiscParameters& params);

}  // namespace zemb
