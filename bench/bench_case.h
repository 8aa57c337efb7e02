// One case, run in a fresh child process (this program again, with
// --case): a child per case keeps one case's memory from hiding another's
// peak. The child runs the tool's own Run function against the simulated
// device and writes its figures to a results file; the orchestrator reads
// them back with the verdict of the console text.
#pragma once

#include <cstdint>
#include <string>

#include "bench/bench_job.h"

namespace zemb::bench {

// In the child: runs `job` in the current folder with the inputs in
// `inputs`, and writes the results to `resultPath`. 0 unless the case
// could not be set up.
int RunCase(const Job& job, const std::string& inputs, const std::string& resultPath);

struct CaseRun {
  Job job;
  Results results;
  bool ran = false;
  bool passed = false;  // the verdict text, and the ROM as the case wants it
};

// In the orchestrator: runs `job` in a child, in folder "case<index>" of
// `work`, with `self` being this program.
CaseRun RunChild(const std::string& self, const std::string& work, const std::string& inputs,
                 const Job& job, int index);

// A figure of the results, 0 when missing.
uint64_t Get(const Results& results, const std::string& key);

}  // namespace zemb::bench
