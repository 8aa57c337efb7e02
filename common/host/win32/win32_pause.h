// The pause between two status looks on Windows. A ROM write makes one
// look and one 1 ms pause per page, so a burn makes hundreds of thousands of
// them, and whatever each pause oversleeps adds up to minutes per unit.
//
// Where the system offers a high-resolution waitable timer (Windows 10 1803
// and later) the pause waits on one; elsewhere it sleeps with the timer
// period raised to 1 ms. Either way it is never shorter than asked: the
// device relies on the time having passed, so the performance counter is
// read after the wait and any remainder is waited again.
//
// This header stays free of windows.h; the pause check program includes it
// beside the host.
#pragma once

#include <cstdint>

namespace zemb {

enum class PauseMethod : uint8_t {
  kHighResolutionTimer,  // CreateWaitableTimerExW(CREATE_WAITABLE_TIMER_HIGH_RESOLUTION)
  kSleep,                // Sleep with timeBeginPeriod(1) held for the pause's lifetime
};

// "high-resolution timer" or "Sleep, 1 ms timer period".
const char* PauseMethodName(PauseMethod method);

// One per run: the timer (or the raised timer period) is taken when it is
// made and given back when it goes.
class Win32Pause {
 public:
  // kHighResolutionTimer takes the timer where the system has one and Sleep
  // where it has not; kSleep keeps to Sleep on any system, so that both ways
  // can be measured on one machine.
  explicit Win32Pause(PauseMethod preferred = PauseMethod::kHighResolutionTimer);
  ~Win32Pause();
  Win32Pause(const Win32Pause&) = delete;
  Win32Pause& operator=(const Win32Pause&) = delete;

  PauseMethod Method() const {
    return timer_ != nullptr ? PauseMethod::kHighResolutionTimer : PauseMethod::kSleep;
  }

  // Returns once at least `milliseconds` have passed on the performance
  // counter. 0 gives up the rest of the time slice, as Sleep(0) does. The
  // thread's last error may change.
  void Pause(uint32_t milliseconds);

 private:
  // Waits about `ticks` of the performance counter on the timer; false when
  // the timer failed (it is then given up for Sleep).
  bool WaitOnTimer(uint64_t ticks);
  void UseSleep();
  // The performance counter, in ticksPerSecond_.
  uint64_t Now() const;

  void* timer_ = nullptr;  // the timer's HANDLE
  bool periodRaised_ = false;
  uint64_t ticksPerSecond_ = 0;
  bool counter_ = true;  // false: Now() is the millisecond tick
};

}  // namespace zemb
