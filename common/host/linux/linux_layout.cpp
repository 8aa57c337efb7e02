#include "common/host/linux/linux_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/host/win32/scsi_layout.h"

namespace zemb::linux_layout {

namespace sl = scsi_layout;

uint32_t Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case EIO:
    case EREMOTEIO:
    case EOVERFLOW:
      return kErrorIoDevice;
    case ENODEV:
    case ENXIO:
    case ESHUTDOWN:
    case ENOMEDIUM:
      return kErrorDeviceNotConnected;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ETIMEDOUT:
    case ETIME:
      return kErrorTimeout;
    case ENOENT:
      return kErrorFileNotFound;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EINVAL:
    case EFAULT:
    case ERANGE:
      return kErrorInvalidParameter;
    case ENOTTY:
    case ENOSYS:
      return kErrorInvalidFunction;
    case EOPNOTSUPP:
      return kErrorNotSupported;
    case EBUSY:
    case EAGAIN:   // a node another program holds, opened without waiting
      return 170;  // ERROR_BUSY
    case EPIPE:    // a stalled control pipe
    case EPROTO:
    case EILSEQ:
    default:
      return kErrorGenFailure;
  }
}

uint32_t Win32ErrorFromUvcErrno(int error) {
  constexpr uint32_t kErrorNotReady = 21;
  constexpr uint32_t kErrorInvalidState = 5023;
  switch (error) {
    case EBUSY:    // not ready
    case EREMOTE:  // the camera's power state does not allow it
      return kErrorNotReady;
    case EACCES:  // wrong state
      return kErrorInvalidState;
    case ERANGE:  // out of range
    case EINVAL:  // invalid value within the range
      return kErrorInvalidParameter;
    case EIO:  // invalid unit, control or request
      return kErrorIoDevice;
    case EPIPE:
      return kErrorGenFailure;
    default:
      return Win32ErrorFromErrno(error);
  }
}

uint32_t ReadPassThrough(std::span<const uint8_t> request, uint32_t answerLength,
                         PassThrough* packet) {
  if (request.size() < sl::kX86HeaderSize || answerLength < sl::kX86HeaderSize) {
    return kErrorInvalidParameter;
  }
  const uint8_t* in = request.data();
  if (sl::Get16(in + sl::kLengthOffset) != sl::kX86HeaderSize) return kErrorRevisionMismatch;
  PassThrough& p = *packet;
  p.cdbLength = in[sl::kCdbLengthOffset];
  p.dataIn = in[sl::kDataInOffset];
  if (p.cdbLength == 0 || p.cdbLength > sl::kCdbSize || p.dataIn > kDataUnspecified) {
    return kErrorInvalidParameter;
  }
  std::memcpy(p.cdb, in + sl::kX86CdbOffset, sl::kCdbSize);
  const uint64_t seconds = sl::Get32(in + sl::kTimeOutValueOffset);
  p.timeoutMs = static_cast<uint32_t>(std::min<uint64_t>(seconds * 1000, UINT32_MAX));
  p.senseLength = in[sl::kSenseInfoLengthOffset];
  p.senseOffset = sl::Get32(in + sl::kX86SenseInfoOffsetOffset);
  p.dataLength = sl::Get32(in + sl::kDataTransferLengthOffset);
  p.dataOffset = sl::Get32(in + sl::kX86DataBufferOffsetOffset);
  // Both areas are read from the request and written into the answer.
  const uint64_t limit = std::min<uint64_t>(request.size(), answerLength);
  auto inside = [limit](uint64_t offset, uint64_t length) {
    return length == 0 || (offset >= sl::kX86HeaderSize && offset + length <= limit);
  };
  if (!inside(p.senseOffset, p.senseLength) || !inside(p.dataOffset, p.dataLength)) {
    return kErrorInvalidParameter;
  }
  return kErrorSuccess;
}

uint32_t SgTransportError(const SgAnswer& answer) {
  // Host (adapter) codes of the SCSI midlayer.
  constexpr uint16_t kDidNoConnect = 0x01, kDidTimeOut = 0x03, kDidBadTarget = 0x04;
  // Driver codes; the sense flag only says that sense data came back.
  constexpr uint16_t kDriverTimeout = 0x06, kDriverSuggestMask = 0x07;
  switch (answer.hostStatus) {
    case 0:
      break;
    case kDidTimeOut:
      return kErrorSemTimeout;
    case kDidNoConnect:
    case kDidBadTarget:
      return kErrorDeviceNotConnected;
    default:
      return kErrorIoDevice;
  }
  const uint16_t driver = answer.driverStatus & kDriverSuggestMask;
  if (driver == kDriverTimeout) return kErrorSemTimeout;
  if (driver != 0) return kErrorIoDevice;
  return kErrorSuccess;
}

