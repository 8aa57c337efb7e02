// How a request reaches the device on its CD-ROM face: one vendor command
// through IOCTL_SCSI_PASS_THROUGH, judged as the device answered it. Both
// users of the face (the ROM access table and the IO table) send through
// here, so a command the unit refuses fails the same way everywhere.
#pragma once

#include <cstdint>
#include <span>

#include "common/device/requests.h"
#include "common/host/host.h"

namespace zemb {

// The error left as the last error when the IOCTL itself succeeded but the
// device refused the command (ERROR_IO_DEVICE). The callers' error block
// shows it like any other failed request.
constexpr uint32_t kErrorCommandRefused = kErrorIoDevice;

// The error left as the last error when the device answered GOOD but its
// data stage moved fewer bytes than the command asked for: the bytes that
// did not come are not the device's, and a write that did not reach it all
// did not happen as asked.
constexpr uint32_t kErrorShortTransfer = kErrorIoDevice;

constexpr uint8_t kScsiStatusGood = 0x00;

// True when the answer left in `buffer` says the device carried the command
// out: a GOOD status, and no sense data naming an error (a sense key other
// than NO SENSE or RECOVERED ERROR in the sense bytes the driver returned).
bool PassThroughAnsweredGood(std::span<const uint8_t, kPassThroughBufferSize> buffer);

// Sends the filled `buffer`, `length` bytes as input and output. Fails when
// DeviceIoControl fails (its last error stays) or when the device refused
// the command (last error kErrorCommandRefused) or moved fewer data bytes
// than asked (last error kErrorShortTransfer); the buffer then holds
// nothing the caller may take as data.
bool SendPassThrough(Host& host, DeviceHandle handle,
                     std::span<uint8_t, kPassThroughBufferSize> buffer, uint32_t length);

// Fills `buffer` for `cdb` with a data stage of `transferLength` bytes in the
// direction `dataIn` (kScsiDataIn, kScsiDataOut, kScsiDataUnspecified),
// copies `dataOut` (when given) into the data area, and sends it. A command
// the device answers with anything but GOOD fails as a failed IOCTL does:
// its zeroed data area is never taken as what the device read.
bool SendVendorCommand(Host& host, DeviceHandle handle,
                       std::span<uint8_t, kPassThroughBufferSize> buffer, uint8_t dataIn,
                       uint32_t transferLength, const Cdb& cdb, const uint8_t* dataOut = nullptr);

}  // namespace zemb
