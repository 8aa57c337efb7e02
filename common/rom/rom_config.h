// The ROM configuration file: six key/value pairs of white-space-separated
// words giving the ROM type, two free texts, the ROM size, the page size and
// the address size. Keys are read and thrown away; only a pair's position
// gives its value meaning.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/base/console.h"
#include "common/rom/rom_parameter.h"

namespace zemb {

// Longest accepted words: the three texts, and the three numbers.
constexpr int kConfigTextLimit = 19;
constexpr int kConfigNumberLimit = 11;
// The most a configuration file is read; twelve words fit in far less.
constexpr size_t kMaxConfigBytes = 1 << 20;

// Reads the file at `configPath`. Returns 1 when it was read and the type
// and the three numbers are valid, else 0 with the reasons printed (console
// only). *rom is written whatever the checks find; *romType only for a valid
// type name. A word longer than its limit, or a number outside the signed
// 32-bit range, rejects the whole file.
int ReadRomConfig(Console& console, const char* configPath, uint8_t* romType, RomParameter* rom);

// atoi rules (optional sign, then digits up to the first other character),
// with the range check: false when the value does not fit 32 signed bits.
bool ConfigNumber(const char* word, int32_t* value);

}  // namespace zemb
