// The simulated device's firmware: the ROM model and its busy clock, the
// GPIO port and the I2C bus, the armed faults and the trace. The three faces
// (face_*.cpp) decode what reaches them with their own code and hand the
// firmware decoded requests; nothing here knows a wire layout beyond the
// request codes every face shares.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_device.h"

namespace zemb::sim {

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

constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kSpiPageSize = 256;
constexpr uint32_t kFirmwareBuffer = 4096;  // the largest ROM transfer the firmware buffers
constexpr uint32_t kAccessRomBlockSize = 12;
constexpr uint32_t kI2cMaxLength = 16;

// Sense fields of a refused command; the CD-ROM face reports them, the
// other faces can only stall.
constexpr uint8_t kSenseNotReady = 0x02;
constexpr uint8_t kSenseHardwareError = 0x04;
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscOutOfRange = 0x21;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscqOperationInProgress = 0x07;
constexpr uint8_t kAscInternalFailure = 0x44;

constexpr size_t kKindCount = static_cast<size_t>(RequestKind::Any) + 1;

// The kind of a vendor request code; Any for a code the firmware does not know.
RequestKind KindOfRequest(uint8_t code);

inline std::string Dec(uint64_t value) {
  return std::to_string(value);
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

inline Refusal Refuse(std::string note, uint8_t senseKey = kSenseIllegalRequest,
                      uint8_t asc = kAscInvalidField, uint8_t ascq = 0) {
  return Refusal{std::move(note), senseKey, asc, ascq};
}

// A ROM operation as the firmware takes it, whichever face carried it.
struct RomRequest {
  // The 12-byte AccessRomBlock in its little-endian form (own driver and
  // extension unit).
  static RomRequest FromLeBlock(const uint8_t* block);
  // The 16-byte ACCESS_ROM CDB of the CD-ROM face, its fields big-endian.
  static RomRequest FromCdb(const uint8_t* cdb);

  uint8_t op = 0;           // kOpChipErase, kOpSectorErase, kOpRead or kOpWrite
  uint8_t addressSize = 0;  // address bytes the chip is sent, 1 to 4
  uint16_t pageSize = 0;    // the most one write may program
  uint32_t address = 0;
  uint32_t length = 0;  // 16 bits on every wire
};

// The firmware state between requests, shared by the faces.
struct Firmware {
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
  std::vector<uint8_t> readData;               // what the last read fetched
  std::optional<std::vector<uint8_t>> staged;  // data for the next ROM write

  std::array<uint32_t, kKindCount> requestCount{};
  std::array<uint32_t, 256> opCount{};
  uint32_t opCountAny = 0;
  uint32_t writeCount = 0;
  uint32_t cdromReadCount = 0;

  // The ROM bytes changed since the host last asked, [romChangeBegin,
  // romChangeEnd); empty when equal.
  size_t romChangeBegin = 0, romChangeEnd = 0;
  void RomChanged(size_t begin, size_t end);

  // --- faults ---------------------------------------------------------------

  // Counts the request under each of its kinds (and Any) and returns the
  // error of a FailRequest fault that it triggers.
  std::optional<uint32_t> CountRequest(std::initializer_list<RequestKind> kinds, TraceEntry& t);
  // A RefuseCommand fault for this request, counted as CountRequest counted
  // it; returns what the trace says.
  std::optional<std::string> RefusalFaultFires(RequestKind kind);
  bool StallFaultFires(uint8_t op);
  bool CorruptFaultFires();
  // Counts the reads of `face` (each extension-unit control read, each
  // CD-ROM command that brings data from the device) and says whether this
  // one comes back short.
  bool ShortReadFaultFires(Face face);
  void RestartFaultCounts();

  // --- the ROM --------------------------------------------------------------

  bool Busy() const { return lastOp && (lastOp->stalled || clock.NowUs() < lastOp->doneUs); }
  bool Finished(uint8_t op) const { return lastOp && lastOp->op == op && !Busy(); }
  uint64_t BusyTimeUs(const RomRequest& r) const;
  // What the chip and the firmware would refuse, before anything starts;
  // `maxLength` is the most the face carries in one transfer.
  Verdict CheckRomRequest(const RomRequest& r, uint32_t maxLength) const;
  void Program(uint32_t address, const uint8_t* data, uint32_t length, TraceEntry& t);

  struct Started {
    uint64_t busyUs = 0;
    bool stalled = false;
  };
  // Starts an accepted operation. Its effect on the ROM happens at once; the
  // status reports it finished when the clock reaches its busy time. A
  // stalled operation hangs before it touches the ROM.
  Started StartRomOp(const RomRequest& r, const uint8_t* writeData, TraceEntry& t);

  // --- IO -------------------------------------------------------------------

  // An I2C transfer on the bus. The register address travels in a 4-byte
  // field: 32 bits big-endian for 4 address bytes, otherwise 16 bits
  // big-endian followed by two zero bytes.
  Verdict I2cTransfer(uint8_t address, uint8_t addressSize, const uint8_t* field, uint32_t length,
                      const uint8_t* writeData, std::vector<uint8_t>* readOut, TraceEntry& t);

  // A refused IOCTL: traced as failed, with why, and the error the host sees.
  IoctlResult FailIoctl(TraceEntry& t, uint32_t error, std::string note);
};

// One decoder per face. Each takes the raw bytes of its wire, refuses what
// the real face would refuse, and leaves one trace entry per request.
class OwnDriverFace {
 public:
  explicit OwnDriverFace(Firmware& fw) : fw_(fw) {}
  IoctlResult Ioctl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                    uint32_t outLength);

 private:
  Verdict Request(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t wLength, const std::vector<uint8_t>& stage, std::vector<uint8_t>* answer,
                  TraceEntry& t);
  Firmware& fw_;
};

class CdromFace {
 public:
  explicit CdromFace(Firmware& fw) : fw_(fw) {}
  IoctlResult Ioctl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                    uint32_t outLength, uint32_t headerLength);

 private:
  struct ScsiOutcome {
    Verdict check;                     // the device answered CHECK CONDITION
    uint32_t ioError = kErrorSuccess;  // the pass-through itself fails
    std::string note;
    std::vector<uint8_t> dataIn;
  };
  IoctlResult StorageQuery(const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength);
  ScsiOutcome ExecuteCdb(const uint8_t* cdb, uint8_t cdbLength, uint8_t dataIn,
                         uint32_t transferLength, const std::vector<uint8_t>& dataOut,
                         uint32_t timeOutSeconds, TraceEntry& t);
  Firmware& fw_;
};

class XuFace {
 public:
  static constexpr uint32_t kRequestSize = 30;  // the request control's value

  explicit XuFace(Firmware& fw) : fw_(fw) {}
  HResult KsProperty(const uint8_t* property, uint32_t propertyLength, uint8_t* data,
                     uint32_t dataLength, uint32_t* bytesReturned);

 private:
  Verdict RequestWrite(const uint8_t* b, TraceEntry& t);
  Verdict RequestRead(uint8_t* out, TraceEntry& t);
  Verdict DataWrite(const uint8_t* value, TraceEntry& t);
  Verdict DataRead(uint8_t* out, TraceEntry& t);
  Firmware& fw_;
  // The request control's pending answer, kept until the host reads it.
  std::optional<std::array<uint8_t, kRequestSize>> answer_;
};

}  // namespace zemb::sim
