// The simulated machine as the bench runs it: SimHost itself, the same
// machine the tests use, with its call log off and two tallies kept.
//  - The device's trace is tallied and emptied after every request, and the
//    host keeps no call log: both would otherwise grow with every request
//    and hide what the tools themselves hold in memory.
//  - Every pause the tools ask for is counted, and with a real clock timed
//    on the wall clock.
#pragma once

#include <cstdint>

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
  // `device` may be null: a machine with nothing plugged in (MAKE).
  BenchHost(sim::SimMachine machine, sim::SimDevice* device, sim::Clock& clock);

  void Sleep(uint32_t milliseconds) override;
  uint32_t AfterDeviceRequest() override;

  // Makes every pause last `microseconds` longer than asked on the clock, as
  // a host whose sleeps overrun would (0: exactly as asked).
  void SetPauseOverrunUs(uint64_t microseconds) { pauseOverrunUs_ = microseconds; }

  // Moves what the device traced since the last call into the tally.
  void DrainTrace();
  const TraceTally& Trace() const { return trace_; }
  const PauseTally& Pauses() const { return pauses_; }

 private:
  sim::Clock& clock_;
  uint64_t pauseOverrunUs_ = 0;
  TraceTally trace_;
  PauseTally pauses_;
};

}  // namespace zemb::bench
