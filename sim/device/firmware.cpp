// The firmware behind the faces: fault counting, the ROM chip with its busy
// times, and the I2C bus. What it refuses it refuses whatever face asked.
#include "sim/device/firmware.h"

#include <algorithm>
#include <utility>

#include "common/base/bytes.h"
#include "common/base/numbers.h"

namespace zemb::sim {

RequestKind KindOfRequest(uint8_t code) {
  static constexpr std::pair<uint8_t, RequestKind> kKinds[] = {
      {kReqAccessRom, RequestKind::AccessRom},
      {kReqRomStatus, RequestKind::RomStatus},
      {kReqRomData, RequestKind::RomData},
      {kReqRomType, RequestKind::RomType},
      {kReqFirmwareVersion, RequestKind::FirmwareVersion},
      {kReqSideSignature, RequestKind::SideSignature},
      {kReqIoAccess, RequestKind::IoAccess},
  };
  for (const auto& [request, kind] : kKinds) {
    if (request == code) return kind;
  }
  return RequestKind::Any;
}

// Both in the order of RomRequest's fields: op, address size, page size,
// address, length.
RomRequest RomRequest::FromLeBlock(const uint8_t* block) {
  // Bytes 10-11 are reserved.
  return {block[0], block[1], GetLe16(block + 2), GetLe32(block + 4), GetLe16(block + 8)};
}

RomRequest RomRequest::FromCdb(const uint8_t* cdb) {
  // Byte 0 is the command, bytes 1-4 the ZEMB signature.
  return {cdb[5], cdb[6], GetBe16(cdb + 7), GetBe32(cdb + 9), GetBe16(cdb + 13)};
}

void Firmware::RomChanged(size_t begin, size_t end) {
  if (begin >= end) return;
  if (romChangeBegin >= romChangeEnd) {
    romChangeBegin = begin;
    romChangeEnd = end;
    return;
  }
  romChangeBegin = std::min(romChangeBegin, begin);
  romChangeEnd = std::max(romChangeEnd, end);
}

// --- faults ---------------------------------------------------------------

std::optional<uint32_t> Firmware::CountRequest(std::initializer_list<RequestKind> kinds,
                                               TraceEntry& t) {
  std::array<bool, kKindCount> counted{};
  for (RequestKind k : kinds) {
    const size_t i = static_cast<size_t>(k);
    if (i < kKindCount && !counted[i]) {
      counted[i] = true;
      ++requestCount[i];
    }
  }
  const size_t any = static_cast<size_t>(RequestKind::Any);
  if (!counted[any]) {
    counted[any] = true;
    ++requestCount[any];
  }
  for (Fault& f : state.faults) {
    const size_t i = static_cast<size_t>(f.kind);
    if (f.type != Fault::Type::FailRequest || f.fired || i >= kKindCount || !counted[i] ||
        requestCount[i] != f.nth) {
      continue;
    }
    f.fired = true;
    // An error of 0 would turn the failure into a success on the host.
    const uint32_t error = f.error != kErrorSuccess ? f.error : kErrorGenFailure;
    t.failed = true;
    t.note = "fault: request " + Dec(f.nth) + " of its kind failed with error " + Dec(error);
    return error;
  }
  return std::nullopt;
}

std::optional<std::string> Firmware::RefusalFaultFires(RequestKind kind) {
  for (Fault& f : state.faults) {
    const size_t i = static_cast<size_t>(f.kind);
    if (f.type != Fault::Type::RefuseCommand || f.fired || i >= kKindCount ||
        (f.kind != kind && f.kind != RequestKind::Any) || requestCount[i] != f.nth) {
      continue;
    }
    f.fired = true;
    return "fault: request " + Dec(f.nth) + " of its kind refused";
  }
  return std::nullopt;
}

bool Firmware::StallFaultFires(uint8_t op) {
  ++opCount[op];
  ++opCountAny;
  for (Fault& f : state.faults) {
    if (f.type != Fault::Type::StallOp || f.fired) continue;
    const bool match = f.op == 0 ? opCountAny == f.nth : (f.op == op && opCount[op] == f.nth);
    if (match) {
      f.fired = true;
      return true;
    }
  }
  return false;
}

bool Firmware::CorruptFaultFires() {
  ++writeCount;
  for (Fault& f : state.faults) {
    if (f.type == Fault::Type::CorruptWrite && !f.fired && writeCount == f.nth) {
      f.fired = true;
      return true;
    }
  }
  return false;
}

bool Firmware::ShortReadFaultFires(Face face) {
  const uint32_t reads = face == Face::Cdrom
                             ? ++cdromReadCount
                             : requestCount[static_cast<size_t>(RequestKind::XuRead)];
  for (Fault& f : state.faults) {
    if (f.type == Fault::Type::ShortRead && !f.fired && reads == f.nth) {
      f.fired = true;
      return true;
    }
  }
  return false;
}

// --- the ROM --------------------------------------------------------------

uint64_t Firmware::BusyTimeUs(const RomRequest& r) const {
  const Timing& tm = state.timing;
  switch (r.op) {
    case kOpChipErase:
      return static_cast<uint64_t>(tm.chipEraseUsPerMiB) * state.rom.size() / (1u << 20);
    case kOpSectorErase:
      return tm.sectorEraseUs;
    case kOpRead:
      return static_cast<uint64_t>(tm.readUsPer4KiB) * ((r.length + kSectorSize - 1) / kSectorSize);
    case kOpWrite: {
      if (r.length == 0) return 0;
      const bool spi = state.romKind == RomKind::Spi;
      const uint32_t page = spi ? kSpiPageSize : std::max<uint32_t>(1, tm.eepromPageSize);
      const uint64_t pages = (r.address + r.length - 1) / page - r.address / page + 1;
      return pages * (spi ? tm.pageProgramUs : tm.eepromWriteUs);
    }
    default:
      return 0;
  }
}

Verdict Firmware::CheckRomRequest(const RomRequest& r, uint32_t maxLength) const {
  if (Busy()) {
    return Refuse("busy: operation " + HexText(lastOp->op, 2) + " has not finished", kSenseNotReady,
                  kAscNotReady, kAscqOperationInProgress);
  }
  const uint64_t size = state.rom.size();
  const bool eeprom = state.romKind == RomKind::I2c;
  switch (r.op) {
    case kOpChipErase:
      if (eeprom) return Refuse("an I2C EEPROM has no erase");
      return std::nullopt;
    case kOpSectorErase:
      if (eeprom) return Refuse("an I2C EEPROM has no erase");
      if (r.address % kSectorSize != 0) {
        return Refuse("sector erase at " + HexText(r.address, 8) + ", not a multiple of 4096");
      }
      if (r.address >= size) {
        return Refuse(
            "sector erase at " + HexText(r.address, 8) + ", beyond the " + Dec(size) + "-byte ROM",
            kSenseIllegalRequest, kAscOutOfRange);
      }
      return std::nullopt;
    case kOpRead:
    case kOpWrite: {
      const char* what = r.op == kOpRead ? "read" : "write";
      if (r.addressSize < 1 || r.addressSize > 4) {
        return Refuse(std::string(what) + " with address size " + Dec(r.addressSize) +
                      "; the ROM takes 1 to 4 address bytes");
      }
      if (r.addressSize < 4 && (r.address >> (8 * r.addressSize)) != 0) {
        return Refuse(std::string(what) + " at " + HexText(r.address, 8) + " does not fit in " +
                      Dec(r.addressSize) + " address bytes");
      }
      if (r.length > maxLength) {
        return Refuse(std::string(what) + " of " + Dec(r.length) + " bytes, more than the " +
                      Dec(maxLength) + " this face carries");
      }
      if (r.address >= size || r.address + static_cast<uint64_t>(r.length) > size) {
        return Refuse(std::string(what) + " of " + Dec(r.length) + " bytes at " +
                          HexText(r.address, 8) + " runs beyond the " + Dec(size) + "-byte ROM",
                      kSenseIllegalRequest, kAscOutOfRange);
      }
      if (r.op == kOpWrite && r.length > r.pageSize) {
        return Refuse("write of " + Dec(r.length) + " bytes with page size " + Dec(r.pageSize));
      }
      return std::nullopt;
    }
    default:
      return Refuse("unknown ROM operation " + HexText(r.op, 2));
  }
}

void Firmware::Program(uint32_t address, const uint8_t* data, uint32_t length, TraceEntry& t) {
  if (length == 0) return;
  uint8_t first = data[0];
  if (CorruptFaultFires()) {
    first ^= 0x01;
    t.failed = true;
    t.note =
        "fault: first byte stored as " + HexText(first, 2) + " instead of " + HexText(data[0], 2);
  }
  const bool spi = state.romKind == RomKind::Spi;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t value = i == 0 ? first : data[i];
    uint8_t& cell = state.rom[address + i];
    cell = spi ? static_cast<uint8_t>(cell & value) : value;  // NOR programming clears bits only
  }
  RomChanged(address, size_t{address} + length);
}

