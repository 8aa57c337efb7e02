#include "common/device/discovery.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/base/text.h"
#include "common/device/device_ids.h"
#include "common/device/requests.h"

namespace zemb {

namespace {

bool OpenMember(Host& host, DevInfoList list, const Guid& interfaceClass, uint32_t index,
                DeviceHandle* handle, std::string* path, const DeviceChooser* chooser = nullptr) {
  *handle = kInvalidHandle;
  if (!host.GetDeviceInterfacePath(list, interfaceClass, index, path)) {
    return host.GetLastError() != kErrorNoMoreItems;
  }
  // Another unit than the one chosen is not opened at all: a run on it may
  // be going on.
  if (!path->empty() && (chooser == nullptr || chooser->Accepts(*path))) {
    *handle = host.CreateFile(*path);
  }
  return true;
}

DeviceHandle FirstChosenMember(Host& host, const Guid& interfaceClass,
                               bool (*accept)(Host& host, DeviceHandle handle),
                               std::string* acceptedPath, const DeviceChooser* chooser,
                               FoundDevice* refusals = nullptr);
DeviceHandle ChosenNorvaCdrom(Host& host, Console* console, std::string* devicePath,
                              const DeviceChooser* chooser, FoundDevice* refusals = nullptr);
void FindChosenExtensionUnit(Host& host, Console* console, XuControlContext* context,
                             const DeviceChooser* chooser, FoundDevice* refusals = nullptr);
std::string NarrowPath(const std::wstring& path);

// "<device path>: <what> failed (error N: text)", for FoundDevice::notes.
std::string FailureNote(Host& host, const std::string& path, const char* what, uint32_t error) {
  std::string text;
  if (!host.FormatSystemMessage(error, &text)) text = "no system text is known for this code";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return path + ": " + what + " failed (error " + std::to_string(error) + ": " + text + ")";
}

}  // namespace

bool OpenDeviceInterface(Host& host, DevInfoList list, const Guid& interfaceClass, uint32_t index,
                         DeviceHandle* handle) {
  std::string path;
  return OpenMember(host, list, interfaceClass, index, handle, &path);
}

DeviceHandle FirstAcceptedMember(Host& host, const Guid& interfaceClass,
                                 bool (*accept)(Host& host, DeviceHandle handle),
                                 std::string* acceptedPath) {
  return FirstChosenMember(host, interfaceClass, accept, acceptedPath, nullptr);
}

namespace {

DeviceHandle FirstChosenMember(Host& host, const Guid& interfaceClass,
                               bool (*accept)(Host& host, DeviceHandle handle),
                               std::string* acceptedPath, const DeviceChooser* chooser,
                               FoundDevice* refusals) {
  DevInfoList list = host.GetClassDevs(interfaceClass);
  if (list == kInvalidDevInfoList) return kInvalidHandle;
  DeviceHandle kept = kInvalidHandle;
  for (uint32_t index = 0;; ++index) {
    DeviceHandle handle = kInvalidHandle;
    std::string path;
    if (!OpenMember(host, list, interfaceClass, index, &handle, &path, chooser)) break;
    if (handle == kInvalidHandle) continue;
    host.SetLastError(kErrorSuccess);
    if (accept(host, handle)) {
      kept = handle;
      if (acceptedPath != nullptr) *acceptedPath = path;
      break;
    }
    // A member that did not answer may be a unit that is failing: named,
    // so that "no device" never hides it.
    const uint32_t error = host.GetLastError();
    if (error != kErrorSuccess && refusals != nullptr) {
      refusals->notes.push_back(FailureNote(host, path, "identifying it", error));
    }
    host.CloseHandle(handle);
  }
  host.DestroyDeviceInfoList(list);
  return kept;
}

}  // namespace

bool IsNorvaStorageDevice(Host& host, DeviceHandle handle) {
  if (handle == 0 || handle == kInvalidHandle) return false;
  // STORAGE_PROPERTY_QUERY: StorageDeviceProperty, PropertyStandardQuery.
  uint8_t query[12] = {};
  uint8_t header[8] = {};
  uint32_t returned = 0;
  if (!host.DeviceIoControl(handle, kIoctlStorageQueryProperty, query, sizeof query, header,
                            sizeof header, &returned)) {
    return false;
  }
  // From here a drive that answered but is not one: no error stays behind.
  auto other = [&host] {
    host.SetLastError(kErrorSuccess);
    return false;
  };
  uint32_t size = GetLe32(&header[4]);
  // A descriptor too small to hold its own fixed part, or absurdly large,
  // is not something to allocate for.
  constexpr uint32_t kDescriptorFixedPart = 40;
  if (size < kDescriptorFixedPart || size > 64 * 1024) return other();
  std::vector<uint8_t> descriptor(size, 0);
  if (!host.DeviceIoControl(handle, kIoctlStorageQueryProperty, query, sizeof query,
                            descriptor.data(), size, &returned)) {
    return false;
  }
  uint32_t vendorOffset = GetLe32(&descriptor[12]);
  // The vendor id must lie inside what was returned; offset 0 means none.
  if (vendorOffset == 0 || vendorOffset > size || size - vendorOffset < 5) return other();
  const char* vendor = reinterpret_cast<const char*>(&descriptor[vendorOffset]);
  const char* norva = "Norva";
  for (int i = 0; i < 5; ++i) {
    if (UpperCase(vendor[i]) != UpperCase(norva[i])) return other();
  }
  return true;
}

DeviceHandle GetNorvaCDROMHandle(Host& host, Console* console, std::string* devicePath) {
  return ChosenNorvaCdrom(host, console, devicePath, nullptr);
}

namespace {

DeviceHandle ChosenNorvaCdrom(Host& host, Console* console, std::string* devicePath,
                              const DeviceChooser* chooser, FoundDevice* refusals) {
  DeviceHandle handle = FirstChosenMember(host, kCdromInterfaceGuid, IsNorvaStorageDevice,
                                          devicePath, chooser, refusals);
  if (handle != kInvalidHandle && console != nullptr) {
    console->Write("=> GetNorvaCDROMHandle [INFO] Find Kesh device\n");
  }
  return handle;
}

// ERROR_NOT_SUPPORTED as an HRESULT.
constexpr HResult kHrNotSupported = static_cast<HResult>(0x80070032u);

// Finds the extension unit among the filter's topology nodes. *failed gets
// the answer of a node that failed rather than declined.
HResult FindExtensionUnitNode(VideoFilter* filter, const Guid& propertySet,
                              XuControlContext* context, HResult* failed) {
  if (filter == nullptr) return kHrPointer;
  std::unique_ptr<KsTopologyInfo> topology;
  HResult hr = filter->QueryTopologyInfo(&topology);
  if (!Succeeded(hr) || topology == nullptr) return Succeeded(hr) ? kHrFail : hr;
  uint32_t count = 0;
  hr = topology->get_NumNodes(&count);
  if (!Succeeded(hr)) return hr;
  if (count == 0) return kHrFail;
  for (uint32_t node = 0; node < count; ++node) {
    Guid type;
    if (!Succeeded(topology->get_NodeType(node, &type)) || type != kNodeTypeDevSpecificGuid) {
      continue;
    }
    std::unique_ptr<KsControl> probe;
    if (!Succeeded(topology->CreateNodeInstance(node, &probe)) || probe == nullptr) continue;
    auto property = EncodeKspNode(propertySet, 0, kKsPropertySetSupportTopology, node);
    uint32_t returned = 0;
    hr = probe->KsProperty(property.data(), static_cast<uint32_t>(property.size()), nullptr, 0,
                           &returned);
    probe.reset();
    if (!Succeeded(hr)) {
      // A node of another set says so; any other answer is a node that
      // failed, perhaps the device's own.
      if (hr != kHrSetNotFound && hr != kHrNotFound && hr != kHrNotSupported) *failed = hr;
      continue;
    }
    std::unique_ptr<KsControl> control;
    hr = topology->CreateNodeInstance(node, &control);
    if (Succeeded(hr) && control != nullptr) {
      context->PropertySet = propertySet;
      context->NodeId = node;
      context->KsControl = std::move(control);
      return kHrOk;
    }
    return Succeeded(hr) ? kHrFail : hr;
  }
  return kHrFail;
}

// Device paths are ASCII; anything else only has to name the unit the same
// way in every run.
std::string NarrowPath(const std::wstring& path) {
  std::string narrow;
  for (wchar_t c : path) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

void FindChosenExtensionUnit(Host& host, Console* console, XuControlContext* context,
                             const DeviceChooser* chooser, FoundDevice* refusals) {
  context->PropertySet = Guid{};
  context->NodeId = 0;
  context->KsControl.reset();
  context->DevicePath.clear();
  std::unique_ptr<SystemDeviceEnumerator> devices;
  if (!Succeeded(host.CreateSystemDeviceEnumerator(&devices)) || devices == nullptr) {
    if (console != nullptr)
      console->PrintError("ERROR: Unable to create system device enumerator.\n");
    return;
  }
  std::unique_ptr<MonikerEnumerator> monikers;
  if (devices->CreateClassEnumerator(kVideoInputDeviceCategory, &monikers, 0) != kHrOk ||
      monikers == nullptr) {
    return;
  }
  std::unique_ptr<VideoMoniker> moniker;
  while (context->KsControl == nullptr && monikers->Next(&moniker) == kHrOk) {
    std::unique_ptr<PropertyBag> bag;
    if (moniker == nullptr || !Succeeded(moniker->BindToStorage(&bag)) || bag == nullptr) {
      moniker.reset();
      continue;
    }
    std::wstring name, path;
    bool candidate = false;
    if (Succeeded(bag->ReadString(L"FriendlyName", &name))) {
      if (!Succeeded(bag->ReadString(L"DevicePath", &path))) {
        if (console != nullptr) console->WriteWide(L"  Found device: " + name + L" ignored\n");
      } else {
        if (console != nullptr) {
          console->WriteWide(L"  Found device: " + name + L" [" + path + L"]\n");
        }
        candidate = chooser == nullptr || chooser->Accepts(NarrowPath(path));
      }
    }
    if (candidate) {
      std::unique_ptr<VideoFilter> filter;
      if (Succeeded(moniker->BindToObject(&filter))) {
        HResult failed = kHrOk;
        FindExtensionUnitNode(filter.get(), kExtensionUnitPropertySet, context, &failed);
        if (context->KsControl != nullptr) {
          context->DevicePath = path;
        } else if (failed != kHrOk && refusals != nullptr) {
          refusals->notes.push_back(
              NarrowPath(path) +
              Format(": the extension unit query failed (0x%08X)", static_cast<unsigned>(failed)));
        }
      }
    }
    bag.reset();
    moniker.reset();
  }
}

}  // namespace

void FindExtensionUnitDevice(Host& host, Console* console, XuControlContext* context) {
  FindChosenExtensionUnit(host, console, context, nullptr);
}

void ReleaseXuContext(XuControlContext* context) {
  context->KsControl.reset();
}

FoundDevice FindDevice(Host& host, Console* console, OwnDriverPath ownDriverPath) {
  return FindDevice(host, console, ownDriverPath, DeviceChooser{});
}

FoundDevice FindDevice(Host& host, Console* console, OwnDriverPath ownDriverPath,
                       const DeviceChooser& chooser) {
  FoundDevice found;
  if (ownDriverPath != nullptr && chooser.own) {
    found.handle = chooser.accept == nullptr
                       ? ownDriverPath(host, &found.devicePath)
                       : FirstChosenMember(
                             host, kOwnDriverInterfaceGuid,
                             [](Host&, DeviceHandle) { return true; }, &found.devicePath, &chooser);
    if (found.handle != kInvalidHandle) {
      found.path = DevicePath::OwnDriver;
      return found;
    }
  }
  if (chooser.cdrom) {
    found.handle = ChosenNorvaCdrom(host, console, &found.devicePath, &chooser, &found);
    if (found.handle != kInvalidHandle) {
      found.path = DevicePath::CdRom;
      return found;
    }
  }
  if (!chooser.xu) return found;
  host.CoInitializeApartment();
  FindChosenExtensionUnit(host, console, &found.xu, &chooser, &found);
  if (found.xu.KsControl != nullptr) {
    found.path = DevicePath::ExtensionUnit;
    found.devicePath = NarrowPath(found.xu.DevicePath);
  } else {
    host.CoUninitialize();
  }
  return found;
}

bool SameDevicePath(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCase(a[i]) != UpperCase(b[i])) return false;
  }
  return true;
}

