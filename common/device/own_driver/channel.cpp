#include "common/device/own_driver/channel.h"

#include "common/device/device_ids.h"

namespace zemb {

bool SendVendorRequest(Host& host, DeviceHandle handle, std::vector<uint8_t>& buffer) {
  uint32_t returned = 0;
  auto size = static_cast<uint32_t>(buffer.size());
  return host.DeviceIoControl(handle, kOwnDriverControlCode, buffer.data(), size, buffer.data(),
                              size, &returned);
}

}  // namespace zemb
