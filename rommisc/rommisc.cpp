#include "common/host/host.h"

namespace zemb {

// ZembRomMisc arrives with its own change; until then it only says so.
int RunRomMisc(int, const char* const*, Host& host) {
  host.WriteStdout("    ZembRomMisc is not built yet\n");
  return 0;
}

}  // namespace zemb
