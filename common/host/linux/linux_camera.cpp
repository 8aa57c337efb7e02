// The Linux host's camera face: the V4L2 capture devices are the video
// input category, their topology nodes the UVC extension units in the USB
// descriptors, and a node's property request one UVCIOC_CTRL_QUERY.
#include <fcntl.h>
#include <linux/usb/video.h>  // UVC_GET_CUR, UVC_SET_CUR
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/host/linux/linux_layout.h"
#include "common/host/linux/linux_parts.h"
#include "common/host/win32/scsi_layout.h"

namespace zemb::linux_host {
namespace {

namespace ll = linux_layout;

constexpr Guid kVideoInputCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr Guid kNodeTypeDevSpecific = {
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057u);

constexpr uint32_t kKspNodeSize = 32;
constexpr uint32_t kKsGet = 0x1, kKsSet = 0x2, kKsSetSupport = 0x100, kKsTopology = 0x10000000;

HResult HresultFromWin32(uint32_t error) {
  return error == 0 ? kHrOk : static_cast<HResult>(0x80070000u | (error & 0xFFFFu));
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

// The objects of one camera all stand on it, open while any of them lives.
class OnCamera {
 protected:
  explicit OnCamera(std::shared_ptr<Camera> camera) : camera_(std::move(camera)) {}
  std::shared_ptr<Camera> camera_;
};

// Hands out a new object of the same camera.
template <typename Made, typename Base>
HResult MakeOnCamera(const std::shared_ptr<Camera>& camera, std::unique_ptr<Base>* out) {
  if (out == nullptr) return kHrPointer;
  *out = std::make_unique<Made>(camera);
  return kHrOk;
}

class LinuxTopology final : public KsTopologyInfo, OnCamera {
 public:
  explicit LinuxTopology(std::shared_ptr<Camera> camera) : OnCamera(std::move(camera)) {}

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
};

class LinuxFilter final : public VideoFilter, OnCamera {
 public:
  explicit LinuxFilter(std::shared_ptr<Camera> camera) : OnCamera(std::move(camera)) {}
  HResult QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>* topology) override {
    return MakeOnCamera<LinuxTopology>(camera_, topology);
  }
};

class LinuxPropertyBag final : public PropertyBag, OnCamera {
 public:
  explicit LinuxPropertyBag(std::shared_ptr<Camera> camera) : OnCamera(std::move(camera)) {}
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
};

class LinuxMoniker final : public VideoMoniker, OnCamera {
 public:
  explicit LinuxMoniker(std::shared_ptr<Camera> camera) : OnCamera(std::move(camera)) {}
  HResult BindToStorage(std::unique_ptr<PropertyBag>* bag) override {
    return MakeOnCamera<LinuxPropertyBag>(camera_, bag);
  }
  HResult BindToObject(std::unique_ptr<VideoFilter>* filter) override {
    return MakeOnCamera<LinuxFilter>(camera_, filter);
  }
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

}  // namespace

HResult CreateCameraEnumerator(Host& host, std::unique_ptr<SystemDeviceEnumerator>* enumerator) {
  if (enumerator == nullptr) return kHrPointer;
  *enumerator = std::make_unique<LinuxDeviceEnumerator>(host);
  return kHrOk;
}

}  // namespace zemb::linux_host
