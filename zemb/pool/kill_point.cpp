#include "zemb/pool/kill_point.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(_WIN32)
#include "common/host/windows_api.h"
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace zemb {

void KillPoint(const char* name) {
  static const char* const wanted = std::getenv("ZEMB_KILL_AT");
  if (wanted == nullptr || *wanted == 0) return;
  static std::atomic<int> passed{0};
  const char* hash = std::strchr(wanted, '#');
  const size_t length = hash != nullptr ? static_cast<size_t>(hash - wanted) : std::strlen(wanted);
  if (std::strlen(name) != length || std::strncmp(name, wanted, length) != 0) return;
  const int nth = hash != nullptr ? std::atoi(hash + 1) : 1;
  if (++passed < nth) return;
#if defined(_WIN32)
  TerminateProcess(GetCurrentProcess(), 137);
#else
  kill(getpid(), SIGKILL);
#endif
}

}  // namespace zemb
