// The Linux host's camera face: the UVC cameras are the video input
// category, one per VideoControl interface however many capture nodes
// uvcvideo made for it; their topology nodes are the extension units of
// the active configuration's descriptors, and a node's property request
// one UVCIOC_CTRL_QUERY.
//
// The kernel answers a unit only on a node whose video chain holds it, and
// only the controls the unit's descriptor lists; so whether a unit is there
// is asked of the kernel (UVC_GET_LEN of the first control), on each
// capture node of the camera in turn, and each control's size is the one
// the kernel reports.
#include <fcntl.h>
#include <linux/usb/video.h>  // UVC_GET_CUR, UVC_SET_CUR
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "common/host/console_text.h"
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
  explicit Camera(Host& h) : host(h) {}
  Host& host;
  std::wstring name;
  std::wstring path;
  std::vector<ll::ExtensionUnit> units;
  // The capture nodes of the camera's VideoControl interface, in node order.
  std::vector<std::shared_ptr<Fd>> nodes;
  // Per unit: the node whose chain holds it (or none: not there), once asked.
  std::map<uint8_t, std::shared_ptr<Fd>> unitNode;
  std::map<uint8_t, bool> unitAsked;
  // Per unit and control: the size the kernel reported.
  std::map<std::pair<uint8_t, uint8_t>, uint16_t> controlSize;
};

// One UVCIOC_CTRL_QUERY. Ctrl-C stays pending while it runs: the control
// transfer goes on in the kernel whatever happens to the call, and the run
// looks at the interrupt once the request is done.
int ControlQuery(int fd, uvc_xu_control_query* query) {
  sigset_t interrupt, before;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, &before);
  const int rc = ioctl(fd, UVCIOC_CTRL_QUERY, query);
  const int error = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return rc == 0 ? 0 : error;
}

// The size of a control as the kernel reports it (UVC_GET_LEN), or the error
// number it refused with.
int ControlLength(int fd, uint8_t unit, uint8_t selector, uint16_t* length) {
  uint8_t bytes[2] = {};
  uvc_xu_control_query query = {};
  query.unit = unit;
  query.selector = selector;
  query.query = UVC_GET_LEN;
  query.size = sizeof bytes;
  query.data = bytes;
  if (int error = ControlQuery(fd, &query)) return error;
  *length = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
  return 0;
}

class LinuxKsControl final : public KsControl {
 public:
  LinuxKsControl(std::shared_ptr<Camera> camera, ll::ExtensionUnit unit)
      : camera_(std::move(camera)), unit_(unit) {}

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
    const std::shared_ptr<Fd> node = NodeOfUnit();
    if (node == nullptr) return kHrSetNotFound;
    if (type == kKsSetSupport) return kHrOk;
    if (type != kKsGet && type != kKsSet) return HresultFromWin32(kErrorNotSupported);
    if (id == 0 || id > 255) return kHrSetNotFound;
    if (data == nullptr) return kHrPointer;
    if (dataLength == 0 || dataLength > 0xFFFF) return kHrInvalidArg;
    const auto selector = static_cast<uint8_t>(id);
    uint16_t size = 0;
    auto known = camera_->controlSize.find({unit_.unitId, selector});
    if (known != camera_->controlSize.end()) {
      size = known->second;
    } else if (int error = ControlLength(node->get(), unit_.unitId, selector, &size)) {
      return HresultFromWin32(ll::Win32ErrorFromUvcErrno(error));
    } else {
      camera_->controlSize[{unit_.unitId, selector}] = size;
    }
    // uvcvideo refuses any other size (ENOBUFS), which says nothing to an
    // operator; a firmware whose controls differ from what the tools expect
    // is named as such.
    if (size != dataLength) {
      camera_->host.WriteStderr(Utf8FromWide(camera_->path) + ": control " +
                                std::to_string(selector) + " of extension unit " +
                                std::to_string(unit_.unitId) + " holds " + std::to_string(size) +
                                " bytes on this camera, not the " + std::to_string(dataLength) +
                                " this tool uses; the camera's firmware does not match the tool\n");
      return kHrInvalidArg;
    }
    uvc_xu_control_query query = {};
    query.unit = unit_.unitId;
    query.selector = selector;
    query.query = type == kKsGet ? UVC_GET_CUR : UVC_SET_CUR;
    query.size = static_cast<uint16_t>(dataLength);
    query.data = static_cast<uint8_t*>(data);
    if (int error = ControlQuery(node->get(), &query)) {
      return HresultFromWin32(ll::Win32ErrorFromUvcErrno(error));
    }
    if (bytesReturned != nullptr && type == kKsGet) *bytesReturned = dataLength;
    return kHrOk;
  }

 private:
  // The capture node whose chain holds the unit: the first that answers
  // UVC_GET_LEN on the unit's first control. Null when none does.
  std::shared_ptr<Fd> NodeOfUnit() {
    if (!camera_->unitAsked[unit_.unitId]) {
      camera_->unitAsked[unit_.unitId] = true;
      for (const auto& node : camera_->nodes) {
        uint16_t size = 0;
        if (ControlLength(node->get(), unit_.unitId, 1, &size) == 0) {
          camera_->unitNode[unit_.unitId] = node;
          camera_->controlSize[{unit_.unitId, 1}] = size;
          break;
        }
      }
    }
    auto it = camera_->unitNode.find(unit_.unitId);
    return it != camera_->unitNode.end() ? it->second : nullptr;
  }

  std::shared_ptr<Camera> camera_;
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
    *control = std::make_unique<LinuxKsControl>(camera_, camera_->units[index]);
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

