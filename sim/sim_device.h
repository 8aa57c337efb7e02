// The simulated Zemb device: firmware, ROM chip, GPIO port and I2C bus, and
// the three faces through which a host reaches them (the maker's driver, the
// CD-ROM drive with vendor SCSI commands, the UVC extension unit).
//
// Every face decodes the raw bytes it receives with its own code; nothing
// here shares an encoder with the tools. What a real device would refuse is
// refused: the call fails and the trace says why.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/host/host.h"

namespace zemb::sim {

// Time as the device sees it, in microseconds. A virtual clock moves only
// when someone advances it (a host Sleep, a device busy inside a command);
// a real clock follows the wall clock and sleeps when advanced.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t NowUs() const = 0;
  virtual void AdvanceUs(uint64_t microseconds) = 0;
};

class VirtualClock : public Clock {
 public:
  uint64_t NowUs() const override { return now_; }
  void AdvanceUs(uint64_t microseconds) override { now_ += microseconds; }

 private:
  uint64_t now_ = 0;
};

class RealClock : public Clock {
 public:
  RealClock();
  uint64_t NowUs() const override;
  void AdvanceUs(uint64_t microseconds) override;

 private:
  uint64_t start_;
};

enum class RomKind : uint8_t { Spi, I2c };
enum class Face : uint8_t { Own, Cdrom, Xu };

// Modelled busy times, in microseconds.
struct Timing {
  uint32_t pageProgramUs = 700;          // one 256-byte SPI page
  uint32_t sectorEraseUs = 45000;        // one 4096-byte SPI sector
  uint32_t chipEraseUsPerMiB = 2000000;  // SPI chip erase, by chip size
  uint32_t eepromWriteUs = 5000;         // one I2C EEPROM page write cycle
  uint32_t eepromPageSize = 64;          // bytes per EEPROM write cycle
  uint32_t readUsPer4KiB = 300;          // ROM read into the firmware buffer
  uint32_t controlTransferUs = 125;      // one USB control transfer
  uint32_t scsiCommandUs = 250;          // one SCSI command round trip
};

// Request kinds, for faults and the trace.
enum class RequestKind : uint8_t {
  AccessRom,        // ACCESS_ROM (0xCA) on any face
  RomStatus,        // GET_ROMLD_STATUS (0xCC)
  RomData,          // ROM_DATA (0xCB, own driver) or the data control (extension unit)
  RomType,          // GET_ROM_TYPE (0xC9)
  FirmwareVersion,  // 0xC4
  SideSignature,    // 0xC2
  IoAccess,         // IO_ACCESS (0xD4)
  StorageQuery,     // IOCTL_STORAGE_QUERY_PROPERTY (CD-ROM face)
  XuRead,           // any control read of the extension unit
  XuWrite,          // any control write of the extension unit
  Any,
};

// A fault armed on the device. Counts start at 1 and run over the whole
// life of the SimDevice object (one tool run). A fault fires once.
struct Fault {
  enum class Type : uint8_t {
    FailRequest,   // the nth request of `kind` fails with `error`
    StallOp,       // the nth ROM operation started with `op` (0 = any) never finishes
    CorruptWrite,  // the nth ROM write stores its first byte with bit 0 flipped
    // The nth read returns one byte short with success: an extension-unit
    // control read, or a CD-ROM command with data from the device (GOOD
    // status, DataTransferLength one below the request).
    ShortRead,
    // The nth request of `kind` reaching the CD-ROM face's firmware is
    // refused with CHECK CONDITION (hardware error) and not carried out;
    // the pass-through itself succeeds.
    RefuseCommand,
  };
  Type type = Type::FailRequest;
  RequestKind kind = RequestKind::Any;
  uint32_t nth = 1;
  uint8_t op = 0;
  uint32_t error = kErrorGenFailure;
  bool fired = false;
};

// One decoded request, as the device understood it.
struct TraceEntry {
  Face face = Face::Own;
  RequestKind kind = RequestKind::Any;
  bool toDevice = false;    // direction of the data stage
  uint8_t op = 0;           // ACCESS_ROM operation, status index, or IO sub-command
  uint32_t address = 0;     // ROM address, or I2C register address
  uint32_t length = 0;      // byte count of the operation or data stage
  uint32_t wireLength = 0;  // IOCTL buffer length, or property data length
  bool failed = false;      // refused, or failed by a fault
  std::string note;         // why it was refused, or what a fault did
};

struct I2cDevice {
  std::vector<uint8_t> registers;  // register file; addresses wrap at its size
};

// Everything that makes up a plugged device, and what zembsim keeps on disk.
struct DeviceState {
  bool ownFace = false;
  bool cdromFace = true;
  bool xuFace = false;
  RomKind romKind = RomKind::Spi;
  std::vector<uint8_t> rom;  // its size is the chip size
  uint32_t firmwareVersion[2] = {0x00020401, 0x20261209};
  uint32_t sideSignature = 0x50534944;
  uint8_t gpioData = 0;
  uint8_t gpioDirection = 0;
  std::map<uint8_t, I2cDevice> i2c;  // by the address byte the host sends
  uint32_t xuNodeId = 2;             // topology node of the extension unit
  std::vector<Fault> faults;
  Timing timing;
  // The USB port the unit sits in (zembsim plug --port); empty for none.
  std::string port;
  // Which plugging of the unit this is: new each time zembsim plugs it (a
  // kept unit plugged back included), as a real unit enumerates anew each
  // time it is plugged; empty for a hand-made device.
  std::string plug;
};

