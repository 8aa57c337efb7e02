#include "common/rom/misc_record.h"

#include "common/base/console.h"
#include "common/base/numbers.h"

namespace zemb {

bool IsErased(const uint8_t* bytes, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (bytes[i] != 0xFF) return false;
  }
  return true;
}

std::string MacText(const uint8_t* mac) {
  std::string text =
      Format("%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  if (IsErased(mac, kMacLength)) text += " (erased)";
  return text;
}

std::optional<std::string> ValidSerial(const uint8_t* serial) {
  std::string text;
  for (int i = 0; i < kSerialLength; ++i) {
    const uint8_t low = serial[2 * i], high = serial[2 * i + 1];
    if (high != 0 || HexDigit(static_cast<char>(low)) < 0) return std::nullopt;
    text += static_cast<char>(low);
  }
  return text;
}

std::string SerialText(const uint8_t* serial) {
  if (auto valid = ValidSerial(serial)) return *valid;
  if (IsErased(serial, 2 * kSerialLength)) return "not programmed (erased)";
  std::string text = Format("not a valid serial number (%02X", serial[0]);
  for (int i = 1; i < 2 * kSerialLength; ++i) text += Format(" %02X", serial[i]);
  return text + ")";
}

}  // namespace zemb
