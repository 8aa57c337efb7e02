// The status wait shared by the transports.
#pragma once

#include <cstdint>

#include "common/device/rom_access.h"
#include "common/host/host.h"

namespace zemb {

enum class WaitResult { Done, Failed, TimedOut };

// Sends one status request per round through `poll` (false: the request
// failed; otherwise *done holds bit 0 of the answer), pauses `pauseMs` after
// every answer, including the first, and stops when the device reports the
// operation done. A device that never does is given up on after the
// operation's time limit, measured on the host's tick, with ERROR_TIMEOUT.
template <typename Poll>
WaitResult WaitForRomOperation(Host& host, uint8_t op, uint32_t pauseMs, Poll poll) {
  const uint64_t start = host.TickCountMs();
  const uint32_t limit = RomOperationTimeLimitMs(op);
  for (;;) {
    bool done = false;
    if (!poll(&done)) return WaitResult::Failed;
    host.Sleep(pauseMs);
    if (done) return WaitResult::Done;
    if (host.TickCountMs() - start >= limit) {
      host.SetLastError(kErrorTimeout);
      return WaitResult::TimedOut;
    }
  }
}

}  // namespace zemb
