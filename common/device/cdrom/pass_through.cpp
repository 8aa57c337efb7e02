#include "common/device/cdrom/pass_through.h"

#include <algorithm>

#include "common/device/device_ids.h"

namespace zemb {

namespace {

constexpr size_t kScsiStatusAt = 2;
constexpr size_t kSenseInfoLengthAt = 7;
constexpr size_t kDataTransferLengthAt = 12;
constexpr uint8_t kSenseKeyNoSense = 0x0;
constexpr uint8_t kSenseKeyRecoveredError = 0x1;

}  // namespace

bool PassThroughAnsweredGood(std::span<const uint8_t, kPassThroughBufferSize> buffer) {
  if (buffer[kScsiStatusAt] != kScsiStatusGood) return false;
  // The driver reports how many sense bytes it returned; the area was zeroed
  // before the command, so only those bytes can be the device's.
  const size_t senseLength = buffer[kSenseInfoLengthAt];
  if (senseLength < 3) return true;
  const uint8_t* sense = buffer.data() + kSenseOffset;
  const uint8_t responseCode = sense[0] & 0x7F;
  uint8_t key = 0;
  if (responseCode == 0x70 || responseCode == 0x71) {
    key = sense[2] & 0x0F;  // fixed format
  } else if (responseCode == 0x72 || responseCode == 0x73) {
    key = sense[1] & 0x0F;  // descriptor format
  } else {
    return true;
  }
  return key == kSenseKeyNoSense || key == kSenseKeyRecoveredError;
}

bool SendPassThrough(Host& host, DeviceHandle handle,
                     std::span<uint8_t, kPassThroughBufferSize> buffer, uint32_t length) {
  // The driver writes back how many bytes the data stage moved; a command
  // that moved fewer than asked is not done, whatever its status says.
  const uint32_t asked = GetLe32(buffer.data() + kDataTransferLengthAt);
  uint32_t returned = 0;
  if (!host.DeviceIoControl(handle, kIoctlScsiPassThrough, buffer.data(), length, buffer.data(),
                            length, &returned)) {
    return false;
  }
  if (!PassThroughAnsweredGood(buffer)) {
    host.SetLastError(kErrorCommandRefused);
    return false;
  }
  if (GetLe32(buffer.data() + kDataTransferLengthAt) < asked) {
    host.SetLastError(kErrorShortTransfer);
    return false;
  }
  return true;
}

bool SendVendorCommand(Host& host, DeviceHandle handle,
                       std::span<uint8_t, kPassThroughBufferSize> buffer, uint8_t dataIn,
                       uint32_t transferLength, const Cdb& cdb, const uint8_t* dataOut) {
  FillPassThrough(buffer, dataIn, transferLength, cdb);
  if (dataOut != nullptr) {
    std::copy_n(dataOut, transferLength, buffer.begin() + kPassThroughDataOffset);
  }
  auto length = static_cast<uint32_t>(kPassThroughDataOffset + transferLength);
  return SendPassThrough(host, handle, buffer, length);
}

}  // namespace zemb
