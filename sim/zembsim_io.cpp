// zembsim's commands on a unit's IO and faults: the GPIO port, the I2C
// devices, and the faults armed for the next tool runs.
#include <cstdio>

#include "common/base/numbers.h"
#include "sim/sim_numbers.h"
#include "sim/zembsim.h"

namespace zemb::sim {

namespace {

// HEX of --set REG=HEX: pairs of hexadecimal digits, 0x in front or not.
bool ParseHexBytes(std::string_view digits, std::vector<uint8_t>* bytes) {
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    const int high = HexDigit(digits[i]);
    const int low = HexDigit(digits[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

}  // namespace

int RunGpio(const Command& c, const UnitPlace& unit, const Args& args) {
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
  if (!Load(c, unit, &s, &status)) return status;
  if (setData) s.gpioData = data;
  if (setDir) s.gpioDirection = dir;
  if ((setData || setDir) && !Save(c, unit, s, &status)) return status;
  std::printf("GPIO data 0x%02X, direction 0x%02X\n", s.gpioData, s.gpioDirection);
  return kExitOk;
}

int RunI2c(const Command& c, const UnitPlace& unit, const Args& args) {
  DeviceState s;
  int status = kExitOk;
  if (args.empty()) {
    if (!Load(c, unit, &s, &status)) return status;
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
  if (!Load(c, unit, &s, &status)) return status;
  if (remove) {
    if (!s.i2c.erase(address)) return Failed(c, "no I2C device at " + HexText(address, 2));
    if (!Save(c, unit, s, &status)) return status;
    std::printf("Removed the I2C device at 0x%02X.\n", address);
    return kExitOk;
  }
  if (addCount) {
    if (s.i2c.count(address))
      return Failed(c, "there is already a device at " + HexText(address, 2));
    s.i2c[address].registers.assign(addCount, 0);
  }
  auto it = s.i2c.find(address);
  if (it == s.i2c.end()) return Failed(c, "no I2C device at " + HexText(address, 2));
  std::vector<uint8_t>& regs = it->second.registers;
  for (const SetOp& op : sets) {
    for (size_t i = 0; i < op.bytes.size(); ++i) {
      regs[(uint64_t{op.reg} + i) % regs.size()] = op.bytes[i];
    }
  }
  if ((addCount || !sets.empty()) && !Save(c, unit, s, &status)) return status;
  if (show) {
    for (uint32_t i = 0; i < showCount; ++i) {
      const uint64_t reg = uint64_t{showReg} + i;
      if (i % 16 == 0) std::printf("%s%s:", i ? "\n" : "", HexText(reg, 4).c_str());
      std::printf(" %02X", regs[reg % regs.size()]);
    }
    std::printf("\n");
  } else {
    std::printf("0x%02X: %zu registers\n", address, regs.size());
  }
  return kExitOk;
}

int RunFault(const Command& c, const UnitPlace& unit, const Args& args) {
  if (args.empty()) return Usage(c, "give fail, stall, corrupt, short-read, refuse, clear or list");
  DeviceState s;
  int status = kExitOk;
  if (args[0] == "clear" || args[0] == "list") {
    if (args.size() != 1) return Usage(c, args[0] + " takes no more words");
    if (!Load(c, unit, &s, &status)) return status;
    if (args[0] == "clear") {
      s.faults.clear();
      if (!Save(c, unit, s, &status)) return status;
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
  if (!Load(c, unit, &s, &status)) return status;
  s.faults.push_back(f);
  if (!Save(c, unit, s, &status)) return status;
  std::printf("Armed: %s\n", FaultToText(f).c_str());
  return kExitOk;
}

}  // namespace zemb::sim
