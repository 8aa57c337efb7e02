// The Linux host: the device's two faces that use the system's own class
// drivers, reached through the kernel's interfaces and answered in the
// seam's Windows vocabulary, so discovery, the transports and the tools are
// the same code as on Windows.
//
//  - The maker's own driver exists only for Windows: its class is empty.
//  - The CD-ROM class lists the SCSI devices of type 5 (sysfs
//    scsi_generic); a member opens its /dev/sgN. The storage property query
//    is answered from the device's sysfs attributes, and a pass-through
//    request becomes one SG_IO.
//  - The video input category lists the V4L2 capture devices; their
//    topology nodes are the UVC extension units in the USB descriptors, and
//    a node's property request becomes one UVCIOC_CTRL_QUERY.
//
// Errors are Linux error numbers turned into Win32 codes once, here
// (linux_layout.h), so the tools print the same error block as on Windows.
// Device nodes are opened with open() on their /dev path and never judged
// by fstat(): test harnesses that stand in for the kernel see only that.
#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/video.h>  // UVC_GET_CUR, UVC_SET_CUR
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/host/host.h"
#include "common/host/linux/linux_layout.h"
#include "common/host/posix_lock.h"
#include "common/host/system_messages.h"
#include "common/host/win32/scsi_layout.h"

namespace zemb {
namespace {

namespace ll = linux_layout;

// The identifiers the portable code asks for (device_ids.h has the same;
// the host does not depend on the device layer).
constexpr Guid kCdromClass = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr Guid kVideoInputCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr Guid kNodeTypeDevSpecific = {
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr uint32_t kIoctlStorageQueryProperty = 0x2D1400;
constexpr uint32_t kIoctlScsiPassThrough = 0x4D004;

constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057u);

constexpr uint32_t kKspNodeSize = 32;
constexpr uint32_t kKsGet = 0x1, kKsSet = 0x2, kKsSetSupport = 0x100, kKsTopology = 0x10000000;

constexpr uint8_t kScsiTypeCdrom = 5;
constexpr uint32_t kMaxSense = 255;

HResult HresultFromWin32(uint32_t error) {
  return error == 0 ? kHrOk : static_cast<HResult>(0x80070000u | (error & 0xFFFFu));
}

// A file's bytes as they are (at most 1 MiB); empty when it cannot be read.
std::string ReadFileBytes(const std::string& path) {
  std::string bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && bytes.size() < (1u << 20)) {
    bytes.append(buffer, n);
  }
  std::fclose(f);
  return bytes;
}

// A sysfs attribute without the kernel's trailing newline.
std::string ReadAttribute(const std::string& path) {
  std::string text = ReadFileBytes(path);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

// The entries of a class folder named `prefix`N, in the order of N.
// opendir/readdir rather than scandir: harnesses that redirect /sys see
// the former.
std::vector<std::pair<unsigned, std::string>> ClassMembers(const char* folder,
                                                           const std::string& prefix) {
  std::vector<std::pair<unsigned, std::string>> members;
  DIR* dir = opendir(folder);
  if (dir == nullptr) return members;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6) continue;
    members.emplace_back(static_cast<unsigned>(std::stoul(digits)), name);
  }
  closedir(dir);
  std::sort(members.begin(), members.end());
  return members;
}

// One clear line for a node the user may not open: without it the tools
// would only say that they found no device. The node may be another
// device's; which one it is cannot be known without opening it.
void ReportNoPermission(Host& host, const std::string& node) {
  host.WriteStderr(node +
                   ": permission denied; if this is the Zemb device, give this user access to it "
                   "(install packaging/70-zemb.rules in /etc/udev/rules.d and join the plugdev "
                   "group)\n");
}

// An open device node, shared by the objects that use it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// --- The camera face --------------------------------------------------------

struct Camera {
  std::wstring name;
  std::wstring path;
  std::vector<ll::ExtensionUnit> units;
  std::shared_ptr<Fd> fd;
};

