// The orchestrator's table and summaries: each case beside the protocol's
// figures, zemb against its measures, peak memory, MAKE against cp, the
// real-time burn and the targets met. Every target is printed as PASS or
// MISS and counted in the summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_case.h"

namespace zemb::bench {

struct Summary {
  int rows = 0, requestMiss = 0, cpuMiss = 0, failedRuns = 0, memoryMiss = 0, makeMiss = 0;
  int zembTargets = 0, zembMiss = 0;
};

// "1 MiB", "15.95 MiB", "32.0 KiB", "40 B".
std::string SizeText(uint64_t bytes);

// The table: its header and one row per case.
void PrintHeader();
void PrintRow(const CaseRun& run, Summary& summary);

// zemb's device time against what it is measured by: zemb read of the same
// 1 MiB for writing what the ROM holds (both ROM kinds), that plus one sector
// erase and the sector's programs for one changed sector, and BURN of the
// same image for a whole image onto an erased ROM.
void PrintZembTargets(const std::vector<CaseRun>& runs, Summary& summary);

// One line of peak memory, from the `small` image's run to the `large` one's.
void PrintMemoryGrowth(const std::string& what, const CaseRun& small, const CaseRun& large,
                       Summary& summary);
// One MAKE run's best throughput beside cp's of the same bytes.
void PrintMakeAgainstCp(const CaseRun& make, Summary& summary);
// The burn on the real clock: its pauses asked for against those spent.
void PrintRealTime(const CaseRun& real);
// The closing lines: the targets met, out of how many.
void PrintTargets(const Summary& summary);

}  // namespace zemb::bench
