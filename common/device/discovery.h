// Finding the device on its host paths: the maker's driver (path 1), a
// CD-ROM drive whose vendor id begins with "Norva" (path 2), a video capture
// device with the device's extension unit (path 3).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/base/console.h"
#include "common/device/device_ids.h"
#include "common/host/host.h"

namespace zemb {

// The device reference of the extension-unit path, owned by the main flow.
// A non-null KsControl means path 3 found the device.
struct XuControlContext {
  Guid PropertySet;
  uint32_t NodeId = 0;
  std::unique_ptr<zemb::KsControl> KsControl;
  std::wstring DevicePath;  // the capture device's path, the unit's name for its lock
};

// One member of an interface list. Returns true while the enumeration may go
// on, false once it has ended. *handle is kInvalidHandle unless the member
// could be opened.
bool OpenDeviceInterface(Host& host, DevInfoList list, const Guid& interfaceClass, uint32_t index,
                         DeviceHandle* handle);

// Walks an interface list, opening each member in turn; `accept` decides on
// each opened member: keep it (true), or have it closed and go on (false).
// `acceptedPath`, when given, receives the kept member's path.
DeviceHandle FirstAcceptedMember(Host& host, const Guid& interfaceClass,
                                 bool (*accept)(Host& host, DeviceHandle handle),
                                 std::string* acceptedPath = nullptr);

// Path 1: the first member of the own-driver class that opens. Only the ROM
// tools look there (the maker's driver has no IO operations); defined here
// inline so that ZembIoAccess, which never names it, links none of it.
inline DeviceHandle GetDriverDeviceHandle(Host& host, std::string* devicePath = nullptr) {
  return FirstAcceptedMember(
      host, kOwnDriverInterfaceGuid, [](Host&, DeviceHandle) { return true; }, devicePath);
}

// Path 2. `console` null: silent (ZembIoAccess); otherwise the "Find Kesh
// device" line is printed when the drive is found. `devicePath`, when
// given, receives the drive's interface path.
DeviceHandle GetNorvaCDROMHandle(Host& host, Console* console, std::string* devicePath = nullptr);

// True when the storage device behind the handle reports a vendor id that
// begins with "Norva" in any letter case. False with the host's last error
// set when the drive did not answer, and with it kErrorSuccess when it
// answered as another drive.
bool IsNorvaStorageDevice(Host& host, DeviceHandle handle);

// Path 3; COM must be initialised on this thread. Fills *context (zeroed
// first). `console` null: silent; otherwise the "Found device" lines and the
// enumerator error are printed.
void FindExtensionUnitDevice(Host& host, Console* console, XuControlContext* context);

// Releases the context's control interface.
void ReleaseXuContext(XuControlContext* context);

enum class DevicePath { None, OwnDriver, CdRom, ExtensionUnit };

// The device one run found, and what it holds open. The main flow owns it
// and releases it (handle, then the control interface and COM) at the end.
struct FoundDevice {
  DevicePath path = DevicePath::None;
  DeviceHandle handle = kInvalidHandle;
  XuControlContext xu;
  std::string devicePath;            // the interface path the unit was found on
  std::unique_ptr<DeviceLock> lock;  // this run's hold on the unit (HoldDevice)
  // Devices discovery passed over that may have been a unit: one line each,
  // "<device path>: <what failed>", so that "no device" never hides a
  // unit that is there but failing or refused.
  std::vector<std::string> notes;
};

// The paths in order, stopping at the first that yields the device; COM is
// initialised only when path 3 runs and uninitialised at once when it finds
// nothing. `ownDriverPath` is path 1 (GetDriverDeviceHandle of the ROM
// tools); null leaves it out, as ZembIoAccess does.
using OwnDriverPath = DeviceHandle (*)(Host& host, std::string* devicePath);
FoundDevice FindDevice(Host& host, Console* console, OwnDriverPath ownDriverPath);

// Which unit FindDevice takes when a station has several: only members whose
// device path `accept` takes are opened or probed, the others are passed
// over as if they were not there; `faces` leaves whole paths out.
struct DeviceChooser {
  bool (*accept)(const std::string& devicePath, const void* context) = nullptr;
  const void* context = nullptr;
  bool own = true, cdrom = true, xu = true;
  bool Accepts(const std::string& devicePath) const {
    return accept == nullptr || accept(devicePath, context);
  }
};
// Path 1 goes through `ownDriverPath` only when the chooser takes every
// path; otherwise the own-driver list is walked here with the chooser.
FoundDevice FindDevice(Host& host, Console* console, OwnDriverPath ownDriverPath,
                       const DeviceChooser& chooser);

// Device paths name one unit in any letter case, as Windows compares them.
bool SameDevicePath(const std::string& a, const std::string& b);

// How long a run waits for another run to release the unit: the longest
// operation that run may be in the middle of (a chip erase), on the host
// tick.
constexpr uint32_t kDeviceLockWaitMs = 600000;
constexpr uint32_t kDeviceLockPollMs = 100;

// Holds the found unit for this run, from discovery until ReleaseDevice, so
// two runs never interleave their requests on one unit. When another run
// has it, says so in one line and waits up to kDeviceLockWaitMs, or until
// an interrupt the tool catches (Host::CatchInterrupts). Returns
// false, with a line saying why, when the unit stays in use or cannot be
// locked; the caller then ends with its fail line.
bool HoldDevice(Host& host, Console& console, FoundDevice* device);

// Closes the handle, releases the control interface and COM, then lets the
// unit go to the next run.
void ReleaseDevice(Host& host, FoundDevice* device);

}  // namespace zemb
