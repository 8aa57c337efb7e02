// zembsim: plugs a simulated Zemb device into the current directory, shows
// it and changes it, between tool runs or between two requests of one. The device lives in ./ZembSimDevice/;
// every change is made on a loaded copy and saved whole, so a refused or
// failed command leaves the device as it was.
//
// Exit status: 0 done, 1 the command could not be carried out, 2 the words
// were wrong (the usage text is on standard error).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/host/regular_file.h"
#include "sim/sim_device.h"
#include "sim/unit_lock.h"

namespace zemb::sim {
namespace {

namespace fs = std::filesystem;

using Args = std::vector<std::string>;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kMaxRomSize = 256u << 20;

struct Command {
  const char* name;
  const char* synopsis;  // the words after "zembsim"
  const char* summary;
  const char* details;
  int (*run)(const Command& self, const Args& args);
};

int Usage(const Command& c, const std::string& why) {
  std::fprintf(stderr, "zembsim %s: %s\nusage: zembsim %s\n(zembsim %s --help tells more)\n",
               c.name, why.c_str(), c.synopsis, c.name);
  return kExitUsage;
}

int Failed(const Command& c, const std::string& why) {
  std::fprintf(stderr, "zembsim %s: %s\n", c.name, why.c_str());
  return kExitFailed;
}

bool ParseNumber(const std::string& word, uint64_t max, uint64_t* value) {
  if (word.empty() || !std::isdigit(static_cast<unsigned char>(word[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  const unsigned long long v = std::strtoull(word.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = v;
  return true;
}

template <typename T>
bool ParseInto(const std::string& word, uint64_t max, T* out) {
  uint64_t v = 0;
  if (!ParseNumber(word, max, &v)) return false;
  *out = static_cast<T>(v);
  return true;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    uint64_t v = 0;
    if (!std::isxdigit(static_cast<unsigned char>(digits[i])) ||
        !std::isxdigit(static_cast<unsigned char>(digits[i + 1])) ||
        !ParseNumber("0x" + digits.substr(i, 2), 0xFF, &v)) {
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

bool Plugged() {
  std::error_code ec;
  return fs::exists(fs::path(kSimFolder) / "device.txt", ec);
}

// Loads the plugged device, or says why not.
bool Load(const Command& c, DeviceState* state, int* status) {
  std::string error;
  if (LoadDeviceState(kSimFolder, state, &error)) return true;
  *status = Failed(c, error.empty() ? std::string("no device is plugged here (zembsim plug)")
                                    : "the device in ./" + std::string(kSimFolder) +
                                          " cannot be read: " + error);
  return false;
}

bool Save(const Command& c, const DeviceState& state, int* status) {
  std::string error;
  if (SaveDeviceState(kSimFolder, state, &error)) return true;
  *status = Failed(c, error);
  return false;
}

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

uint32_t Le32(const std::vector<uint8_t>& rom, size_t at) {
  return static_cast<uint32_t>(rom[at]) | static_cast<uint32_t>(rom[at + 1]) << 8 |
         static_cast<uint32_t>(rom[at + 2]) << 16 | static_cast<uint32_t>(rom[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& rom, size_t at) {
  return static_cast<uint16_t>(rom[at] | rom[at + 1] << 8);
}

std::string FacesText(const DeviceState& s) {
  std::string faces;
  if (s.ownFace) faces += " own";
  if (s.cdromFace) faces += " cdrom";
  if (s.xuFace) faces += " xu";
  return faces.empty() ? "none" : faces.substr(1);
}

// --- plug, unplug ------------------------------------------------------------

int RunPlug(const Command& c, const Args& args) {
  bool ownFace = false, cdromFace = false, xuFace = false, anyFace = false;
  RomKind kind = RomKind::Spi;
  uint32_t size = 1u << 20;
  bool fwGiven = false, sigGiven = false;
  uint32_t fw[2] = {0, 0};
  uint32_t signature = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (a == "--face") {
      const std::string* v = value();
      if (!v) return Usage(c, "--face needs own, cdrom or xu");
      if (*v == "own") {
        ownFace = true;
      } else if (*v == "cdrom") {
        cdromFace = true;
      } else if (*v == "xu") {
        xuFace = true;
      } else {
        return Usage(c, "unknown face \"" + *v + "\"");
      }
      anyFace = true;
    } else if (a == "--rom") {
      const std::string* v = value();
      if (!v || (*v != "spi" && *v != "i2c")) return Usage(c, "--rom needs spi or i2c");
      kind = *v == "spi" ? RomKind::Spi : RomKind::I2c;
    } else if (a == "--size") {
      const std::string* v = value();
      if (!v || !ParseInto(*v, kMaxRomSize, &size) || size == 0 || size % 4096 != 0) {
        return Usage(c, "--size needs a positive multiple of 4096 up to 268435456");
      }
    } else if (a == "--fw-version") {
      if (i + 2 >= args.size() || !ParseInto(args[i + 1], 0xFFFFFFFF, &fw[0]) ||
          !ParseInto(args[i + 2], 0xFFFFFFFF, &fw[1])) {
        return Usage(c, "--fw-version needs two 32-bit words");
      }
      i += 2;
      fwGiven = true;
    } else if (a == "--side-signature") {
      const std::string* v = value();
      if (!v || !ParseInto(*v, 0xFFFFFFFF, &signature)) {
        return Usage(c, "--side-signature needs a 32-bit word");
      }
      sigGiven = true;
    } else {
      return Usage(c, "unknown word \"" + a + "\"");
    }
  }
  if (Plugged()) {
    return Failed(c, "a device is already plugged here; zembsim unplug removes it");
  }
  DeviceState state = DefaultDeviceState(kind, size);
  state.ownFace = anyFace ? ownFace : false;
  state.cdromFace = anyFace ? cdromFace : true;
  state.xuFace = anyFace ? xuFace : false;
  if (fwGiven) {
    state.firmwareVersion[0] = fw[0];
    state.firmwareVersion[1] = fw[1];
  }
  if (sigGiven) state.sideSignature = signature;
  int status = kExitOk;
  if (!Save(c, state, &status)) return status;
  std::printf("Plugged a device with face(s) %s and an erased %s ROM of %u bytes.\n",
              FacesText(state).c_str(), kind == RomKind::Spi ? "SPI" : "I2C", size);
  return kExitOk;
}

int RunUnplug(const Command& c, const Args& args) {
  if (!args.empty()) return Usage(c, "unknown word \"" + args[0] + "\"");
  if (!Plugged()) return Failed(c, "no device is plugged here");
  const fs::path dir(kSimFolder);
  std::error_code ec;
  // device.txt goes first: once it is gone the device counts as unplugged,
  // whatever else fails to go.
  for (const char* name :
       {"device.txt", "rom.bin", "device.txt.tmp", "rom.bin.tmp", kRunLockName, kStateLockName}) {
    fs::remove(dir / name, ec);
    if (ec) return Failed(c, "cannot remove " + (dir / name).string() + ": " + ec.message());
  }
  fs::remove(dir, ec);
  if (ec) {
    std::printf("Unplugged; ./%s is left because it holds other files.\n", kSimFolder);
  } else {
    std::printf("Unplugged.\n");
  }
  return kExitOk;
}

// --- status -------------------------------------------------------------------

void PrintHeader(const std::vector<uint8_t>& rom) {
  std::printf("ROM header (address 0)\n");
  const uint16_t signature = Le16(rom, 0);
  std::printf("  Signature        : %s (%s)\n", Hex(signature, 4).c_str(),
              signature == 0xBEEF ? "valid" : "not 0xBEEF");
  std::printf("  Markers          : 0x%02X 0x%02X\n", rom[2], rom[3]);
  std::printf("  Format word      : %s\n", Hex(Le16(rom, 4), 4).c_str());
  static const struct {
    const char* name;
    size_t at;
  } kEntries[] = {{"HW/FW", 6}, {"Descriptor", 16}, {"ISO image", 26}, {"Misc", 36}};
  for (const auto& e : kEntries) {
    const uint32_t length = Le32(rom, e.at + 6);
    std::printf("  %-10s entry : type 0x%02X, start %s, length %s (%u)\n", e.name, rom[e.at],
                Hex(Le32(rom, e.at + 2), 8).c_str(), Hex(length, 8).c_str(), length);
  }
}

void PrintMisc(const std::vector<uint8_t>& rom) {
  constexpr size_t kMisc = 0xB000;
  constexpr size_t kRecord = 40;
  std::printf("Misc record (address 0xB000)\n");
  if (rom.size() < kMisc + kRecord) {
    std::printf("  beyond the end of the ROM\n");
    return;
  }
  auto mac = [&](size_t at) {
    char text[24];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", rom[at], rom[at + 1],
                  rom[at + 2], rom[at + 3], rom[at + 4], rom[at + 5]);
    return std::string(text);
  };
  std::printf("  P-side MAC       : %s\n", mac(kMisc).c_str());
  std::printf("  S-side MAC       : %s\n", mac(kMisc + 6).c_str());
  const auto first = rom.begin() + kMisc + 12;
  const bool erased = std::all_of(first, first + 28, [](uint8_t b) { return b == 0xFF; });
  std::string serial;
  bool highBytes = false;
  for (size_t i = 0; i < 14; ++i) {
    const uint8_t low = rom[kMisc + 12 + 2 * i];
    highBytes |= rom[kMisc + 13 + 2 * i] != 0;
    serial += (low >= 0x20 && low < 0x7F) ? static_cast<char>(low) : '.';
  }
  std::printf("  Serial number    : %s%s\n", erased ? "(erased)" : serial.c_str(),
              !erased && highBytes ? " (some high bytes are not 0)" : "");
}

int RunStatus(const Command& c, const Args& args) {
  if (!args.empty()) return Usage(c, "unknown word \"" + args[0] + "\"");
  DeviceState s;
  int status = kExitOk;
  if (!Load(c, &s, &status)) return status;
  std::printf("Device in ./%s\n", kSimFolder);
  std::printf("  Faces            : %s\n", FacesText(s).c_str());
  std::printf("  ROM              : %s, %zu bytes (%s)\n",
              s.romKind == RomKind::Spi ? "SPI" : "I2C", s.rom.size(),
              Hex(s.rom.size(), 1).c_str());
  std::printf("  Firmware version : %s %s\n", Hex(s.firmwareVersion[0], 8).c_str(),
              Hex(s.firmwareVersion[1], 8).c_str());
  std::printf("  Side signature   : %s\n", Hex(s.sideSignature, 8).c_str());
  if (s.xuFace) std::printf("  Extension unit   : node %u\n", s.xuNodeId);
  PrintHeader(s.rom);
  PrintMisc(s.rom);
  std::printf("GPIO               : data 0x%02X, direction 0x%02X\n", s.gpioData, s.gpioDirection);
  std::printf("I2C devices        :");
  if (s.i2c.empty()) std::printf(" none");
  const char* separator = " ";
  for (const auto& [address, device] : s.i2c) {
    const auto set = std::count_if(device.registers.begin(), device.registers.end(),
                                   [](uint8_t b) { return b != 0; });
    std::printf("%s0x%02X (%zu registers, %zd not 0)", separator, address, device.registers.size(),
                static_cast<ptrdiff_t>(set));
    separator = ", ";
  }
  std::printf("\n");
  std::printf("Faults armed       :");
  bool any = false;
  for (const Fault& f : s.faults) {
    if (f.fired) continue;
    std::printf("%s%s", any ? ", " : " ", FaultToText(f).c_str());
    any = true;
  }
  std::printf("%s\n", any ? "" : " none");
  return kExitOk;
}

// --- dump, load ---------------------------------------------------------------

int RunDump(const Command& c, const Args& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    return Usage(c, args.empty() ? "name the file to write" : "give one file name");
  }
  DeviceState s;
  int status = kExitOk;
  if (!Load(c, &s, &status)) return status;
  // The ROM replaces a regular file or goes to a new name, nothing else: a
  // device node, a FIFO, a directory or a symbolic link stays as it is.
  std::error_code typeError;
  const fs::file_status target = fs::symlink_status(args[0], typeError);
  if (!typeError && fs::exists(target) && !fs::is_regular_file(target)) {
    return Failed(c, "cannot write " + args[0] + ": not a regular file");
  }
  const std::string temp = args[0] + ".zembsim-tmp";
  const fs::file_status tempType = fs::symlink_status(temp, typeError);
  if (!typeError && fs::exists(tempType) && !fs::is_regular_file(tempType)) {
    return Failed(c, "cannot write " + temp + ": not a regular file");
  }
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) return Failed(c, "cannot create " + temp + ": " + std::strerror(errno));
  const bool written = std::fwrite(s.rom.data(), 1, s.rom.size(), f) == s.rom.size();
  const bool closed = std::fclose(f) == 0;
  std::error_code ec;
  if (written && closed) fs::rename(temp, args[0], ec);
  if (!written || !closed || ec) {
    fs::remove(temp, ec);
    return Failed(c, "cannot write " + args[0]);
  }
  std::printf("Wrote the %zu-byte ROM to %s.\n", s.rom.size(), args[0].c_str());
  return kExitOk;
}

int RunLoad(const Command& c, const Args& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    return Usage(c, args.empty() ? "name the file to load" : "give one file name");
  }
  DeviceState s;
  int status = kExitOk;
  if (!Load(c, &s, &status)) return status;
  // Only a regular file: a FIFO would block here for ever, a device node
  // would load whatever it happens to read.
  std::error_code typeError;
  const fs::file_status type = fs::status(args[0], typeError);
  if (!typeError && fs::exists(type) && !fs::is_regular_file(type)) {
    return Failed(c, "cannot open " + args[0] + ": not a regular file");
  }
  errno = 0;
  FILE* f = OpenRegularFile(args[0].c_str(), "rb");
  if (!f) {
    return Failed(c, "cannot open " + args[0] + ": " +
                         (errno != 0 ? std::strerror(errno) : "not a regular file"));
  }
  std::vector<uint8_t> bytes(s.rom.size() + 1);
  const size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return Failed(c, "cannot read " + args[0]);
  if (n > s.rom.size()) {
    return Failed(c, args[0] + " is larger than the " + std::to_string(s.rom.size()) +
                         "-byte ROM; nothing loaded");
  }
  // As a programmer would do it: an SPI ROM has the sectors the file covers
  // erased first, an EEPROM is simply overwritten.
  if (s.romKind == RomKind::Spi && n > 0) {
    const size_t end = std::min(s.rom.size(), (n + 4095) / 4096 * 4096);
    std::fill(s.rom.begin(), s.rom.begin() + end, 0xFF);
  }
  std::copy(bytes.begin(), bytes.begin() + n, s.rom.begin());
  if (!Save(c, s, &status)) return status;
  std::printf("Loaded %zu bytes of %s into the ROM from address 0.\n", n, args[0].c_str());
  return kExitOk;
}

// --- gpio, i2c, fault -----------------------------------------------------------

int RunGpio(const Command& c, const Args& args) {
  bool setData = false, setDir = false;
  uint8_t data = 0, dir = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool isData = args[i] == "--data";
    if (!isData && args[i] != "--dir") return Usage(c, "unknown word \"" + args[i] + "\"");
    uint8_t value = 0;
    if (i + 1 >= args.size() || !ParseInto(args[i + 1], 0xFF, &value)) {
      return Usage(c, args[i] + " needs a byte value");
    }
    ++i;
    (isData ? setData : setDir) = true;
    (isData ? data : dir) = value;
  }
  DeviceState s;
  int status = kExitOk;
  if (!Load(c, &s, &status)) return status;
  if (setData) s.gpioData = data;
  if (setDir) s.gpioDirection = dir;
  if ((setData || setDir) && !Save(c, s, &status)) return status;
  std::printf("GPIO data 0x%02X, direction 0x%02X\n", s.gpioData, s.gpioDirection);
  return kExitOk;
}

int RunI2c(const Command& c, const Args& args) {
  DeviceState s;
  int status = kExitOk;
  if (args.empty()) {
    if (!Load(c, &s, &status)) return status;
    for (const auto& [address, device] : s.i2c) {
      std::printf("0x%02X: %zu registers\n", address, device.registers.size());
    }
    if (s.i2c.empty()) std::printf("No I2C devices.\n");
    return kExitOk;
  }
  uint8_t address = 0;
  if (!ParseInto(args[0], 0xFF, &address)) return Usage(c, "ADDR is a byte, e.g. 0x78");
  struct SetOp {
    uint32_t reg;
    std::vector<uint8_t> bytes;
  };
  std::vector<SetOp> sets;
  uint32_t addCount = 0;
  bool remove = false, show = false;
  uint32_t showReg = 0, showCount = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--set") {
      if (i + 1 >= args.size()) return Usage(c, "--set needs REG=HEX");
      const std::string& v = args[++i];
      const size_t eq = v.find('=');
      SetOp op;
      if (eq == std::string::npos || !ParseInto(v.substr(0, eq), 0xFFFFFFFF, &op.reg) ||
          !ParseHexBytes(v.substr(eq + 1), &op.bytes)) {
        return Usage(c, "--set needs REG=HEX, e.g. 0x0010=0102FF");
      }
      sets.push_back(op);
    } else if (a == "--show") {
      if (i + 2 >= args.size() || !ParseInto(args[i + 1], 0xFFFFFFFF, &showReg) ||
          !ParseInto(args[i + 2], 0x10000, &showCount) || showCount == 0) {
        return Usage(c, "--show needs REG COUNT (COUNT 1 to 65536)");
      }
      i += 2;
      show = true;
    } else if (a == "--add") {
      if (i + 1 >= args.size() || !ParseInto(args[++i], 1u << 24, &addCount) || addCount == 0) {
        return Usage(c, "--add needs a register count, 1 to 16777216");
      }
    } else if (a == "--remove") {
      remove = true;
    } else {
      return Usage(c, "unknown word \"" + a + "\"");
    }
  }
  if (remove && (addCount || !sets.empty() || show)) {
    return Usage(c, "--remove goes alone");
  }
  if (!Load(c, &s, &status)) return status;
  if (remove) {
    if (!s.i2c.erase(address)) return Failed(c, "no I2C device at " + Hex(address, 2));
    if (!Save(c, s, &status)) return status;
    std::printf("Removed the I2C device at 0x%02X.\n", address);
    return kExitOk;
  }
  if (addCount) {
    if (s.i2c.count(address)) return Failed(c, "there is already a device at " + Hex(address, 2));
    s.i2c[address].registers.assign(addCount, 0);
  }
  auto it = s.i2c.find(address);
  if (it == s.i2c.end()) return Failed(c, "no I2C device at " + Hex(address, 2));
  std::vector<uint8_t>& regs = it->second.registers;
  for (const SetOp& op : sets) {
    for (size_t i = 0; i < op.bytes.size(); ++i) {
      regs[(uint64_t{op.reg} + i) % regs.size()] = op.bytes[i];
    }
  }
  if ((addCount || !sets.empty()) && !Save(c, s, &status)) return status;
  if (show) {
    for (uint32_t i = 0; i < showCount; ++i) {
      const uint64_t reg = uint64_t{showReg} + i;
      if (i % 16 == 0) std::printf("%s%s:", i ? "\n" : "", Hex(reg, 4).c_str());
      std::printf(" %02X", regs[reg % regs.size()]);
    }
    std::printf("\n");
  } else {
    std::printf("0x%02X: %zu registers\n", address, regs.size());
  }
  return kExitOk;
}

int RunFault(const Command& c, const Args& args) {
  if (args.empty()) return Usage(c, "give fail, stall, corrupt, short-read, refuse, clear or list");
  DeviceState s;
  int status = kExitOk;
  if (args[0] == "clear" || args[0] == "list") {
    if (args.size() != 1) return Usage(c, args[0] + " takes no more words");
    if (!Load(c, &s, &status)) return status;
    if (args[0] == "clear") {
      s.faults.clear();
      if (!Save(c, s, &status)) return status;
      std::printf("No faults armed.\n");
      return kExitOk;
    }
    bool any = false;
    for (const Fault& f : s.faults) {
      if (f.fired) continue;
      std::printf("%s\n", FaultToText(f).c_str());
      any = true;
    }
    if (!any) std::printf("No faults armed.\n");
    return kExitOk;
  }
  Fault f;
  std::string why;
  if (!ParseFault(args, &f, &why)) return Usage(c, why);
  if (!Load(c, &s, &status)) return status;
  s.faults.push_back(f);
  if (!Save(c, s, &status)) return status;
  std::printf("Armed: %s\n", FaultToText(f).c_str());
  return kExitOk;
}

const Command kCommands[] = {
    {"plug",
     "plug [--face own|cdrom|xu]... [--rom spi|i2c] [--size BYTES] [--fw-version W0 W1] "
     "[--side-signature W]",
     "plug a new device in here",
     "Plugs a new device into ./ZembSimDevice/: an erased ROM, two I2C register files\n"
     "(0x50 with 256 registers, 0x78 with 65536), GPIO 0. --face may be given more than\n"
     "once; without it the device shows as a CD-ROM drive. The ROM is SPI of 1048576\n"
     "bytes unless --rom and --size say otherwise; the size is a positive multiple of\n"
     "4096 up to 256 MiB. Refused when a device is already plugged.\n",
     RunPlug},
    {"unplug", "unplug", "remove the device from here",
     "Removes ./ZembSimDevice/ with the ROM in it.\n", RunUnplug},
    {"status", "status", "show the device",
     "Shows the faces, the ROM kind and size, the ROM header at address 0, the misc\n"
     "record at 0xB000 (MAC addresses and serial number), GPIO, I2C devices and the\n"
     "faults not yet fired.\n",
     RunStatus},
    {"dump", "dump FILE", "copy the whole ROM into FILE",
     "Writes the whole ROM to FILE, replacing it only once the copy is complete.\n", RunDump},
    {"load", "load FILE", "put FILE into the ROM from address 0",
     "Puts FILE into the ROM from address 0 as an external programmer would: on an SPI\n"
     "ROM the 4096-byte sectors the file covers are erased first (so the rest of the\n"
     "last one reads 0xFF), an I2C EEPROM is overwritten. A file larger than the ROM\n"
     "is refused and nothing changes.\n",
     RunLoad},
    {"gpio", "gpio [--data B] [--dir B]", "show or set the GPIO port",
     "Shows the GPIO data and direction bytes; --data and --dir set them first.\n", RunGpio},
    {"i2c", "i2c [ADDR [--add COUNT] [--set REG=HEX]... [--show REG COUNT] | ADDR --remove]",
     "show or change the I2C devices",
     "Without ADDR lists the I2C devices. ADDR is the address byte the tools send\n"
     "(0x78 as 0x78). --add makes a device of COUNT registers, --set writes the bytes\n"
     "HEX (e.g. 0102FF) from register REG on, wrapping at the device's size, --show\n"
     "prints COUNT registers from REG, --remove takes the device off the bus.\n",
     RunI2c},
    {"fault",
     "fault fail KIND N [ERROR] | stall OP [N] | corrupt [N] | short-read [N] | refuse KIND N | "
     "clear | list",
     "arm a fault for the next tool runs",
     "Arms a fault; it fires once, in the first tool run that gets that far. Counts N\n"
     "start at 1 in every tool run, and again when faults are armed or cleared while\n"
     "a run is going on; N defaults to 1.\n"
     "  fail KIND N [ERROR]  the Nth request of KIND fails with the Win32 ERROR\n"
     "                       (default 31); on the extension unit as its HRESULT.\n"
     "                       KIND: access-rom rom-status rom-data rom-type\n"
     "                       firmware-version side-signature io-access storage-query\n"
     "                       xu-read xu-write any\n"
     "  stall OP [N]         the Nth ROM operation OP (0xFF, 0xFD, 0x01, 0x02; 0 = any)\n"
     "                       never finishes\n"
     "  corrupt [N]          the Nth ROM write stores its first byte with bit 0 flipped\n"
     "  short-read [N]       the Nth extension-unit read returns one byte short\n"
     "  refuse KIND N        the CD-ROM face answers the Nth request of KIND with\n"
     "                       CHECK CONDITION and does not carry it out\n"
     "  clear | list         disarm all faults, or list the armed ones\n",
     RunFault},
};

void PrintOverview(FILE* to) {
  std::fprintf(to,
               "usage: zembsim COMMAND [WORDS]\n"
               "Keeps a simulated Zemb device in ./%s for the tools to find.\n\n",
               kSimFolder);
  for (const Command& c : kCommands) std::fprintf(to, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(to, "\nzembsim COMMAND --help shows the words of one command.\n");
}

}  // namespace
}  // namespace zemb::sim

int main(int argc, char** argv) {
  using namespace zemb::sim;
  if (argc < 2) {
    PrintOverview(stderr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintOverview(stdout);
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (name != c.name) continue;
    Args args(argv + 2, argv + argc);
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
      std::printf("usage: zembsim %s\n\n%s", c.synopsis, c.details);
      return kExitOk;
    }
    // A tool run may be between two requests: the command goes between
    // them, never into the middle of one.
    std::unique_ptr<UnitFileLock> stateLock;
    int lockError = 0;
    std::error_code ec;
    if (std::filesystem::is_directory(kSimFolder, ec)) {
      UnitFileLock::Take(std::string(kSimFolder) + "/" + kStateLockName, true, &stateLock,
                         &lockError);
    }
    return c.run(c, args);
  }
  std::fprintf(stderr, "zembsim: unknown command \"%s\"\n", name.c_str());
  PrintOverview(stderr);
  return kExitUsage;
}
