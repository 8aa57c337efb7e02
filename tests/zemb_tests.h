// What the zemb test programs share: the ROM of the devices they plug in and
// running zemb's whole flow on a simulated machine.
#pragma once

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "sim/sim_host.h"
#include "tests/test_support.h"
#include "zemb/zemb.h"

namespace zemb::test {

// The size of the SPI ROM of the devices the zemb tests plug in.
constexpr uint32_t kRomSize = 65536;

// zemb run with `words` on `host`: its exit status and what it printed.
inline ToolResult Zemb(sim::SimHost& host, const std::vector<std::string>& words) {
  return RunToolForStatus(RunZemb, host, "zemb", words);
}

// The names in the current directory that begin with `prefix` (what a run
// left beside a file: temporary files, locks).
inline std::vector<std::string> FilesStartingWith(const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

// The lines of zemb's standard error that are neither "zemb: error: ...",
// "zemb: note: ..." (either after a unit's ID when several units run) nor a
// progress line redrawn in place.
inline std::vector<std::string> UnformedLines(const std::string& err) {
  static const std::regex kFormed(R"(zemb: ([0-9a-f]{8}: )?(error|note): \S.*)");
  std::vector<std::string> unformed;
  size_t from = 0;
  while (from < err.size()) {
    size_t end = err.find('\n', from);
    const bool ended = end != std::string::npos;
    if (!ended) end = err.size();
    std::string line = err.substr(from, end - from);
    from = end + 1;
    // A progress line is drawn after "\r" and cleared with blanks; what
    // follows the last "\r" is the line that stays.
    const size_t cr = line.rfind('\r');
    if (cr != std::string::npos) {
      line = line.substr(cr + 1);
      if (line.empty() || !ended) continue;
    }
    if (!std::regex_match(line, kFormed)) unformed.push_back(line);
  }
  return unformed;
}

}  // namespace zemb::test
