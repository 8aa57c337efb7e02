// The seven ROM access operations, one implementation per transport, bound
// once after discovery and never changed in the run. Each implementation
// holds the device reference it was bound to (the handle of the own-driver
// or CD-ROM path, or the extension-unit context).
//
// Results: non-zero for success, 0 for failure; GetRomType gives 1 (SPI),
// 0 (I2C) or 0xFF (the request failed). A failure leaves the thread's last
// error set for the callers' error block. Operations that wait for the
// device give up after a time limit no healthy part exceeds, with the last
// error ERROR_TIMEOUT.
#pragma once

#include <cstdint>
#include <memory>

#include "common/base/console.h"
#include "common/device/discovery.h"
#include "common/device/session.h"
#include "common/rom/rom_parameter.h"

namespace zemb {

class RomAccessTable {
 public:
  virtual ~RomAccessTable() = default;
  // Reads `length` (at most 4096) bytes at `address` into `destination`;
  // on failure the destination may hold part of the data.
  virtual int ReadRom(const RomParameter& rom, uint8_t* destination, uint32_t address,
                      uint32_t length) = 0;
  virtual uint8_t GetRomType() = 0;
  // Erases the whole chip and waits until the device reports it done.
  virtual int EraseChip() = 0;
  // Both words 0 first on the own-driver path; left as given where the
  // transport cannot ask.
  virtual void GetFirmwareVersion(uint32_t version[2]) = 0;
  // Left as given when the request fails or the transport cannot ask.
  virtual void GetSideSignature(uint32_t* signature) = 0;
  // The same two requests with their outcome: false (last error set) when
  // the request failed, or kErrorNotSupported where the face cannot carry
  // it; the output is written only on success. Nothing is printed.
  virtual bool ReadFirmwareVersion(uint32_t version[2]) = 0;
  virtual bool ReadSideSignature(uint32_t* signature) = 0;
  // Writes `length` bytes, at most PageSize; a longer write sends nothing
  // and fails.
  virtual int WriteRom(const RomParameter& rom, const uint8_t* source, uint32_t address,
                       uint32_t length) = 0;
  // Erases the 4096-byte sector at `address` and waits for it.
  virtual int EraseSector(const RomParameter& rom, uint32_t address) = 0;
  // False where EraseChip does nothing (the extension unit): the caller has
  // to erase sector by sector.
  virtual bool CanEraseChip() const { return true; }
};

// Time limits of the status waits, in milliseconds. A large SPI NOR chip
// erase takes minutes; a sector erase or a page program well under a second.
constexpr uint32_t kChipEraseTimeLimitMs = 600000;
constexpr uint32_t kOperationTimeLimitMs = 10000;
uint32_t RomOperationTimeLimitMs(uint8_t op);

// The table for the path the run found; null for DevicePath::None.
std::unique_ptr<RomAccessTable> BindRomAccessTable(Console& console, FoundDevice& device);

// The session of the ROM tools and of zemb.
using RomSession = DeviceSession<RomAccessTable>;

// Opens a ROM tool's session, discovery printing on `console` and path 1
// included. False when the run ends here, its lines printed: "Cannot find
// device for ROM access test!!!", or the tool's fail line when the unit
// stays in use.
bool OpenRomToolSession(RomSession& session, Console& console, const char* tool);

std::unique_ptr<RomAccessTable> MakeOwnDriverRomAccess(Host& host, DeviceHandle handle);
std::unique_ptr<RomAccessTable> MakeCdRomRomAccess(Console& console, DeviceHandle handle);
std::unique_ptr<RomAccessTable> MakeXuRomAccess(Console& console, XuControlContext& context);

}  // namespace zemb
