// IO_ACCESS through the device's CD-ROM face: one vendor CDB per operation,
// sent with IOCTL_SCSI_PASS_THROUGH, with the data in the same command.
#include <algorithm>
#include <array>

#include "common/device/cdrom/pass_through.h"
#include "common/device/io_access_table.h"
#include "common/device/requests.h"

namespace zemb {

namespace {

class CdRomIoAccess final : public IoAccessTable {
 public:
  CdRomIoAccess(Host& host, DeviceHandle handle) : host_(host), handle_(handle) {}

  int I2cRead(uint8_t i2cAddress, uint8_t regAddressSize, uint32_t regAddress, uint8_t length,
              uint8_t* destination) override {
    if (length > kIoMaxLength) return Refuse();
    Request request;
    Cdb cdb = CdbIoAccess(I2C_READ, i2cAddress, regAddressSize, regAddress, length);
    if (!Send(request, kScsiDataIn, length, cdb, nullptr)) return 0;
    std::copy_n(request.begin() + kPassThroughDataOffset, length, destination);
    return 1;
  }

  int I2cWrite(uint8_t i2cAddress, uint8_t regAddressSize, uint32_t regAddress, uint8_t length,
               const uint8_t* source) override {
    if (length > kIoMaxLength) return Refuse();
    Request request;
    Cdb cdb = CdbIoAccess(I2C_WRITE, i2cAddress, regAddressSize, regAddress, length);
    return Send(request, kScsiDataOut, length, cdb, source) ? 1 : 0;
  }

  int GpioGet(uint8_t* value) override {
    Request request;
    if (!Send(request, kScsiDataIn, 1, GpioCdb(GPIO_GET), nullptr)) return 0;
    *value = request[kPassThroughDataOffset];
    return 1;
  }

  int GpioSet(const uint8_t* value) override {
    Request request;
    return Send(request, kScsiDataOut, 1, GpioCdb(GPIO_SET), value) ? 1 : 0;
  }

  int GpioSetDirection(const uint8_t* value) override {
    Request request;
    return Send(request, kScsiDataOut, 1, GpioCdb(GPIO_SET_DIR), value) ? 1 : 0;
  }

 private:
  using Request = std::array<uint8_t, kPassThroughBufferSize>;

  // The GPIO forms carry only the sub-command.
  static Cdb GpioCdb(uint8_t subCommand) { return CdbIoAccess(subCommand, 0, 0, 0, 0); }

  int Refuse() {
    host_.SetLastError(kErrorInvalidParameter);
    return 0;
  }

  // A command the device answers with anything but GOOD (an I2C address no
  // device acknowledges, say) fails: no data of it is shown as read.
  bool Send(Request& request, uint8_t dataIn, uint32_t transferLength, const Cdb& cdb,
            const uint8_t* dataOut) {
    return SendVendorCommand(host_, handle_, request, dataIn, transferLength, cdb, dataOut);
  }

  Host& host_;
  DeviceHandle handle_;
};

}  // namespace

std::unique_ptr<IoAccessTable> MakeCdRomIoAccess(Host& host, DeviceHandle handle) {
  return std::make_unique<CdRomIoAccess>(host, handle);
}

}  // namespace zemb