class LinuxKsControl final : public KsControl {
 public:
  LinuxKsControl(std::shared_ptr<Fd> fd, ll::ExtensionUnit unit)
      : fd_(std::move(fd)), unit_(unit) {}

  HResult KsProperty(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength,
                     uint32_t* bytesReturned) override {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (property == nullptr) return kHrPointer;
    if (propertyLength < kKspNodeSize) return kHrInvalidArg;
    const auto* p = static_cast<const uint8_t*>(property);
    Guid set;
    set.Data1 = scsi_layout::Get32(p);
    set.Data2 = scsi_layout::Get16(p + 4);
    set.Data3 = scsi_layout::Get16(p + 6);
    std::memcpy(set.Data4, p + 8, 8);
    const uint32_t id = scsi_layout::Get32(p + 16);
    const uint32_t flags = scsi_layout::Get32(p + 20);
    // A unit answers only its own property set, as a Windows node without
    // the set does.
    if (!(set == unit_.code) || (flags & kKsTopology) == 0) return kHrSetNotFound;
    const uint32_t type = flags & ~kKsTopology;
    // The set is the unit's by its descriptor; nothing to ask the camera.
    if (type == kKsSetSupport) return kHrOk;
    if (type != kKsGet && type != kKsSet) return HresultFromWin32(kErrorNotSupported);
    if (id == 0 || id > 255) return kHrSetNotFound;
    if (data == nullptr) return kHrPointer;
    if (dataLength == 0 || dataLength > 0xFFFF) return kHrInvalidArg;
    uvc_xu_control_query query = {};
    query.unit = unit_.unitId;
    query.selector = static_cast<uint8_t>(id);
    query.query = type == kKsGet ? UVC_GET_CUR : UVC_SET_CUR;
    query.size = static_cast<uint16_t>(dataLength);
    query.data = static_cast<uint8_t*>(data);
    if (ioctl(fd_->get(), UVCIOC_CTRL_QUERY, &query) != 0) {
      return HresultFromWin32(ll::Win32ErrorFromErrno(errno));
    }
    if (bytesReturned != nullptr && type == kKsGet) *bytesReturned = dataLength;
    return kHrOk;
  }

 private:
  std::shared_ptr<Fd> fd_;
  ll::ExtensionUnit unit_;
};

class LinuxTopology final : public KsTopologyInfo {
 public:
  explicit LinuxTopology(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}

  HResult get_NumNodes(uint32_t* count) override {
    if (count == nullptr) return kHrPointer;
    *count = static_cast<uint32_t>(camera_->units.size());
    return kHrOk;
  }
  HResult get_NodeType(uint32_t index, Guid* nodeType) override {
    if (nodeType == nullptr) return kHrPointer;
    if (index >= camera_->units.size()) return kHrInvalidArg;
    *nodeType = kNodeTypeDevSpecific;
    return kHrOk;
  }
  HResult CreateNodeInstance(uint32_t index, std::unique_ptr<KsControl>* control) override {
    if (control == nullptr) return kHrPointer;
    control->reset();
    if (index >= camera_->units.size()) return kHrInvalidArg;
    *control = std::make_unique<LinuxKsControl>(camera_->fd, camera_->units[index]);
    return kHrOk;
  }

 private:
  std::shared_ptr<Camera> camera_;
};

class LinuxFilter final : public VideoFilter {
 public:
  explicit LinuxFilter(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  HResult QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>* topology) override {
    if (topology == nullptr) return kHrPointer;
    *topology = std::make_unique<LinuxTopology>(camera_);
    return kHrOk;
  }

 private:
  std::shared_ptr<Camera> camera_;
};

