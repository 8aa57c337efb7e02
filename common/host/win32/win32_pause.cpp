#include "common/host/win32/win32_pause.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it relies on.
#include <mmsystem.h>

namespace zemb {
namespace {

// Not in every SDK's headers; the value is the system's.
constexpr DWORD kCreateWaitableTimerHighResolution = 0x00000002;

// How long the wait on the timer may take before it is given up: a timer
// that never fires must not hold the run for ever. Far above any delay the
// system adds, far below what an operator would take for a hang.
constexpr uint64_t kTimerGraceMs = 1000;

// a * b / c rounded up, without the product overflowing for any count of
// milliseconds and any counter frequency.
uint64_t MulDivUp(uint64_t a, uint64_t b, uint64_t c) {
  return a / c * b + (a % c * b + c - 1) / c;
}

}  // namespace

const char* PauseMethodName(PauseMethod method) {
  return method == PauseMethod::kHighResolutionTimer ? "high-resolution timer"
                                                     : "Sleep, 1 ms timer period";
}

Win32Pause::Win32Pause(PauseMethod preferred) {
  // The counter never fails on the systems the tools run on; were it to,
  // the millisecond tick still ends every pause.
  LARGE_INTEGER frequency;
  if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
    ticksPerSecond_ = static_cast<uint64_t>(frequency.QuadPart);
  } else {
    ticksPerSecond_ = 1000;
    counter_ = false;
  }
  if (preferred == PauseMethod::kHighResolutionTimer) {
    // Systems before Windows 10 1803 refuse the flag (ERROR_INVALID_PARAMETER).
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution,
                                    TIMER_MODIFY_STATE | SYNCHRONIZE);
  }
  if (timer_ == nullptr) UseSleep();
}

Win32Pause::~Win32Pause() {
  if (timer_ != nullptr) CloseHandle(timer_);
  if (periodRaised_) timeEndPeriod(1);
}

// At the default 15.6 ms timer period every 1 ms Sleep would take 15 times
// as long.
void Win32Pause::UseSleep() {
  if (timer_ != nullptr) {
    CloseHandle(timer_);
    timer_ = nullptr;
  }
  if (!periodRaised_) periodRaised_ = timeBeginPeriod(1) == TIMERR_NOERROR;
}

bool Win32Pause::WaitOnTimer(uint64_t ticks) {
  // Relative due time: negative, in 100 ns units, rounded up.
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(MulDivUp(ticks, 10000000, ticksPerSecond_));
  if (!SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) return false;
  const uint64_t limitMs = MulDivUp(ticks, 1000, ticksPerSecond_) + kTimerGraceMs;
  const DWORD waited =
      WaitForSingleObject(timer_, limitMs < INFINITE ? static_cast<DWORD>(limitMs) : INFINITE - 1);
  if (waited == WAIT_OBJECT_0) return true;
  CancelWaitableTimer(timer_);
  return false;
}

uint64_t Win32Pause::Now() const {
  if (!counter_) return GetTickCount64();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart);
}

void Win32Pause::Pause(uint32_t milliseconds) {
  if (milliseconds == 0) {
    ::Sleep(0);
    return;
  }
  const uint64_t start = Now();
  const uint64_t wanted = MulDivUp(milliseconds, ticksPerSecond_, 1000);
  for (;;) {
    const uint64_t elapsed = Now() - start;
    if (elapsed >= wanted) return;
    const uint64_t remaining = wanted - elapsed;
    if (timer_ != nullptr) {
      if (!WaitOnTimer(remaining)) UseSleep();
      continue;
    }
    // Whole milliseconds, at least one, so every round makes progress.
    const uint64_t ms = MulDivUp(remaining, 1000, ticksPerSecond_);
    ::Sleep(ms < INFINITE ? static_cast<DWORD>(ms) : INFINITE - 1);
  }
}

}  // namespace zemb
