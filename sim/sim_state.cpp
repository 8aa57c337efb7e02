// The plugged device on disk: device.txt, a line-based "key = value" text an
// operator can read and edit, and rom.bin, the ROM byte for byte. Whatever
// the files hold, loading either gives a whole DeviceState or a message
// naming the file and line that is wrong.
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>

#include "common/base/numbers.h"
#include "sim/sim_device.h"
#include "sim/sim_numbers.h"

namespace zemb::sim {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kMaxRomSize = 256u << 20;
constexpr uint32_t kMaxI2cRegisters = 1u << 24;
constexpr uint32_t kRegistersPerLine = 16;

struct KindName {
  RequestKind kind;
  const char* name;
};
constexpr std::array<KindName, 11> kKindNames = {{
    {RequestKind::AccessRom, "access-rom"},
    {RequestKind::RomStatus, "rom-status"},
    {RequestKind::RomData, "rom-data"},
    {RequestKind::RomType, "rom-type"},
    {RequestKind::FirmwareVersion, "firmware-version"},
    {RequestKind::SideSignature, "side-signature"},
    {RequestKind::IoAccess, "io-access"},
    {RequestKind::StorageQuery, "storage-query"},
    {RequestKind::XuRead, "xu-read"},
    {RequestKind::XuWrite, "xu-write"},
    {RequestKind::Any, "any"},
}};

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  const size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> words;
  std::istringstream in(s);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

struct TimingField {
  const char* key;
  uint32_t Timing::*field;
};
constexpr std::array<TimingField, 8> kTimingFields = {{
    {"timing.page-program-us", &Timing::pageProgramUs},
    {"timing.sector-erase-us", &Timing::sectorEraseUs},
    {"timing.chip-erase-us-per-mib", &Timing::chipEraseUsPerMiB},
    {"timing.eeprom-write-us", &Timing::eepromWriteUs},
    {"timing.eeprom-page-size", &Timing::eepromPageSize},
    {"timing.read-us-per-4kib", &Timing::readUsPer4KiB},
    {"timing.control-transfer-us", &Timing::controlTransferUs},
    {"timing.scsi-command-us", &Timing::scsiCommandUs},
}};

bool ReadWholeFile(const fs::path& path, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* f = std::fopen(path.string().c_str(), "rb");
  if (!f) {
    *error = "cannot open " + path.string() + ": " + std::generic_category().message(errno);
    return false;
  }
  bytes->clear();
  std::array<uint8_t, 65536> chunk;
  size_t n = 0;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) {
    bytes->insert(bytes->end(), chunk.begin(), chunk.begin() + n);
    if (bytes->size() > kMaxRomSize) break;
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    *error = "cannot read " + path.string();
    return false;
  }
  return true;
}

bool WriteWholeFile(const fs::path& path, const void* data, size_t size, std::string* error) {
  FILE* f = std::fopen(path.string().c_str(), "wb");
  if (!f) {
    *error = "cannot create " + path.string() + ": " + std::generic_category().message(errno);
    return false;
  }
  const bool written = std::fwrite(data, 1, size, f) == size;
  const bool flushed = std::fflush(f) == 0;
  const bool closed = std::fclose(f) == 0;
  if (!written || !flushed || !closed) {
    *error = "cannot write " + path.string();
    std::error_code ec;
    fs::remove(path, ec);
    return false;
  }
  return true;
}

std::string StateText(const DeviceState& s) {
  std::ostringstream o;
  o << "# Simulated Zemb device, kept by zembsim. ROM contents are in rom.bin.\n";
  // Second, so a glance at the folder reads it without reading the rest.
  if (!s.plug.empty()) o << "plug = " << s.plug << "\n";
  std::string faces;
  if (s.ownFace) faces += " own";
  if (s.cdromFace) faces += " cdrom";
  if (s.xuFace) faces += " xu";
  o << "faces =" << (faces.empty() ? " none" : faces) << "\n";
  o << "rom.kind = " << (s.romKind == RomKind::Spi ? "spi" : "i2c") << "\n";
  o << "rom.size = " << s.rom.size() << "\n";
  o << "firmware.version = " << HexText(s.firmwareVersion[0], 8) << " "
    << HexText(s.firmwareVersion[1], 8) << "\n";
  o << "side.signature = " << HexText(s.sideSignature, 8) << "\n";
  o << "gpio.data = " << HexText(s.gpioData, 2) << "\n";
  o << "gpio.direction = " << HexText(s.gpioDirection, 2) << "\n";
  o << "xu.node = " << s.xuNodeId << "\n";
  if (!s.port.empty()) o << "port = " << s.port << "\n";
  for (const TimingField& t : kTimingFields) o << t.key << " = " << s.timing.*t.field << "\n";
  for (const auto& [address, device] : s.i2c) {
    const std::string name = "i2c." + HexText(address, 2);
    o << name << " = " << device.registers.size() << "\n";
    const int digits = device.registers.size() > 0x10000 ? 8 : 4;
    // Registers that hold anything but 0, in runs of up to 16.
    const size_t n = device.registers.size();
    for (size_t reg = 0; reg < n;) {
      if (device.registers[reg] == 0) {
        ++reg;
        continue;
      }
      size_t end = reg;
      while (end < n && end - reg < kRegistersPerLine && device.registers[end] != 0) ++end;
      o << name << "." << HexText(reg, digits) << " =";
      for (size_t i = reg; i < end; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", device.registers[i]);
        o << byte;
      }
      o << "\n";
      reg = end;
    }
  }
  for (const Fault& f : s.faults) {
    if (!f.fired) o << "fault = " << FaultToText(f) << "\n";
  }
  return o.str();
}

