// pausecheck: how long the tools' 1 ms pause really lasts on this machine.
// Makes the pauses with each way the tools can pause (the high-resolution
// timer where the system offers one, and Sleep with the timer period raised
// to 1 ms) and, for comparison, with a bare Sleep(1), each timed on the
// performance counter, and prints the minimum, median, 99th percentile,
// maximum and mean of each.
//
//   pausecheck.exe [PAUSES]      PAUSES per way, 2000 unless given
//
// Exit status 0 when every pause of the tools' own ways lasted at least the
// asked time and the tools took the high-resolution timer wherever the
// system has it; 1 otherwise; 2 for a bad command line. The figures
// themselves are a report, not a verdict.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/host/win32/win32_pause.h"

namespace {

using zemb::PauseMethod;
using zemb::PauseMethodName;
using zemb::Win32Pause;

constexpr uint32_t kPauseMs = 1;
constexpr unsigned long kDefaultPauses = 2000;
constexpr unsigned long kMostPauses = 1000000;

uint64_t CounterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart);
}

struct Figures {
  double min = 0, median = 0, p99 = 0, max = 0, mean = 0;  // milliseconds
  unsigned long shorter = 0;                               // pauses under the asked time
};

// Nearest-rank percentiles of the pause lengths, in counter ticks.
Figures Summarise(std::vector<uint64_t> ticks, uint64_t ticksPerSecond, uint64_t askedTicks) {
  Figures f;
  std::sort(ticks.begin(), ticks.end());
  const double msPerTick = 1000.0 / static_cast<double>(ticksPerSecond);
  auto rank = [&](double share) {
    size_t r = static_cast<size_t>(share * static_cast<double>(ticks.size()) + 0.999999);
    return static_cast<double>(ticks[std::clamp<size_t>(r, 1, ticks.size()) - 1]) * msPerTick;
  };
  f.min = static_cast<double>(ticks.front()) * msPerTick;
  f.max = static_cast<double>(ticks.back()) * msPerTick;
  f.median = rank(0.5);
  f.p99 = rank(0.99);
  double sum = 0;
  for (uint64_t t : ticks) {
    sum += static_cast<double>(t);
    if (t < askedTicks) ++f.shorter;
  }
  f.mean = sum / static_cast<double>(ticks.size()) * msPerTick;
  return f;
}

// Times `count` pauses of `pause` (after one untimed, which pays for the
// first touch of everything involved).
template <typename PauseFn>
std::vector<uint64_t> Measure(unsigned long count, PauseFn pause) {
  std::vector<uint64_t> ticks(count);
  pause();
  for (uint64_t& t : ticks) {
    const uint64_t start = CounterNow();
    pause();
    t = CounterNow() - start;
  }
  return ticks;
}

void PrintRow(const char* name, const Figures& f) {
  std::printf("  %-30s %8.3f %8.3f %8.3f %8.3f %8.3f\n", name, f.min, f.median, f.p99, f.max,
              f.mean);
}

bool ParseCount(const char* text, unsigned long* count) {
  if (text[0] < '0' || text[0] > '9' || std::strlen(text) > 7) return false;
  char* end = nullptr;
  *count = std::strtoul(text, &end, 10);
  return *end == '\0' && *count >= 1 && *count <= kMostPauses;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long count = kDefaultPauses;
  if (argc > 2 || (argc == 2 && !ParseCount(argv[1], &count))) {
    std::fprintf(stderr,
                 "usage: pausecheck.exe [PAUSES]\n"
                 "  times PAUSES pauses of %u ms (1 to %lu, default %lu) with each way the Zemb\n"
                 "  tools can pause, and prints the minimum, median, 99th percentile, maximum\n"
                 "  and mean of each in milliseconds\n",
                 static_cast<unsigned>(kPauseMs), kMostPauses, kDefaultPauses);
    return 2;
  }

  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const uint64_t ticksPerSecond = static_cast<uint64_t>(frequency.QuadPart);
  const uint64_t askedTicks = (kPauseMs * ticksPerSecond + 999) / 1000;

  // Whether the system offers the timer, asked of it directly.
  HANDLE probe = CreateWaitableTimerExW(nullptr, nullptr, 0x00000002 /* high resolution */,
                                        TIMER_MODIFY_STATE | SYNCHRONIZE);
  const bool offered = probe != nullptr;
  if (probe != nullptr) CloseHandle(probe);

  int failures = 0;
  PauseMethod chosen;
  {
    Win32Pause tools;
    chosen = tools.Method();
  }
  std::printf("pausecheck: %lu pauses of %u ms per way (%s), performance counter %llu Hz\n", count,
              static_cast<unsigned>(kPauseMs), sizeof(void*) == 8 ? "x64" : "x86",
              static_cast<unsigned long long>(ticksPerSecond));
  std::printf("the tools pause with: %s\n", PauseMethodName(chosen));
  if (!offered) {
    std::printf("the high-resolution timer is not offered here (Windows 10 1803 and later)\n");
  }
  if (offered != (chosen == PauseMethod::kHighResolutionTimer)) {
    ++failures;
    std::printf("FAIL: the system %s the high-resolution timer, but the tools pause with: %s\n",
                offered ? "offers" : "does not offer", PauseMethodName(chosen));
  }
  std::printf("\n  %-30s %8s %8s %8s %8s %8s  (ms)\n", "", "min", "median", "p99", "max", "mean");

  const PauseMethod ways[] = {PauseMethod::kHighResolutionTimer, PauseMethod::kSleep};
  for (PauseMethod way : ways) {
    Win32Pause pause(way);
    if (pause.Method() != way) continue;  // the timer where the system has none
    const Figures f =
        Summarise(Measure(count, [&] { pause.Pause(kPauseMs); }), ticksPerSecond, askedTicks);
    PrintRow(PauseMethodName(way), f);
    if (f.shorter != 0) {
      ++failures;
      std::printf("FAIL: %lu pause(s) with the %s were shorter than %u ms\n", f.shorter,
                  PauseMethodName(way), static_cast<unsigned>(kPauseMs));
    }
  }
  {
    // What the tools did before the timer: Sleep alone, at the raised
    // period (which the Sleep way holds while it exists).
    Win32Pause period(PauseMethod::kSleep);
    const Figures f =
        Summarise(Measure(count, [] { Sleep(kPauseMs); }), ticksPerSecond, askedTicks);
    PrintRow("Sleep(1) alone, for comparison", f);
    if (f.shorter != 0) {
      std::printf("  (%lu bare Sleep(1) returned before 1 ms had passed)\n", f.shorter);
    }
  }

  if (failures != 0) return 1;
  std::printf("\nevery pause of the tools lasted at least %u ms\n",
              static_cast<unsigned>(kPauseMs));
  return 0;
}
