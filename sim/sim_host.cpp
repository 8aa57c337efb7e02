#include "sim/sim_host.h"

#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <vector>

#include "common/host/system_messages.h"
#include "sim/unit_lock.h"

#if defined(_WIN32)
#include <direct.h>
#include <io.h>
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

constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057u);
constexpr HResult kHrClassNotRegistered = static_cast<HResult>(0x80040154u);
constexpr HResult kHrNotInitialized = static_cast<HResult>(0x800401F0u);

HResult HResultFromWin32(uint32_t error) {
  return static_cast<HResult>(0x80070000u | (error & 0xFFFF));
}

// The simulated devices some run holds (TryLockDevice).
std::set<const void*>& HeldUnits() {
  static std::set<const void*> held;
  return held;
}

class SimDeviceLock final : public DeviceLock {
 public:
  explicit SimDeviceLock(const void* unit) : unit_(unit) { HeldUnits().insert(unit_); }
  ~SimDeviceLock() override { HeldUnits().erase(unit_); }
  SimDeviceLock(const SimDeviceLock&) = delete;
  SimDeviceLock& operator=(const SimDeviceLock&) = delete;

 private:
  const void* unit_;
};

std::string ToUtf8(std::wstring_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
        uint32_t low = static_cast<uint32_t>(text[i + 1]);
        if (low >= 0xDC00 && low < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// COM objects of the simulated machine. Each counts itself live, so a test
// can tell that a tool released everything it was handed.
class SimComObject {
 public:
  explicit SimComObject(SimHost& host) : host_(host) { ++host_.LiveComObjectsRef(); }
  virtual ~SimComObject() { --host_.LiveComObjectsRef(); }
  SimComObject(const SimComObject&) = delete;
  SimComObject& operator=(const SimComObject&) = delete;

 protected:
  SimHost& host_;
};

class SimKsControl : public KsControl, SimComObject {
 public:
  SimKsControl(SimHost& host, const SimVideoDevice& video, uint32_t node)
      : SimComObject(host), video_(video), node_(node) {}
  HResult KsProperty(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength,
                     uint32_t* bytesReturned) override {
    if (host_.LogsCalls()) {
      host_.Record("KsProperty node " + std::to_string(node_) + " length " +
                   std::to_string(dataLength));
    }
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (video_.device && host_.Device() != nullptr && node_ < video_.nodes.size() &&
        video_.nodes[node_].extensionUnit) {
      // The property block is taken whole, as the kernel copies it in.
      prop_.assign(static_cast<const uint8_t*>(property),
                   static_cast<const uint8_t*>(property) + propertyLength);
      if (uint32_t error = host_.BeforeDeviceRequest(Face::Xu); error != kErrorSuccess) {
        return HResultFromWin32(error);
      }
      uint32_t returned = 0;
      HResult hr = host_.Device()->XuKsProperty(prop_.data(), propertyLength,
                                                static_cast<uint8_t*>(data), dataLength, &returned);
      if (uint32_t error = host_.AfterDeviceRequest(); error != kErrorSuccess) {
        return HResultFromWin32(error);
      }
      if (bytesReturned != nullptr) *bytesReturned = returned;
      return hr;
    }
    return kHrSetNotFound;
  }

 private:
  const SimVideoDevice& video_;
  uint32_t node_;
  std::vector<uint8_t> prop_;
};

class SimTopology : public KsTopologyInfo, SimComObject {
 public:
  SimTopology(SimHost& host, const SimVideoDevice& video) : SimComObject(host), video_(video) {}
  HResult get_NumNodes(uint32_t* count) override {
    if (count == nullptr) return kHrPointer;
    *count = static_cast<uint32_t>(video_.nodes.size());
    return kHrOk;
  }
  HResult get_NodeType(uint32_t index, Guid* type) override {
    if (type == nullptr) return kHrPointer;
    if (index >= video_.nodes.size()) return kHrInvalidArg;
    *type = video_.nodes[index].type;
    return kHrOk;
  }
  HResult CreateNodeInstance(uint32_t index, std::unique_ptr<KsControl>* control) override {
    host_.Record("CreateNodeInstance " + std::to_string(index));
    if (control == nullptr) return kHrPointer;
    if (index >= video_.nodes.size()) return kHrInvalidArg;
    *control = std::make_unique<SimKsControl>(host_, video_, index);
    return kHrOk;
  }

 private:
  const SimVideoDevice& video_;
};

class SimFilter : public VideoFilter, SimComObject {
 public:
  SimFilter(SimHost& host, const SimVideoDevice& video) : SimComObject(host), video_(video) {}
  HResult QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>* topology) override {
    if (topology == nullptr) return kHrPointer;
    if (video_.noTopology) return kHrNoInterface;
    *topology = std::make_unique<SimTopology>(host_, video_);
    return kHrOk;
  }

 private:
  const SimVideoDevice& video_;
};

class SimPropertyBag : public PropertyBag, SimComObject {
 public:
  SimPropertyBag(SimHost& host, const SimVideoDevice& video) : SimComObject(host), video_(video) {}
  HResult ReadString(std::wstring_view name, std::wstring* value) override {
    const std::optional<std::wstring>* prop = nullptr;
    if (name == L"FriendlyName") prop = &video_.friendlyName;
    if (name == L"DevicePath") prop = &video_.devicePath;
    if (prop == nullptr || !prop->has_value()) return kHrInvalidArg;
    *value = **prop;
    return kHrOk;
  }

 private:
  const SimVideoDevice& video_;
};

class SimMoniker : public VideoMoniker, SimComObject {
 public:
  SimMoniker(SimHost& host, const SimVideoDevice& video, size_t index)
      : SimComObject(host), video_(video), index_(index) {}
  HResult BindToStorage(std::unique_ptr<PropertyBag>* bag) override {
    if (video_.storageFails) return kHrFail;
    *bag = std::make_unique<SimPropertyBag>(host_, video_);
    return kHrOk;
  }
  HResult BindToObject(std::unique_ptr<VideoFilter>* filter) override {
    host_.Record("BindToObject video " + std::to_string(index_));
    if (video_.filterFails) return kHrFail;
    *filter = std::make_unique<SimFilter>(host_, video_);
    return kHrOk;
  }

 private:
  const SimVideoDevice& video_;
  size_t index_;
};

class SimMonikerEnum : public MonikerEnumerator, SimComObject {
 public:
  SimMonikerEnum(SimHost& host, const std::vector<SimVideoDevice>& videos)
      : SimComObject(host), videos_(videos) {}
  HResult Next(std::unique_ptr<VideoMoniker>* moniker) override {
    if (next_ >= videos_.size()) return kHrFalse;
    *moniker = std::make_unique<SimMoniker>(host_, videos_[next_], next_);
    ++next_;
    return kHrOk;
  }

 private:
  const std::vector<SimVideoDevice>& videos_;
  size_t next_ = 0;
};

class SimDevEnum : public SystemDeviceEnumerator, SimComObject {
 public:
  explicit SimDevEnum(SimHost& host, const std::vector<SimVideoDevice>& videos)
      : SimComObject(host), videos_(videos) {}
  HResult CreateClassEnumerator(const Guid& category,
                                std::unique_ptr<MonikerEnumerator>* enumerator,
                                uint32_t /*flags*/) override {
    host_.Record("CreateClassEnumerator " + GuidToString(category));
    if (category != kVideoInputCategory || videos_.empty()) return kHrFalse;
    *enumerator = std::make_unique<SimMonikerEnum>(host_, videos_);
    return kHrOk;
  }

 private:
  const std::vector<SimVideoDevice>& videos_;
};

}  // namespace

