// The simulated device's firmware. Each face decodes the raw bytes it gets
// with the helpers below and nothing else; the layouts are written out here
// on purpose, apart from the tools' encoders, so that a mistake on one side
// shows up as a refusal instead of passing both ways.
#include "sim/sim_device.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <thread>

namespace zemb::sim {

const Guid kXuPropertySet = {
    0xC66D125B, 0x0480, 0x0844, {0x8C, 0x26, 0xB8, 0x36, 0x3A, 0x84, 0xDE, 0x63}};

namespace {

uint64_t SteadyNowUs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

RealClock::RealClock() : start_(SteadyNowUs()) {}

uint64_t RealClock::NowUs() const {
  return SteadyNowUs() - start_;
}

void RealClock::AdvanceUs(uint64_t microseconds) {
  // Windows sleeps in whole milliseconds and wakes early from a shorter
  // sleep; the busy time must really have passed when this returns, or the
  // device refuses the next request as still busy.
  const uint64_t end = SteadyNowUs() + microseconds;
  for (uint64_t now = SteadyNowUs(); now < end; now = SteadyNowUs()) {
    std::this_thread::sleep_for(std::chrono::microseconds(end - now));
  }
}

namespace {

uint16_t GetLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t GetLe64(const uint8_t* p) {
  return static_cast<uint64_t>(GetLe32(p)) | static_cast<uint64_t>(GetLe32(p + 4)) << 32;
}
uint16_t GetBe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t GetBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Hex(uint64_t value, int digits = 2) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}
std::string Dec(uint64_t value) {
  return std::to_string(value);
}

// Vendor request codes and ROM operation codes of the firmware.
constexpr uint8_t kReqAccessRom = 0xCA;
constexpr uint8_t kReqRomData = 0xCB;
constexpr uint8_t kReqRomStatus = 0xCC;
constexpr uint8_t kReqRomType = 0xC9;
constexpr uint8_t kReqFirmwareVersion = 0xC4;
constexpr uint8_t kReqSideSignature = 0xC2;
constexpr uint8_t kReqIoAccess = 0xD4;

constexpr uint8_t kOpChipErase = 0xFF;
constexpr uint8_t kOpSectorErase = 0xFD;
constexpr uint8_t kOpRead = 0x01;
constexpr uint8_t kOpWrite = 0x02;

constexpr uint8_t kIoI2cRead = 0xD0;
constexpr uint8_t kIoI2cWrite = 0xD1;
constexpr uint8_t kIoGpioGet = 0xD6;
constexpr uint8_t kIoGpioSet = 0xD7;
constexpr uint8_t kIoGpioSetDir = 0xD8;

// USB request types the firmware answers.
constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kVendorInOther = 0xC3;

constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kSpiPageSize = 256;
constexpr uint32_t kFirmwareBuffer = 4096;  // the largest ROM transfer the firmware buffers
constexpr uint32_t kVendorHead = 16;
constexpr uint32_t kAccessRomBlockSize = 12;
constexpr uint32_t kI2cMaxLength = 16;

// The extension unit's controls.
constexpr uint32_t kXuRequestSelector = 1;
constexpr uint32_t kXuDataSelector = 2;
constexpr uint32_t kXuRequestSize = 30;
constexpr uint32_t kXuDataSize = 256;
constexpr uint32_t kKspNodeSize = 32;
constexpr uint32_t kKsGet = 0x00000001;
constexpr uint32_t kKsSet = 0x00000002;
constexpr uint32_t kKsSetSupport = 0x00000100;
constexpr uint32_t kKsTopology = 0x10000000;

constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057u);

HResult HresultFromWin32(uint32_t error) {
  if (error & 0x80000000u) return static_cast<HResult>(error);  // already an HRESULT
  return static_cast<HResult>(0x80070000u | (error & 0xFFFFu));
}
// A stalled control pipe, as the USB video class driver reports it.
const HResult kHrStall = HresultFromWin32(kErrorGenFailure);

// SCSI status and sense data of a refused vendor command.
constexpr uint8_t kScsiGood = 0x00;
constexpr uint8_t kScsiCheckCondition = 0x02;
constexpr uint8_t kSenseNotReady = 0x02;
constexpr uint8_t kSenseHardwareError = 0x04;
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscOutOfRange = 0x21;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscqOperationInProgress = 0x07;
constexpr uint8_t kAscInternalFailure = 0x44;
constexpr uint32_t kFixedSenseSize = 18;

constexpr uint8_t kDataOut = 0;
constexpr uint8_t kDataIn = 1;
constexpr uint8_t kDataUnspecified = 2;

constexpr size_t kKindCount = static_cast<size_t>(RequestKind::Any) + 1;

RequestKind KindOfRequest(uint8_t code) {
  switch (code) {
    case kReqAccessRom:
      return RequestKind::AccessRom;
    case kReqRomStatus:
      return RequestKind::RomStatus;
    case kReqRomData:
      return RequestKind::RomData;
    case kReqRomType:
      return RequestKind::RomType;
    case kReqFirmwareVersion:
      return RequestKind::FirmwareVersion;
    case kReqSideSignature:
      return RequestKind::SideSignature;
    case kReqIoAccess:
      return RequestKind::IoAccess;
    default:
      return RequestKind::Any;
  }
}

// Why the device refused a request. The own driver and the extension unit
// can only stall; the CD-ROM face turns the sense fields into CHECK
// CONDITION.
struct Refusal {
  std::string note;
  uint8_t senseKey = kSenseIllegalRequest;
  uint8_t asc = kAscInvalidField;
  uint8_t ascq = 0;
};
using Verdict = std::optional<Refusal>;

Refusal Refuse(std::string note, uint8_t senseKey = kSenseIllegalRequest,
               uint8_t asc = kAscInvalidField, uint8_t ascq = 0) {
  return Refusal{std::move(note), senseKey, asc, ascq};
}

struct RomRequest {
  uint8_t op = 0;
  uint8_t addressSize = 0;
  uint16_t pageSize = 0;
  uint32_t address = 0;
  uint32_t length = 0;
};

// The 12-byte AccessRomBlock in its little-endian form (own driver and
// extension unit).
RomRequest DecodeLeAccessRomBlock(const uint8_t* p) {
  RomRequest r;
  r.op = p[0];
  r.addressSize = p[1];
  r.pageSize = GetLe16(p + 2);
  r.address = GetLe32(p + 4);
  r.length = GetLe16(p + 8);
  return r;
}

}  // namespace