bool ParseStateText(const std::string& text, DeviceState* s, uint32_t* romSize,
                    std::string* error) {
  std::istringstream in(text);
  std::string line;
  int lineNumber = 0;
  std::set<std::string> seen;
  auto bad = [&](const std::string& why) {
    *error = "device.txt line " + std::to_string(lineNumber) + ": " + why;
    return false;
  };
  s->i2c.clear();
  s->faults.clear();
  while (std::getline(in, line)) {
    ++lineNumber;
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const size_t eq = trimmed.find('=');
    if (eq == std::string::npos) return bad("no '=' in \"" + trimmed + "\"");
    const std::string key = Trim(trimmed.substr(0, eq));
    const std::string value = Trim(trimmed.substr(eq + 1));
    const std::vector<std::string> words = Words(value);
    if (key != "fault" && !seen.insert(key).second) return bad("\"" + key + "\" given twice");
    auto one = [&]() -> const std::string* { return words.size() == 1 ? &words[0] : nullptr; };
    if (key == "faces") {
      s->ownFace = s->cdromFace = s->xuFace = false;
      if (words.empty()) return bad("faces: give own, cdrom, xu or none");
      for (const std::string& w : words) {
        if (w == "own") {
          s->ownFace = true;
        } else if (w == "cdrom") {
          s->cdromFace = true;
        } else if (w == "xu") {
          s->xuFace = true;
        } else if (w != "none" || words.size() != 1) {
          return bad("unknown face \"" + w + "\"");
        }
      }
    } else if (key == "rom.kind") {
      if (!one() || (words[0] != "spi" && words[0] != "i2c")) return bad("rom.kind is spi or i2c");
      s->romKind = words[0] == "spi" ? RomKind::Spi : RomKind::I2c;
    } else if (key == "rom.size") {
      if (!one() || !ParseInto(words[0], kMaxRomSize, romSize) || *romSize == 0 ||
          *romSize % 4096 != 0) {
        return bad("rom.size must be a positive multiple of 4096 up to 256 MiB");
      }
    } else if (key == "firmware.version") {
      if (words.size() != 2 || !ParseInto(words[0], 0xFFFFFFFF, &s->firmwareVersion[0]) ||
          !ParseInto(words[1], 0xFFFFFFFF, &s->firmwareVersion[1])) {
        return bad("firmware.version takes two 32-bit words");
      }
    } else if (key == "side.signature") {
      if (!one() || !ParseInto(words[0], 0xFFFFFFFF, &s->sideSignature)) {
        return bad("side.signature takes one 32-bit word");
      }
    } else if (key == "gpio.data" || key == "gpio.direction") {
      uint8_t* field = key == "gpio.data" ? &s->gpioData : &s->gpioDirection;
      if (!one() || !ParseInto(words[0], 0xFF, field)) return bad(key + " takes one byte");
    } else if (key == "xu.node") {
      if (!one() || !ParseInto(words[0], 0xFFFFFFFF, &s->xuNodeId)) {
        return bad("xu.node takes a node number");
      }
    } else if (key == "plug") {
      if (!one() || words[0].size() > 64) return bad("plug takes one word of up to 64 characters");
      s->plug = words[0];
    } else if (key == "port") {
      if (!one() || words[0].size() > 64) return bad("port takes one word of up to 64 characters");
      s->port = words[0];
    } else if (key.rfind("timing.", 0) == 0) {
      const TimingField* field = nullptr;
      for (const TimingField& t : kTimingFields) {
        if (key == t.key) field = &t;
      }
      if (!field) return bad("unknown timing \"" + key + "\"");
      if (!one() || !ParseInto(words[0], 0xFFFFFFFF, &(s->timing.*field->field))) {
        return bad(key + " takes a 32-bit count");
      }
    } else if (key.rfind("i2c.", 0) == 0) {
      const std::string rest = key.substr(4);
      const size_t dot = rest.find('.');
      uint8_t address = 0;
      if (!ParseInto(rest.substr(0, dot), 0xFF, &address)) {
        return bad("\"" + key + "\": no I2C address byte");
      }
      if (dot == std::string::npos) {
        uint32_t count = 0;
        if (!one() || !ParseInto(words[0], kMaxI2cRegisters, &count) || count == 0) {
          return bad(key + " takes its register count, 1 to 16777216");
        }
        s->i2c[address].registers.assign(count, 0);
        continue;
      }
      auto it = s->i2c.find(address);
      if (it == s->i2c.end()) return bad(key + ": the device's register count must come first");
      uint64_t reg = 0;
      std::vector<uint8_t>& regs = it->second.registers;
      if (!ParseNumber(rest.substr(dot + 1), 0xFFFFFFFF, &reg)) {
        return bad("\"" + key + "\": no register address");
      }
      if (words.empty() || reg + words.size() > regs.size()) {
        return bad(key + ": register values run beyond the device's " +
                   std::to_string(regs.size()) + " registers");
      }
      for (size_t i = 0; i < words.size(); ++i) {
        const int high = words[i].size() == 2 ? HexDigit(words[i][0]) : -1;
        const int low = words[i].size() == 2 ? HexDigit(words[i][1]) : -1;
        if (high < 0 || low < 0) {
          return bad(key + ": \"" + words[i] + "\" is not a two-digit hex byte");
        }
        regs[reg + i] = static_cast<uint8_t>(high << 4 | low);
      }
    } else if (key == "fault") {
      Fault f;
      std::string why;
      if (!ParseFault(words, &f, &why)) return bad("fault: " + why);
      s->faults.push_back(f);
    } else {
      return bad("unknown key \"" + key + "\"");
    }
  }
  for (const char* required : {"faces", "rom.kind", "rom.size"}) {
    if (!seen.count(required)) {
      *error = std::string("device.txt: no \"") + required + "\" line";
      return false;
    }
  }
  return true;
}

}  // namespace

