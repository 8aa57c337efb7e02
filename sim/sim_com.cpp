// The COM objects of the simulated machine: the system device enumerator,
// the video input monikers, their property bags and filters, the filters'
// topology and the extension unit's node control.
#include "sim/sim_com.h"

#include <optional>
#include <string>
#include <vector>

namespace zemb::sim {

namespace {

constexpr HResult kHrInvalidArg = static_cast<HResult>(0x80070057u);

HResult HResultFromWin32(uint32_t error) {
  return static_cast<HResult>(0x80070000u | (error & 0xFFFF));
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

// An object of one camera of the machine.
class SimVideoObject : protected SimComObject {
 public:
  SimVideoObject(SimHost& host, const SimVideoDevice& video) : SimComObject(host), video_(video) {}

 protected:
  const SimVideoDevice& video_;
};

class SimKsControl : public KsControl, SimVideoObject {
 public:
  SimKsControl(SimHost& host, const SimVideoDevice& video, uint32_t node)
      : SimVideoObject(host, video), node_(node) {}
  HResult KsProperty(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength,
                     uint32_t* bytesReturned) override {
    if (host_.LogsCalls()) {
      host_.Record("KsProperty node " + std::to_string(node_) + " length " +
                   std::to_string(dataLength));
    }
    if (bytesReturned != nullptr) *bytesReturned = 0;
    SimDevice* unit = video_.device ? host_.Unit(video_.unit) : nullptr;
    if (unit != nullptr && node_ < video_.nodes.size() && video_.nodes[node_].extensionUnit) {
      // The property block is taken whole, as the kernel copies it in.
      prop_.assign(static_cast<const uint8_t*>(property),
                   static_cast<const uint8_t*>(property) + propertyLength);
      if (uint32_t error = host_.BeforeDeviceRequest(video_.unit, Face::Xu);
          error != kErrorSuccess) {
        return HResultFromWin32(error);
      }
      uint32_t returned = 0;
      HResult hr = unit->XuKsProperty(prop_.data(), propertyLength, static_cast<uint8_t*>(data),
                                      dataLength, &returned);
      if (uint32_t error = host_.AfterDeviceRequest(); error != kErrorSuccess) {
        return HResultFromWin32(error);
      }
      if (bytesReturned != nullptr) *bytesReturned = returned;
      return hr;
    }
    return kHrSetNotFound;
  }

 private:
  uint32_t node_;
  std::vector<uint8_t> prop_;
};

class SimTopology : public KsTopologyInfo, SimVideoObject {
 public:
  using SimVideoObject::SimVideoObject;
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
};

class SimFilter : public VideoFilter, SimVideoObject {
 public:
  using SimVideoObject::SimVideoObject;
  HResult QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>* topology) override {
    if (topology == nullptr) return kHrPointer;
    if (video_.noTopology) return kHrNoInterface;
    *topology = std::make_unique<SimTopology>(host_, video_);
    return kHrOk;
  }
};

class SimPropertyBag : public PropertyBag, SimVideoObject {
 public:
  using SimVideoObject::SimVideoObject;
  HResult ReadString(std::wstring_view name, std::wstring* value) override {
    const std::optional<std::wstring>* prop = nullptr;
    if (name == L"FriendlyName") prop = &video_.friendlyName;
    if (name == L"DevicePath") prop = &video_.devicePath;
    if (prop == nullptr || !prop->has_value()) return kHrInvalidArg;
    *value = **prop;
    return kHrOk;
  }
};

class SimMoniker : public VideoMoniker, SimVideoObject {
 public:
  SimMoniker(SimHost& host, const SimVideoDevice& video, size_t index)
      : SimVideoObject(host, video), index_(index) {}
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

std::unique_ptr<SystemDeviceEnumerator> MakeSimDeviceEnumerator(
    SimHost& host, const std::vector<SimVideoDevice>& videos) {
  return std::make_unique<SimDevEnum>(host, videos);
}

}  // namespace zemb::sim
