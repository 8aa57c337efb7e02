// zembsim's commands on a unit as a whole: plug, unplug, status, and the
// ROM copied out (dump) or in (load).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "common/base/bytes.h"
#include "common/base/numbers.h"
#include "common/host/regular_file.h"
#include "sim/sim_numbers.h"
#include "sim/sim_units.h"
#include "sim/unit_lock.h"
#include "sim/zembsim.h"

namespace zemb::sim {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMaxRomSize = 256u << 20;

void PrintHeader(const std::vector<uint8_t>& rom) {
  std::printf("ROM header (address 0)\n");
  const uint16_t signature = GetLe16(&rom[0]);
  std::printf("  Signature        : %s (%s)\n", HexText(signature, 4).c_str(),
              signature == 0xBEEF ? "valid" : "not 0xBEEF");
  std::printf("  Markers          : 0x%02X 0x%02X\n", rom[2], rom[3]);
  std::printf("  Format word      : %s\n", HexText(GetLe16(&rom[4]), 4).c_str());
  static const struct {
    const char* name;
    size_t at;
  } kEntries[] = {{"HW/FW", 6}, {"Descriptor", 16}, {"ISO image", 26}, {"Misc", 36}};
  for (const auto& e : kEntries) {
    const uint32_t length = GetLe32(&rom[e.at + 6]);
    std::printf("  %-10s entry : type 0x%02X, start %s, length %s (%u)\n", e.name, rom[e.at],
                HexText(GetLe32(&rom[e.at + 2]), 8).c_str(), HexText(length, 8).c_str(), length);
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

// A port as zembsim takes it: one word that names a socket on any host.
bool PortWord(const std::string& word) {
  if (word.empty() || word.size() > 64) return false;
  return std::all_of(word.begin(), word.end(), [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || std::strchr("-_.:#", ch) != nullptr;
  });
}

// A name for one plugging of a unit, never given twice: a host tells a
// unit pulled out and plugged back (or replaced) by it, whatever the files'
// inode numbers and times say.
std::string NewPlugId() {
  std::random_device random;
  const uint64_t drawn = static_cast<uint64_t>(random()) << 32 | random();
  const uint64_t now =
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  return HexText(drawn ^ now, 16);
}

// The port a plugged unit sits in, from its device.txt alone (its ROM is
// not needed for that).
std::string PortOf(const std::string& name) {
  std::ifstream in(UnitFolder(name) + "/device.txt");
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string key, equals, value;
    if (words >> key >> equals >> value && key == "port" && equals == "=") return value;
  }
  return "";
}

// The state of a unit unplugged with --keep, in its folder.
constexpr const char* kKeptName = "kept.txt";

}  // namespace

// --- plug, unplug ------------------------------------------------------------

int RunPlug(const Command& c, const UnitPlace& unit, const Args& args) {
  bool ownFace = false, cdromFace = false, xuFace = false, anyFace = false;
  RomKind kind = RomKind::Spi;
  uint32_t size = 1u << 20;
  bool fwGiven = false, sigGiven = false, keep = false, makeUpGiven = false;
  std::string port = unit.name;
  uint32_t fw[2] = {0, 0};
  uint32_t signature = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    makeUpGiven = makeUpGiven || (a != "--port" && a != "--keep");
    if (a == "--port") {
      const std::string* v = value();
      if (!v || !PortWord(*v)) {
        return Usage(c, "--port needs 1 to 64 letters, digits, '-', '_', '.', ':' or '#'");
      }
      port = *v;
    } else if (a == "--keep") {
      keep = true;
    } else if (a == "--face") {
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
  if (unit.name.empty() && Plugged(unit)) {
    return Failed(c, "a device is already plugged here; zembsim unplug removes it");
  }
  for (const std::string& other : PluggedUnitNames()) {
    if (other == unit.name) {
      return Failed(c, "unit " + other + " is already plugged; zembsim unplug --unit " + other +
                           " removes it");
    }
    if (SameUnitName(other, unit.name)) {
      return Failed(c, "unit " + other + " is plugged, and unit names may not differ only in " +
                           "letter case");
    }
  }
  for (const std::string& other : PluggedUnits()) {
    if (!port.empty() && PortOf(other) == port) {
      return Failed(c, "port " + port + " holds " + UnitText(other) + " already");
    }
  }
  const std::filesystem::path kept = std::filesystem::path(unit.folder) / kKeptName;
  std::error_code keptError;
  if (keep) {
    if (makeUpGiven)
      return Usage(c, "--keep brings the unit back as it was: only --port goes with it");
    if (!std::filesystem::exists(kept, keptError)) {
      return Failed(c, "no " + UnitText(unit.name) + " was unplugged with --keep");
    }
    std::filesystem::rename(kept, std::filesystem::path(unit.folder) / "device.txt", keptError);
    DeviceState state;
    int status = kExitOk;
    if (keptError) return Failed(c, "cannot plug the kept unit back: " + keptError.message());
    if (!Load(c, unit, &state, &status)) return status;
    state.port = port;
    state.plug = NewPlugId();
    if (!Save(c, unit, state, &status)) return status;
    std::printf("Plugged %s back into port %s with the ROM it had.\n", UnitText(unit.name).c_str(),
                port.c_str());
    return kExitOk;
  }
  DeviceState state = DefaultDeviceState(kind, size);
  state.port = port;
  state.plug = NewPlugId();
  state.ownFace = anyFace ? ownFace : false;
  state.cdromFace = anyFace ? cdromFace : true;
  state.xuFace = anyFace ? xuFace : false;
  if (fwGiven) {
    state.firmwareVersion[0] = fw[0];
    state.firmwareVersion[1] = fw[1];
  }
  if (sigGiven) state.sideSignature = signature;
  int status = kExitOk;
  if (!Save(c, unit, state, &status)) return status;
  // A unit plugged anew is a new unit: what an earlier one left is gone.
  std::filesystem::remove(kept, keptError);
  const std::string what = unit.name.empty() ? "a device" : "unit " + unit.name;
  std::printf("Plugged %s with face(s) %s and an erased %s ROM of %u bytes%s%s.\n", what.c_str(),
              FacesText(state).c_str(), kind == RomKind::Spi ? "SPI" : "I2C", size,
              port.empty() ? "" : " into port ", port.c_str());
  return kExitOk;
}

int RunUnplug(const Command& c, const UnitPlace& unit, const Args& args) {
  const bool keep = args.size() == 1 && args[0] == "--keep";
  if (!args.empty() && !keep) return Usage(c, "unknown word \"" + args[0] + "\"");
  if (!Plugged(unit)) {
    return Failed(c, unit.name.empty() ? "no device is plugged here"
                                       : "no unit " + unit.name + " is plugged here");
  }
  const fs::path dir(unit.folder);
  std::error_code ec;
  if (keep) {
    if (unit.name.empty()) return Usage(c, "--keep needs --unit NAME");
    // The unit is out once device.txt is gone; its state waits beside.
    fs::rename(dir / "device.txt", dir / kKeptName, ec);
    if (ec) return Failed(c, "cannot unplug " + UnitText(unit.name) + ": " + ec.message());
    std::printf("Unplugged unit %s; it keeps its ROM for zembsim plug --keep.\n",
                unit.name.c_str());
    return kExitOk;
  }
  // device.txt goes first: once it is gone the device counts as unplugged,
  // whatever else fails to go.
  for (const char* name : {"device.txt", "rom.bin", "device.txt.tmp", "rom.bin.tmp", kKeptName,
                           kRunLockName, kStateLockName}) {
    fs::remove(dir / name, ec);
    if (ec) return Failed(c, "cannot remove " + (dir / name).string() + ": " + ec.message());
  }
  fs::remove(dir, ec);
  const bool left = static_cast<bool>(ec);
  if (!unit.name.empty()) {
    // The machine's folder goes too once its last unit has.
    fs::remove(kSimFolder, ec);
    if (left) {
      std::printf("Unplugged unit %s; ./%s is left because it holds other files.\n",
                  unit.name.c_str(), unit.folder.c_str());
    } else {
      std::printf("Unplugged unit %s.\n", unit.name.c_str());
    }
  } else if (left) {
    std::printf("Unplugged; ./%s is left because it holds other files.\n", kSimFolder);
  } else {
    std::printf("Unplugged.\n");
  }
  return kExitOk;
}

// --- status -------------------------------------------------------------------

int RunStatus(const Command& c, const UnitPlace& unit, const Args& args) {
  if (!args.empty()) return Usage(c, "unknown word \"" + args[0] + "\"");
  DeviceState s;
  int status = kExitOk;
  if (!Load(c, unit, &s, &status)) return status;
  std::printf("Device in ./%s\n", unit.folder.c_str());
  std::printf("  Faces            : %s\n", FacesText(s).c_str());
  std::printf("  ROM              : %s, %zu bytes (%s)\n",
              s.romKind == RomKind::Spi ? "SPI" : "I2C", s.rom.size(),
              HexText(s.rom.size(), 1).c_str());
  std::printf("  Firmware version : %s %s\n", HexText(s.firmwareVersion[0], 8).c_str(),
              HexText(s.firmwareVersion[1], 8).c_str());
  std::printf("  Side signature   : %s\n", HexText(s.sideSignature, 8).c_str());
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

namespace {

// The one FILE word of dump and load, and the unit loaded; false with the
// exit status in *status.
bool FileWordAndUnit(const Command& c, const UnitPlace& unit, const Args& args, const char* noFile,
                     DeviceState* s, int* status) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    *status = Usage(c, args.empty() ? noFile : "give one file name");
    return false;
  }
  return Load(c, unit, s, status);
}

}  // namespace

int RunDump(const Command& c, const UnitPlace& unit, const Args& args) {
  DeviceState s;
  int status = kExitOk;
  if (!FileWordAndUnit(c, unit, args, "name the file to write", &s, &status)) return status;
  // The ROM replaces a regular file or goes to a new name, nothing else: a
  // device node, a FIFO, a directory or a symbolic link stays as it is.
  const std::string temp = args[0] + ".zembsim-tmp";
  for (const std::string& name : {args[0], temp}) {
    std::error_code typeError;
    const fs::file_status type = fs::symlink_status(name, typeError);
    if (!typeError && fs::exists(type) && !fs::is_regular_file(type)) {
      return Failed(c, "cannot write " + name + ": not a regular file");
    }
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

int RunLoad(const Command& c, const UnitPlace& unit, const Args& args) {
  DeviceState s;
  int status = kExitOk;
  if (!FileWordAndUnit(c, unit, args, "name the file to load", &s, &status)) return status;
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
  if (!Save(c, unit, s, &status)) return status;
  std::printf("Loaded %zu bytes of %s into the ROM from address 0.\n", n, args[0].c_str());
  return kExitOk;
}

}  // namespace zemb::sim
