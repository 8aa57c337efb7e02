// Named points where a test may have the process killed outright, to show
// that the pool and the unit agree however a run ends. Set
// ZEMB_KILL_AT=NAME (the first time the run passes NAME) or NAME#N (the
// N-th time) in the environment of a test run; unset, a point costs one
// look at a variable read once.
#pragma once

namespace zemb {

void KillPoint(const char* name);

}  // namespace zemb
