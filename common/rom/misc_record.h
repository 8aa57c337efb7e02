// The misc record: the first 40 bytes of the misc sector, holding the
// unit's P-side MAC (6 bytes), its S-side MAC (6 bytes) and its serial
// number as 14 UTF-16LE code units.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/rom/rom_layout.h"

namespace zemb {

constexpr int kMacLength = 6;
constexpr int kSerialLength = 14;

constexpr uint32_t kMiscRecordSize = 40;
constexpr uint32_t kMiscPSideMacOffset = 0;
constexpr uint32_t kMiscSSideMacOffset = 6;
constexpr uint32_t kMiscSerialOffset = 12;

// "01-02-03-04-05-06", with " (erased)" after it when every byte is 0xFF.
std::string MacText(const uint8_t* mac);

// The serial number as text when it is 14 hex digits; "not programmed
// (erased)" when every byte is 0xFF; otherwise "not a valid serial number
// (..)" with its 28 bytes in hex.
std::string SerialText(const uint8_t* serial);

// The serial number when it is 14 hex digits, else nothing.
std::optional<std::string> ValidSerial(const uint8_t* serial);

// True when every byte of the `length` bytes is 0xFF.
bool IsErased(const uint8_t* bytes, uint32_t length);

}  // namespace zemb
