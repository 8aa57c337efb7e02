// The number readers and writers the tools, the simulated device and its
// command line share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zemb {

// The value of one hexadecimal digit (either letter case), or -1.
int HexDigit(char c);

// A whole word as an unsigned number: decimal digits, or 0x/0X and
// hexadecimal digits. A sign, a blank, a suffix, an empty word or a value
// above max is refused (false, *value untouched).
bool ParseNumber(std::string_view word, uint64_t max, uint64_t* value);

// atoi's reading of a number: leading blanks (space, tab, line feed,
// vertical tab, form feed, carriage return) when `skipBlanks`, an optional
// sign, then decimal digits up to the first other character (no digits:
// 0). True when the value fits 32 signed bits; *value gets it, or the end of
// that range it lies beyond when it does not.
bool ReadDecimalPrefix(const char* text, bool skipBlanks, int32_t* value);

// "0x" and at least `digits` upper-case hexadecimal digits.
std::string HexText(uint64_t value, int digits);

}  // namespace zemb
