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
  // What a tool prints for the operator to read may instead all go to
  // standard error, keeping standard output for the tool's own results
  // (zemb's --json, say); colour is then left out.
  enum class Target { Stdout, Stderr };
  Console(Host& host, Target target) : host_(host), toStderr_(target == Target::Stderr) {}
  virtual ~Console() { CloseLog(); }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  Host& GetHost() { return host_; }

  // Standard output only.
  void Print(const char* format, ...) ZEMB_PRINTF(2, 3);
  void Write(std::string_view text) { Out(text); }
  // Standard output, and the run log while it is open.
  void PrintAndLog(const char* format, ...) ZEMB_PRINTF(2, 3);
  void WriteAndLog(std::string_view text);
  // Standard error only.
  void PrintError(const char* format, ...) ZEMB_PRINTF(2, 3);
  void WriteWide(std::wstring_view text);
  // Console colour (never written to the log).
  void SetColor(uint16_t attribute) {
    if (!toStderr_) host_.SetTextAttribute(attribute);
  }

  // The run log, opened in text mode for appending; false when it cannot be
  // opened (the run goes on without it).
  bool OpenLog(const std::string& path);
  void CloseLog();
  bool LogOpen() const { return log_ != nullptr; }

  // Whether the lines are the three operator tools' own, which their
  // operators' scripts read byte for byte; a tool with a line form of its
  // own (zemb) is given some of them in plainer words.
  virtual bool ToolTexts() const { return true; }

 protected:
  // Every text meant for standard error passes here: a tool that speaks in
  // a form of its own (zemb) rewrites or keeps back the library's lines.
  virtual void WriteStderr(std::string_view text) { host_.WriteStderr(text); }

 private:
  void Out(std::string_view text) {
    if (toStderr_) {
      WriteStderr(text);
    } else {
      host_.WriteStdout(text);
    }
  }

  Host& host_;
  bool toStderr_ = false;
  std::FILE* log_ = nullptr;
};

// Says nothing: for work on the side (reading each unit's serial number for
// a list) whose failures its caller reports in its own way.
class SilentConsole final : public Console {
 public:
  explicit SilentConsole(Host& host) : Console(host, Target::Stderr) {}

 protected:
  void WriteStderr(std::string_view) override {}
};

std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...) ZEMB_PRINTF(1, 2);

}  // namespace zemb
