// The console, clock and interrupts of the simulated machine: kept in the
// host for tests (capture mode), or this process's own (process mode).
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "sim/sim_host.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zemb::sim {

namespace {

std::string ToUtf8(std::wstring_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
        uint32_t low = static_cast<uint32_t>(text[i + 1]);
        if (low >= 0xDC00 && low < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

LocalTime SimHost::GetLocalTime() {
  if (fixedTime_) return *fixedTime_;
  if (mode_ == ConsoleMode::Capture) return {2026, 12, 9, 10, 30, 0};
  std::time_t now = std::time(nullptr);
  std::tm tm{};
#if defined(_WIN32)
  localtime_s(&tm, &now);
#else
  localtime_r(&now, &tm);
#endif
  return {static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
          static_cast<uint16_t>(tm.tm_mday),        static_cast<uint16_t>(tm.tm_hour),
          static_cast<uint16_t>(tm.tm_min),         static_cast<uint16_t>(tm.tm_sec)};
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
  WriteStdout(ToUtf8(text));
}

void SimHost::SetTextAttribute(uint16_t attribute) {
  if (mode_ == ConsoleMode::Capture) {
    colors_.push_back({stdout_.size(), attribute});
    return;
  }
  if (!ansiColor_) return;
  const char* code = attribute == kColorGreen ? "\033[92m"
                     : attribute == kColorRed ? "\033[91m"
                                              : "\033[0m";
  std::fputs(code, stdout);
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