Firmware::Started Firmware::StartRomOp(const RomRequest& r, const uint8_t* writeData,
                                       TraceEntry& t) {
  Started s;
  s.stalled = StallFaultFires(r.op);
  s.busyUs = BusyTimeUs(r);
  readData.clear();
  if (s.stalled) {
    t.failed = true;
    t.note = "fault: operation " + HexText(r.op, 2) + " never finishes";
  } else {
    switch (r.op) {
      case kOpChipErase:
        std::fill(state.rom.begin(), state.rom.end(), 0xFF);
        RomChanged(0, state.rom.size());
        break;
      case kOpSectorErase: {
        const size_t end = std::min<size_t>(state.rom.size(), size_t{r.address} + kSectorSize);
        std::fill(state.rom.begin() + r.address, state.rom.begin() + end, 0xFF);
        RomChanged(r.address, end);
        break;
      }
      case kOpRead:
        readData.assign(state.rom.begin() + r.address, state.rom.begin() + r.address + r.length);
        break;
      case kOpWrite:
        Program(r.address, writeData, r.length, t);
        break;
      default:
        break;
    }
  }
  lastOp = Operation{r.op, clock.NowUs() + s.busyUs, s.stalled};
  return s;
}

// --- IO -------------------------------------------------------------------

Verdict Firmware::I2cTransfer(uint8_t address, uint8_t addressSize, const uint8_t* field,
                              uint32_t length, const uint8_t* writeData,
                              std::vector<uint8_t>* readOut, TraceEntry& t) {
  t.length = length;
  if (addressSize < 1 || addressSize > 4) {
    return Refuse("register address size " + Dec(addressSize) + " not supported (1 to 4)");
  }
  uint32_t reg = 0;
  if (addressSize == 4) {
    reg = GetBe32(field);
  } else {
    if (field[2] != 0 || field[3] != 0) {
      return Refuse("register address field bytes 2-3 must be 0 for size " + Dec(addressSize));
    }
    reg = GetBe16(field);
    if (addressSize == 1 && reg > 0xFF) {
      return Refuse("register " + HexText(reg, 4) + " does not fit in one address byte");
    }
  }
  t.address = reg;
  if (length > kI2cMaxLength) {
    return Refuse("I2C transfer of " + Dec(length) + " bytes; at most 16");
  }
  auto it = state.i2c.find(address);
  if (it == state.i2c.end() || it->second.registers.empty()) {
    return Refuse("no I2C device acknowledges address " + HexText(address, 2), kSenseHardwareError,
                  kAscInternalFailure);
  }
  std::vector<uint8_t>& regs = it->second.registers;
  for (uint32_t i = 0; i < length; ++i) {
    uint8_t& cell = regs[(static_cast<uint64_t>(reg) + i) % regs.size()];
    if (writeData) {
      cell = writeData[i];
    } else {
      readOut->push_back(cell);
    }
  }
  return std::nullopt;
}

IoctlResult Firmware::FailIoctl(TraceEntry& t, uint32_t error, std::string note) {
  t.failed = true;
  if (!note.empty()) t.note = std::move(note);
  trace.push_back(t);
  return IoctlResult{false, error, 0};
}

void Firmware::RestartFaultCounts() {
  requestCount.fill(0);
  opCount.fill(0);
  opCountAny = 0;
  writeCount = 0;
  cdromReadCount = 0;
}

}  // namespace zemb::sim