class LinuxPropertyBag final : public PropertyBag {
 public:
  explicit LinuxPropertyBag(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  HResult ReadString(std::wstring_view name, std::wstring* value) override {
    if (value == nullptr) return kHrPointer;
    if (name == L"FriendlyName") {
      *value = camera_->name;
    } else if (name == L"DevicePath") {
      *value = camera_->path;
    } else {
      return kHrInvalidArg;
    }
    return kHrOk;
  }

 private:
  std::shared_ptr<Camera> camera_;
};

class LinuxMoniker final : public VideoMoniker {
 public:
  explicit LinuxMoniker(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  HResult BindToStorage(std::unique_ptr<PropertyBag>* bag) override {
    if (bag == nullptr) return kHrPointer;
    *bag = std::make_unique<LinuxPropertyBag>(camera_);
    return kHrOk;
  }
  HResult BindToObject(std::unique_ptr<VideoFilter>* filter) override {
    if (filter == nullptr) return kHrPointer;
    *filter = std::make_unique<LinuxFilter>(camera_);
    return kHrOk;
  }

 private:
  std::shared_ptr<Camera> camera_;
};

class LinuxMonikerEnumerator final : public MonikerEnumerator {
 public:
  explicit LinuxMonikerEnumerator(std::vector<std::shared_ptr<Camera>> cameras)
      : cameras_(std::move(cameras)) {}
  HResult Next(std::unique_ptr<VideoMoniker>* moniker) override {
    if (moniker == nullptr) return kHrPointer;
    moniker->reset();
    if (next_ >= cameras_.size()) return kHrFalse;
    *moniker = std::make_unique<LinuxMoniker>(cameras_[next_++]);
    return kHrOk;
  }

 private:
  std::vector<std::shared_ptr<Camera>> cameras_;
  size_t next_ = 0;
};

// "/sys/class/x/y" + "../../devices/a/b" -> "/sys/devices/a/b".
std::string Normalized(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

// The capture devices of the machine, each open, with its extension units.
std::vector<std::shared_ptr<Camera>> FindCameras(Host& host) {
  std::vector<std::shared_ptr<Camera>> cameras;
  const std::string base = "/sys/class/video4linux/";
  for (const auto& [number, name] : ClassMembers("/sys/class/video4linux", "video")) {
    const std::string node = "/dev/" + name;
    const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      if (errno == EACCES || errno == EPERM) ReportNoPermission(host, node);
      continue;
    }
    auto camera = std::make_shared<Camera>();
    camera->fd = std::make_shared<Fd>(fd);
    v4l2_capability caps = {};
    if (ioctl(fd, VIDIOC_QUERYCAP, &caps) != 0) continue;
    const uint32_t deviceCaps =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? caps.device_caps : caps.capabilities;
    // A UVC camera has a metadata node beside its capture node; only the
    // capture node is a video input.
    if ((deviceCaps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) == 0) continue;
    const char* card = reinterpret_cast<const char*>(caps.card);
    camera->name = ll::WideFromUtf8(std::string(card, strnlen(card, sizeof caps.card)));
    // The sysfs path of the node names the USB port it hangs on, which stays
    // the same across replugs and reboots; the node's number does not.
    char link[4096];
    const ssize_t n = readlink((base + name).c_str(), link, sizeof link - 1);
    const std::string stable =
        n > 0 ? Normalized(link[0] == '/' ? std::string(link, n) : base + std::string(link, n))
              : node;
    camera->path = ll::WideFromUtf8(stable);
    // The node hangs on the VideoControl interface; its USB device (one up)
    // has the descriptors.
    const std::string interfaceDir = base + name + "/device";
    const std::string ifNumber = Trimmed(ReadAttribute(interfaceDir + "/bInterfaceNumber"));
    int interfaceNumber = -1;
    if (!ifNumber.empty() &&
        ifNumber.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
      interfaceNumber = static_cast<int>(std::stoul(ifNumber, nullptr, 16));
    }
    const std::string raw = ReadFileBytes(interfaceDir + "/../descriptors");
    camera->units = ll::ExtensionUnits(
        std::span(reinterpret_cast<const uint8_t*>(raw.data()), raw.size()), interfaceNumber);
    cameras.push_back(std::move(camera));
  }
  return cameras;
}

class LinuxDeviceEnumerator final : public SystemDeviceEnumerator {
 public:
  explicit LinuxDeviceEnumerator(Host& host) : host_(host) {}
  HResult CreateClassEnumerator(const Guid& category,
                                std::unique_ptr<MonikerEnumerator>* enumerator,
                                uint32_t /*flags*/) override {
    if (enumerator == nullptr) return kHrPointer;
    enumerator->reset();
    if (!(category == kVideoInputCategory)) return kHrFalse;
    auto cameras = FindCameras(host_);
    if (cameras.empty()) return kHrFalse;
    *enumerator = std::make_unique<LinuxMonikerEnumerator>(std::move(cameras));
    return kHrOk;
  }

