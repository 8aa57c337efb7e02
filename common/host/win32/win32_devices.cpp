// The Windows host's device side: SetupAPI device lists, the device handle
// and its I/O controls (with the 64-bit SCSI pass-through packet).
#include <cstddef>
#include <cstdio>
#include <new>
#include <span>

#include "common/host/console_text.h"
#include "common/host/file_names.h"
#include "common/host/win32/scsi_layout.h"
#include "common/host/win32/usb_port.h"
#include "common/host/win32/win32_parts.h"

namespace zemb::win32 {
namespace {

// --- Layouts the portable code builds byte by byte --------------------------

static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(sizeof(KSP_NODE) == 32);
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);
static_assert(sizeof(HANDLE) == sizeof(DeviceHandle) && sizeof(HDEVINFO) == sizeof(DevInfoList));

namespace sl = scsi_layout;
static_assert(offsetof(SCSI_PASS_THROUGH, Length) == sl::kLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == sl::kScsiStatusOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, PathId) == sl::kPathIdOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, TargetId) == sl::kTargetIdOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, Lun) == sl::kLunOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == sl::kCdbLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == sl::kSenseInfoLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == sl::kDataInOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == sl::kDataTransferLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == sl::kTimeOutValueOffset);
static_assert(sizeof(SCSI_PASS_THROUGH::Cdb) == sl::kCdbSize);

// The sizes and offsets that differ between the two architectures. On x86
// the portable packet is this structure byte for byte, so it goes through
// unchanged.
struct ArchLayout {
  size_t interfaceData, detailData, header, dataBufferOffsetAt, dataBufferOffsetSize, senseInfoAt,
      cdbAt;
};
#ifdef _WIN64
constexpr ArchLayout kArch = {32,
                              8,
                              sl::kX64HeaderSize,
                              sl::kX64DataBufferOffsetOffset,
                              8,
                              sl::kX64SenseInfoOffsetOffset,
                              sl::kX64CdbOffset};
#else
constexpr ArchLayout kArch = {28,
                              5,
                              sl::kX86HeaderSize,
                              sl::kX86DataBufferOffsetOffset,
                              4,
                              sl::kX86SenseInfoOffsetOffset,
                              sl::kX86CdbOffset};
#endif
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == kArch.interfaceData);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == kArch.detailData);
static_assert(sizeof(SCSI_PASS_THROUGH) == kArch.header);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == kArch.dataBufferOffsetAt);
static_assert(sizeof(SCSI_PASS_THROUGH::DataBufferOffset) == kArch.dataBufferOffsetSize);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == kArch.senseInfoAt);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == kArch.cdbAt);
#ifdef _WIN64
// A 64-bit process must hand Windows the 64-bit SCSI_PASS_THROUGH, so the
// portable packet is rebuilt in that layout, sent as one buffer for input
// and output (some drivers, and Wine, read the request from the output
// buffer), and the answer is written back in the portable layout.
bool ScsiPassThroughX64(DeviceHandle handle, const void* in, uint32_t inLength, void* out,
                        uint32_t outLength, uint32_t* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (in == nullptr || out == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  scsi_layout::X64Packet packet;
  const uint32_t error =
      scsi_layout::ToX64(std::span(static_cast<const uint8_t*>(in), inLength), outLength, &packet);
  if (error != kErrorSuccess) {
    ::SetLastError(error);
    return false;
  }
  DWORD returned = 0;
  if (!::DeviceIoControl(ToHandle(handle), IOCTL_SCSI_PASS_THROUGH, packet.bytes.get(), packet.size,
                         packet.bytes.get(), packet.size, &returned, nullptr)) {
    // Freeing the packet must not hide the driver's error.
    const DWORD driverError = ::GetLastError();
    packet.bytes.reset();
    ::SetLastError(driverError);
    return false;
  }
  const uint32_t portable =
      scsi_layout::FromX64(packet, returned, std::span(static_cast<uint8_t*>(out), outLength));
  if (bytesReturned != nullptr) *bytesReturned = portable;
  return true;
}
#endif

}  // namespace

DevInfoList OpenClassList(const Guid& interfaceClass) {
  const GUID guid = ToGuid(interfaceClass);
  HDEVINFO list =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  return reinterpret_cast<DevInfoList>(list);
}

