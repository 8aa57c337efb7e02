// The ROM configuration file: six key/value pairs of white-space-separated
// words giving the ROM type, two free texts, the ROM size, the page size and
// the address size. Keys are read and thrown away; only a pair's position
// gives its value meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/base/console.h"
#include "common/rom/rom_parameter.h"

namespace zemb {

// Longest accepted words: the three texts, and the three numbers.
constexpr int kConfigTextLimit = 19;
constexpr int kConfigNumberLimit = 11;
// The most a configuration file is read; twelve words fit in far less.
constexpr size_t kMaxConfigBytes = 1 << 20;

// The most of a key word kept for messages.
constexpr int kConfigKeyLimit = 40;

// The six pairs as the file gives them, for a tool that checks them more
// strictly than ReadRomConfig does: each key word (up to kConfigKeyLimit
// characters) and value (up to its limit above), with the value's full
// length. A value the file does not supply is empty.
struct RomConfigWords {
  std::string keys[6];
  std::string values[6];
  size_t lengths[6] = {};
};
enum class RomConfigRead { Read, CannotOpen, TooLong };
RomConfigRead ReadRomConfigWords(const char* configPath, RomConfigWords* words);

// Reads the file at `configPath`. Returns 1 when it was read and the type
// and the three numbers are valid, else 0 with the reasons printed (console
// only). *rom is written whatever the checks find; *romType only for a valid
// type name. A word longer than its limit, a number outside the signed
// 32-bit range, or a page or address size its field cannot hold (but for
// one that would be cut to 0, which the zero check reports), rejects the
// whole file.
int ReadRomConfig(Console& console, const char* configPath, uint8_t* romType, RomParameter* rom);

// atoi rules (optional sign, then digits up to the first other character),
// with the range check: false when the value does not fit 32 signed bits.
bool ConfigNumber(const char* word, int32_t* value);

}  // namespace zemb