 private:
  Host& host_;
};

// --- The host ---------------------------------------------------------------

class LinuxHost final : public Host {
 public:
  LinuxHost() : color_(isatty(1) != 0) {}

  DevInfoList GetClassDevs(const Guid& interfaceClass) override {
    std::vector<std::string> members;
    // The maker's driver and every other class have no members here.
    if (interfaceClass == kCdromClass) {
      for (const auto& [number, name] : ClassMembers("/sys/class/scsi_generic", "sg")) {
        const std::string type =
            Trimmed(ReadAttribute("/sys/class/scsi_generic/" + name + "/device/type"));
        if (type == std::to_string(kScsiTypeCdrom)) members.push_back("/dev/" + name);
      }
    }
    const DevInfoList list = next_++;
    lists_[list] = std::move(members);
    return list;
  }

  bool GetDeviceInterfacePath(DevInfoList list, const Guid& /*interfaceClass*/, uint32_t index,
                              std::string* devicePath) override {
    if (devicePath != nullptr) devicePath->clear();
    auto it = lists_.find(list);
    if (it == lists_.end()) {
      lastError_ = kErrorInvalidHandle;
      return false;
    }
    if (index >= it->second.size()) {
      lastError_ = kErrorNoMoreItems;
      return false;
    }
    if (devicePath != nullptr) *devicePath = it->second[index];
    return true;
  }

  void DestroyDeviceInfoList(DevInfoList list) override { lists_.erase(list); }

  DeviceHandle CreateFile(const std::string& path) override {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EACCES || error == EPERM) ReportNoPermission(*this, path);
      lastError_ = ll::Win32ErrorFromErrno(error);
      return kInvalidHandle;
    }
    Node node;
    node.fd = fd;
    // /dev/sgN: its sysfs attributes say what the drive is.
    const size_t slash = path.rfind('/');
    node.sysfs = "/sys/class/scsi_generic/" + path.substr(slash + 1) + "/device/";
    const DeviceHandle handle = next_++;
    nodes_[handle] = node;
    return handle;
  }

