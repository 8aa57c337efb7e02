// The device's requests as bytes: pure functions, checked byte by byte by the
// tests. The transports fill their buffers only through these.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "common/base/bytes.h"
#include "common/host/host.h"

namespace zemb {

// Request codes of the device's command set.
enum RequestCode : uint8_t {
  ACCESS_ROM = 0xCA,
  ROM_DATA = 0xCB,
  GET_ROMLD_STATUS = 0xCC,
  GET_ROM_TYPE = 0xC9,
  GET_FIRMWARE_VERSION = 0xC4,
  GET_SIDE_SIGNATURE = 0xC2,
  IO_ACCESS = 0xD4,
};

// Operation codes carried by ACCESS_ROM.
enum RomOperation : uint8_t {
  kOpChipErase = 0xFF,
  kOpSectorErase = 0xFD,
  kOpRead = 0x01,
  kOpWrite = 0x02,
};

// IO_ACCESS sub-commands.
constexpr uint8_t I2C_READ = 0xD0;
constexpr uint8_t I2C_WRITE = 0xD1;
constexpr uint8_t GPIO_GET = 0xD6;
constexpr uint8_t GPIO_SET = 0xD7;
constexpr uint8_t GPIO_SET_DIR = 0xD8;

// The largest ROM transfer of one request.
constexpr uint32_t kMaxRomTransfer = 4096;

struct AccessRomBlock {
  uint8_t op = 0;
  uint8_t addressSize = 0;
  uint16_t pageSize = 0;
  uint32_t address = 0;
  uint16_t length = 0;
};

// The 12-byte block, little-endian (own driver and extension unit).
std::array<uint8_t, 12> EncodeAccessRomBlock(const AccessRomBlock& block);

// --- Own driver: the VendorRequest IOCTL buffer -----------------------------

constexpr uint8_t kRequestTypeOut = 0x40;      // host to device, vendor, device
constexpr uint8_t kRequestTypeIn = 0xC0;       // device to host, vendor, device
constexpr uint8_t kRequestTypeInOther = 0xC3;  // device to host, vendor, other
constexpr size_t kVendorRequestHead = 16;
// Buffer sizes per operation: the head plus the operation's data capacity.
constexpr size_t kVendorBufferErase = 28;
constexpr size_t kVendorBufferData = 4112;
constexpr size_t kVendorBufferSideSignature = 20;
constexpr size_t kVendorBufferFirmwareVersion = 24;
constexpr size_t kVendorBufferRomType = 17;

// Fills a zeroed buffer of `bufferSize` bytes: head (type, request, value 0,
// index, length, reserved, 32-bit length) and the data stage. `data` must fit.
std::vector<uint8_t> EncodeVendorRequest(uint8_t requestType, uint8_t request, uint16_t index,
                                         uint16_t length, std::span<const uint8_t> data,
                                         size_t bufferSize);

// --- CD-ROM: SCSI pass-through ----------------------------------------------

constexpr size_t kPassThroughHeaderLength = 44;
constexpr size_t kSenseOffset = 44;
constexpr uint8_t kSenseLength = 252;
constexpr size_t kPassThroughDataOffset = 296;
constexpr size_t kPassThroughBufferSize = kPassThroughDataOffset + kMaxRomTransfer;  // 4392
constexpr uint8_t kScsiDataOut = 0;
constexpr uint8_t kScsiDataIn = 1;
constexpr uint8_t kScsiDataUnspecified = 2;
constexpr uint32_t kPassThroughTimeoutSeconds = 5;

using Cdb = std::array<uint8_t, 16>;

Cdb CdbChipErase();
Cdb CdbSectorErase(uint32_t address);
Cdb CdbRomStatus();
Cdb CdbRomRead(uint8_t addressSize, uint16_t pageSize, uint32_t address, uint16_t length);
Cdb CdbRomWrite(uint8_t addressSize, uint16_t pageSize, uint32_t address, uint16_t length);
// GET_ROM_TYPE, GET_SIDE_SIGNATURE, GET_FIRMWARE_VERSION: the transfer
// length travels in bytes 5-6.
Cdb CdbQuery(uint8_t request, uint16_t transferLength);
Cdb CdbIoAccess(uint8_t subCommand, uint8_t i2cAddress, uint8_t regAddressSize, uint32_t regAddress,
                uint8_t length);

// Zeroes the whole 4392-byte buffer and fills the 44-byte header and the CDB.
void FillPassThrough(std::span<uint8_t, kPassThroughBufferSize> buffer, uint8_t dataIn,
                     uint32_t transferLength, const Cdb& cdb);

// --- Extension unit ---------------------------------------------------------

constexpr uint32_t kXuSelectorRequest = 1;
constexpr uint32_t kXuSelectorData = 2;
constexpr size_t kXuRequestLength = 30;
constexpr size_t kXuDataLength = 256;
constexpr uint32_t kKsPropertyGetTopology = 0x10000001;
constexpr uint32_t kKsPropertySetTopology = 0x10000002;
constexpr uint32_t kKsPropertySetSupportTopology = 0x10000100;

using XuRequestBlock = std::array<uint8_t, kXuRequestLength>;

// The 32-byte KSP_NODE: Set, Id, Flags, NodeId, Reserved 0.
std::array<uint8_t, 32> EncodeKspNode(const Guid& set, uint32_t id, uint32_t flags,
                                      uint32_t nodeId);

XuRequestBlock XuAccessRom(const AccessRomBlock& block);
XuRequestBlock XuRomStatus(uint8_t op);
XuRequestBlock XuRomType();
XuRequestBlock XuIoAccessI2c(uint8_t subCommand, uint8_t i2cAddress, uint8_t regAddressSize,
                             uint32_t regAddress, uint8_t length, const uint8_t* data);
XuRequestBlock XuIoAccessGpio(uint8_t subCommand, uint8_t value);

// --- IO_ACCESS --------------------------------------------------------------

// The 4-byte register address field: big-endian 32 bits for a size of 4 or
// more; otherwise bits 15-8, bits 7-0, then two zero bytes.
std::array<uint8_t, 4> RegisterAddressField(uint32_t regAddress, uint8_t regAddressSize);

}  // namespace zemb
