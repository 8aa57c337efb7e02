// The console, clock and interrupts of the simulated machine: kept in the
// host for tests (capture mode), or this process's own (process mode).
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>

#include "common/host/console_text.h"
#include "sim/sim_host.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zemb::sim {

LocalTime SimHost::GetLocalTime() {
  if (fixedTime_) return *fixedTime_;
  if (mode_ == ConsoleMode::Capture) return {2026, 12, 9, 10, 30, 0};
  return LocalTimeNow();
}

void SimHost::WriteStdout(std::string_view text) {
  if (mode_ == ConsoleMode::Capture) {
    stdout_.append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

void SimHost::WriteStderr(std::string_view text) {
  if (mode_ == ConsoleMode::Capture) {
    stderr_.append(text);
  } else {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
}

void SimHost::WriteStdoutWide(std::wstring_view text) {
  WriteStdout(Utf8FromWide(text));
}

void SimHost::SetTextAttribute(uint16_t attribute) {
  if (mode_ == ConsoleMode::Capture) {
    colors_.push_back({stdout_.size(), attribute});
    return;
  }
  if (!ansiColor_) return;
  std::fputs(AnsiColorCode(attribute), stdout);
  std::fflush(stdout);
}

namespace {
// Set by the SIGINT handler of a process that catches interrupts: one flag
// for the process, read by every host in it (one per worker thread), as an
// interrupt is meant for the whole run. Lock-free, so the handler may set it.
std::atomic<bool> interruptSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);
extern "C" void OnInterruptSignal(int) {
  interruptSignalled.store(true);
}
// Installed once, whichever host asks first; signal() itself is not meant
// to be called from several threads at once.
void InstallInterruptHandler() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGINT, OnInterruptSignal); });
}
}  // namespace

bool SimHost::StderrIsTerminal() {
  if (mode_ == ConsoleMode::Capture) return stderrTerminal_;
#if defined(_WIN32)
  return _isatty(2) != 0;
#else
  return isatty(2) != 0;
#endif
}

void SimHost::CatchInterrupts() {
  catchingInterrupts_ = true;
  if (mode_ == ConsoleMode::Process) InstallInterruptHandler();
}

bool SimHost::InterruptRequested() {
  if (!catchingInterrupts_) return false;
  ++interruptChecks_;
  if (interruptAtCheck_ != 0 && interruptChecks_ >= interruptAtCheck_) return true;
  return mode_ == ConsoleMode::Process && interruptSignalled.load();
}

}  // namespace zemb::sim
