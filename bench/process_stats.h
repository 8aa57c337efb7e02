// What the bench reads about its own process: wall and CPU clocks, page
// faults and peak memory.
#pragma once

#include <cstdint>

namespace zemb::bench {

// Microseconds on the steady clock.
uint64_t SteadyUs();
// This process's CPU time, user and system, in microseconds.
uint64_t CpuUs();
int64_t MinorFaults();
// The peak resident size as getrusage gives it (KiB on Linux); a forked
// child starts with its parent's.
int64_t MaxRssKiB();
// The peak of this process's own address space since exec (VmHWM), or -1.
int64_t HighWaterKiB();

}  // namespace zemb::bench
