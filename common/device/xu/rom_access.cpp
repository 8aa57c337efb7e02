// ROM access through the device's UVC extension unit: the request control
// carries the vendor requests, the data control 256 bytes of ROM data at a
// time.
#include "common/device/rom_access.h"

#include <algorithm>
#include <array>

#include "common/device/requests.h"
#include "common/device/rom_wait.h"
#include "common/device/xu/xu_control.h"

namespace zemb {

namespace {

class XuRomAccess final : public RomAccessTable {
 public:
  XuRomAccess(Console& console, XuControlContext& context)
      : console_(console), host_(console.GetHost()), context_(context) {}

  int ReadRom(const RomParameter& rom, uint8_t* destination, uint32_t address,
              uint32_t length) override {
    if (length > kMaxRomTransfer) return Refuse();
    bool failed = false;
    for (uint32_t offset = 0; offset < length;) {
      const uint32_t chunk = std::min<uint32_t>(kXuDataLength, length - offset);
      Chunk data{};
      if (!StartAndWait(rom, kOpRead, address + offset, chunk, &failed) ||
          !MoveData(kXuRead, data)) {
        return 0;
      }
      std::copy_n(data.begin(), chunk, destination + offset);
      offset += chunk;
    }
    return failed ? 0 : 1;
  }

  uint8_t GetRomType() override {
    XuRequestBlock block = XuRomType();
    if (!Succeeded(XuRequestWithAnswer(console_, context_, &block))) return 0xFF;
    return block[7] & 1;
  }

  // The extension unit has no chip erase.
  int EraseChip() override { return 1; }
  bool CanEraseChip() const override { return false; }
  void GetFirmwareVersion(uint32_t[2]) override {}
  void GetSideSignature(uint32_t*) override {}
  // The extension unit's request block has no form for these two.
  bool ReadFirmwareVersion(uint32_t[2]) override { return NotOnThisFace(); }
  bool ReadSideSignature(uint32_t*) override { return NotOnThisFace(); }
  bool NotOnThisFace() {
    console_.GetHost().SetLastError(kErrorNotSupported);
    return false;
  }

  int WriteRom(const RomParameter& rom, const uint8_t* source, uint32_t address,
               uint32_t length) override {
    if (length > rom.PageSize || length > kMaxRomTransfer) return Refuse();
    bool failed = false;
    for (uint32_t offset = 0; offset < length;) {
      const uint32_t chunk = std::min<uint32_t>(kXuDataLength, length - offset);
      // Bytes past the chunk are sent as zeros.
      Chunk data{};
      std::copy_n(source + offset, chunk, data.begin());
      if (!MoveData(kXuWrite, data) ||
          !StartAndWait(rom, kOpWrite, address + offset, chunk, &failed)) {
        return 0;
      }
      offset += chunk;
    }
    return failed ? 0 : 1;
  }

  int EraseSector(const RomParameter& rom, uint32_t address) override {
    if (!Start({kOpSectorErase, rom.AddressSize, 0, address, 0})) return 0;
    return Wait(kOpSectorErase) == WaitResult::Done ? 1 : 0;
  }

 private:
  using Chunk = std::array<uint8_t, kXuDataLength>;

  // One chunk through the data control.
  bool MoveData(int direction, Chunk& data) {
    return Succeeded(XuControlAccess(console_, context_, direction, kXuSelectorData, data.data(),
                                     kXuDataLength));
  }

  // Starts a read or write of one chunk and waits for it. False when the
  // transfer has to stop: the start failed, or the device never finished
  // and is not waited for again. A failed status read only spoils the
  // operation (*failed): the data still moves.
  bool StartAndWait(const RomParameter& rom, uint8_t op, uint32_t address, uint32_t chunk,
                    bool* failed) {
    if (!Start({op, rom.AddressSize, rom.PageSize, address, static_cast<uint16_t>(chunk)})) {
      return false;
    }
    const WaitResult wait = Wait(op);
    if (wait == WaitResult::Failed) *failed = true;
    return wait != WaitResult::TimedOut;
  }

  int Refuse() {
    host_.SetLastError(kErrorInvalidParameter);
    return 0;
  }

  bool Start(const AccessRomBlock& block) {
    XuRequestBlock request = XuAccessRom(block);
    return Succeeded(XuWriteRequest(console_, context_, request));
  }

  WaitResult Wait(uint8_t op) {
    return WaitForRomOperation(host_, op, 1, [&](bool* done) {
      XuRequestBlock block = XuRomStatus(op);
      if (!Succeeded(XuRequestWithAnswer(console_, context_, &block))) return false;
      *done = (block[7] & 1) != 0;
      return true;
    });
  }

  Console& console_;
  Host& host_;
  XuControlContext& context_;
};

}  // namespace

std::unique_ptr<RomAccessTable> MakeXuRomAccess(Console& console, XuControlContext& context) {
  return std::make_unique<XuRomAccess>(console, context);
}

}  // namespace zemb
