// Small text helpers the tools share: ASCII letter case (the C library's
// toupper is undefined for bytes above 0x7F and depends on the locale) and
// the fixed-width lines of the usage texts.
#pragma once

#include <string>
#include <string_view>

#include "common/base/console.h"

namespace zemb {

inline char UpperCase(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whole-word comparison in any letter case.
inline bool EqualsIgnoreCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const char x = UpperCase(*a), y = UpperCase(*b);
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// One usage line: the text padded with blanks to 76 columns, then "\n".
inline void WritePadded(Console& console, std::string_view text) {
  std::string line(text);
  if (line.size() < 76) line.append(76 - line.size(), ' ');
  line += '\n';
  console.Write(line);
}

}  // namespace zemb
