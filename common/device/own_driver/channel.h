// How a request reaches the device through the maker's driver: one USB
// vendor control request handed to the driver with one DeviceIoControl.
#pragma once

#include <cstdint>
#include <vector>

#include "common/host/host.h"

namespace zemb {

// Sends the request encoded in `buffer` (EncodeVendorRequest). The same
// buffer carries the request and, for device-to-host requests, the answer.
// False when DeviceIoControl fails; its last error stays.
bool SendVendorRequest(Host& host, DeviceHandle handle, std::vector<uint8_t>& buffer);

}  // namespace zemb
