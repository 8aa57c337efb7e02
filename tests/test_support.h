// Fixtures shared by the tests: a scratch working directory, small file
// helpers, and running a tool's whole flow against a simulated machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/host/host.h"
#include "sim/sim_host.h"

namespace zemb::test {

// A fresh directory, made the current directory for the object's life (the
// tools work relative to it: Kesh file, run log, ZembSimDevice).
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& name, const std::string& text);
std::vector<uint8_t> ReadFile(const std::string& name);
std::string ReadText(const std::string& name);
bool FileExists(const std::string& name);

// A ROM configuration file: "ROM_TYPE <type> ... ROM_SIZE <size> PAGE_SIZE
// <page> ADDRESS_SIZE <addr>". Returns `name`.
std::string WriteConfig(const std::string& name, const std::string& type, int64_t romSize,
                        int64_t pageSize, int64_t addressSize = 3);

// A fault of the simulated device: the nth request of `kind` fails (with the
// device's general failure).
inline sim::Fault FailNth(sim::RequestKind kind, uint32_t nth = 1) {
  sim::Fault fault;
  fault.type = sim::Fault::Type::FailRequest;
  fault.kind = kind;
  fault.nth = nth;
  return fault;
}

// `count` bytes of a repeatable pattern that differs from the erased state.
std::vector<uint8_t> Pattern(size_t count, uint32_t salt = 0);

using ToolMain = int (*)(int argc, const char* const* argv, Host& host);

// Runs one tool with `words` (the program name first) on `host` and returns
// its standard output; the host's console is cleared first, so Stderr()
// afterwards is this run's too.
std::string RunTool(ToolMain tool, sim::SimHost& host, const std::vector<std::string>& words);

// The same for a tool whose exit status tells the outcome (zemb): `words`
// after the program name; the status and both outputs of this run.
struct ToolResult {
  int status = -1;
  std::string out, err;
};
ToolResult RunToolForStatus(ToolMain tool, sim::SimHost& host, const char* program,
                            const std::vector<std::string>& words);

// Runs a command line through the shell; returns its exit status and fills
// *output with standard output and error.
int RunCommand(const std::string& command, std::string* output);

}  // namespace zemb::test