std::vector<uint8_t> BuildStorageDescriptor(const std::string& vendorId,
                                            const std::string& productId) {
  constexpr uint32_t kHeader = 40;
  const std::string revision = "1.00";
  std::vector<uint8_t> d(kHeader, 0);
  auto append = [&d](const std::string& text) {
    const uint32_t offset = static_cast<uint32_t>(d.size());
    d.insert(d.end(), text.begin(), text.end());
    d.push_back(0);
    return offset;
  };
  const uint32_t vendorOffset = append(vendorId);
  const uint32_t productOffset = append(productId);
  const uint32_t revisionOffset = append(revision);
  PutLe32(&d[0], kHeader);  // Version is sizeof(STORAGE_DEVICE_DESCRIPTOR)
  PutLe32(&d[4], static_cast<uint32_t>(d.size()));
  d[8] = 0x05;   // DeviceType: CD/DVD
  d[9] = 0x00;   // DeviceTypeModifier
  d[10] = 0x01;  // RemovableMedia
  d[11] = 0x00;  // CommandQueueing
  PutLe32(&d[12], vendorOffset);
  PutLe32(&d[16], productOffset);
  PutLe32(&d[20], revisionOffset);
  PutLe32(&d[24], 0);  // no serial number
  PutLe32(&d[28], 7);  // BusTypeUsb
  PutLe32(&d[32], 0);  // RawPropertiesLength
  return d;
}

DeviceState DefaultDeviceState(RomKind kind, uint32_t romSize) {
  DeviceState state;
  state.romKind = kind;
  state.rom.assign(romSize, 0xFF);
  // A display bridge with 16-bit register addresses and a small EEPROM-like
  // part with 8-bit ones, so both address sizes have somewhere to go.
  state.i2c[0x78].registers.assign(0x10000, 0x00);
  state.i2c[0x50].registers.assign(0x100, 0x00);
  return state;
}

struct SimDevice::Firmware {
  Firmware(DeviceState& s, Clock& c, std::vector<TraceEntry>& t) : state(s), clock(c), trace(t) {}

  DeviceState& state;
  Clock& clock;
  std::vector<TraceEntry>& trace;

  // The ROM operation started last; the firmware runs one at a time.
  struct Operation {
    uint8_t op = 0;
    uint64_t doneUs = 0;
    bool stalled = false;
  };
  std::optional<Operation> lastOp;
  std::vector<uint8_t> readData;                                // what the last read fetched
  std::optional<std::vector<uint8_t>> staged;                   // data for the next ROM write
  std::optional<std::array<uint8_t, kXuRequestSize>> xuAnswer;  // request control value

  std::array<uint32_t, kKindCount> requestCount{};
  std::array<uint32_t, 256> opCount{};
  uint32_t opCountAny = 0;
  uint32_t writeCount = 0;

