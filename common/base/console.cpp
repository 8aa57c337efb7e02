#include "common/base/console.h"

#include <vector>

namespace zemb {

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  return text;
}

void Console::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  Out(text);
}

void Console::PrintAndLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  WriteAndLog(text);
}

void Console::WriteWide(std::wstring_view text) {
  if (!toStderr_) {
    host_.WriteStdoutWide(text);
    return;
  }
  std::string narrow;
  for (wchar_t c : text) narrow += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
  WriteStderr(narrow);
}

void Console::WriteAndLog(std::string_view text) {
  Out(text);
  if (log_ != nullptr) {
    std::fwrite(text.data(), 1, text.size(), log_);
    std::fflush(log_);
  }
}

void Console::PrintError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  WriteStderr(text);
}

bool Console::OpenLog(const std::string& path) {
  CloseLog();
  log_ = std::fopen(path.c_str(), "a");
  return log_ != nullptr;
}

void Console::CloseLog() {
  if (log_ != nullptr) {
    std::fclose(log_);
    log_ = nullptr;
  }
}

}  // namespace zemb
