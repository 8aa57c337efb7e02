#include "bench/bench_host.h"

#include <array>
#include <cstring>

#include "bench/process_stats.h"

namespace zemb::bench {

namespace {

// The camera's objects, wrapped so that the extension unit's node answers
// through BenchHost::UnitProperty. Everything else is the simulated
// machine's own object, passed through; the wrapped object is kept alive
// alongside, so the machine's count of live COM objects stays right.
class UnitControl final : public KsControl {
 public:
  UnitControl(BenchHost& host, std::unique_ptr<KsControl> inner)
      : host_(host), inner_(std::move(inner)) {}
  HResult KsProperty(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength,
                     uint32_t* bytesReturned) override {
    return host_.UnitProperty(property, propertyLength, data, dataLength, bytesReturned);
  }

 private:
  BenchHost& host_;
  std::unique_ptr<KsControl> inner_;
};

class Topology final : public KsTopologyInfo {
 public:
  Topology(BenchHost& host, size_t video, std::unique_ptr<KsTopologyInfo> inner)
      : host_(host), video_(video), inner_(std::move(inner)) {}
  HResult get_NumNodes(uint32_t* count) override { return inner_->get_NumNodes(count); }
  HResult get_NodeType(uint32_t index, Guid* type) override {
    return inner_->get_NodeType(index, type);
  }
  HResult CreateNodeInstance(uint32_t index, std::unique_ptr<KsControl>* control) override {
    HResult hr = inner_->CreateNodeInstance(index, control);
    if (!Succeeded(hr) || control == nullptr || *control == nullptr) return hr;
    const auto& videos = host_.Machine().videos;
    if (video_ < videos.size() && videos[video_].device && index < videos[video_].nodes.size() &&
        videos[video_].nodes[index].extensionUnit && host_.Device() != nullptr) {
      *control = std::make_unique<UnitControl>(host_, std::move(*control));
    }
    return hr;
  }

 private:
  BenchHost& host_;
  size_t video_;
  std::unique_ptr<KsTopologyInfo> inner_;
};

class Filter final : public VideoFilter {
 public:
  Filter(BenchHost& host, size_t video, std::unique_ptr<VideoFilter> inner)
      : host_(host), video_(video), inner_(std::move(inner)) {}
  HResult QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>* topology) override {
    HResult hr = inner_->QueryTopologyInfo(topology);
    if (Succeeded(hr) && topology != nullptr && *topology != nullptr) {
      *topology = std::make_unique<Topology>(host_, video_, std::move(*topology));
    }
    return hr;
  }

 private:
  BenchHost& host_;
  size_t video_;
  std::unique_ptr<VideoFilter> inner_;
};

class Moniker final : public VideoMoniker {
 public:
  Moniker(BenchHost& host, size_t video, std::unique_ptr<VideoMoniker> inner)
      : host_(host), video_(video), inner_(std::move(inner)) {}
  HResult BindToStorage(std::unique_ptr<PropertyBag>* bag) override {
    return inner_->BindToStorage(bag);
  }
  HResult BindToObject(std::unique_ptr<VideoFilter>* filter) override {
    HResult hr = inner_->BindToObject(filter);
    if (Succeeded(hr) && filter != nullptr && *filter != nullptr) {
      *filter = std::make_unique<Filter>(host_, video_, std::move(*filter));
    }
    return hr;
  }

 private:
  BenchHost& host_;
  size_t video_;
  std::unique_ptr<VideoMoniker> inner_;
};

class Monikers final : public MonikerEnumerator {
 public:
  Monikers(BenchHost& host, std::unique_ptr<MonikerEnumerator> inner)
      : host_(host), inner_(std::move(inner)) {}
  HResult Next(std::unique_ptr<VideoMoniker>* moniker) override {
    HResult hr = inner_->Next(moniker);
    // The machine hands out its cameras in order.
    if (hr == kHrOk && moniker != nullptr && *moniker != nullptr) {
      *moniker = std::make_unique<Moniker>(host_, next_, std::move(*moniker));
      ++next_;
    }
    return hr;
  }

 private:
  BenchHost& host_;
  std::unique_ptr<MonikerEnumerator> inner_;
  size_t next_ = 0;
};

class DeviceEnumerator final : public SystemDeviceEnumerator {
 public:
  DeviceEnumerator(BenchHost& host, std::unique_ptr<SystemDeviceEnumerator> inner)
      : host_(host), inner_(std::move(inner)) {}
  HResult CreateClassEnumerator(const Guid& category,
                                std::unique_ptr<MonikerEnumerator>* enumerator,
                                uint32_t flags) override {
    HResult hr = inner_->CreateClassEnumerator(category, enumerator, flags);
    if (hr == kHrOk && enumerator != nullptr && *enumerator != nullptr) {
      *enumerator = std::make_unique<Monikers>(host_, std::move(*enumerator));
    }
    return hr;
  }

