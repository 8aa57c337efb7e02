// What every host that is not Windows does the same way for the console and
// the clock: wide text written as UTF-8, colours as ANSI escape sequences,
// and the local time read from the C library. The Windows host asks the
// system for all three instead.
#pragma once

#include <string>
#include <string_view>

#include "common/host/host.h"

namespace zemb {

// UTF-8 of wide text; where wchar_t holds UTF-16, a surrogate pair is one
// character.
std::string Utf8FromWide(std::wstring_view text);

// The ANSI escape sequence that shows text in a console colour
// (kColorGreen, kColorRed; anything else is the normal colour).
const char* AnsiColorCode(uint16_t attribute);

// The machine's local time now, to the second.
LocalTime LocalTimeNow();

}  // namespace zemb
