// The firmware side of sim_unit.h: a SimDevice over the state folder.
#include "tests/wine/sim_unit.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_device.h"

using zemb::sim::DeviceState;
using zemb::sim::IoctlResult;

struct ZembSimUnit {
  std::string folder;
  std::mutex lock;  // a driver may be handed requests on several threads
  zemb::sim::RealClock clock;
  std::unique_ptr<zemb::sim::SimDevice> device;
};

namespace {

// What a request can change and zembsim keeps on disk.
struct Kept {
  std::vector<uint8_t> rom;
  uint8_t gpioData = 0, gpioDirection = 0;
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> i2c;
  std::vector<bool> fired;

  explicit Kept(const DeviceState& s)
      : rom(s.rom), gpioData(s.gpioData), gpioDirection(s.gpioDirection) {
    for (const auto& [address, device] : s.i2c) i2c.emplace_back(address, device.registers);
    for (const auto& f : s.faults) fired.push_back(f.fired);
  }
  bool operator==(const Kept&) const = default;
};

// Runs one request and saves the state if it changed. A state that cannot
// be saved fails the request: the tool must not report success for a write
// the next run will not see.
template <typename Request>
auto Run(ZembSimUnit* unit, Request request, decltype(request()) saveFailed) {
  std::lock_guard<std::mutex> hold(unit->lock);
  const Kept before(unit->device->State());
  auto result = request();
  if (!(Kept(unit->device->State()) == before)) {
    std::string error;
    if (!zemb::sim::SaveDeviceState(unit->folder, unit->device->State(), &error)) {
      std::fprintf(stderr, "zembsim unit: %s\n", error.c_str());
      return saveFailed;
    }
  }
  return result;
}

// One METHOD_BUFFERED device control through `ioctl(request, buffer)`. The
// firmware reads the whole request before it answers into the same buffer
// only if it is handed a copy.
template <typename Ioctl>
uint32_t BufferedIoctl(ZembSimUnit* unit, void* buffer, uint32_t inLength, uint32_t* returned,
                       Ioctl ioctl) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  std::vector<uint8_t> request(bytes, bytes + (bytes != nullptr ? inLength : 0));
  IoctlResult failed{false, zemb::kErrorGenFailure, 0};
  IoctlResult r = Run(
      unit, [&] { return ioctl(bytes != nullptr ? request.data() : nullptr, bytes); }, failed);
  if (returned != nullptr) *returned = r.ok ? r.bytesReturned : 0;
  return r.ok ? zemb::kErrorSuccess : (r.error != 0 ? r.error : zemb::kErrorGenFailure);
}

}  // namespace

extern "C" ZembSimUnit* ZembSimUnitOpen(const char* folder) {
  if (folder == nullptr || *folder == '\0') return nullptr;
  auto unit = std::make_unique<ZembSimUnit>();
  unit->folder = folder;
  DeviceState state;
  std::string error;
  if (!zemb::sim::LoadDeviceState(unit->folder, &state, &error)) {
    if (!error.empty()) std::fprintf(stderr, "zembsim unit: %s\n", error.c_str());
    return nullptr;
  }
  unit->device = std::make_unique<zemb::sim::SimDevice>(std::move(state), unit->clock);
  return unit.release();
}

extern "C" void ZembSimUnitClose(ZembSimUnit* unit) {
  delete unit;
}

extern "C" uint32_t ZembSimUnitXuNodeId(const ZembSimUnit* unit) {
  return unit->device->State().xuNodeId;
}

extern "C" uint32_t ZembSimUnitOwnIoctl(ZembSimUnit* unit, uint32_t code, void* buffer,
                                        uint32_t inLength, uint32_t outLength, uint32_t* returned) {
  return BufferedIoctl(unit, buffer, inLength, returned, [&](const uint8_t* in, uint8_t* out) {
    return unit->device->OwnDriverIoctl(code, in, inLength, out, outLength);
  });
}

extern "C" uint32_t ZembSimUnitCdromIoctl(ZembSimUnit* unit, uint32_t code, void* buffer,
                                          uint32_t inLength, uint32_t outLength,
                                          uint32_t headerLength, uint32_t* returned) {
  return BufferedIoctl(unit, buffer, inLength, returned, [&](const uint8_t* in, uint8_t* out) {
    return unit->device->CdromIoctl(code, in, inLength, out, outLength, headerLength);
  });
}

extern "C" int32_t ZembSimUnitXuProperty(ZembSimUnit* unit, const void* property,
                                         uint32_t propertyLength, void* data, uint32_t dataLength,
                                         uint32_t* returned) {
  uint32_t n = 0;
  zemb::HResult hr = Run(
      unit,
      [&] {
        return unit->device->XuKsProperty(static_cast<const uint8_t*>(property), propertyLength,
                                          static_cast<uint8_t*>(data), dataLength, &n);
      },
      zemb::kHrFail);
  if (returned != nullptr) *returned = n;
  return hr;
}
