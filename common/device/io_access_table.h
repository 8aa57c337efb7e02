// The five IO operations of ZembIoAccess, one implementation per transport
// (the CD-ROM drive and the extension unit; the maker's driver has none),
// bound once after discovery and never changed in the run. Each
// implementation holds the device reference it was bound to.
//
// Every entry returns non-zero for success and 0 for failure, sends exactly
// the requests of its transport (no status poll, no wait, no retry), and on
// failure leaves the destination or value byte as the caller set it. The
// I2C address, register address size and GPIO bytes go to the device
// unchanged; what they mean is the device's business.
#pragma once

#include <cstdint>
#include <memory>

#include "common/base/console.h"
#include "common/device/discovery.h"
#include "common/device/session.h"

namespace zemb {

// The most data bytes one IO_ACCESS command moves.
constexpr uint8_t kIoMaxLength = 16;

class IoAccessTable {
 public:
  virtual ~IoAccessTable() = default;
  // Reads `length` (at most 16) bytes from register `regAddress` of the I2C
  // device at `i2cAddress` into `destination`. A length above 16 sends
  // nothing and fails.
  virtual int I2cRead(uint8_t i2cAddress, uint8_t regAddressSize, uint32_t regAddress,
                      uint8_t length, uint8_t* destination) = 0;
  // Writes `length` (at most 16) bytes from `source`; a length of 0 still
  // goes to the device. A length above 16 sends nothing and fails.
  virtual int I2cWrite(uint8_t i2cAddress, uint8_t regAddressSize, uint32_t regAddress,
                       uint8_t length, const uint8_t* source) = 0;
  // Stores the GPIO data byte in *value.
  virtual int GpioGet(uint8_t* value) = 0;
  // Sets the GPIO data byte, or the direction byte, to *value.
  virtual int GpioSet(const uint8_t* value) = 0;
  virtual int GpioSetDirection(const uint8_t* value) = 0;
};

// The table for the path the run found: the CD-ROM drive or the extension
// unit; null for any other path.
std::unique_ptr<IoAccessTable> BindIoAccessTable(Console& console, FoundDevice& device);

// The session of ZembIoAccess.
using IoSession = DeviceSession<IoAccessTable>;

std::unique_ptr<IoAccessTable> MakeCdRomIoAccess(Host& host, DeviceHandle handle);
std::unique_ptr<IoAccessTable> MakeXuIoAccess(Console& console, XuControlContext& context);

}  // namespace zemb
