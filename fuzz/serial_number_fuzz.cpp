// ParseSerialNumber: exactly 14 characters 0-9, A-F or a-f, stored as
// upper-case UTF-16 code units, nothing written beyond the 14.
#include <cctype>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "rommisc/rommisc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  uint16_t buffer[4 + zemb::kSerialLength + 4];
  for (uint16_t& unit : buffer) unit = 0xEEEE;
  uint16_t* serial = buffer + 4;
  const int result = zemb::ParseSerialNumber(text.c_str(), serial);

  bool valid = text.size() == static_cast<size_t>(zemb::kSerialLength);
  for (char c : text) valid = valid && std::isxdigit(static_cast<unsigned char>(c));
  ZEMB_FUZZ_CHECK((result == 1) == valid);
  for (size_t i = 0; i < 4; ++i) {
    ZEMB_FUZZ_CHECK(buffer[i] == 0xEEEE);
    ZEMB_FUZZ_CHECK(buffer[4 + zemb::kSerialLength + i] == 0xEEEE);
  }
  if (result == 1) {
    for (int i = 0; i < zemb::kSerialLength; ++i) {
      ZEMB_FUZZ_CHECK(serial[i] == std::toupper(static_cast<unsigned char>(text[i])));
    }
  }
  return 0;
}