uint32_t WritePassThroughAnswer(const PassThrough& packet, std::span<const uint8_t> request,
                                const SgAnswer& answer, const uint8_t* sense, const uint8_t* data,
                                std::span<uint8_t> out) {
  uint8_t* o = out.data();
  if (o != request.data()) std::memmove(o, request.data(), sl::kX86HeaderSize);
  o[sl::kScsiStatusOffset] = answer.status;
  const uint32_t senseLength = std::min<uint32_t>(answer.senseWritten, packet.senseLength);
  o[sl::kSenseInfoLengthOffset] = static_cast<uint8_t>(senseLength);
  if (senseLength != 0) std::memcpy(o + packet.senseOffset, sense, senseLength);
  // resid is what the device did not move; never more than was asked for.
  const int64_t moved =
      static_cast<int64_t>(packet.dataLength) - std::max<int32_t>(answer.resid, 0);
  const uint32_t transferred = static_cast<uint32_t>(std::max<int64_t>(moved, 0));
  sl::Put32(o + sl::kDataTransferLengthOffset, transferred);
  uint32_t end = sl::kX86HeaderSize;
  if (packet.dataIn == kDataIn && packet.dataLength != 0) {
    std::memcpy(o + packet.dataOffset, data, packet.dataLength);
    end = packet.dataOffset + transferred;
  } else if (senseLength != 0) {
    end = packet.senseOffset + senseLength;
  }
  return end;
}

std::vector<uint8_t> StorageDescriptor(uint8_t deviceType, const std::string& vendor,
                                       const std::string& product, const std::string& revision) {
  constexpr uint32_t kFixedPart = 40;
  std::vector<uint8_t> d(kFixedPart, 0);
  auto append = [&d](const std::string& text) {
    const auto offset = static_cast<uint32_t>(d.size());
    d.insert(d.end(), text.begin(), text.end());
    d.push_back(0);
    return offset;
  };
  const uint32_t vendorOffset = append(vendor);
  const uint32_t productOffset = append(product);
  const uint32_t revisionOffset = append(revision);
  const auto size = static_cast<uint32_t>(d.size());
  sl::Put32(&d[0], size);  // Version: the structure's size, as Windows fills it
  sl::Put32(&d[4], size);
  d[8] = deviceType;
  d[10] = 1;  // RemovableMedia
  sl::Put32(&d[12], vendorOffset);
  sl::Put32(&d[16], productOffset);
  sl::Put32(&d[20], revisionOffset);
  sl::Put32(&d[24], 0);  // no serial number
  sl::Put32(&d[28], 7);  // BusTypeUsb
  return d;
}

std::vector<ExtensionUnit> ExtensionUnits(std::span<const uint8_t> descriptors, int interfaceNumber,
                                          int configuration) {
  constexpr uint8_t kConfiguration = 0x02, kInterface = 0x04, kCsInterface = 0x24;
  constexpr uint8_t kVcExtensionUnit = 0x06;
  constexpr uint8_t kVideoClass = 0x0E, kVideoControl = 0x01;
  constexpr size_t kUnitFixedPart = 24;  // up to bNrInPins, enough for the id and GUID
  std::vector<ExtensionUnit> units;
  bool inVideoControl = false;
  bool inConfiguration = false;
  for (size_t i = 0; i + 2 <= descriptors.size();) {
    const uint8_t length = descriptors[i];
    if (length < 2 || i + length > descriptors.size()) break;
    const uint8_t* d = descriptors.data() + i;
    if (d[1] == kConfiguration && length >= 9) {
      inConfiguration = configuration < 0 || d[5] == configuration;
      inVideoControl = false;
    } else if (d[1] == kInterface && length >= 9) {
      inVideoControl = inConfiguration && d[5] == kVideoClass && d[6] == kVideoControl &&
                       (interfaceNumber < 0 || d[2] == interfaceNumber);
    } else if (inVideoControl && d[1] == kCsInterface && length >= kUnitFixedPart &&
               d[2] == kVcExtensionUnit) {
      ExtensionUnit unit;
      unit.unitId = d[3];
      unit.code.Data1 = sl::Get32(d + 4);
      unit.code.Data2 = sl::Get16(d + 8);
      unit.code.Data3 = sl::Get16(d + 10);
      std::memcpy(unit.code.Data4, d + 12, 8);
      units.push_back(unit);
    }
    i += length;
  }
  return units;
}

std::string UsbPortOf(const std::string& sysfsPath) {
  std::string port;
  size_t start = 0;
  while (start < sysfsPath.size()) {
    size_t end = sysfsPath.find('/', start);
    if (end == std::string::npos) end = sysfsPath.size();
    const std::string part = sysfsPath.substr(start, end - start);
    // Bus number, a dash, then port numbers joined by dots.
    const size_t dash = part.find('-');
    bool isPort = dash != std::string::npos && dash > 0 && dash + 1 < part.size() &&
                  part.find_first_not_of("0123456789") == dash &&
                  part.find_first_not_of("0123456789.", dash + 1) == std::string::npos &&
                  part.back() != '.' && part.find("..") == std::string::npos &&
                  part[dash + 1] != '.';
    if (isPort) port = part;
    start = end + 1;
  }
  return port;
}

std::wstring WideFromUtf8(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    int extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : 0;
    if (c >= 0xF8) extra = 0;
    uint32_t value = extra == 3 ? c & 0x07 : extra == 2 ? c & 0x0F : extra == 1 ? c & 0x1F : c;
    bool valid = true;
    for (int k = 1; valid && k <= extra; ++k) {
      if (i + k >= text.size()) {
        valid = false;
        break;
      }
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      value = (value << 6) | (next & 0x3F);
    }
    if (!valid) {
      out += static_cast<wchar_t>(c);
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(value);
    i += extra + 1;
  }
  return out;
}

}  // namespace zemb::linux_layout
