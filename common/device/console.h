// All tool text goes through one Console: standard output, standard error,
// the run log of ZembRomProgram while it is open, and the text colour. The
// colour is a separate call, so the text is the same with or without it.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/host/host.h"

namespace zemb {

#if defined(__GNUC__)
#define ZEMB_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ZEMB_PRINTF(fmt, args)
#endif

class Console {
 public:
  explicit Console(Host& host) : host_(host) {}
  ~Console() { CloseLog(); }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  Host& GetHost() { return host_; }

  // Standard output only.
  void Print(const char* format, ...) ZEMB_PRINTF(2, 3);
  void Write(std::string_view text) { host_.WriteStdout(text); }
  // Standard output, and the run log while it is open.
  void PrintAndLog(const char* format, ...) ZEMB_PRINTF(2, 3);
  void WriteAndLog(std::string_view text);
  // Standard error only.
  void PrintError(const char* format, ...) ZEMB_PRINTF(2, 3);
  void WriteWide(std::wstring_view text) { host_.WriteStdoutWide(text); }
  // Console colour (never written to the log).
  void SetColor(uint16_t attribute) { host_.SetTextAttribute(attribute); }

  // The run log, opened in text mode for appending; false when it cannot be
  // opened (the run goes on without it).
  bool OpenLog(const std::string& path);
  void CloseLog();
  bool LogOpen() const { return log_ != nullptr; }

 private:
  Host& host_;
  std::FILE* log_ = nullptr;
};

std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...) ZEMB_PRINTF(1, 2);

}  // namespace zemb
