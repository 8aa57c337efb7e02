// ROM access through the maker's driver: every request is one USB vendor
// control request handed to the driver with one DeviceIoControl.
#include "common/device/rom_access.h"

#include <algorithm>
#include <vector>

#include "common/device/own_driver/channel.h"
#include "common/device/requests.h"
#include "common/device/rom_wait.h"

namespace zemb {

namespace {

class OwnDriverRomAccess final : public RomAccessTable {
 public:
  OwnDriverRomAccess(Host& host, DeviceHandle handle) : host_(host), handle_(handle) {}

  int ReadRom(const RomParameter& rom, uint8_t* destination, uint32_t address,
              uint32_t length) override {
    if (length > kMaxRomTransfer) return Refuse();
    if (!Start({kOpRead, rom.AddressSize, rom.PageSize, address, static_cast<uint16_t>(length)},
               kVendorBufferData) ||
        !Wait(kOpRead, 1, kVendorBufferData)) {
      return 0;
    }
    auto buffer = EncodeVendorRequest(kRequestTypeIn, ROM_DATA, 0, static_cast<uint16_t>(length),
                                      {}, kVendorBufferData);
    if (!Send(buffer)) return 0;
    std::copy_n(buffer.begin() + kVendorRequestHead, length, destination);
    return 1;
  }

  uint8_t GetRomType() override {
    auto buffer = EncodeVendorRequest(kRequestTypeIn, GET_ROM_TYPE, 0, 1, {}, kVendorBufferRomType);
    if (!Send(buffer)) return 0xFF;
    return buffer[kVendorRequestHead] & 1;
  }

  int EraseChip() override {
    return Start({kOpChipErase, 0, 0, 0, 0}, kVendorBufferErase) &&
                   Wait(kOpChipErase, 1000, kVendorBufferErase)
               ? 1
               : 0;
  }

  void GetFirmwareVersion(uint32_t version[2]) override {
    version[0] = version[1] = 0;
    ReadFirmwareVersion(version);
  }

  bool ReadFirmwareVersion(uint32_t version[2]) override {
    auto buffer = EncodeVendorRequest(kRequestTypeIn, GET_FIRMWARE_VERSION, 0, 8, {},
                                      kVendorBufferFirmwareVersion);
    if (!Send(buffer)) return false;
    version[0] = GetLe32(&buffer[kVendorRequestHead]);
    version[1] = GetLe32(&buffer[kVendorRequestHead + 4]);
    return true;
  }

  void GetSideSignature(uint32_t* signature) override { ReadSideSignature(signature); }

  bool ReadSideSignature(uint32_t* signature) override {
    auto buffer = EncodeVendorRequest(kRequestTypeInOther, GET_SIDE_SIGNATURE, 0, 4, {},
                                      kVendorBufferSideSignature);
    if (!Send(buffer)) return false;
    *signature = GetLe32(&buffer[kVendorRequestHead]);
    return true;
  }

  int WriteRom(const RomParameter& rom, const uint8_t* source, uint32_t address,
               uint32_t length) override {
    if (length > rom.PageSize || length > kMaxRomTransfer) return Refuse();
    auto buffer = EncodeVendorRequest(kRequestTypeOut, ROM_DATA, 0, static_cast<uint16_t>(length),
                                      {source, length}, kVendorBufferData);
    if (!Send(buffer)) return 0;
    return Start({kOpWrite, rom.AddressSize, rom.PageSize, address, static_cast<uint16_t>(length)},
                 kVendorBufferData) &&
                   Wait(kOpWrite, 1, kVendorBufferData)
               ? 1
               : 0;
  }

  int EraseSector(const RomParameter& rom, uint32_t address) override {
    return Start({kOpSectorErase, rom.AddressSize, 0, address, 0}, kVendorBufferErase) &&
                   Wait(kOpSectorErase, 1, kVendorBufferErase)
               ? 1
               : 0;
  }

 private:
  int Refuse() {
    host_.SetLastError(kErrorInvalidParameter);
    return 0;
  }

  bool Send(std::vector<uint8_t>& buffer) { return SendVendorRequest(host_, handle_, buffer); }

  bool Start(const AccessRomBlock& block, size_t bufferSize) {
    auto data = EncodeAccessRomBlock(block);
    auto buffer = EncodeVendorRequest(kRequestTypeOut, ACCESS_ROM, 0,
                                      static_cast<uint16_t>(data.size()), data, bufferSize);
    return Send(buffer);
  }

  bool Wait(uint8_t op, uint32_t pauseMs, size_t bufferSize) {
    return WaitForRomOperation(host_, op, pauseMs, [&](bool* done) {
             // A fresh request every round: a stale answer must never read as done.
             auto buffer =
                 EncodeVendorRequest(kRequestTypeIn, GET_ROMLD_STATUS, op, 2, {}, bufferSize);
             if (!Send(buffer)) return false;
             *done = (buffer[kVendorRequestHead] & 1) != 0;
             return true;
           }) == WaitResult::Done;
  }

  Host& host_;
  DeviceHandle handle_;
};

}  // namespace

std::unique_ptr<RomAccessTable> MakeOwnDriverRomAccess(Host& host, DeviceHandle handle) {
  return std::make_unique<OwnDriverRomAccess>(host, handle);
}

}  // namespace zemb