SimMachine MachineFor(const DeviceState& state) {
  SimMachine machine;
  if (state.ownFace) {
    machine.ownMembers.push_back(
        {"\\\\?\\usb#vid_2e8a&pid_5a01#zemb0001#{7141d015-0587-42df-974e-69853664d13f}", true,
         true});
  }
  if (state.cdromFace) {
    SimCdrom drive;
    drive.path =
        "\\\\?\\usbstor#cdrom&ven_norva&prod_kesh#zemb0001#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
    drive.vendorId = "Norva   ";
    drive.device = true;
    machine.cdroms.push_back(drive);
  }
  if (state.xuFace) {
    SimVideoDevice camera;
    camera.friendlyName = L"Zemb USB Camera";
    camera.devicePath =
        L"\\\\?\\usb#vid_2e8a&pid_5a02&mi_00#zemb0001#{65e8773d-8f56-11d0-a3b9-00a0c9223196}"
        L"\\global";
    camera.device = true;
    for (uint32_t i = 0; i <= state.xuNodeId || i < 4; ++i) {
      SimVideoNode node{kNodeTypeOther, false};
      if (i == state.xuNodeId) node = {kNodeTypeDevSpecific, true};
      camera.nodes.push_back(node);
    }
    machine.videos.push_back(camera);
  }
  return machine;
}

