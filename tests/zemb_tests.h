// What the zemb test programs share: the ROM of the devices they plug in and
// running zemb's whole flow on a simulated machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_host.h"
#include "tests/test_support.h"
#include "zemb/zemb.h"

namespace zemb::test {

// The size of the SPI ROM of the devices the zemb tests plug in.
constexpr uint32_t kRomSize = 65536;

// zemb run with `words` on `host`: its exit status and what it printed.
inline ToolResult Zemb(sim::SimHost& host, const std::vector<std::string>& words) {
  return RunToolForStatus(RunZemb, host, "zemb", words);
}

}  // namespace zemb::test
