// The ROM configuration as zemb takes it: the file the three tools read,
// held to what the device can do before anything is sent. Their reader
// follows atoi (1M reads as 1, 65536.9 as 65536) and cuts a number to its
// field; a geometry misread that way erases and writes with the wrong
// sizes, so zemb refuses every value that is not exactly a number the
// device takes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/base/numbers.h"
#include "common/base/text.h"
#include "common/rom/rom_config.h"
#include "common/rom/rom_layout.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

// What each pair is, for a message about one the file leaves out.
constexpr const char* kPairNames[6] = {"ROM type", "first text", "second text",
                                       "ROM size", "page size",  "address size"};

// A word of the file as a message shows it: bytes that are not printable
// ASCII as '?', and a word cut by the reader marked so.
void CopyText(char (&field)[20], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

std::string Shown(const std::string& word, size_t fullLength) {
  std::string text;
  for (char c : word) text += (c > 0x20 && c < 0x7F) ? c : '?';
  if (fullLength > word.size()) text += "...";
  return text;
}

class ConfigCheck {
 public:
  ConfigCheck(ZembRun& run, const RomConfigWords& words) : run_(run), words_(words) {}

  // "the ROM configuration spi.cfg: PAGE_SIZE 65537 <why>"; kExitUsage.
  int Refuse(int pair, const char* why) {
    const std::string key = Shown(words_.keys[pair], words_.keys[pair].size());
    const std::string value = Shown(words_.values[pair], words_.lengths[pair]);
    return run_.Error(kExitUsage, "the ROM configuration %s: %s %s %s", run_.options.config.c_str(),
                      key.c_str(), value.c_str(), why);
  }

  // The value of a number pair: decimal digits, or 0x and hexadecimal
  // digits, at most `max`. 0, or the exit status with the error printed.
  int Number(int pair, uint64_t max, uint64_t* value) {
    if (words_.lengths[pair] == 0) {
      return run_.Error(kExitUsage, "the ROM configuration %s ends before its %s (pair %d)",
                        run_.options.config.c_str(), kPairNames[pair], pair + 1);
    }
    if (words_.lengths[pair] > words_.values[pair].size()) {
      return Refuse(pair, Format("is longer than %d characters", kConfigNumberLimit).c_str());
    }
    if (!ParseNumber(words_.values[pair], UINT64_MAX, value)) {
      return Refuse(pair, "is not a number (decimal digits, or hexadecimal after 0x)");
    }
    if (*value > max) {
      return Refuse(pair,
                    Format("is more than %llu", static_cast<unsigned long long>(max)).c_str());
    }
    return 0;
  }

 private:
  ZembRun& run_;
  const RomConfigWords& words_;
};

}  // namespace

int ReadZembConfig(ZembRun& run) {
  const char* path = run.options.config.c_str();
  RomConfigWords words;
  switch (ReadRomConfigWords(path, &words)) {
    case RomConfigRead::CannotOpen:
      return run.Error(kExitUsage, "cannot open the ROM configuration %s", path);
    case RomConfigRead::TooLong:
      return run.Error(kExitUsage, "the ROM configuration %s is longer than %u bytes", path,
                       static_cast<unsigned>(kMaxConfigBytes));
    case RomConfigRead::Read:
      break;
  }
  ConfigCheck check(run, words);
  for (int pair = 0; pair < 3; ++pair) {
    if (words.lengths[pair] == 0) {
      return run.Error(kExitUsage, "the ROM configuration %s ends before its %s (pair %d)", path,
                       kPairNames[pair], pair + 1);
    }
    if (words.lengths[pair] > words.values[pair].size()) {
      return check.Refuse(pair, Format("is longer than %d characters", kConfigTextLimit).c_str());
    }
  }
  uint8_t type = kRomTypeUnset;
  if (EqualsIgnoreCase(words.values[0].c_str(), "SPI")) {
    type = kRomTypeSpi;
  } else if (EqualsIgnoreCase(words.values[0].c_str(), "I2C")) {
    type = kRomTypeI2c;
  } else {
    return check.Refuse(0, "is not a ROM type (SPI or I2C)");
  }

  uint64_t romSize = 0, pageSize = 0, addressSize = 0;
  if (int status = check.Number(3, INT32_MAX, &romSize)) return status;
  if (romSize == 0) return check.Refuse(3, "is not a ROM size");
  if (int status = check.Number(4, UINT32_MAX, &pageSize)) return status;
  // A page that does not divide the sector would split a write across it.
  if (pageSize == 0 || pageSize > kRomSectorSize || (pageSize & (pageSize - 1)) != 0) {
    return check.Refuse(4, Format("is not a page size the device takes (a power of two up to %u)",
                                  static_cast<unsigned>(kRomSectorSize))
                               .c_str());
  }
  if (int status = check.Number(5, UINT32_MAX, &addressSize)) return status;
  if (addressSize == 0 || addressSize > 4) {
    return check.Refuse(5, "is not an address size the device takes (1 to 4 bytes)");
  }
  // The last address must fit the address bytes, or the chip wraps round
  // and writes over its beginning.
  unsigned needed = 1;
  while (needed < 4 && ((romSize - 1) >> (8 * needed)) != 0) ++needed;
  if (addressSize < needed) {
    return check.Refuse(5, Format("cannot address a ROM of %llu bytes (it takes %u address bytes)",
                                  static_cast<unsigned long long>(romSize), needed)
                               .c_str());
  }

  run.romType = type;
  CopyText(run.rom.RomTypeName, words.values[0]);
  CopyText(run.rom.ExtraText1, words.values[1]);
  CopyText(run.rom.ExtraText2, words.values[2]);
  run.rom.RomSize = static_cast<int32_t>(romSize);
  run.rom.PageSize = static_cast<uint16_t>(pageSize);
  run.rom.AddressSize = static_cast<uint8_t>(addressSize);
  return 0;
}

}  // namespace zemb
