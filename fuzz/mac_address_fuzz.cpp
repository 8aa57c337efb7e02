// ParseMacAddress against a plain reading of its rule: six groups of one or
// two hexadecimal digits joined by single hyphens, 11 to 17 characters.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "rommisc/rommisc.h"

namespace {

bool Expected(const std::string& text, uint8_t mac[6]) {
  if (text.size() < 11 || text.size() > 17) return false;
  int groups = 0;
  size_t at = 0;
  for (;;) {
    size_t end = text.find('-', at);
    if (end == std::string::npos) end = text.size();
    const std::string group = text.substr(at, end - at);
    if (group.empty() || group.size() > 2 || groups == 6) return false;
    for (char c : group) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    mac[groups++] = static_cast<uint8_t>(std::stoul(group, nullptr, 16));
    if (end == text.size()) break;
    at = end + 1;
  }
  return groups == 6;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  uint8_t buffer[6 + 16];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint8_t* mac = buffer + 8;
  const int result = zemb::ParseMacAddress(text.c_str(), mac);

  uint8_t expected[6] = {};
  const bool valid = Expected(text, expected);
  ZEMB_FUZZ_CHECK((result == 1) == valid);
  ZEMB_FUZZ_CHECK(result == 0 || result == 1);
  for (size_t i = 0; i < sizeof buffer; ++i) {
    if (i < 8 || i >= 14) ZEMB_FUZZ_CHECK(buffer[i] == 0xEE);
  }
  if (result == 1) {
    ZEMB_FUZZ_CHECK(std::memcmp(mac, expected, 6) == 0);
    // What the tool would show the operator reads back the same.
    char shown[18];
    std::snprintf(shown, sizeof shown, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    uint8_t again[6] = {};
    ZEMB_FUZZ_CHECK(zemb::ParseMacAddress(shown, again) == 1);
    ZEMB_FUZZ_CHECK(std::memcmp(again, mac, 6) == 0);
  }
  return 0;
}