 private:
  BenchHost& host_;
  std::unique_ptr<SystemDeviceEnumerator> inner_;
};

}  // namespace

BenchHost::BenchHost(sim::SimMachine machine, sim::SimDevice* device, sim::Clock& clock)
    : SimHost(std::move(machine), device, clock, sim::ConsoleMode::Process),
      device_(device),
      clock_(clock) {}

DeviceHandle BenchHost::CreateFile(const std::string& path) {
  DeviceHandle handle = SimHost::CreateFile(path);
  if (handle == kInvalidHandle || device_ == nullptr) return handle;
  for (const auto& member : Machine().ownMembers) {
    if (member.path == path && member.device) deviceHandles_[handle] = false;
  }
  for (const auto& drive : Machine().cdroms) {
    if (drive.path == path && drive.device) deviceHandles_[handle] = true;
  }
  return handle;
}

void BenchHost::CloseHandle(DeviceHandle handle) {
  deviceHandles_.erase(handle);
  SimHost::CloseHandle(handle);
}

bool BenchHost::DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in,
                                uint32_t inLength, void* out, uint32_t outLength,
                                uint32_t* bytesReturned) {
  auto it = deviceHandles_.find(handle);
  if (it == deviceHandles_.end()) {
    return SimHost::DeviceIoControl(handle, controlCode, in, inLength, out, outLength,
                                    bytesReturned);
  }
  // As the simulated machine does it: the request is taken whole before the
  // answer is written, since the tools pass one buffer for both.
  const auto* bytes = static_cast<const uint8_t*>(in);
  request_.assign(bytes, bytes + (bytes != nullptr ? inLength : 0));
  sim::IoctlResult result = it->second
                                ? device_->CdromIoctl(controlCode, request_.data(), inLength,
                                                      static_cast<uint8_t*>(out), outLength)
                                : device_->OwnDriverIoctl(controlCode, request_.data(), inLength,
                                                          static_cast<uint8_t*>(out), outLength);
  if (bytesReturned != nullptr) *bytesReturned = result.bytesReturned;
  if (!result.ok) SetLastError(result.error);
  DrainTrace();
  return result.ok;
}

HResult BenchHost::CreateSystemDeviceEnumerator(
    std::unique_ptr<SystemDeviceEnumerator>* enumerator) {
  HResult hr = SimHost::CreateSystemDeviceEnumerator(enumerator);
  if (Succeeded(hr) && enumerator != nullptr && *enumerator != nullptr) {
    *enumerator = std::make_unique<DeviceEnumerator>(*this, std::move(*enumerator));
  }
  return hr;
}

HResult BenchHost::UnitProperty(const void* property, uint32_t propertyLength, void* data,
                                uint32_t dataLength, uint32_t* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  // The property block is copied as the kernel would copy it in.
  std::array<uint8_t, 64> block{};
  const uint32_t length = propertyLength < block.size() ? propertyLength : block.size();
  if (property != nullptr) std::memcpy(block.data(), property, length);
  uint32_t returned = 0;
  HResult hr = device_->XuKsProperty(property != nullptr ? block.data() : nullptr, length,
                                     static_cast<uint8_t*>(data), dataLength, &returned);
  if (bytesReturned != nullptr) *bytesReturned = returned;
  DrainTrace();
  return hr;
}

void BenchHost::Sleep(uint32_t milliseconds) {
  DrainTrace();
  const uint64_t start = SteadyUs();
  SimHost::Sleep(milliseconds);
  if (pauseOverrunUs_ != 0) clock_.AdvanceUs(pauseOverrunUs_);
  const uint64_t spent = SteadyUs() - start;
  ++pauses_.count;
  pauses_.requestedUs += uint64_t{milliseconds} * 1000;
  pauses_.wallUs += spent;
  if (spent > pauses_.longestUs) pauses_.longestUs = spent;
}

void BenchHost::DrainTrace() {
  if (device_ == nullptr || device_->Trace().empty()) return;
  for (const sim::TraceEntry& entry : device_->Trace()) {
    ++trace_.requests.n[ColumnOf(entry.kind)];
    if (entry.failed) ++trace_.refused;
  }
  device_->ClearTrace();
}

}  // namespace zemb::bench
