// Finding the device on its host paths: the maker's driver (path 1), a
// CD-ROM drive whose vendor id begins with "Norva" (path 2), a video capture
// device with the device's extension unit (path 3).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/device/console.h"
#include "common/host/host.h"

namespace zemb {

// The device reference of the extension-unit path, owned by the main flow.
// A non-null KsControl means path 3 found the device.
struct XuControlContext {
  Guid PropertySet;
  uint32_t NodeId = 0;
  std::unique_ptr<zemb::KsControl> KsControl;
  // The camera's DevicePath, for the operator to see which unit it is.
  std::wstring DevicePath;
};

// One member of an interface list. Returns true while the enumeration may go
// on, false once it has ended. *handle is kInvalidHandle unless the member
// could be opened; *path (when given) is the member's device path.
bool OpenDeviceInterface(Host& host, DevInfoList list, const Guid& interfaceClass, uint32_t index,
                         DeviceHandle* handle, std::string* path = nullptr);

// Path 2. `console` null: silent (ZembIoAccess); otherwise the "Find Kesh
// device" line is printed when the drive is found.
// *path (when given) receives the drive's device path.
DeviceHandle GetNorvaCDROMHandle(Host& host, Console* console, std::string* path = nullptr);

// True when the storage device behind the handle reports a vendor id that
// begins with "Norva" in any letter case.
bool IsNorvaStorageDevice(Host& host, DeviceHandle handle);

// Path 3; COM must be initialised on this thread. Fills *context (zeroed
// first). `console` null: silent; otherwise the "Found device" lines and the
// enumerator error are printed.
void FindExtensionUnitDevice(Host& host, Console* console, XuControlContext* context);

// Releases the context's control interface.
void ReleaseXuContext(XuControlContext* context);

// A wide device path as narrow text; characters outside ASCII become '?'.
std::string NarrowPath(const std::wstring& path);

enum class DevicePath { None, OwnDriver, CdRom, ExtensionUnit };

// The device one run found, and what it holds open. The main flow owns it
// and releases it (handle, then the control interface and COM) at the end.
struct FoundDevice {
  DevicePath path = DevicePath::None;
  DeviceHandle handle = kInvalidHandle;
  XuControlContext xu;
  // The interface path of the member opened (own driver, CD-ROM) or the
  // camera's DevicePath (extension unit), as the system names it.
  std::string devicePath;
};

// The paths in order, stopping at the first that yields the device; COM is
// initialised only when path 3 runs and uninitialised at once when it finds
// nothing. `ownDriverPath` is path 1 (GetDriverDeviceHandle of the ROM
// tools); null leaves it out, as ZembIoAccess does.
using OwnDriverPath = DeviceHandle (*)(Host& host, std::string* path);
FoundDevice FindDevice(Host& host, Console* console, OwnDriverPath ownDriverPath);

// Walks an interface list, opening each member in turn; `accept` decides on
// each opened member: keep it (true), or have it closed and go on (false).
// *keptPath (when given) receives the kept member's path.
DeviceHandle FirstAcceptedMember(Host& host, const Guid& interfaceClass,
                                 bool (*accept)(Host& host, DeviceHandle handle),
                                 std::string* keptPath = nullptr);
void ReleaseDevice(Host& host, FoundDevice* device);

}  // namespace zemb
