#include "common/base/numbers.h"

#include <cstdio>

namespace zemb {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseNumber(std::string_view word, uint64_t max, uint64_t* value) {
  const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  if (hex) word.remove_prefix(2);
  if (word.empty()) return false;
  const uint64_t base = hex ? 16 : 10;
  uint64_t v = 0;
  for (const char c : word) {
    const int digit = HexDigit(c);
    if (digit < 0 || static_cast<uint64_t>(digit) >= base) return false;
    if (v > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) return false;
    v = v * base + static_cast<uint64_t>(digit);
  }
  if (v > max) return false;
  *value = v;
  return true;
}

bool ReadDecimalPrefix(const char* text, bool skipBlanks, int32_t* value) {
  const char* p = text;
  if (skipBlanks) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Digits past what 32 bits hold only keep the value out of range; they
  // never overflow the sum.
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude <= 0x100000000LL) magnitude = magnitude * 10 + (*p - '0');
  }
  const int64_t v = negative ? -magnitude : magnitude;
  if (v > INT32_MAX) {
    *value = INT32_MAX;
    return false;
  }
  if (v < INT32_MIN) {
    *value = INT32_MIN;
    return false;
  }
  *value = static_cast<int32_t>(v);
  return true;
}

std::string HexText(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

}  // namespace zemb