// A new device's state: the ROM erased (0xFF), two I2C register files.
DeviceState DefaultDeviceState(RomKind kind, uint32_t romSize);

struct IoctlResult {
  bool ok = false;
  uint32_t error = kErrorSuccess;  // the host's last error when !ok
  uint32_t bytesReturned = 0;
};

// IOCTL codes the faces answer.
constexpr uint32_t kOwnDriverIoctl = 0x4E20E000;
constexpr uint32_t kIoctlScsiPassThrough = 0x4D004;
constexpr uint32_t kIoctlStorageQueryProperty = 0x2D1400;

// The extension unit's property set {C66D125B-0480-0844-8C26-B8363A84DE63}.
extern const Guid kXuPropertySet;

// A STORAGE_DEVICE_DESCRIPTOR (40-byte header, then the id strings) whose
// VendorIdOffset points at `vendorId`.
std::vector<uint8_t> BuildStorageDescriptor(const std::string& vendorId,
                                            const std::string& productId);

class SimDevice {
 public:
  SimDevice(DeviceState state, Clock& clock);

  DeviceState& State() { return state_; }
  const DeviceState& State() const { return state_; }
  Clock& GetClock() { return clock_; }

  // The own-driver face: DeviceIoControl on the driver's device with a
  // VendorRequest buffer (16-byte head, then the data stage).
  IoctlResult OwnDriverIoctl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                             uint32_t outLength);

  // The CD-ROM face: IOCTL_STORAGE_QUERY_PROPERTY and IOCTL_SCSI_PASS_THROUGH.
  // `headerLength` is the size of SCSI_PASS_THROUGH the host's port driver
  // accepts (44 for the portable layout and x86, 56 for x64); another
  // Length is refused with ERROR_REVISION_MISMATCH.
  IoctlResult CdromIoctl(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                         uint32_t outLength, uint32_t headerLength = 44);

  // The extension unit: IKsControl::KsProperty on its node with a KSP_NODE.
  HResult XuKsProperty(const uint8_t* property, uint32_t propertyLength, uint8_t* data,
                       uint32_t dataLength, uint32_t* bytesReturned);

  // The ROM bytes erased or programmed since the last call, as one range
  // [*begin, *end) covering them all; false when none changed. Lets a
  // session write each change through to the kept ROM before it answers.
  bool TakeRomChange(size_t* begin, size_t* end);
  // Fault counts start again from 1, as they do when a run starts: for
  // faults armed while a run is going on.
  void RestartFaultCounts();

  const std::vector<TraceEntry>& Trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }

 private:
  // The firmware state between requests (running operation, staged data,
  // fault counters) and the three faces' decoders, with the extension
  // unit's pending answer, live in sim/device/.
  struct Parts;
  DeviceState state_;
  Clock& clock_;
  std::vector<TraceEntry> trace_;
  std::unique_ptr<Parts> parts_;

 public:
  ~SimDevice();
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;
};

// zembsim's folder, ZembSimDevice/ in the current directory: device.txt
// (faces, ROM kind, versions, GPIO, I2C registers, faults) and rom.bin.
// Load returns false (and leaves *state alone) when no device is plugged or
// the state cannot be read; *error then says why, empty for "not plugged".
bool LoadDeviceState(const std::string& folder, DeviceState* state, std::string* error);
// Writes to temporary files and renames them, so a failed save leaves the
// previous state whole.
bool SaveDeviceState(const std::string& folder, const DeviceState& state, std::string* error);

// device.txt as SaveDeviceState writes it for `state`.
std::string DeviceStateText(const DeviceState& state);
// Replaces device.txt alone (temporary file, then rename) with `text`.
bool SaveDeviceText(const std::string& folder, const std::string& text, std::string* error);
// Writes rom.bin's bytes [begin, end) in place from state.rom and hands them
// to the system before returning, so a run that is killed right after
// leaves the kept ROM exactly as far as its requests got.
bool WriteRomThrough(const std::string& folder, const DeviceState& state, size_t begin, size_t end,
                     std::string* error);

constexpr const char* kSimFolder = "ZembSimDevice";

// The words device.txt and zembsim use for request kinds and faults.
const char* RequestKindName(RequestKind kind);  // "access-rom", ..., "any"
bool ParseRequestKind(const std::string& name, RequestKind* kind);
// "fail KIND N ERROR", "stall OP N" (OP 0 = any), "corrupt N", "short-read N".
std::string FaultToText(const Fault& fault);
// The same words; N defaults to 1 and ERROR to kErrorGenFailure when left off.
bool ParseFault(const std::vector<std::string>& words, Fault* fault, std::string* error);

}  // namespace zemb::sim
