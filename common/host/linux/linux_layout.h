// The byte work of the Linux host, kept free of kernel headers so it is
// tested on its own: the SCSI pass-through packet the portable code builds
// (the 32-bit SCSI_PASS_THROUGH, scsi_layout.h) taken apart for SG_IO and
// put back together from its answer, the storage device descriptor built
// from what sysfs says of a drive, the extension units of a camera found in
// its USB descriptors, and Linux error numbers in Windows terms.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/host/host.h"

namespace zemb::linux_layout {

// The Win32 error code an operator reads for a Linux error number.
uint32_t Win32ErrorFromErrno(int error);

// The same for a UVCIOC_CTRL_QUERY that failed. After a stalled control
// uvcvideo asks the camera why and hands its answer on as an error number:
// not ready (EBUSY), wrong state (EACCES), power (EREMOTE), out of range
// (ERANGE), invalid unit, control or request (EIO), invalid value (EINVAL);
// EPIPE when the camera gave no reason. Each reads as what it means for the
// device, never as a permission the user lacks.
uint32_t Win32ErrorFromUvcErrno(int error);

// SCSI_PASS_THROUGH DataIn values.
constexpr uint8_t kDataOut = 0;
constexpr uint8_t kDataIn = 1;
constexpr uint8_t kDataUnspecified = 2;

// One pass-through request taken apart: what SG_IO needs, and where the
// answer goes in the portable packet.
struct PassThrough {
  uint8_t dataIn = kDataUnspecified;
  uint8_t cdbLength = 0;
  uint8_t cdb[16] = {};
  uint32_t timeoutMs = 0;
  uint32_t senseOffset = 0, senseLength = 0;
  uint32_t dataOffset = 0, dataLength = 0;
};

// Reads a portable packet whose answer goes to a buffer of `answerLength`
// bytes. Returns kErrorSuccess or the error Windows gives for the same
// packet: kErrorRevisionMismatch for a header Length other than 44,
// kErrorInvalidParameter for a short buffer, a CDB longer than 16 bytes, a
// DataIn value past 2, or a sense or data area outside both buffers.
uint32_t ReadPassThrough(std::span<const uint8_t> request, uint32_t answerLength,
                         PassThrough* packet);

// What SG_IO reported for a command.
struct SgAnswer {
  uint8_t status = 0;  // the SCSI status byte
  uint16_t hostStatus = 0;
  uint16_t driverStatus = 0;
  uint8_t senseWritten = 0;
  int32_t resid = 0;
};

// kErrorSuccess when the command reached the device and it answered (with
// any SCSI status); otherwise the error of the pass-through call itself: a
// command that timed out (kErrorSemTimeout, as Windows reports an expired
// SCSI request), a device that is gone (kErrorDeviceNotConnected), any other
// adapter or driver failure (kErrorIoDevice).
uint32_t SgTransportError(const SgAnswer& answer);

// Writes the answer into `out` (the portable packet, at least as long as the
// request): the request's header with ScsiStatus, SenseInfoLength and
// DataTransferLength set, the sense bytes and, for a data-in command, the
// data. Returns the byte count the call reports: the end of the data that
// came in, or of the packet's fixed part.
uint32_t WritePassThroughAnswer(const PassThrough& packet, std::span<const uint8_t> request,
                                const SgAnswer& answer, const uint8_t* sense, const uint8_t* data,
                                std::span<uint8_t> out);

// A STORAGE_DEVICE_DESCRIPTOR (40-byte fixed part, then the vendor, product
// and revision strings, each NUL-terminated) for a drive of SCSI device
// type `deviceType`.
std::vector<uint8_t> StorageDescriptor(uint8_t deviceType, const std::string& vendor,
                                       const std::string& product, const std::string& revision);

// A UVC extension unit of a camera's VideoControl interface.
struct ExtensionUnit {
  uint8_t unitId = 0;
  Guid code;  // guidExtensionCode
};

// The extension units in a USB device's descriptors (the `descriptors` file
// of the device in sysfs: the device descriptor, then the descriptors of
// every configuration the device has), in the order they appear, on the
// VideoControl interface `interfaceNumber` (any VideoControl interface when
// it is negative) of the configuration whose bConfigurationValue is
// `configuration` (the active one, sysfs bConfigurationValue; any when it
// is negative); a unit of another configuration does not exist while this
// one is active.
std::vector<ExtensionUnit> ExtensionUnits(std::span<const uint8_t> descriptors, int interfaceNumber,
                                          int configuration);

// The USB port of a device in sysfs: the name of the last USB device
// ("1-1.3", bus and the port chain) on `sysfsPath`, the resolved path of a
// device node's class entry; empty when none is on the path (not a USB
// device). A USB interface ("1-1.3:1.0") and a root hub ("usb1") are not
// ports.
std::string UsbPortOf(const std::string& sysfsPath);

// UTF-8 (a V4L2 card name) as wide text; a byte that is not valid UTF-8
// stands for itself.
std::wstring WideFromUtf8(const std::string& text);

}  // namespace zemb::linux_layout