  // The ROM bytes changed since the host last asked, [romChangeBegin,
  // romChangeEnd); empty when equal.
  size_t romChangeBegin = 0, romChangeEnd = 0;
  void RomChanged(size_t begin, size_t end) {
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

  // Counts the request under each of its kinds (and Any) and returns the
  // error of a FailRequest fault that it triggers.
  std::optional<uint32_t> CountRequest(std::initializer_list<RequestKind> kinds, TraceEntry& t) {
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

  // A RefuseCommand fault for this request, counted as CountRequest counted
  // it; returns what the trace says.
  std::optional<std::string> RefusalFaultFires(RequestKind kind) {
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

  bool StallFaultFires(uint8_t op) {
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

  bool CorruptFaultFires() {
    ++writeCount;
    for (Fault& f : state.faults) {
      if (f.type == Fault::Type::CorruptWrite && !f.fired && writeCount == f.nth) {
        f.fired = true;
        return true;
      }
    }
    return false;
  }

  bool ShortReadFaultFires() {
    const uint32_t reads = requestCount[static_cast<size_t>(RequestKind::XuRead)];
    for (Fault& f : state.faults) {
      if (f.type == Fault::Type::ShortXuRead && !f.fired && reads == f.nth) {
        f.fired = true;
        return true;
      }
    }
    return false;
  }

  // --- the ROM --------------------------------------------------------------

  bool Busy() const { return lastOp && (lastOp->stalled || clock.NowUs() < lastOp->doneUs); }
  bool Finished(uint8_t op) const { return lastOp && lastOp->op == op && !Busy(); }

  uint64_t BusyTimeUs(const RomRequest& r) const {
    const Timing& tm = state.timing;
    switch (r.op) {
      case kOpChipErase:
        return static_cast<uint64_t>(tm.chipEraseUsPerMiB) * state.rom.size() / (1u << 20);
      case kOpSectorErase:
        return tm.sectorEraseUs;
      case kOpRead:
        return static_cast<uint64_t>(tm.readUsPer4KiB) *
               ((r.length + kSectorSize - 1) / kSectorSize);
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

  // What the chip and the firmware would refuse, before anything starts.
  Verdict CheckRomRequest(const RomRequest& r, uint32_t maxLength) const {
    if (Busy()) {
      return Refuse("busy: operation " + Hex(lastOp->op) + " has not finished", kSenseNotReady,
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
          return Refuse("sector erase at " + Hex(r.address, 8) + ", not a multiple of 4096");
        }
        if (r.address >= size) {
          return Refuse(
              "sector erase at " + Hex(r.address, 8) + ", beyond the " + Dec(size) + "-byte ROM",
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
          return Refuse(std::string(what) + " at " + Hex(r.address, 8) + " does not fit in " +
                        Dec(r.addressSize) + " address bytes");
        }
        if (r.length > maxLength) {
          return Refuse(std::string(what) + " of " + Dec(r.length) + " bytes, more than the " +
                        Dec(maxLength) + " this face carries");
        }
        if (r.address >= size || r.address + static_cast<uint64_t>(r.length) > size) {
          return Refuse(std::string(what) + " of " + Dec(r.length) + " bytes at " +
                            Hex(r.address, 8) + " runs beyond the " + Dec(size) + "-byte ROM",
                        kSenseIllegalRequest, kAscOutOfRange);
        }
        if (r.op == kOpWrite && r.length > r.pageSize) {
          return Refuse("write of " + Dec(r.length) + " bytes with page size " + Dec(r.pageSize));
        }
        return std::nullopt;
      }
      default:
        return Refuse("unknown ROM operation " + Hex(r.op));
    }
  }

  void Program(uint32_t address, const uint8_t* data, uint32_t length, TraceEntry& t) {
    if (length == 0) return;
    uint8_t first = data[0];
    if (CorruptFaultFires()) {
      first ^= 0x01;
      t.failed = true;
      t.note = "fault: first byte stored as " + Hex(first) + " instead of " + Hex(data[0]);
    }
    const bool spi = state.romKind == RomKind::Spi;
    for (uint32_t i = 0; i < length; ++i) {
      const uint8_t value = i == 0 ? first : data[i];
      uint8_t& cell = state.rom[address + i];
      cell = spi ? static_cast<uint8_t>(cell & value) : value;  // NOR programming clears bits only
    }
    RomChanged(address, size_t{address} + length);
  }

  struct Started {
    uint64_t busyUs = 0;
    bool stalled = false;
  };

  // Starts an accepted operation. Its effect on the ROM happens at once; the
  // status reports it finished when the clock reaches its busy time. A
  // stalled operation hangs before it touches the ROM.
  Started StartRomOp(const RomRequest& r, const uint8_t* writeData, TraceEntry& t) {
    Started s;
    s.stalled = StallFaultFires(r.op);
    s.busyUs = BusyTimeUs(r);
    readData.clear();
    if (s.stalled) {
      t.failed = true;
      t.note = "fault: operation " + Hex(r.op) + " never finishes";
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

  // An I2C transfer on the bus. The register address travels in a 4-byte
  // field: 32 bits big-endian for 4 address bytes, otherwise 16 bits
  // big-endian followed by two zero bytes.
  Verdict I2cTransfer(uint8_t address, uint8_t addressSize, const uint8_t* field, uint32_t length,
                      const uint8_t* writeData, std::vector<uint8_t>* readOut, TraceEntry& t) {
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
        return Refuse("register " + Hex(reg, 4) + " does not fit in one address byte");
      }
    }
    t.address = reg;
    if (length > kI2cMaxLength) {
      return Refuse("I2C transfer of " + Dec(length) + " bytes; at most 16");
    }
    auto it = state.i2c.find(address);
    if (it == state.i2c.end() || it->second.registers.empty()) {
      return Refuse("no I2C device acknowledges address " + Hex(address), kSenseHardwareError,
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

  // A refused IOCTL: traced as failed, with why, and the error the host sees.
  IoctlResult FailIoctl(TraceEntry& t, uint32_t error, std::string note) {
    t.failed = true;
    if (!note.empty()) t.note = std::move(note);
    trace.push_back(t);
    return IoctlResult{false, error, 0};
  }

  // --- own driver -----------------------------------------------------------

  IoctlResult OwnDriver(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                        uint32_t outLength) {
    TraceEntry t;
    t.face = Face::Own;
    t.wireLength = inLength;
    auto fail = [&](uint32_t error, std::string note) {
      return FailIoctl(t, error, std::move(note));
    };
    if (!state.ownFace) return fail(kErrorDeviceNotConnected, "the device has no own-driver face");
    if (code != kOwnDriverIoctl) return fail(kErrorInvalidFunction, "control code " + Hex(code, 8));
    if (in == nullptr || out == nullptr || inLength < kVendorHead) {
      return fail(kErrorInvalidParameter, "buffer shorter than the 16-byte request head");
    }
    const uint8_t requestType = in[0];
    const uint8_t request = in[1];
    const uint16_t value = GetLe16(in + 2);
    const uint16_t index = GetLe16(in + 4);
    const uint16_t wLength = GetLe16(in + 6);
    const uint32_t dataLength = GetLe32(in + 12);
    t.kind = KindOfRequest(request);
    t.toDevice = (requestType & 0x80) == 0;
    t.length = wLength;
    if (t.kind == RequestKind::RomStatus) t.op = static_cast<uint8_t>(index);
    if (auto error = CountRequest({t.kind}, t)) return fail(*error, "");
    if (outLength != inLength) {
      return fail(kErrorInvalidParameter, "input length " + Dec(inLength) +
                                              " differs from output length " + Dec(outLength));
    }
    if (dataLength != wLength) {
      return fail(kErrorInvalidParameter,
                  "data length field " + Dec(dataLength) + " differs from wLength " + Dec(wLength));
    }
    if (kVendorHead + wLength > inLength) {
      return fail(kErrorInvalidParameter, "data stage of " + Dec(wLength) +
                                              " bytes does not fit a buffer of " + Dec(inLength));
    }
    clock.AdvanceUs(state.timing.controlTransferUs);

    // Take the data stage before anything is written into the buffer.
    std::vector<uint8_t> stage;
    if (t.toDevice) stage.assign(in + kVendorHead, in + kVendorHead + wLength);
    std::vector<uint8_t> answer;
    if (Verdict v = OwnRequest(requestType, request, value, index, wLength, stage, &answer, t)) {
      return fail(kErrorGenFailure, "stall: " + v->note);
    }
    if (out != in) std::memmove(out, in, kVendorHead);
    if (!answer.empty()) std::memcpy(out + kVendorHead, answer.data(), answer.size());
    trace.push_back(t);
    return IoctlResult{true, kErrorSuccess,
                       kVendorHead + static_cast<uint32_t>(t.toDevice ? 0 : answer.size())};
  }

  Verdict OwnRequest(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                     uint16_t wLength, const std::vector<uint8_t>& stage,
                     std::vector<uint8_t>* answer, TraceEntry& t) {
    auto expect = [&](uint8_t type, uint16_t length, const char* name) -> Verdict {
      if (requestType != type) {
        return Refuse(std::string(name) + " with bmRequestType " + Hex(requestType) + ", not " +
                      Hex(type));
      }
      if (wLength != length) {
        return Refuse(std::string(name) + " with wLength " + Dec(wLength) + ", not " + Dec(length));
      }
      if (request != kReqRomStatus && index != 0) {
        return Refuse(std::string(name) + " with wIndex " + Hex(index, 4));
      }
      return std::nullopt;
    };
    if (value != 0) return Refuse("request " + Hex(request) + " with wValue " + Hex(value, 4));
    switch (request) {
      case kReqAccessRom: {
        if (Verdict v = expect(kVendorOut, kAccessRomBlockSize, "ACCESS_ROM")) return v;
        const RomRequest r = DecodeLeAccessRomBlock(stage.data());
        t.op = r.op;
        t.address = r.address;
        t.length = r.length;
        if (Verdict v = CheckRomRequest(r, kFirmwareBuffer)) return v;
        if (r.op == kOpWrite) {
          if (!staged) return Refuse("write started with no data sent by ROM_DATA");
          if (staged->size() != r.length) {
            return Refuse("write of " + Dec(r.length) + " bytes, but ROM_DATA sent " +
                          Dec(staged->size()));
          }
        }
        StartRomOp(r, staged ? staged->data() : nullptr, t);
        if (r.op == kOpWrite) staged.reset();
        return std::nullopt;
      }
      case kReqRomStatus: {
        if (Verdict v = expect(kVendorIn, 2, "GET_ROMLD_STATUS")) return v;
        if (!lastOp || lastOp->op != index) {
          return Refuse("status of operation " + Hex(index, 2) + ", which was not started last");
        }
        *answer = {static_cast<uint8_t>(Finished(lastOp->op) ? 0x01 : 0x00), lastOp->op};
        return std::nullopt;
      }
      case kReqRomData: {
        if (requestType == kVendorOut) {
          if (wLength > kFirmwareBuffer) return Refuse("ROM_DATA of " + Dec(wLength) + " bytes");
          if (index != 0) return Refuse("ROM_DATA with wIndex " + Hex(index, 4));
          staged = stage;
          return std::nullopt;
        }
        if (Verdict v = expect(kVendorIn, wLength, "ROM_DATA")) return v;
        if (!Finished(kOpRead)) return Refuse("ROM_DATA read with no finished ROM read");
        if (wLength != readData.size()) {
          return Refuse("ROM_DATA read of " + Dec(wLength) + " bytes after a read of " +
                        Dec(readData.size()));
        }
        *answer = readData;
        return std::nullopt;
      }
      case kReqRomType:
        if (Verdict v = expect(kVendorIn, 1, "GET_ROM_TYPE")) return v;
        *answer = {static_cast<uint8_t>(state.romKind == RomKind::Spi ? 1 : 0)};
        return std::nullopt;
      case kReqFirmwareVersion:
        if (Verdict v = expect(kVendorIn, 8, "GetFirmwareVersion")) return v;
        answer->assign(8, 0);
        PutLe32(answer->data(), state.firmwareVersion[0]);
        PutLe32(answer->data() + 4, state.firmwareVersion[1]);
        return std::nullopt;
      case kReqSideSignature:
        if (Verdict v = expect(kVendorInOther, 4, "GetSideSignature")) return v;
        answer->assign(4, 0);
        PutLe32(answer->data(), state.sideSignature);
        return std::nullopt;
      default:
        return Refuse("request " + Hex(request) + " is not answered on this face");
    }
  }

  // --- CD-ROM face ----------------------------------------------------------

  IoctlResult Cdrom(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                    uint32_t outLength, uint32_t headerLength) {
    if (code == kIoctlStorageQueryProperty) return StorageQuery(in, inLength, out, outLength);
    TraceEntry t;
    t.face = Face::Cdrom;
    t.wireLength = inLength;
    auto fail = [&](uint32_t error, std::string note) {
      return FailIoctl(t, error, std::move(note));
    };
    if (!state.cdromFace) return fail(kErrorDeviceNotConnected, "the device has no CD-ROM face");
    if (code != kIoctlScsiPassThrough)
      return fail(kErrorInvalidFunction, "control code " + Hex(code, 8));
    if (headerLength != 44 && headerLength != 56) {
      return fail(kErrorInvalidParameter, "port driver header length " + Dec(headerLength));
    }
    if (in == nullptr || out == nullptr || inLength < 2) {
      return fail(kErrorInvalidParameter, "no SCSI_PASS_THROUGH header");
    }
    const uint16_t length = GetLe16(in);
    if (length != headerLength) {
      return fail(kErrorRevisionMismatch, "SCSI_PASS_THROUGH Length " + Dec(length) +
                                              ", the port driver takes " + Dec(headerLength));
    }
    if (inLength < headerLength) {
      return fail(kErrorInvalidParameter, "buffer shorter than the header");
    }
    const uint8_t cdbLength = in[6];
    const uint8_t senseInfoLength = in[7];
    const uint8_t dataIn = in[8];
    const uint32_t transferLength = GetLe32(in + 12);
    const uint32_t timeOutSeconds = GetLe32(in + 16);
    uint64_t dataOffset = 0;
    uint32_t senseOffset = 0;
    const uint8_t* cdbAt = nullptr;
    if (headerLength == 44) {
      dataOffset = GetLe32(in + 20);
      senseOffset = GetLe32(in + 24);
      cdbAt = in + 28;
    } else {  // x64: DataBufferOffset is a ULONG_PTR aligned to 8
      dataOffset = GetLe64(in + 24);
      senseOffset = GetLe32(in + 32);
      cdbAt = in + 36;
    }
    std::array<uint8_t, 16> cdb{};
    std::memcpy(cdb.data(), cdbAt, std::min<size_t>(cdbLength, 16));
    t.kind = cdbLength > 0 ? KindOfRequest(cdb[0]) : RequestKind::Any;
    t.toDevice = dataIn == kDataOut;
    t.length = transferLength;
    if (auto error = CountRequest({t.kind}, t)) return fail(*error, "");

    // What the port driver checks before the command goes out.
    if (cdbLength == 0 || cdbLength > 16)
      return fail(kErrorInvalidParameter, "CdbLength " + Dec(cdbLength));
    if (dataIn > kDataUnspecified) return fail(kErrorInvalidParameter, "DataIn " + Dec(dataIn));
    if (inLength != outLength) {
      return fail(kErrorInvalidParameter, "input length " + Dec(inLength) +
                                              " differs from output length " + Dec(outLength));
    }
    if (transferLength > 0 && dataOffset < headerLength) {
      return fail(kErrorInvalidParameter, "data buffer inside the header");
    }
    if (dataOffset + transferLength != inLength) {
      return fail(kErrorInvalidParameter, "DataBufferOffset " + Dec(dataOffset) +
                                              " + DataTransferLength " + Dec(transferLength) +
                                              " != buffer length " + Dec(inLength));
    }
    if (senseInfoLength > 0) {
      const uint64_t senseEnd = uint64_t{senseOffset} + senseInfoLength;
      const bool overlapsData =
          transferLength > 0 && senseOffset < dataOffset + transferLength && dataOffset < senseEnd;
      if (senseOffset < headerLength || senseEnd > inLength || overlapsData) {
        return fail(kErrorInvalidParameter, "sense area " + Dec(senseOffset) + "+" +
                                                Dec(senseInfoLength) + " outside its place");
      }
    }
    clock.AdvanceUs(state.timing.scsiCommandUs);

    std::vector<uint8_t> dataOutBytes;
    if (dataIn == kDataOut) {
      dataOutBytes.assign(in + dataOffset, in + dataOffset + transferLength);
    }
    ScsiOutcome o;
    if (std::optional<std::string> refused = RefusalFaultFires(t.kind)) {
      o.check = Refuse(*refused, kSenseHardwareError, kAscInternalFailure);
    } else {
      o = ExecuteCdb(cdb.data(), cdbLength, dataIn, transferLength, dataOutBytes, timeOutSeconds,
                     t);
    }
    if (o.ioError != kErrorSuccess) return fail(o.ioError, o.note);

    if (out != in) std::memmove(out, in, inLength);
    uint32_t transferred = 0;
    if (o.check) {
      t.failed = true;
      t.note = "CHECK CONDITION: " + o.check->note;
      out[2] = kScsiCheckCondition;
      const uint32_t senseBytes = std::min<uint32_t>(kFixedSenseSize, senseInfoLength);
      std::array<uint8_t, kFixedSenseSize> sense{};
      sense[0] = 0x70;  // current error, fixed format
      sense[2] = o.check->senseKey;
      sense[7] = kFixedSenseSize - 8;
      sense[12] = o.check->asc;
      sense[13] = o.check->ascq;
      if (senseBytes > 0) std::memcpy(out + senseOffset, sense.data(), senseBytes);
      out[7] = static_cast<uint8_t>(senseBytes);
      PutLe32(out + 12, dataIn == kDataIn ? 0 : transferLength);
    } else {
      out[2] = kScsiGood;
      out[7] = 0;
      if (dataIn == kDataIn) {
        transferred = static_cast<uint32_t>(o.dataIn.size());
        // An empty answer has no data pointer to copy from.
        if (transferred > 0) std::memcpy(out + dataOffset, o.dataIn.data(), transferred);
        PutLe32(out + 12, transferred);
      }
    }
    trace.push_back(t);
    return IoctlResult{true, kErrorSuccess, static_cast<uint32_t>(dataOffset) + transferred};
  }

  struct ScsiOutcome {
    Verdict check;                     // the device answered CHECK CONDITION
    uint32_t ioError = kErrorSuccess;  // the pass-through itself fails
    std::string note;
    std::vector<uint8_t> dataIn;
  };

  ScsiOutcome ExecuteCdb(const uint8_t* cdb, uint8_t cdbLength, uint8_t dataIn,
                         uint32_t transferLength, const std::vector<uint8_t>& dataOut,
                         uint32_t timeOutSeconds, TraceEntry& t) {
    ScsiOutcome o;
    auto check = [&](Refusal r) {
      o.check = std::move(r);
      return o;
    };
    // The device and the host disagree about the data phase: the transport
    // gives up on the command, and the host call fails.
    auto phase = [&](uint8_t direction, uint32_t length) -> bool {
      if (dataIn == direction && transferLength == length) return false;
      o.ioError = kErrorIoDevice;
      o.note = "data phase: host sends DataIn " + Dec(dataIn) + " with " + Dec(transferLength) +
               " bytes, the command moves DataIn " + Dec(direction) + " with " + Dec(length);
      return true;
    };
    if (cdbLength != 16) return check(Refuse("CDB of " + Dec(cdbLength) + " bytes, not 16"));
    if (std::memcmp(cdb + 1, "ZEMB", 4) != 0) {
      return check(
          Refuse("CDB without the ZEMB signature", kSenseIllegalRequest, kAscInvalidOpcode));
    }
    switch (cdb[0]) {
      case kReqAccessRom: {
        RomRequest r;
        r.op = cdb[5];
        r.addressSize = cdb[6];
        r.pageSize = GetBe16(cdb + 7);
        r.address = GetBe32(cdb + 9);
        r.length = GetBe16(cdb + 13);
        t.op = r.op;
        t.address = r.address;
        t.length = r.length;
        if (r.op == kOpChipErase || r.op == kOpSectorErase) {
          if (phase(kDataUnspecified, 0)) return o;
          if (Verdict v = CheckRomRequest(r, kFirmwareBuffer)) return check(*v);
          StartRomOp(r, nullptr, t);
          return o;
        }
        if (r.op != kOpRead && r.op != kOpWrite) {
          return check(Refuse("unknown ROM operation " + Hex(r.op)));
        }
        t.toDevice = r.op == kOpWrite;
        if (phase(r.op == kOpRead ? kDataIn : kDataOut, r.length)) return o;
        if (Verdict v = CheckRomRequest(r, kFirmwareBuffer)) return check(*v);
        const Started s = StartRomOp(r, dataOut.data(), t);
        if (s.stalled) {
          // The command never completes; the port driver gives up after the
          // command's own time-out.
          clock.AdvanceUs(uint64_t{timeOutSeconds} * 1000000);
          o.ioError = kErrorSemTimeout;
          o.note = t.note + "; the command timed out after " + Dec(timeOutSeconds) + " s";
          return o;
        }
        clock.AdvanceUs(s.busyUs);
        if (r.op == kOpRead) o.dataIn = readData;
        return o;
      }
      case kReqRomStatus:
        t.op = cdb[5];
        if (phase(kDataIn, 2)) return o;
        if (cdb[5] != 0xFF || GetBe16(cdb + 13) != 2) {
          return check(Refuse("status CDB needs 0xFF in byte 5 and length 2 in bytes 13-14"));
        }
        // This face asks whether the device is idle: the last operation,
        // whatever it was, has finished (or none ever ran).
        o.dataIn = {static_cast<uint8_t>(Busy() ? 0x00 : 0x01),
                    static_cast<uint8_t>(lastOp ? lastOp->op : 0)};
        return o;
      case kReqRomType:
      case kReqFirmwareVersion:
      case kReqSideSignature: {
        const uint32_t size = cdb[0] == kReqRomType ? 1 : cdb[0] == kReqFirmwareVersion ? 8 : 4;
        if (phase(kDataIn, size)) return o;
        if (GetBe16(cdb + 5) != size) {
          return check(Refuse("query " + Hex(cdb[0]) + " names " + Dec(GetBe16(cdb + 5)) +
                              " bytes in bytes 5-6, not " + Dec(size)));
        }
        o.dataIn.assign(size, 0);
        if (cdb[0] == kReqRomType) {
          o.dataIn[0] = state.romKind == RomKind::Spi ? 1 : 0;
        } else if (cdb[0] == kReqFirmwareVersion) {
          PutLe32(o.dataIn.data(), state.firmwareVersion[0]);
          PutLe32(o.dataIn.data() + 4, state.firmwareVersion[1]);
        } else {
          PutLe32(o.dataIn.data(), state.sideSignature);
        }
        return o;
      }
      case kReqIoAccess: {
        const uint8_t sub = cdb[12];
        t.op = sub;
        switch (sub) {
          case kIoI2cRead:
          case kIoI2cWrite: {
            const bool write = sub == kIoI2cWrite;
            t.toDevice = write;
            if (phase(write ? kDataOut : kDataIn, cdb[11])) return o;
            std::vector<uint8_t> bytes;
            if (Verdict v = I2cTransfer(cdb[5], cdb[6], cdb + 7, cdb[11],
                                        write ? dataOut.data() : nullptr, &bytes, t)) {
              return check(*v);
            }
            o.dataIn = std::move(bytes);
            return o;
          }
          case kIoGpioGet:
            t.length = 1;
            if (phase(kDataIn, 1)) return o;
            o.dataIn = {state.gpioData};
            return o;
          case kIoGpioSet:
          case kIoGpioSetDir:
            t.length = 1;
            t.toDevice = true;
            if (phase(kDataOut, 1)) return o;
            (sub == kIoGpioSet ? state.gpioData : state.gpioDirection) = dataOut[0];
            return o;
          default:
            return check(Refuse("unknown IO_ACCESS sub-command " + Hex(sub)));
        }
      }
      default:
        return check(
            Refuse("unknown command " + Hex(cdb[0]), kSenseIllegalRequest, kAscInvalidOpcode));
    }
  }

  IoctlResult StorageQuery(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength) {
    TraceEntry t;
    t.face = Face::Cdrom;
    t.kind = RequestKind::StorageQuery;
    t.wireLength = outLength;
    auto fail = [&](uint32_t error, std::string note) {
      return FailIoctl(t, error, std::move(note));
    };
    if (!state.cdromFace) return fail(kErrorDeviceNotConnected, "the device has no CD-ROM face");
    if (auto error = CountRequest({t.kind}, t)) return fail(*error, "");
    if (in == nullptr || inLength < 12) {
      return fail(kErrorInvalidParameter, "STORAGE_PROPERTY_QUERY shorter than 12 bytes");
    }
    const uint32_t propertyId = GetLe32(in);
    const uint32_t queryType = GetLe32(in + 4);
    t.op = static_cast<uint8_t>(propertyId);
    if (propertyId != 0) return fail(kErrorNotSupported, "property " + Dec(propertyId));
    if (queryType == 1) {  // PropertyExistsQuery
      trace.push_back(t);
      return IoctlResult{true, kErrorSuccess, 0};
    }
    if (queryType != 0) return fail(kErrorInvalidParameter, "query type " + Dec(queryType));
    if (out == nullptr || outLength < 8) {
      return fail(kErrorInsufficientBuffer, "output shorter than STORAGE_DESCRIPTOR_HEADER");
    }
    const std::vector<uint8_t> d = BuildStorageDescriptor("Norva   ", "Kesh CD-ROM     ");
    const uint32_t n = std::min<uint32_t>(outLength, static_cast<uint32_t>(d.size()));
    std::memcpy(out, d.data(), n);
    t.length = n;
    trace.push_back(t);
    return IoctlResult{true, kErrorSuccess, n};
  }

  // --- extension unit -------------------------------------------------------

  HResult Xu(const uint8_t* property, uint32_t propertyLength, uint8_t* data, uint32_t dataLength,
             uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    TraceEntry t;
    t.face = Face::Xu;
    t.wireLength = dataLength;
    auto fail = [&](HResult hr, std::string note) {
      t.failed = true;
      if (!note.empty()) t.note = std::move(note);
      trace.push_back(t);
      return hr;
    };
    if (!state.xuFace) {
      return fail(HresultFromWin32(kErrorDeviceNotConnected), "the device has no extension unit");
    }
    if (property == nullptr || propertyLength < kKspNodeSize) {
      return fail(kHrInvalidArg, "property shorter than KSP_NODE");
    }
    Guid set;
    set.Data1 = GetLe32(property);
    set.Data2 = GetLe16(property + 4);
    set.Data3 = GetLe16(property + 6);
    std::memcpy(set.Data4, property + 8, 8);
    const uint32_t id = GetLe32(property + 16);
    const uint32_t flags = GetLe32(property + 20);
    const uint32_t node = GetLe32(property + 24);
    t.op = static_cast<uint8_t>(id);
    if (!(set == kXuPropertySet)) {
      return fail(kHrSetNotFound, "property set " + GuidToString(set));
    }
    if ((flags & kKsTopology) == 0) return fail(kHrSetNotFound, "not a node property");
    if (node != state.xuNodeId) {
      return fail(kHrSetNotFound,
                  "node " + Dec(node) + ", the extension unit is node " + Dec(state.xuNodeId));
    }
    // KSP_NODE's last field is reserved and must be zero; the class driver
    // refuses the request otherwise.
    if (const uint32_t reserved = GetLe32(property + 28); reserved != 0) {
      return fail(kHrInvalidArg, "KSP_NODE Reserved is " + Hex(reserved, 8) + ", not 0");
    }
    const uint32_t type = flags & ~kKsTopology;
    if (type == kKsSetSupport) {
      if (auto error = CountRequest({RequestKind::Any}, t)) {
        return fail(HresultFromWin32(*error), "");
      }
      clock.AdvanceUs(state.timing.controlTransferUs);
      trace.push_back(t);
      return kHrOk;
    }
    if (type != kKsGet && type != kKsSet) {
      return fail(HresultFromWin32(kErrorNotSupported), "property flags " + Hex(flags, 8));
    }
    const bool write = type == kKsSet;
    t.toDevice = write;
    if (id != kXuRequestSelector && id != kXuDataSelector) {
      return fail(kHrNotFound, "no control with selector " + Dec(id));
    }
    const uint32_t size = id == kXuRequestSelector ? kXuRequestSize : kXuDataSize;
    if (data == nullptr) return fail(kHrPointer, "no data buffer");
    const RequestKind face = write ? RequestKind::XuWrite : RequestKind::XuRead;
    if (id == kXuDataSelector) {
      t.kind = RequestKind::RomData;
    } else if (write && dataLength >= 1) {
      t.kind = KindOfRequest(data[0]);
    } else {
      t.kind = face;
    }
    if (auto error = CountRequest({t.kind, face}, t)) return fail(HresultFromWin32(*error), "");
    if (dataLength != size) {
      return fail(kHrInvalidArg,
                  "control " + Dec(id) + " holds " + Dec(size) + " bytes, not " + Dec(dataLength));
    }
    clock.AdvanceUs(state.timing.controlTransferUs);
    Verdict v;
    if (write) {
      const std::vector<uint8_t> value(data, data + size);
      v = id == kXuRequestSelector ? XuRequestWrite(value.data(), t) : XuDataWrite(value.data(), t);
    } else {
      v = id == kXuRequestSelector ? XuRequestRead(data, t) : XuDataRead(data, t);
    }
    if (v) return fail(kHrStall, "stall: " + v->note);
    uint32_t returned = size;
    if (!write && ShortReadFaultFires()) {
      returned = size - 1;
      t.failed = true;
      t.note = "fault: read returned " + Dec(returned) + " of " + Dec(size) + " bytes";
    }
    if (bytesReturned) *bytesReturned = returned;
    trace.push_back(t);
    return kHrOk;
  }

  Verdict XuRequestWrite(const uint8_t* b, TraceEntry& t) {
    const uint8_t request = b[0];
    const uint16_t value = GetLe16(b + 1);
    const uint16_t index = GetLe16(b + 3);
    const uint16_t length = GetLe16(b + 5);
    const uint8_t* p = b + 7;
    auto keepAnswer = [&]() {
      std::array<uint8_t, kXuRequestSize> answer;
      std::memcpy(answer.data(), b, kXuRequestSize);
      xuAnswer = answer;
      return &(*xuAnswer)[0];
    };
    auto expect = [&](uint16_t wantIndex, uint16_t wantLength, const std::string& name) -> Verdict {
      if (index != wantIndex) return Refuse(name + " with index " + Hex(index, 4));
      if (length != wantLength) {
        return Refuse(name + " with length " + Dec(length) + ", not " + Dec(wantLength));
      }
      return std::nullopt;
    };
    if (value != 0) return Refuse("request " + Hex(request) + " with value " + Hex(value, 4));
    switch (request) {
      case kReqAccessRom: {
        if (Verdict v = expect(0, kAccessRomBlockSize, "ACCESS_ROM")) return v;
        const RomRequest r = DecodeLeAccessRomBlock(p);
        t.op = r.op;
        t.address = r.address;
        t.length = r.length;
        if (Verdict v = CheckRomRequest(r, kXuDataSize)) return v;
        if (r.op == kOpWrite && (!staged || staged->size() != kXuDataSize)) {
          return Refuse("write started with no data in the data control");
        }
        StartRomOp(r, staged ? staged->data() : nullptr, t);
        if (r.op == kOpWrite) staged.reset();
        xuAnswer.reset();
        return std::nullopt;
      }
      case kReqRomStatus:
        t.op = static_cast<uint8_t>(index);
        if (Verdict v = expect(index, 2, "GET_ROMLD_STATUS")) return v;
        if (!lastOp || lastOp->op != index) {
          return Refuse("status of operation " + Hex(index, 2) + ", which was not started last");
        }
        keepAnswer();  // filled in when the host reads it
        return std::nullopt;
      case kReqRomType: {
        if (Verdict v = expect(0, 1, "GET_ROM_TYPE")) return v;
        keepAnswer()[7] = state.romKind == RomKind::Spi ? 1 : 0;
        return std::nullopt;
      }
      case kReqIoAccess: {
        t.op = static_cast<uint8_t>(index);
        switch (index) {
          case kIoI2cRead:
          case kIoI2cWrite: {
            const bool writeI2c = index == kIoI2cWrite;
            t.toDevice = writeI2c;
            if (Verdict v = expect(index, 23, "IO_ACCESS I2C")) return v;
            std::vector<uint8_t> bytes;
            if (Verdict v =
                    I2cTransfer(p[0], p[1], p + 2, p[6], writeI2c ? p + 7 : nullptr, &bytes, t)) {
              return v;
            }
            if (writeI2c) {
              xuAnswer.reset();
            } else {
              uint8_t* answer = keepAnswer();
              if (!bytes.empty()) std::memcpy(answer + 14, bytes.data(), bytes.size());
            }
            return std::nullopt;
          }
          case kIoGpioGet:
            t.length = 1;
            if (Verdict v = expect(index, 1, "IO_ACCESS GPIO")) return v;
            keepAnswer()[7] = state.gpioData;
            return std::nullopt;
          case kIoGpioSet:
          case kIoGpioSetDir:
            t.length = 1;
            if (Verdict v = expect(index, 1, "IO_ACCESS GPIO")) return v;
            (index == kIoGpioSet ? state.gpioData : state.gpioDirection) = p[0];
            xuAnswer.reset();
            return std::nullopt;
          default:
            return Refuse("unknown IO_ACCESS sub-command " + Hex(index, 2));
        }
      }
      default:
        return Refuse("request " + Hex(request) + " is not carried by the extension unit");
    }
  }

  Verdict XuRequestRead(uint8_t* out, TraceEntry& t) {
    if (!xuAnswer) return Refuse("read of the request control with no request to answer");
    std::array<uint8_t, kXuRequestSize> answer = *xuAnswer;
    t.op = static_cast<uint8_t>(GetLe16(answer.data() + 3));
    if (answer[0] == kReqRomStatus) {
      answer[7] = Finished(t.op) ? 0x01 : 0x00;
      answer[8] = t.op;
    }
    t.length = kXuRequestSize;
    std::memcpy(out, answer.data(), answer.size());
    return std::nullopt;
  }

  Verdict XuDataWrite(const uint8_t* value, TraceEntry& t) {
    staged = std::vector<uint8_t>(value, value + kXuDataSize);
    t.length = kXuDataSize;
    return std::nullopt;
  }

  Verdict XuDataRead(uint8_t* out, TraceEntry& t) {
    if (!Finished(kOpRead)) return Refuse("read of the data control with no finished ROM read");
    std::memset(out, 0, kXuDataSize);
    if (!readData.empty()) std::memcpy(out, readData.data(), readData.size());
    t.length = static_cast<uint32_t>(readData.size());
    return std::nullopt;
  }
};

SimDevice::SimDevice(DeviceState state, Clock& clock)
    : state_(std::move(state)),
      clock_(clock),
      fw_(std::make_unique<Firmware>(state_, clock_, trace_)) {}

SimDevice::~SimDevice() = default;

bool SimDevice::TakeRomChange(size_t* begin, size_t* end) {
  *begin = fw_->romChangeBegin;
  *end = std::min(fw_->romChangeEnd, state_.rom.size());
  fw_->romChangeBegin = fw_->romChangeEnd = 0;
  return *begin < *end;
}

void SimDevice::RestartFaultCounts() {
  fw_->requestCount.fill(0);
  fw_->opCount.fill(0);
  fw_->opCountAny = 0;
  fw_->writeCount = 0;
}

IoctlResult SimDevice::OwnDriverIoctl(uint32_t code, const uint8_t* in, uint32_t inLength,
                                      uint8_t* out, uint32_t outLength) {
  return fw_->OwnDriver(code, in, inLength, out, outLength);
}

IoctlResult SimDevice::CdromIoctl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                                  uint32_t outLength, uint32_t headerLength) {
  return fw_->Cdrom(code, in, inLength, out, outLength, headerLength);
}

HResult SimDevice::XuKsProperty(const uint8_t* property, uint32_t propertyLength, uint8_t* data,
                                uint32_t dataLength, uint32_t* bytesReturned) {
  return fw_->Xu(property, propertyLength, data, dataLength, bytesReturned);
}

}  // namespace zemb::sim