bool HoldDevice(Host& host, Console& console, FoundDevice* device) {
  bool busy = false;
  device->lock = host.TryLockDevice(device->devicePath, &busy);
  if (device->lock != nullptr) return true;
  if (busy) {
    console.Write("    Device is in use by another run, waiting ...\n");
    const uint64_t start = host.TickCountMs();
    // A tool that catches Ctrl-C (zemb) gives up the wait on it; the
    // others end at once, as Ctrl-C ends them.
    while (busy && host.TickCountMs() - start < kDeviceLockWaitMs && !host.InterruptRequested()) {
      host.Sleep(kDeviceLockPollMs);
      device->lock = host.TryLockDevice(device->devicePath, &busy);
      if (device->lock != nullptr) return true;
    }
  }
  if (busy) {
    console.Write("    Device is still in use by another run, giving up !!!\n");
  } else {
    console.Print("    Cannot lock the device for this run, error %u !!!\n",
                  static_cast<unsigned>(host.GetLastError()));
  }
  return false;
}

void ReleaseDevice(Host& host, FoundDevice* device) {
  if (device->handle != kInvalidHandle) {
    host.CloseHandle(device->handle);
    device->handle = kInvalidHandle;
  }
  if (device->path == DevicePath::ExtensionUnit) {
    ReleaseXuContext(&device->xu);
    host.CoUninitialize();
  }
  device->path = DevicePath::None;
  device->lock.reset();
}

}  // namespace zemb
