#include "common/rom/rom_config.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/base/numbers.h"
#include "common/base/text.h"
#include "common/host/regular_file.h"

namespace zemb {

namespace {

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads words of a text stream. A word is kept up to `limit` characters;
// its full length is reported, so an overlong word is seen as such without
// ever being stored. Reading stops after kMaxConfigBytes, so a path that
// names an endless stream (a device, a pipe that never closes) cannot keep
// the tool reading for ever.
class WordReader {
 public:
  explicit WordReader(std::FILE* file) : file_(file) {}

  // False at the end of the file (the word is then empty).
  bool Next(std::string* word, size_t* fullLength, size_t limit) {
    word->clear();
    *fullLength = 0;
    int c;
    do {
      c = Get();
    } while (c != EOF && IsSpace(c));
    while (c != EOF && !IsSpace(c)) {
      if (word->size() < limit) word->push_back(static_cast<char>(c));
      ++*fullLength;
      c = Get();
    }
    return *fullLength > 0;
  }

  bool Failed() const { return std::ferror(file_) != 0; }
  bool TooLong() const { return consumed_ > kMaxConfigBytes; }

 private:
  int Get() {
    if (++consumed_ > kMaxConfigBytes) return EOF;
    return std::fgetc(file_);
  }

  std::FILE* file_;
  size_t consumed_ = 0;
};

void CopyText(char (&field)[20], const std::string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

}  // namespace

bool ConfigNumber(const char* word, int32_t* value) {
  int32_t number = 0;
  if (!ReadDecimalPrefix(word, false, &number)) return false;
  *value = number;
  return true;
}

RomConfigRead ReadRomConfigWords(const char* configPath, RomConfigWords* words) {
  *words = RomConfigWords{};
  // Not a regular file (a FIFO would block the run for ever): "Cannot open".
  std::FILE* file = OpenRegularFile(configPath, "r");
  if (file == nullptr) return RomConfigRead::CannotOpen;
  WordReader reader(file);
  for (int pair = 0; pair < 6; ++pair) {
    size_t keyLength = 0;
    reader.Next(&words->keys[pair], &keyLength, kConfigKeyLimit);
    const size_t limit = pair < 3 ? kConfigTextLimit : kConfigNumberLimit;
    reader.Next(&words->values[pair], &words->lengths[pair], limit);
  }
  // A directory opens on some systems and then fails to read.
  const bool unreadable = reader.Failed();
  const bool tooLong = reader.TooLong();
  std::fclose(file);
  if (unreadable) return RomConfigRead::CannotOpen;
  return tooLong ? RomConfigRead::TooLong : RomConfigRead::Read;
}

int ReadRomConfig(Console& console, const char* configPath, uint8_t* romType, RomParameter* rom) {
  RomConfigWords words;
  const RomConfigRead read = ReadRomConfigWords(configPath, &words);
  if (read == RomConfigRead::CannotOpen) {
    console.Write("    Cannot open Config !!!\n");
    return 0;
  }
  const std::string* values = words.values;
  const size_t* lengths = words.lengths;
  if (read == RomConfigRead::TooLong) {
    console.Print("    ROM Config is longer than %u bytes !!!\n",
                  static_cast<unsigned>(kMaxConfigBytes));
    console.Write("    Get ROM Parameter fail !!!\n");
    return 0;
  }

  CopyText(rom->RomTypeName, values[0]);
  CopyText(rom->ExtraText1, values[1]);
  CopyText(rom->ExtraText2, values[2]);
  rom->RomSize = 0;
  rom->PageSize = 0;
  rom->AddressSize = 0;

  static const char* const kNumberNames[3] = {"RomSize", "PageSize", "AddressSize"};
  bool rejected = false;
  for (int pair = 0; pair < 6; ++pair) {
    const size_t limit = pair < 3 ? kConfigTextLimit : kConfigNumberLimit;
    if (lengths[pair] > limit) {
      console.Print("    ROM Config value %d is %u characters long, more than %u !!!\n", pair + 1,
                    static_cast<unsigned>(lengths[pair]), static_cast<unsigned>(limit));
      rejected = true;
    }
  }
  int32_t numbers[3] = {};
  // A page or address size beyond its field is refused rather than cut (a
  // page size of 65537 would be a page of one byte); one whose cut is 0 is
  // left to the parameter check, which reports it as the field holds it.
  static const int32_t kFieldMax[3] = {INT32_MAX, 0xFFFF, 0xFF};
  for (int i = 0; i < 3 && !rejected; ++i) {
    const bool read = ConfigNumber(values[3 + i].c_str(), &numbers[i]);
    const bool fits = i == 0 || (numbers[i] >= 0 && numbers[i] <= kFieldMax[i]);
    if (!read || (!fits && (numbers[i] & kFieldMax[i]) != 0)) {
      console.Print("    ROM Config %s %s is out of range !!!\n", kNumberNames[i],
                    values[3 + i].c_str());
      rejected = true;
    }
  }
  if (rejected) {
    console.Write("    Get ROM Parameter fail !!!\n");
    return 0;
  }
  rom->RomSize = numbers[0];
  rom->PageSize = static_cast<uint16_t>(numbers[1]);
  rom->AddressSize = static_cast<uint8_t>(numbers[2]);

  bool failed = false;
  if (EqualsIgnoreCase(rom->RomTypeName, "SPI")) {
    *romType = kRomTypeSpi;
  } else if (EqualsIgnoreCase(rom->RomTypeName, "I2C")) {
    *romType = kRomTypeI2c;
  } else {
    console.Print("    %s ROM Config Wrong !!!\n", rom->RomTypeName);
    failed = true;
  }
  if (rom->RomSize == 0 || rom->PageSize == 0 || rom->AddressSize == 0) {
    console.Print("    %s ROM Config Parameter error !!!\n", rom->RomTypeName);
    console.Print("    ->RomSize     %d \n", rom->RomSize);
    console.Print("    ->PageSize    %u \n", static_cast<unsigned>(rom->PageSize));
    console.Print("    ->AddressSize %u \n", static_cast<unsigned>(rom->AddressSize));
    failed = true;
  }
  if (failed) {
    console.Write("    Get ROM Parameter fail !!!\n");
    return 0;
  }
  return 1;
}

}  // namespace zemb
