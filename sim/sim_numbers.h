// The base number reader, into a field of any width, for the simulated
// device's state file and zembsim's words.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/base/numbers.h"

namespace zemb::sim {

// ParseNumber into *out, which is left alone unless the word is a number
// no greater than `max` (which the caller keeps within T).
template <typename T>
bool ParseInto(std::string_view word, uint64_t max, T* out) {
  uint64_t v = 0;
  if (!ParseNumber(word, max, &v)) return false;
  *out = static_cast<T>(v);
  return true;
}

}  // namespace zemb::sim
