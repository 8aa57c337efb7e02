// The simulated machine as the bench runs it: SimHost's machine and device,
// with two differences that keep the measurement about the tools.
//  - Requests reach the device directly, without the host's call log, and
//    the device's trace is tallied and emptied after every request: both
//    would otherwise grow with every request and hide what the tools
//    themselves hold in memory.
//  - Every pause the tools ask for is counted, and with a real clock timed
//    on the wall clock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "bench/protocol_model.h"
#include "sim/sim_host.h"

namespace zemb::bench {

struct TraceTally {
  RequestCounts requests;
  uint64_t refused = 0;  // refused by the device, or failed
};

struct PauseTally {
  uint64_t count = 0;
  uint64_t requestedUs = 0;
  uint64_t wallUs = 0;     // measured on the steady clock around each pause
  uint64_t longestUs = 0;  // the longest single pause
};

class BenchHost : public sim::SimHost {
 public:
  BenchHost(sim::SimMachine machine, sim::SimDevice* device, sim::Clock& clock);

  DeviceHandle CreateFile(const std::string& path) override;
  void CloseHandle(DeviceHandle handle) override;
  bool DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
                       void* out, uint32_t outLength, uint32_t* bytesReturned) override;
  HResult CreateSystemDeviceEnumerator(
      std::unique_ptr<SystemDeviceEnumerator>* enumerator) override;
  void Sleep(uint32_t milliseconds) override;

  // Makes every pause last `microseconds` longer than asked on the clock, as
  // a host whose sleeps overrun would (0: exactly as asked).
  void SetPauseOverrunUs(uint64_t microseconds) { pauseOverrunUs_ = microseconds; }

  // Moves what the device traced since the last call into the tally.
  void DrainTrace();
  const TraceTally& Trace() const { return trace_; }
  const PauseTally& Pauses() const { return pauses_; }

  // The extension unit's control, for the wrapper objects.
  HResult UnitProperty(const void* property, uint32_t propertyLength, void* data,
                       uint32_t dataLength, uint32_t* bytesReturned);

 private:
  sim::SimDevice* device_;
  sim::Clock& clock_;
  uint64_t pauseOverrunUs_ = 0;
  std::map<DeviceHandle, bool> deviceHandles_;  // true: the CD-ROM face
  std::vector<uint8_t> request_;                // reused: no allocation per request
  TraceTally trace_;
  PauseTally pauses_;
};

}  // namespace zemb::bench
