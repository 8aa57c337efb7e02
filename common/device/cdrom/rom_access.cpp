// ROM access through the device's CD-ROM face: vendor CDBs with the "ZEMB"
// signature, sent with IOCTL_SCSI_PASS_THROUGH. Reads and writes carry
// their data in the command and are done when it returns. A command the
// device refuses (any SCSI status but GOOD) fails like a failed IOCTL: a
// refused read returns no data, a refused write or erase did not happen.
#include "common/device/rom_access.h"

#include <algorithm>
#include <array>

#include "common/device/cdrom/pass_through.h"
#include "common/device/requests.h"
#include "common/device/rom_wait.h"

namespace zemb {

namespace {

class CdRomRomAccess final : public RomAccessTable {
 public:
  CdRomRomAccess(Console& console, DeviceHandle handle)
      : console_(console), host_(console.GetHost()), handle_(handle) {}

  int ReadRom(const RomParameter& rom, uint8_t* destination, uint32_t address,
              uint32_t length) override {
    if (length > kMaxRomTransfer) return Refuse();
    if (!Send(kScsiDataIn, length,
              CdbRomRead(rom.AddressSize, rom.PageSize, address, static_cast<uint16_t>(length)))) {
      console_.Write("ACCESS_ROM READ DATA ERROR !\n");
      return 0;
    }
    std::copy_n(buffer_.begin() + kPassThroughDataOffset, length, destination);
    return 1;
  }

  uint8_t GetRomType() override {
    if (!Send(kScsiDataIn, 1, CdbQuery(GET_ROM_TYPE, 1))) return 0xFF;
    return buffer_[kPassThroughDataOffset] & 1;
  }

  int EraseChip() override { return Erase(CdbChipErase(), kOpChipErase, 1000); }

  void GetFirmwareVersion(uint32_t version[2]) override {
    if (!ReadFirmwareVersion(version)) console_.Write("GetFirmwareVersion error !\n");
  }

  bool ReadFirmwareVersion(uint32_t version[2]) override {
    if (!Send(kScsiDataIn, 8, CdbQuery(GET_FIRMWARE_VERSION, 8))) return false;
    version[0] = GetLe32(&buffer_[kPassThroughDataOffset]);
    version[1] = GetLe32(&buffer_[kPassThroughDataOffset + 4]);
    return true;
  }

  void GetSideSignature(uint32_t* signature) override {
    if (!ReadSideSignature(signature)) console_.Write("GetSideSignature error !\n");
  }

  bool ReadSideSignature(uint32_t* signature) override {
    if (!Send(kScsiDataIn, 4, CdbQuery(GET_SIDE_SIGNATURE, 4))) return false;
    *signature = GetLe32(&buffer_[kPassThroughDataOffset]);
    return true;
  }

  int WriteRom(const RomParameter& rom, const uint8_t* source, uint32_t address,
               uint32_t length) override {
    if (length > rom.PageSize || length > kMaxRomTransfer) return Refuse();
    if (!Send(kScsiDataOut, length,
              CdbRomWrite(rom.AddressSize, rom.PageSize, address, static_cast<uint16_t>(length)),
              source)) {
      console_.Write("ACCESS_ROM WRITE DATA ERROR !\n");
      return 0;
    }
    return 1;
  }

  int EraseSector(const RomParameter&, uint32_t address) override {
    return Erase(CdbSectorErase(address), kOpSectorErase, 1);
  }

 private:
  int Refuse() {
    host_.SetLastError(kErrorInvalidParameter);
    return 0;
  }

  bool Send(uint8_t dataIn, uint32_t transferLength, const Cdb& cdb,
            const uint8_t* dataOut = nullptr) {
    return SendVendorCommand(host_, handle_, buffer_, dataIn, transferLength, cdb, dataOut);
  }

  int Erase(const Cdb& start, uint8_t op, uint32_t pauseMs) {
    if (!Send(kScsiDataUnspecified, 0, start)) {
      console_.Write("ACCESS_ROM ERROR !\n");
      return 0;
    }
    WaitResult result = WaitForRomOperation(host_, op, pauseMs, [&](bool* done) {
      if (!Send(kScsiDataIn, 2, CdbRomStatus())) {
        console_.Write("GET_ROMLD_STATUS ERROR !\n");
        return false;
      }
      *done = (buffer_[kPassThroughDataOffset] & 1) != 0;
      return true;
    });
    return result == WaitResult::Done ? 1 : 0;
  }

  Console& console_;
  Host& host_;
  DeviceHandle handle_;
  std::array<uint8_t, kPassThroughBufferSize> buffer_{};
};

}  // namespace

std::unique_ptr<RomAccessTable> MakeCdRomRomAccess(Console& console, DeviceHandle handle) {
  return std::make_unique<CdRomRomAccess>(console, handle);
}

}  // namespace zemb