bool ListedInterfacePath(DevInfoList list, const Guid& interfaceClass, uint32_t index,
                         std::string* devicePath) {
  if (devicePath != nullptr) devicePath->clear();
  const GUID guid = ToGuid(interfaceClass);
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  if (!SetupDiEnumDeviceInterfaces(ToDevInfo(list), nullptr, &guid, index, &data)) {
    return false;
  }
  if (devicePath == nullptr) return true;

  // The size query fails by design (ERROR_INSUFFICIENT_BUFFER); only the
  // size matters. Without one there is no detail to ask for.
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(ToDevInfo(list), &data, nullptr, 0, &required, nullptr);
  if (required == 0) return true;
  // Never smaller than the fixed part the system writes cbSize into.
  const DWORD size = required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                         ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                         : required;
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]());
  if (!buffer) return true;
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (SetupDiGetDeviceInterfaceDetailA(ToDevInfo(list), &data, detail, size, nullptr, nullptr)) {
    // Bounded by the buffer even if the system left no terminator.
    const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const char* path = detail->DevicePath;
    devicePath->assign(path, strnlen(path, size - pathOffset));
  }
  return true;
}

void CloseClassList(DevInfoList list) {
  if (list == kInvalidDevInfoList) return;
  SetupDiDestroyDeviceInfoList(ToDevInfo(list));
}

DeviceHandle OpenDevice(const std::string& path, bool readWrite) {
  HANDLE handle =
      CreateFileA(path.c_str(), readWrite ? GENERIC_READ | GENERIC_WRITE : 0,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  return reinterpret_cast<DeviceHandle>(handle);
}

bool DeviceControl(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
                   void* out, uint32_t outLength, uint32_t* bytesReturned) {
#ifdef _WIN64
  if (controlCode == IOCTL_SCSI_PASS_THROUGH) {
    return ScsiPassThroughX64(handle, in, inLength, out, outLength, bytesReturned);
  }
#endif
  DWORD returned = 0;
  BOOL ok = ::DeviceIoControl(ToHandle(handle), controlCode, const_cast<void*>(in), inLength, out,
                              outLength, &returned, nullptr);
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return ok != FALSE;
}

namespace {

// The location of the USB device `node` (instance `id`): its first location
// path, or where the system has none, its location information
// ("Port_#0003.Hub_#0002").
std::wstring UsbLocation(HDEVINFO list, const wchar_t* id, DEVINST node) {
  // DEVPKEY_Device_LocationPaths, spelled out: the header defines it only
  // for the one file that instantiates the property keys.
  static const DEVPROPKEY kLocationPaths = {
      {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  if (SetupDiOpenDeviceInfoW(list, id, nullptr, 0, &device)) {
    wchar_t paths[1024] = {};
    DEVPROPTYPE type = 0;
    DWORD size = 0;
    if (SetupDiGetDevicePropertyW(list, &device, &kLocationPaths, &type,
                                  reinterpret_cast<BYTE*>(paths), sizeof paths - sizeof(wchar_t),
                                  &size, 0) &&
        type == DEVPROP_TYPE_STRING_LIST) {
      std::wstring first = FirstOfMultiString(paths, size / sizeof(wchar_t));
      if (!first.empty()) return first;
    }
  }
  wchar_t location[256] = {};
  ULONG type = 0;
  ULONG length = sizeof location - sizeof(wchar_t);
  if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, &type, location, &length,
                                        0) == CR_SUCCESS &&
      type == REG_SZ) {
    return FirstOfMultiString(location, length / sizeof(wchar_t));
  }
  return {};
}

}  // namespace

// Asks the Plug and Play manager only, never the device.
std::string UsbPortOf(const std::string& devicePath) {
  HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (list == INVALID_HANDLE_VALUE) return {};
  std::wstring port;
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof iface;
  SP_DEVINFO_DATA owner = {};
  owner.cbSize = sizeof owner;
  const std::wstring path = WideFromUtf8(devicePath);
  // The detail query fails for want of a buffer but fills in the device
  // the interface belongs to.
  if (SetupDiOpenDeviceInterfaceW(list, path.c_str(), 0, &iface) &&
      (SetupDiGetDeviceInterfaceDetailW(list, &iface, nullptr, 0, nullptr, &owner) ||
       ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) &&
      owner.DevInst != 0) {
    DEVINST node = owner.DevInst;
    // A face is a few levels below its USB device; a tree deeper than this
    // is not a unit's.
    for (int depth = 0; depth < 16; ++depth) {
      wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
      if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) break;
      if (IsUsbDeviceInstance(id)) {
        port = UsbLocation(list, id, node);
        break;
      }
      DEVINST parent = 0;
      if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) break;
      node = parent;
    }
  }
  SetupDiDestroyDeviceInfoList(list);
  return Utf8FromWide(port);
}

// The invalid value is never closed: it doubles as the current-process
// pseudo-handle, and a debugger breaks on closing a bad handle.
void CloseDevice(DeviceHandle handle) {
  if (handle == kInvalidHandle || handle == 0) return;
  ::CloseHandle(ToHandle(handle));
}

}  // namespace zemb::win32