  bool DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
                       void* out, uint32_t outLength, uint32_t* bytesReturned) override {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    auto it = nodes_.find(handle);
    if (it == nodes_.end()) return Fail(kErrorInvalidHandle);
    if ((in == nullptr && inLength != 0) || (out == nullptr && outLength != 0)) {
      return Fail(kErrorInvalidParameter);
    }
    const auto request = std::span(static_cast<const uint8_t*>(in), in != nullptr ? inLength : 0);
    const auto answer = std::span(static_cast<uint8_t*>(out), out != nullptr ? outLength : 0);
    uint32_t returned = 0;
    uint32_t error;
    switch (controlCode) {
      case kIoctlStorageQueryProperty:
        error = StorageQuery(it->second, request, answer, &returned);
        break;
      case kIoctlScsiPassThrough:
        error = PassThrough(it->second, request, answer, &returned);
        break;
      default:
        error = kErrorInvalidFunction;
        break;
    }
    if (error != kErrorSuccess) return Fail(error);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return true;
  }

  void CloseHandle(DeviceHandle handle) override {
    auto it = nodes_.find(handle);
    if (it == nodes_.end()) return;
    close(it->second.fd);
    nodes_.erase(it);
  }

  // No COM here: the camera objects are plain C++ objects.
  HResult CoInitializeApartment() override { return kHrOk; }
  void CoUninitialize() override {}

  HResult CreateSystemDeviceEnumerator(
      std::unique_ptr<SystemDeviceEnumerator>* enumerator) override {
    if (enumerator == nullptr) return kHrPointer;
    *enumerator = std::make_unique<LinuxDeviceEnumerator>(*this);
    return kHrOk;
  }

  // At least the time asked for, whatever signals arrive.
  void Sleep(uint32_t milliseconds) override {
    timespec left = {static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  uint64_t TickCountMs() override {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  }

  uint32_t GetLastError() override { return lastError_; }
  void SetLastError(uint32_t error) override { lastError_ = error; }

  bool FormatSystemMessage(uint32_t error, std::string* text) override {
    return WindowsSystemMessage(error, text);
  }

  LocalTime GetLocalTime() override {
    const std::time_t now = std::time(nullptr);
    std::tm tm = {};
    localtime_r(&now, &tm);
    return {static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
            static_cast<uint16_t>(tm.tm_mday),        static_cast<uint16_t>(tm.tm_hour),
            static_cast<uint16_t>(tm.tm_min),         static_cast<uint16_t>(tm.tm_sec)};
  }

  void CreateDirectory(const std::string& path) override { mkdir(path.c_str(), 0777); }

  void WriteStdout(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  void WriteStderr(std::string_view text) override {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  void WriteStdoutWide(std::wstring_view text) override {
    std::string utf8;
    for (wchar_t wc : text) {
      const auto c = static_cast<uint32_t>(wc);
      if (c < 0x80) {
        utf8 += static_cast<char>(c);
      } else if (c < 0x800) {
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        utf8 += static_cast<char>(0xE0 | (c >> 12));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        utf8 += static_cast<char>(0xF0 | (c >> 18));
        utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    WriteStdout(utf8);
  }

  // Colours only on a terminal, so redirected output carries no codes.
  void SetTextAttribute(uint16_t attribute) override {
    if (!color_) return;
    const char* code = attribute == kColorGreen ? "\033[92m"
                       : attribute == kColorRed ? "\033[91m"
                                                : "\033[0m";
    std::fputs(code, stdout);
    std::fflush(stdout);
  }

  // A lock file named after the node, in the system's folder for them
  // (world-writable on Debian and most others), else in /tmp.
  std::unique_ptr<DeviceLock> TryLockDevice(const std::string& devicePath, bool* busy) override {
    *busy = false;
    std::string name = "zemb-";
    for (char c : devicePath) {
      name += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') ? c : '_';
    }
    const std::string folder = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
    std::unique_ptr<PosixFileLock> lock;
    int error = 0;
    switch (PosixFileLock::Take(folder + "/" + name + ".lock", false, &lock, &error)) {
      case PosixFileLock::Result::Acquired:
        return std::make_unique<HeldLock>(std::move(lock));
      case PosixFileLock::Result::Busy:
        *busy = true;
        return nullptr;
      case PosixFileLock::Result::Failed:
        break;
    }
    lastError_ = ll::Win32ErrorFromErrno(error);
    return nullptr;
  }

  bool StderrIsTerminal() override { return isatty(2) != 0; }

  void CatchInterrupts() override {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress ends, and the run looks at the flag.
    sigaction(SIGINT, &action, nullptr);
  }

  bool InterruptRequested() override { return interrupted_ != 0; }

 private:
  class HeldLock final : public DeviceLock {
   public:
    explicit HeldLock(std::unique_ptr<PosixFileLock> lock) : lock_(std::move(lock)) {}

   private:
    std::unique_ptr<PosixFileLock> lock_;
  };

  static void OnInterrupt(int) { interrupted_ = 1; }
  static inline volatile std::sig_atomic_t interrupted_ = 0;

  struct Node {
    int fd = -1;
    std::string sysfs;  // the SCSI device's attribute folder, with a final slash
  };

  bool Fail(uint32_t error) {
    lastError_ = error;
    return false;
  }

  // IOCTL_STORAGE_QUERY_PROPERTY, StorageDeviceProperty with the standard
  // query: the descriptor of the drive as sysfs describes it.
  uint32_t StorageQuery(const Node& node, std::span<const uint8_t> request,
                        std::span<uint8_t> answer, uint32_t* returned) {
    if (request.size() < 8) return kErrorInvalidParameter;
    const uint32_t propertyId = scsi_layout::Get32(request.data());
    const uint32_t queryType = scsi_layout::Get32(request.data() + 4);
    if (propertyId != 0) return kErrorNotSupported;
    if (queryType == 1) return kErrorSuccess;  // PropertyExistsQuery
    if (queryType != 0) return kErrorInvalidParameter;
    if (answer.size() < 8) return kErrorInsufficientBuffer;
    const std::string type = Trimmed(ReadAttribute(node.sysfs + "type"));
    if (type.empty()) return kErrorDeviceNotConnected;  // gone since it was listed
    const std::vector<uint8_t> descriptor = ll::StorageDescriptor(
        static_cast<uint8_t>(std::atoi(type.c_str())), ReadAttribute(node.sysfs + "vendor"),
        ReadAttribute(node.sysfs + "model"), ReadAttribute(node.sysfs + "rev"));
    const size_t n = std::min(answer.size(), descriptor.size());
    std::memcpy(answer.data(), descriptor.data(), n);
    *returned = static_cast<uint32_t>(n);
    return kErrorSuccess;
  }

  // IOCTL_SCSI_PASS_THROUGH as one SG_IO.
  uint32_t PassThrough(const Node& node, std::span<const uint8_t> request,
                       std::span<uint8_t> answer, uint32_t* returned) {
    ll::PassThrough packet;
    const auto answerLength = static_cast<uint32_t>(answer.size());
    if (uint32_t error = ll::ReadPassThrough(request, answerLength, &packet)) return error;
    std::vector<uint8_t> data(packet.dataLength, 0);
    if (packet.dataIn == ll::kDataOut && packet.dataLength != 0) {
      std::memcpy(data.data(), request.data() + packet.dataOffset, packet.dataLength);
    }
    uint8_t sense[kMaxSense] = {};
    sg_io_hdr_t io = {};
    io.interface_id = 'S';
    if (packet.dataLength == 0) {
      io.dxfer_direction = SG_DXFER_NONE;
    } else if (packet.dataIn == ll::kDataOut) {
      io.dxfer_direction = SG_DXFER_TO_DEV;
    } else if (packet.dataIn == ll::kDataIn) {
      io.dxfer_direction = SG_DXFER_FROM_DEV;
    } else {
      io.dxfer_direction = SG_DXFER_TO_FROM_DEV;
    }
    io.cmd_len = packet.cdbLength;
    io.cmdp = packet.cdb;
    io.mx_sb_len = static_cast<unsigned char>(packet.senseLength);
    io.sbp = sense;
    io.dxfer_len = packet.dataLength;
    io.dxferp = packet.dataLength != 0 ? data.data() : nullptr;
    io.timeout = packet.timeoutMs;
    if (ioctl(node.fd, SG_IO, &io) != 0) return ll::Win32ErrorFromErrno(errno);
    ll::SgAnswer result;
    result.status = io.status;
    result.hostStatus = io.host_status;
    result.driverStatus = io.driver_status;
    result.senseWritten = io.sb_len_wr;
    result.resid = io.resid;
    if (uint32_t error = ll::SgTransportError(result)) return error;
    *returned = ll::WritePassThroughAnswer(packet, request, result, sense, data.data(), answer);
    return kErrorSuccess;
  }

  bool color_;
  uint32_t lastError_ = 0;
  uintptr_t next_ = 0x100;
  std::map<DevInfoList, std::vector<std::string>> lists_;
  std::map<DeviceHandle, Node> nodes_;
};

}  // namespace

std::unique_ptr<Host> MakeHost() {
  return std::make_unique<LinuxHost>();
}

}  // namespace zemb