SimHost::SimHost(SimMachine machine, SimDevice* device, Clock& clock, ConsoleMode mode)
    : machine_(std::move(machine)), device_(device), clock_(clock), mode_(mode) {
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
  for (size_t i = 0; i < machine_.ownMembers.size(); ++i) {
    if (machine_.ownMembers[i].path == path) {
      if (!machine_.ownMembers[i].openable) break;
      DeviceHandle h = nextHandle_++;
      handles_[h] = {false, i};
      return h;
    }
  }
  for (size_t i = 0; i < machine_.cdroms.size(); ++i) {
    if (machine_.cdroms[i].path == path) {
      if (!machine_.cdroms[i].openable) break;
      DeviceHandle h = nextHandle_++;
      handles_[h] = {true, i};
      return h;
    }
  }
  lastError_ = kErrorAccessDenied;
  return kInvalidHandle;
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
    if (member.device && device_ != nullptr) {
      result = DeviceRequest(Face::Own, [&] {
        return device_->OwnDriverIoctl(controlCode, request_.data(), inLength,
                                       static_cast<uint8_t*>(out), outLength);
      });
    } else {
      result = {false, kErrorInvalidFunction, 0};
    }
  } else {
    const SimCdrom& drive = machine_.cdroms[target.index];
    if (drive.device && device_ != nullptr) {
      result = DeviceRequest(Face::Cdrom, [&] {
        return device_->CdromIoctl(controlCode, request_.data(), inLength,
                                   static_cast<uint8_t*>(out), outLength);
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
IoctlResult SimHost::DeviceRequest(Face face, Request request) {
  if (uint32_t error = BeforeDeviceRequest(face); error != kErrorSuccess) {
    return {false, error, 0};
  }
  IoctlResult result = request();
  if (uint32_t error = AfterDeviceRequest(); error != kErrorSuccess) {
    return {false, error, 0};
  }
  return result;
}

std::unique_ptr<DeviceLock> SimHost::TryLockDevice(const std::string& /*devicePath*/, bool* busy) {
  *busy = false;
  if (device_ == nullptr) {
    lastError_ = kErrorDeviceNotConnected;
    return nullptr;
  }
  if (HeldUnits().count(device_) != 0) {
    *busy = true;
    return nullptr;
  }
  return std::make_unique<SimDeviceLock>(device_);
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
  *enumerator = std::make_unique<SimDevEnum>(*this, machine_.videos);
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

LocalTime SimHost::GetLocalTime() {
  if (fixedTime_) return *fixedTime_;
  if (mode_ == ConsoleMode::Capture) return {2026, 12, 9, 10, 30, 0};
  std::time_t now = std::time(nullptr);
  std::tm tm{};
#if defined(_WIN32)
  localtime_s(&tm, &now);
#else
  localtime_r(&now, &tm);
#endif
  return {static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
          static_cast<uint16_t>(tm.tm_mday),        static_cast<uint16_t>(tm.tm_hour),
          static_cast<uint16_t>(tm.tm_min),         static_cast<uint16_t>(tm.tm_sec)};
}

void SimHost::CreateDirectory(const std::string& path) {
  Record("CreateDirectory " + path);
#if defined(_WIN32)
  _mkdir(path.c_str());
#else
  mkdir(path.c_str(), 0777);
#endif
}

void SimHost::WriteStdout(std::string_view text) {
  if (mode_ == ConsoleMode::Capture) {
    stdout_.append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

void SimHost::WriteStderr(std::string_view text) {
  if (mode_ == ConsoleMode::Capture) {
    stderr_.append(text);
  } else {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
}

void SimHost::WriteStdoutWide(std::wstring_view text) {
  WriteStdout(ToUtf8(text));
}

void SimHost::SetTextAttribute(uint16_t attribute) {
  if (mode_ == ConsoleMode::Capture) {
    colors_.push_back({stdout_.size(), attribute});
    return;
  }
  if (!ansiColor_) return;
  const char* code = attribute == kColorGreen ? "\033[92m"
                     : attribute == kColorRed ? "\033[91m"
                                              : "\033[0m";
  std::fputs(code, stdout);
  std::fflush(stdout);
}

namespace {
// Set by the SIGINT handler of a process that catches interrupts.
volatile std::sig_atomic_t interruptSignalled = 0;
extern "C" void OnInterruptSignal(int) {
  interruptSignalled = 1;
}
}  // namespace

bool SimHost::StderrIsTerminal() {
  if (mode_ == ConsoleMode::Capture) return stderrTerminal_;
#if defined(_WIN32)
  return _isatty(2) != 0;
#else
  return isatty(2) != 0;
#endif
}

void SimHost::CatchInterrupts() {
  catchingInterrupts_ = true;
  if (mode_ == ConsoleMode::Process) std::signal(SIGINT, OnInterruptSignal);
}

bool SimHost::InterruptRequested() {
  if (!catchingInterrupts_) return false;
  ++interruptChecks_;
  if (interruptAtCheck_ != 0 && interruptChecks_ >= interruptAtCheck_) return true;
  return mode_ == ConsoleMode::Process && interruptSignalled != 0;
}

SimRig::SimRig(DeviceState state) : SimRig(state, MachineFor(state)) {}

SimRig::SimRig(DeviceState state, SimMachine machine)
    : device(std::make_unique<SimDevice>(std::move(state), clock)),
      host(std::make_unique<SimHost>(std::move(machine), device.get(), clock,
                                     ConsoleMode::Capture)) {}

SimRig::SimRig(SimMachine machine)
    : host(std::make_unique<SimHost>(std::move(machine), nullptr, clock, ConsoleMode::Capture)) {}

// --- The host of the sim builds of the tools ---------------------------------

namespace {

uint32_t Win32ErrorOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ENOENT:
      return kErrorDeviceNotConnected;
    default:
      return kErrorGenFailure;
  }
}

class HeldRunLock final : public DeviceLock {
 public:
  explicit HeldRunLock(std::unique_ptr<UnitFileLock> lock) : lock_(std::move(lock)) {}

 private:
  std::unique_ptr<UnitFileLock> lock_;
};

// Which file the session last saw under a name: zembsim replaces its files
// whole (a new file renamed over the old), the session writes rom.bin in
// place; either shows as a change here, so nothing is read again unless
// something changed.
struct FileId {
  bool exists = false;
  uint64_t size = 0, inode = 0;
  int64_t modified = 0, modifiedNs = 0, changed = 0;
  bool operator==(const FileId&) const = default;
};

FileId FileIdOf(const std::string& path) {
  FileId id;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return id;
  id.exists = true;
  id.size = static_cast<uint64_t>(st.st_size);
  id.inode = static_cast<uint64_t>(st.st_ino);
  id.modified = static_cast<int64_t>(st.st_mtime);
  id.changed = static_cast<int64_t>(st.st_ctime);
#if !defined(_WIN32)
  id.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_nsec);
#endif
  return id;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  text->clear();
  char chunk[4096];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

std::vector<std::string> ArmedFaults(const DeviceState& state) {
  std::vector<std::string> armed;
  for (const Fault& f : state.faults) {
    if (!f.fired) armed.push_back(FaultToText(f));
  }
  return armed;
}

// What device.txt holds of the state besides the unit's make-up, which no
// request changes: compared after each request, so the text is built and
// written only when one of them did change.
struct SmallState {
  uint8_t gpioData = 0, gpioDirection = 0;
  std::map<uint8_t, std::vector<uint8_t>> i2c;
  std::vector<std::string> armed;

  static bool Same(const SmallState& kept, const DeviceState& s) {
    if (s.gpioData != kept.gpioData || s.gpioDirection != kept.gpioDirection ||
        s.i2c.size() != kept.i2c.size() || ArmedFaults(s) != kept.armed) {
      return false;
    }
    for (const auto& [address, device] : s.i2c) {
      auto it = kept.i2c.find(address);
      if (it == kept.i2c.end() || it->second != device.registers) return false;
    }
    return true;
  }
  static SmallState Of(const DeviceState& s) {
    SmallState kept;
    kept.gpioData = s.gpioData;
    kept.gpioDirection = s.gpioDirection;
    for (const auto& [address, device] : s.i2c) kept.i2c[address] = device.registers;
    kept.armed = ArmedFaults(s);
    return kept;
  }
};

// The machine zembsim plugged into the current directory, kept there the
// way a device keeps its state: every request sees what zembsim changed
// since the one before (a fault armed, a GPIO value set, the unit
// unplugged), and what a request changed is on disk before its answer
// returns (the ROM written in place, device.txt replaced), so a run killed
// half way leaves the ROM half written, as a real one would.
class SimSession : public SimHost {
 public:
  SimSession(std::unique_ptr<RealClock> clock, std::unique_ptr<SimDevice> device,
             SimMachine machine, std::string folder)
      : SimHost(std::move(machine), device.get(), *clock, ConsoleMode::Process),
        clock_(std::move(clock)),
        owned_(std::move(device)),
        folder_(std::move(folder)) {}

  std::unique_ptr<DeviceLock> TryLockDevice(const std::string& /*devicePath*/,
                                            bool* busy) override {
    *busy = false;
    if (owned_ == nullptr) {
      SetLastError(kErrorDeviceNotConnected);
      return nullptr;
    }
    // One lock for the unit, whichever face a run found it on.
    std::unique_ptr<UnitFileLock> lock;
    int error = 0;
    switch (UnitFileLock::Take(folder_ + "/" + kRunLockName, false, &lock, &error)) {
      case UnitFileLock::Result::Acquired:
        return std::make_unique<HeldRunLock>(std::move(lock));
      case UnitFileLock::Result::Busy:
        *busy = true;
        return nullptr;
      case UnitFileLock::Result::Failed:
        break;
    }
    SetLastError(Win32ErrorOf(error));
    return nullptr;
  }

  uint32_t BeforeDeviceRequest(Face face) override {
    // A removed device stays removed for the handles opened on it.
    if (unplugged_) return kErrorDeviceNotConnected;
    int error = 0;
    if (UnitFileLock::Take(folder_ + "/" + kStateLockName, true, &stateLock_, &error) !=
        UnitFileLock::Result::Acquired) {
      if (error == ENOENT) return Unplugged();
      return Fail("the device state cannot be locked: " + std::string(std::strerror(error)));
    }
    const std::string textPath = folder_ + "/device.txt";
    const FileId textId = FileIdOf(textPath);
    const FileId rom = FileIdOf(folder_ + "/rom.bin");
    if (!textId.exists) return Unplugged();
    if (!(textId == keptTextId_) || !(rom == keptRom_)) {
      std::string text;
      if (!ReadSmallFile(textPath, &text)) return Unplugged();
      if (text != keptText_ || !(rom == keptRom_)) {
        DeviceState state;
        std::string why;
        if (!LoadDeviceState(folder_, &state, &why)) {
          if (why.empty()) return Unplugged();
          return Fail("the plugged device cannot be read: " + why);
        }
        const bool rearmed = ArmedFaults(state) != ArmedFaults(owned_->State());
        owned_->State() = std::move(state);
        if (rearmed) owned_->RestartFaultCounts();
        size_t begin = 0, end = 0;
        owned_->TakeRomChange(&begin, &end);  // the file holds the ROM now
        kept_ = SmallState::Of(owned_->State());
        keptText_ = std::move(text);
        keptRom_ = rom;
      }
      keptTextId_ = textId;
    }
    const DeviceState& s = owned_->State();
    const bool present = face == Face::Own     ? s.ownFace
                         : face == Face::Cdrom ? s.cdromFace
                                               : s.xuFace;
    if (!present) return Unplugged();
    return kErrorSuccess;
  }

  uint32_t AfterDeviceRequest() override {
    if (stateLock_ == nullptr) return kErrorDeviceNotConnected;
    std::string why;
    size_t begin = 0, end = 0;
    if (owned_->TakeRomChange(&begin, &end)) {
      if (!WriteRomThrough(folder_, owned_->State(), begin, end, &why)) return Fail(why);
      keptRom_ = FileIdOf(folder_ + "/rom.bin");
    }
    if (!SmallState::Same(kept_, owned_->State())) {
      std::string text = DeviceStateText(owned_->State());
      if (text != keptText_) {
        if (!SaveDeviceText(folder_, text, &why)) return Fail(why);
        keptText_ = std::move(text);
        keptTextId_ = FileIdOf(folder_ + "/device.txt");
      }
      kept_ = SmallState::Of(owned_->State());
    }
    stateLock_.reset();
    return kErrorSuccess;
  }

 private:
  // What Windows reports on the handle of a device that was pulled out.
  uint32_t Unplugged() {
    unplugged_ = true;
    stateLock_.reset();
    return kErrorDeviceNotConnected;
  }

  // A state that cannot be kept fails the request: the tool must not report
  // success for a change the next run will not see.
  uint32_t Fail(const std::string& why) {
    stateLock_.reset();
    std::fprintf(stderr, "zembsim: %s\n", why.c_str());
    return kErrorGenFailure;
  }

  std::unique_ptr<RealClock> clock_;
  std::unique_ptr<SimDevice> owned_;
  std::string folder_;
  std::unique_ptr<UnitFileLock> stateLock_;  // held from before a request to after it
  std::string keptText_;                     // device.txt as last read or written
  FileId keptTextId_;                        // and the file it was in
  FileId keptRom_;                           // rom.bin as last read or written
  SmallState kept_;                          // what keptText_ says of GPIO, I2C, faults
  bool unplugged_ = false;
};

}  // namespace

}  // namespace zemb::sim

namespace zemb {

std::unique_ptr<Host> MakeHost() {
  using namespace sim;
  auto clock = std::make_unique<RealClock>();
  DeviceState state;
  std::string error;
  // Not half way through a zembsim command; a folder that cannot take the
  // lock is still read, and its first request says what is wrong.
  std::unique_ptr<UnitFileLock> stateLock;
  int lockError = 0;
  struct stat st {};
  if (::stat(kSimFolder, &st) == 0) {
    UnitFileLock::Take(std::string(kSimFolder) + "/" + kStateLockName, true, &stateLock,
                       &lockError);
  }
  if (!LoadDeviceState(kSimFolder, &state, &error)) {
    if (!error.empty()) {
      std::fprintf(stderr, "zembsim: the plugged device cannot be read (%s); it is left out\n",
                   error.c_str());
    }
    return std::make_unique<SimSession>(std::move(clock), nullptr, SimMachine{}, kSimFolder);
  }
  stateLock.reset();
  SimMachine machine = MachineFor(state);
  auto device = std::make_unique<SimDevice>(std::move(state), *clock);
  return std::make_unique<SimSession>(std::move(clock), std::move(device), std::move(machine),
                                      kSimFolder);
}

}  // namespace zemb
