// The COM objects of the simulated machine, behind the one object a host
// hands out to start with.
#pragma once

#include <memory>
#include <vector>

#include "sim/sim_host.h"

namespace zemb::sim {

// CLSID_SystemDeviceEnum of the machine: the video input category lists
// `videos` in order. Every object it leads to counts itself live on `host`
// and logs its calls there; `host` and `videos` outlive them all.
std::unique_ptr<SystemDeviceEnumerator> MakeSimDeviceEnumerator(
    SimHost& host, const std::vector<SimVideoDevice>& videos);

}  // namespace zemb::sim