// The cameras of the machine: the V4L2 capture nodes grouped by the
// VideoControl interface they hang on, each node open, with the extension
// units of the active configuration.
std::vector<std::shared_ptr<Camera>> FindCameras(Host& host) {
  std::vector<std::shared_ptr<Camera>> cameras;
  std::map<std::string, std::shared_ptr<Camera>> byInterface;
  const std::string base = "/sys/class/video4linux/";
  for (const auto& [number, name] : ClassMembers("/sys/class/video4linux", "video")) {
    const std::string node = "/dev/" + name;
    // O_NONBLOCK: an open never waits on the device (it only changes how
    // buffers are dequeued, which the tools never do).
    const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == EACCES || errno == EPERM) ReportNoPermission(host, node);
      continue;
    }
    auto nodeFd = std::make_shared<Fd>(fd);
    v4l2_capability caps = {};
    if (ioctl(fd, VIDIOC_QUERYCAP, &caps) != 0) continue;
    const uint32_t deviceCaps =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? caps.device_caps : caps.capabilities;
    // A UVC camera has a metadata node beside each capture node; only the
    // capture nodes are a video input.
    if ((deviceCaps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) == 0) continue;
    // The node hangs on the VideoControl interface, as every other capture
    // node of the same camera does; its USB device (one up) has the
    // descriptors.
    const std::string interfaceDir = base + name + "/device";
    // The sysfs path of the node names the USB port it hangs on, which stays
    // the same across replugs and reboots; the node's number does not.
    char link[4096];
    ssize_t n = readlink((base + name).c_str(), link, sizeof link - 1);
    const std::string stable =
        n > 0 ? Normalized(link[0] == '/' ? std::string(link, n) : base + std::string(link, n))
              : node;
    n = readlink(interfaceDir.c_str(), link, sizeof link - 1);
    const std::string interfaceKey =
        n > 0 ? Normalized(link[0] == '/' ? std::string(link, n)
                                          : stable + "/" + std::string(link, n))
              : stable;
    auto seen = byInterface.find(interfaceKey);
    if (seen != byInterface.end()) {
      seen->second->nodes.push_back(std::move(nodeFd));
      continue;
    }
    auto camera = std::make_shared<Camera>(host);
    camera->nodes.push_back(std::move(nodeFd));
    const char* card = reinterpret_cast<const char*>(caps.card);
    camera->name = ll::WideFromUtf8(std::string(card, strnlen(card, sizeof caps.card)));
    camera->path = ll::WideFromUtf8(stable);
    const std::string ifNumber = Trimmed(ReadAttribute(interfaceDir + "/bInterfaceNumber"));
    int interfaceNumber = -1;
    if (!ifNumber.empty() &&
        ifNumber.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
      interfaceNumber = static_cast<int>(std::stoul(ifNumber, nullptr, 16));
    }
    const std::string active = Trimmed(ReadAttribute(interfaceDir + "/../bConfigurationValue"));
    const int configuration = !active.empty() &&
                                      active.find_first_not_of("0123456789") == std::string::npos &&
                                      active.size() < 4
                                  ? std::stoi(active)
                                  : -1;
    const std::string raw = ReadFileBytes(interfaceDir + "/../descriptors");
    camera->units =
        ll::ExtensionUnits(std::span(reinterpret_cast<const uint8_t*>(raw.data()), raw.size()),
                           interfaceNumber, configuration);
    byInterface[interfaceKey] = camera;
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
