// IO_ACCESS through the device's extension unit: the 30-byte request
// control (selector 1), written for every operation and read back for the
// two that answer. An operation's result is that of its last control
// request.
#include <algorithm>

#include "common/device/io_access_table.h"
#include "common/device/requests.h"
#include "common/device/xu/xu_control.h"

namespace zemb {

namespace {

// Where the answer sits in the block read back.
constexpr size_t kXuGpioValueOffset = 7;
constexpr size_t kXuI2cDataOffset = 14;

class XuIoAccess final : public IoAccessTable {
 public:
  XuIoAccess(Console& console, XuControlContext& context) : console_(console), context_(context) {}

  int I2cRead(uint8_t i2cAddress, uint8_t regAddressSize, uint32_t regAddress, uint8_t length,
              uint8_t* destination) override {
    if (length > kIoMaxLength) return Refuse();
    XuRequestBlock block =
        XuIoAccessI2c(I2C_READ, i2cAddress, regAddressSize, regAddress, length, nullptr);
    if (!Succeeded(XuRequestWithAnswer(console_, context_, &block))) return 0;
    std::copy_n(block.begin() + kXuI2cDataOffset, length, destination);
    return 1;
  }

  int I2cWrite(uint8_t i2cAddress, uint8_t regAddressSize, uint32_t regAddress, uint8_t length,
               const uint8_t* source) override {
    if (length > kIoMaxLength) return Refuse();
    XuRequestBlock block =
        XuIoAccessI2c(I2C_WRITE, i2cAddress, regAddressSize, regAddress, length, source);
    return Write(block);
  }

  int GpioGet(uint8_t* value) override {
    XuRequestBlock block = XuIoAccessGpio(GPIO_GET, 0);
    if (!Succeeded(XuRequestWithAnswer(console_, context_, &block))) return 0;
    *value = block[kXuGpioValueOffset];
    return 1;
  }

  int GpioSet(const uint8_t* value) override {
    XuRequestBlock block = XuIoAccessGpio(GPIO_SET, *value);
    return Write(block);
  }

  int GpioSetDirection(const uint8_t* value) override {
    XuRequestBlock block = XuIoAccessGpio(GPIO_SET_DIR, *value);
    return Write(block);
  }

 private:
  int Write(XuRequestBlock& block) {
    return Succeeded(XuWriteRequest(console_, context_, block)) ? 1 : 0;
  }

  // The block has room for 16 data bytes; a longer answer would be read
  // from beyond it.
  int Refuse() {
    console_.GetHost().SetLastError(kErrorInvalidParameter);
    return 0;
  }

  Console& console_;
  XuControlContext& context_;
};

}  // namespace

std::unique_ptr<IoAccessTable> MakeXuIoAccess(Console& console, XuControlContext& context) {
  return std::make_unique<XuIoAccess>(console, context);
}

}  // namespace zemb
