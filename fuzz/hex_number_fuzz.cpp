// ParseHexNumber against a plain reading of its rule: "0x" or "0X"
// optional, then at most two digits per byte of the destination, all of
// them hexadecimal; no digits at all read as 0.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "ioaccess/ioaccess.h"

namespace {

bool Expected(const std::string& text, uint32_t width, uint64_t* value) {
  std::string digits = text;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.erase(0, 2);
  }
  if (digits.size() > 2 * width) return false;
  *value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    *value = *value << 4 | static_cast<uint64_t>(d);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const uint32_t kWidths[] = {1, 2, 4, 8, 3, 0};
  const uint32_t width = kWidths[data[0] % 6];
  // The text stops at the first NUL, as a command-line word does.
  const std::string text(reinterpret_cast<const char*>(data + 1),
                         strnlen(reinterpret_cast<const char*>(data + 1), size - 1));

  // Guard bytes on both sides: nothing may be written outside the width.
  uint8_t buffer[8 + 16];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint8_t* destination = buffer + 8;
  const int result = zemb::ParseHexNumber(text.c_str(), destination, width);

  const bool validWidth = width == 1 || width == 2 || width == 4 || width == 8;
  uint64_t value = 0;
  const bool expected = validWidth && Expected(text, width, &value);
  ZEMB_FUZZ_CHECK((result != 0) == expected);
  for (size_t i = 0; i < sizeof buffer; ++i) {
    const bool inside = result != 0 && i >= 8 && i < 8 + width;
    if (!inside) ZEMB_FUZZ_CHECK(buffer[i] == 0xEE);
  }
  if (result != 0) {
    uint64_t got = 0;
    std::memcpy(&got, destination, width);  // little-endian host
    const uint64_t mask = width == 8 ? ~0ull : (1ull << (8 * width)) - 1;
    ZEMB_FUZZ_CHECK(got == (value & mask));
  }
  return 0;
}