const char* RequestKindName(RequestKind kind) {
  for (const KindName& k : kKindNames) {
    if (k.kind == kind) return k.name;
  }
  return "unknown";
}

bool ParseRequestKind(const std::string& name, RequestKind* kind) {
  for (const KindName& k : kKindNames) {
    if (name == k.name) {
      *kind = k.kind;
      return true;
    }
  }
  return false;
}

std::string FaultToText(const Fault& f) {
  switch (f.type) {
    case Fault::Type::FailRequest:
      return std::string("fail ") + RequestKindName(f.kind) + " " + std::to_string(f.nth) + " " +
             std::to_string(f.error);
    case Fault::Type::StallOp:
      return "stall " + HexText(f.op, 2) + " " + std::to_string(f.nth);
    case Fault::Type::CorruptWrite:
      return "corrupt " + std::to_string(f.nth);
    case Fault::Type::ShortRead:
      return "short-read " + std::to_string(f.nth);
    case Fault::Type::RefuseCommand:
      return std::string("refuse ") + RequestKindName(f.kind) + " " + std::to_string(f.nth);
  }
  return "";
}

bool ParseFault(const std::vector<std::string>& words, Fault* fault, std::string* error) {
  Fault f;
  auto nthAt = [&](size_t i) {
    if (words.size() <= i) return true;
    if (!ParseInto(words[i], 0xFFFFFFFF, &f.nth) || f.nth == 0) {
      *error = "the count N is a number from 1";
      return false;
    }
    return true;
  };
  auto atMost = [&](size_t n) {
    if (words.size() <= n) return true;
    *error = "too many words after \"" + words[0] + "\"";
    return false;
  };
  if (words.empty()) {
    *error = "give fail, stall, corrupt, short-read or refuse";
    return false;
  }
  const std::string& type = words[0];
  if (type == "fail" || type == "refuse") {
    const bool fail = type == "fail";
    f.type = fail ? Fault::Type::FailRequest : Fault::Type::RefuseCommand;
    if (words.size() < 3) {
      *error = fail ? "fail takes KIND N [ERROR]" : "refuse takes KIND N";
      return false;
    }
    if (!ParseRequestKind(words[1], &f.kind)) {
      *error = "unknown request kind \"" + words[1] + "\"";
      return false;
    }
    if (!nthAt(2) || !atMost(fail ? 4 : 3)) return false;
    if (fail && words.size() > 3 && (!ParseInto(words[3], 0xFFFFFFFF, &f.error) || f.error == 0)) {
      *error = "ERROR is a non-zero Win32 error code";
      return false;
    }
  } else if (type == "stall") {
    f.type = Fault::Type::StallOp;
    if (words.size() < 2 || !ParseInto(words[1], 0xFF, &f.op)) {
      *error = "stall takes an operation code (0xFF, 0xFD, 0x01, 0x02, or 0 for any)";
      return false;
    }
    if (!nthAt(2) || !atMost(3)) return false;
  } else if (type == "corrupt" || type == "short-read") {
    f.type = type == "corrupt" ? Fault::Type::CorruptWrite : Fault::Type::ShortRead;
    if (!nthAt(1) || !atMost(2)) return false;
  } else {
    *error = "unknown fault \"" + type + "\"";
    return false;
  }
  *fault = f;
  return true;
}

