#include "sim/sim_host.h"

#include <sys/stat.h>

#include <cstdio>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "common/host/system_messages.h"
#include "sim/sim_com.h"
#include "sim/sim_units.h"

#if defined(_WIN32)
#include <direct.h>
#else
#include <unistd.h>
#endif

namespace zemb::sim {

const Guid kOwnDriverInterfaceClass = {
    0x7141D015, 0x0587, 0x42DF, {0x97, 0x4E, 0x69, 0x85, 0x36, 0x64, 0xD1, 0x3F}};
const Guid kCdromInterfaceClass = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const Guid kVideoInputCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const Guid kNodeTypeDevSpecific = {
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
// KSNODETYPE_VIDEO_CAMERA_TERMINAL, a node every camera has.
const Guid kNodeTypeOther = {
    0xDFF229E1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

namespace {

constexpr HResult kHrClassNotRegistered = static_cast<HResult>(0x80040154u);
constexpr HResult kHrNotInitialized = static_cast<HResult>(0x800401F0u);

// The simulated units some run holds (TryLockDevice), shared by every host
// in the process: hosts in several threads may take and release at once.
class HeldUnits {
 public:
  static bool TryTake(const void* unit) {
    std::lock_guard<std::mutex> guard(Mutex());
    return Held().insert(unit).second;
  }
  static void Release(const void* unit) {
    std::lock_guard<std::mutex> guard(Mutex());
    Held().erase(unit);
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::set<const void*>& Held() {
    static std::set<const void*> held;
    return held;
  }
};

class SimDeviceLock final : public DeviceLock {
 public:
  explicit SimDeviceLock(const void* unit) : unit_(unit) {}
  ~SimDeviceLock() override { HeldUnits::Release(unit_); }
  SimDeviceLock(const SimDeviceLock&) = delete;
  SimDeviceLock& operator=(const SimDeviceLock&) = delete;

 private:
  const void* unit_;
};

// The own-driver member or CD-ROM drive with `path`, when it opens.
template <typename Entry>
std::optional<size_t> OpenableEntry(const std::vector<Entry>& entries, const std::string& path) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].path == path) {
      if (!entries[i].openable) break;
      return i;
    }
  }
  return std::nullopt;
}

// The unit the own-driver member or CD-ROM drive with `path` reaches.
template <typename Entry>
bool UnitOfEntry(const std::vector<Entry>& entries, const std::string& path, size_t* unit) {
  for (const Entry& entry : entries) {
    if (entry.device && entry.path == path) {
      *unit = entry.unit;
      return true;
    }
  }
  return false;
}

// Device paths are ASCII; discovery names a camera's lock by its path so.
std::string NarrowPath(const std::wstring& path) {
  std::string narrow;
  for (wchar_t c : path) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

}  // namespace

SimMachine MachineFor(const DeviceState& state) {
  SimMachine machine;
  PlugUnit(&machine, 0, "", state);
  return machine;
}

void PlugUnit(SimMachine* machine, size_t unit, const std::string& name, const DeviceState& state) {
  const std::string instance = name.empty() ? kUnlistedInstance : name;
  if (state.ownFace) {
    machine->ownMembers.push_back(
        {"\\\\?\\usb#vid_2e8a&pid_5a01#" + instance + "#{7141d015-0587-42df-974e-69853664d13f}",
         true, true, unit});
  }
  if (state.cdromFace) {
    SimCdrom drive;
    drive.path = "\\\\?\\usbstor#cdrom&ven_norva&prod_kesh#" + instance +
                 "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
    drive.vendorId = "Norva   ";
    drive.device = true;
    drive.unit = unit;
    machine->cdroms.push_back(drive);
  }
  if (state.xuFace) {
    SimVideoDevice camera;
    camera.friendlyName = L"Zemb USB Camera";
    camera.devicePath = L"\\\\?\\usb#vid_2e8a&pid_5a02&mi_00#" +
                        std::wstring(instance.begin(), instance.end()) +
                        L"#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
    camera.device = true;
    camera.unit = unit;
    for (uint32_t i = 0; i <= state.xuNodeId || i < 4; ++i) {
      SimVideoNode node{kNodeTypeOther, false};
      if (i == state.xuNodeId) node = {kNodeTypeDevSpecific, true};
      camera.nodes.push_back(node);
    }
    machine->videos.push_back(camera);
  }
}

SimHost::SimHost(SimMachine machine, SimDevice* device, Clock& clock, ConsoleMode mode)
    : SimHost(std::move(machine),
              device != nullptr ? std::vector<SimDevice*>{device} : std::vector<SimDevice*>{},
              clock, mode) {}

SimHost::SimHost(SimMachine machine, std::vector<SimDevice*> units, Clock& clock, ConsoleMode mode)
    : machine_(std::move(machine)), units_(std::move(units)), clock_(clock), mode_(mode) {
#if !defined(_WIN32)
  ansiColor_ = mode_ == ConsoleMode::Process && isatty(1);
#endif
}

SimHost::~SimHost() = default;

bool SimHost::Called(std::string_view prefix) const {
  for (const auto& call : calls_) {
    if (call.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

void SimHost::ClearConsole() {
  stdout_.clear();
  stderr_.clear();
  colors_.clear();
}

DevInfoList SimHost::GetClassDevs(const Guid& interfaceClass) {
  Record("SetupDiGetClassDevs " + GuidToString(interfaceClass));
  if (interfaceClass == kOwnDriverInterfaceClass && machine_.ownClassFails) {
    lastError_ = kErrorInvalidParameter;
    return kInvalidDevInfoList;
  }
  DevInfoList list = nextHandle_++;
  lists_[list] = interfaceClass;
  return list;
}

bool SimHost::GetDeviceInterfacePath(DevInfoList list, const Guid& interfaceClass, uint32_t index,
                                     std::string* devicePath) {
  auto it = lists_.find(list);
  if (it == lists_.end()) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  devicePath->clear();
  size_t count = 0;
  if (interfaceClass == kOwnDriverInterfaceClass && it->second == interfaceClass) {
    count = machine_.ownMembers.size();
    if (index < count) *devicePath = machine_.ownMembers[index].path;
  } else if (interfaceClass == kCdromInterfaceClass && it->second == interfaceClass) {
    count = machine_.cdroms.size();
    if (index < count) *devicePath = machine_.cdroms[index].path;
  }
  if (index >= count) {
    lastError_ = kErrorNoMoreItems;
    return false;
  }
  return true;
}

void SimHost::DestroyDeviceInfoList(DevInfoList list) {
  Record("SetupDiDestroyDeviceInfoList");
  lists_.erase(list);
}

DeviceHandle SimHost::CreateFile(const std::string& path) {
  Record("CreateFile " + path);
  const std::optional<size_t> own = OpenableEntry(machine_.ownMembers, path);
  const std::optional<size_t> drive = own ? std::nullopt : OpenableEntry(machine_.cdroms, path);
  if (!own && !drive) {
    lastError_ = kErrorAccessDenied;
    return kInvalidHandle;
  }
  DeviceHandle h = nextHandle_++;
  handles_[h] = {drive.has_value(), own ? *own : *drive};
  return h;
}

bool SimHost::DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in,
                              uint32_t inLength, void* out, uint32_t outLength,
                              uint32_t* bytesReturned) {
  if (logCalls_) {
    char line[64];
    std::snprintf(line, sizeof line, "DeviceIoControl 0x%X %u %u",
                  static_cast<unsigned>(controlCode), static_cast<unsigned>(inLength),
                  static_cast<unsigned>(outLength));
    Record(line);
  }
  if (bytesReturned != nullptr) *bytesReturned = 0;
  auto it = handles_.find(handle);
  if (it == handles_.end()) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  // The request is read in full before the answer is written, so one buffer
  // may serve as both.
  request_.assign(static_cast<const uint8_t*>(in),
                  static_cast<const uint8_t*>(in) + (in != nullptr ? inLength : 0));
  IoctlResult result;
  const Target& target = it->second;
  if (!target.cdrom) {
    const SimOwnMember& member = machine_.ownMembers[target.index];
    if (SimDevice* unit = member.device ? Unit(member.unit) : nullptr; unit != nullptr) {
      result = DeviceRequest(member.unit, Face::Own, [&] {
        return unit->OwnDriverIoctl(controlCode, request_.data(), inLength,
                                    static_cast<uint8_t*>(out), outLength);
      });
    } else {
      result = {false, kErrorInvalidFunction, 0};
    }
  } else {
    const SimCdrom& drive = machine_.cdroms[target.index];
    if (SimDevice* unit = drive.device ? Unit(drive.unit) : nullptr; unit != nullptr) {
      result = DeviceRequest(drive.unit, Face::Cdrom, [&] {
        return unit->CdromIoctl(controlCode, request_.data(), inLength, static_cast<uint8_t*>(out),
                                outLength);
      });
    } else if (controlCode == kIoctlStorageQueryProperty && inLength >= 8 && out != nullptr) {
      std::vector<uint8_t> descriptor = BuildStorageDescriptor(drive.vendorId, drive.productId);
      uint32_t n = std::min<uint32_t>(outLength, static_cast<uint32_t>(descriptor.size()));
      if (n < 8) {
        result = {false, kErrorInsufficientBuffer, 0};
      } else {
        std::copy(descriptor.begin(), descriptor.begin() + n, static_cast<uint8_t*>(out));
        result = {true, 0, n};
      }
    } else {
      result = {false, kErrorInvalidFunction, 0};
    }
  }
  if (bytesReturned != nullptr) *bytesReturned = result.bytesReturned;
  if (!result.ok) lastError_ = result.error;
  return result.ok;
}

template <typename Request>
IoctlResult SimHost::DeviceRequest(size_t unit, Face face, Request request) {
  if (uint32_t error = BeforeDeviceRequest(unit, face); error != kErrorSuccess) {
    return {false, error, 0};
  }
  IoctlResult result = request();
  if (uint32_t error = AfterDeviceRequest(); error != kErrorSuccess) {
    return {false, error, 0};
  }
  return result;
}

bool SimHost::UnitOnPath(const std::string& devicePath, size_t* unit) const {
  if (UnitOfEntry(machine_.ownMembers, devicePath, unit) ||
      UnitOfEntry(machine_.cdroms, devicePath, unit)) {
    return true;
  }
  for (const SimVideoDevice& video : machine_.videos) {
    if (video.device && video.devicePath && NarrowPath(*video.devicePath) == devicePath) {
      *unit = video.unit;
      return true;
    }
  }
  // A hand-made machine may show its one unit on any path.
  if (units_.size() == 1) {
    *unit = 0;
    return true;
  }
  return false;
}

std::unique_ptr<DeviceLock> SimHost::TryLockDevice(const std::string& devicePath, bool* busy) {
  *busy = false;
  size_t index = 0;
  SimDevice* unit = UnitOnPath(devicePath, &index) ? Unit(index) : nullptr;
  if (unit == nullptr) {
    lastError_ = kErrorDeviceNotConnected;
    return nullptr;
  }
  if (!HeldUnits::TryTake(unit)) {
    *busy = true;
    return nullptr;
  }
  return std::make_unique<SimDeviceLock>(unit);
}

std::string SimHost::DevicePort(const std::string& devicePath) {
  size_t index = 0;
  SimDevice* unit = UnitOnPath(devicePath, &index) ? Unit(index) : nullptr;
  return unit != nullptr ? unit->State().port : std::string();
}

std::string SimHost::DevicePlug(const std::string& devicePath) {
  size_t index = 0;
  SimDevice* unit = UnitOnPath(devicePath, &index) ? Unit(index) : nullptr;
  return unit != nullptr ? unit->State().plug : std::string();
}

void SimHost::CloseHandle(DeviceHandle handle) {
  auto it = handles_.find(handle);
  if (it == handles_.end()) {
    Record("CloseHandle <invalid>");
    return;
  }
  const Target& target = it->second;
  Record("CloseHandle " + (target.cdrom ? machine_.cdroms[target.index].path
                                        : machine_.ownMembers[target.index].path));
  handles_.erase(it);
}

HResult SimHost::CoInitializeApartment() {
  Record("CoInitializeEx");
  ++comDepth_;
  return comDepth_ == 1 ? kHrOk : kHrFalse;
}

void SimHost::CoUninitialize() {
  Record("CoUninitialize");
  --comDepth_;
}

HResult SimHost::CreateSystemDeviceEnumerator(std::unique_ptr<SystemDeviceEnumerator>* enumerator) {
  Record("CoCreateInstance SystemDeviceEnum");
  if (comDepth_ <= 0) return kHrNotInitialized;
  if (machine_.deviceEnumeratorFails) return kHrClassNotRegistered;
  *enumerator = MakeSimDeviceEnumerator(*this, machine_.videos);
  return kHrOk;
}

void SimHost::Sleep(uint32_t milliseconds) {
  totalSleepMs_ += milliseconds;
  clock_.AdvanceUs(static_cast<uint64_t>(milliseconds) * 1000);
}

uint64_t SimHost::TickCountMs() {
  return clock_.NowUs() / 1000;
}

bool SimHost::FormatSystemMessage(uint32_t error, std::string* text) {
  return WindowsSystemMessage(error, text);
}

void SimHost::CreateDirectory(const std::string& path) {
  Record("CreateDirectory " + path);
#if defined(_WIN32)
  _mkdir(path.c_str());
#else
  mkdir(path.c_str(), 0777);
#endif
}

SimRig::SimRig(DeviceState state) : SimRig(state, MachineFor(state)) {}

SimRig::SimRig(DeviceState state, SimMachine machine)
    : device(std::make_unique<SimDevice>(std::move(state), clock)),
      host(std::make_unique<SimHost>(std::move(machine), device.get(), clock,
                                     ConsoleMode::Capture)) {}

SimRig::SimRig(SimMachine machine)
    : host(std::make_unique<SimHost>(std::move(machine), nullptr, clock, ConsoleMode::Capture)) {}

SimUnitsRig::SimUnitsRig(std::vector<Plugged> plugged) {
  SimMachine machine;
  std::vector<SimDevice*> devices;
  for (Plugged& p : plugged) {
    PlugUnit(&machine, units.size(), p.name, p.state);
    units.push_back(std::make_unique<SimDevice>(std::move(p.state), clock));
    devices.push_back(units.back().get());
  }
  host = std::make_unique<SimHost>(std::move(machine), std::move(devices), clock,
                                   ConsoleMode::Capture);
}

}  // namespace zemb::sim
