#include "bench/bench_host.h"

#include "bench/process_stats.h"

namespace zemb::bench {

BenchHost::BenchHost(sim::SimMachine machine, sim::SimDevice* device, sim::Clock& clock)
    : SimHost(std::move(machine), device, clock, sim::ConsoleMode::Process), clock_(clock) {
  SetCallLog(false);
}

uint32_t BenchHost::AfterDeviceRequest() {
  DrainTrace();
  return SimHost::AfterDeviceRequest();
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
  sim::SimDevice* device = Device();
  if (device == nullptr || device->Trace().empty()) return;
  for (const sim::TraceEntry& entry : device->Trace()) {
    ++trace_.requests.n[ColumnOf(entry.kind)];
    if (entry.failed) ++trace_.refused;
  }
  device->ClearTrace();
}

}  // namespace zemb::bench