bool LoadDeviceState(const std::string& folder, DeviceState* state, std::string* error) {
  error->clear();
  const fs::path dir(folder);
  const fs::path textPath = dir / "device.txt";
  std::error_code ec;
  if (!fs::exists(textPath, ec)) return false;  // not plugged
  std::vector<uint8_t> textBytes;
  if (!ReadWholeFile(textPath, &textBytes, error)) return false;
  DeviceState s;
  uint32_t romSize = 0;
  if (!ParseStateText(std::string(textBytes.begin(), textBytes.end()), &s, &romSize, error)) {
    return false;
  }
  if (!ReadWholeFile(dir / "rom.bin", &s.rom, error)) return false;
  if (s.rom.size() != romSize) {
    *error = "rom.bin holds " + std::to_string(s.rom.size()) + " bytes, device.txt says " +
             std::to_string(romSize);
    return false;
  }
  *state = std::move(s);
  return true;
}

std::string DeviceStateText(const DeviceState& state) {
  return StateText(state);
}

bool SaveDeviceText(const std::string& folder, const std::string& text, std::string* error) {
  error->clear();
  const fs::path dir(folder);
  const fs::path textTemp = dir / "device.txt.tmp";
  if (!WriteWholeFile(textTemp, text.data(), text.size(), error)) return false;
  std::error_code ec;
  fs::rename(textTemp, dir / "device.txt", ec);
  if (ec) {
    *error = "cannot replace " + (dir / "device.txt").string() + ": " + ec.message();
    fs::remove(textTemp, ec);
    return false;
  }
  return true;
}

bool WriteRomThrough(const std::string& folder, const DeviceState& state, size_t begin, size_t end,
                     std::string* error) {
  error->clear();
  if (begin >= end) return true;
  if (end > state.rom.size()) {
    *error = "ROM change beyond the ROM";
    return false;
  }
  const fs::path path = fs::path(folder) / "rom.bin";
  // "r+b": in place, never created; a missing rom.bin is an unplugged unit.
  FILE* f = std::fopen(path.string().c_str(), "r+b");
  if (!f) {
    *error = "cannot open " + path.string() + ": " + std::generic_category().message(errno);
    return false;
  }
  const bool written = std::fseek(f, static_cast<long>(begin), SEEK_SET) == 0 &&
                       std::fwrite(state.rom.data() + begin, 1, end - begin, f) == end - begin;
  const bool flushed = std::fflush(f) == 0;
  const bool closed = std::fclose(f) == 0;
  if (!written || !flushed || !closed) {
    *error = "cannot write " + path.string();
    return false;
  }
  return true;
}

bool SaveDeviceState(const std::string& folder, const DeviceState& state, std::string* error) {
  error->clear();
  if (state.rom.empty() || state.rom.size() % 4096 != 0 || state.rom.size() > kMaxRomSize) {
    *error = "ROM of " + std::to_string(state.rom.size()) + " bytes cannot be kept";
    return false;
  }
  const fs::path dir(folder);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) {
    *error = "cannot create the folder " + dir.string();
    return false;
  }
  const std::string text = StateText(state);
  const fs::path romTemp = dir / "rom.bin.tmp";
  const fs::path textTemp = dir / "device.txt.tmp";
  if (!WriteWholeFile(romTemp, state.rom.data(), state.rom.size(), error)) return false;
  if (!WriteWholeFile(textTemp, text.data(), text.size(), error)) {
    fs::remove(romTemp, ec);
    return false;
  }
  // Each file is replaced whole. Only a crash between the two renames can
  // pair the new ROM with the previous description; a size change then
  // shows up as a mismatch on the next load.
  fs::rename(romTemp, dir / "rom.bin", ec);
  if (!ec) fs::rename(textTemp, dir / "device.txt", ec);
  if (ec) {
    *error = "cannot replace the files in " + dir.string() + ": " + ec.message();
    fs::remove(romTemp, ec);
    fs::remove(textTemp, ec);
    return false;
  }
  return true;
}

}  // namespace zemb::sim
