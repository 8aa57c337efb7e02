// The operator's guide tells scripts how to read a run's verdict from its
// text, since every program exits with status 0. This test takes the rule
// from the guide itself (the success text of each function and the failure
// texts) and applies it to what the tools really print when they pass,
// fail, find no device, or end with the usage text: the rule must call
// exactly the passing runs a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ioaccess/ioaccess.h"
#include "rommisc/rommisc.h"
#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

namespace fs = std::filesystem;

std::string Guide() {
  // The source tree as the build names it: __FILE__ may be relative where a
  // compiler cache rewrites paths.
  const fs::path path = fs::path(ZEMB_SOURCE_DIR) / "packaging" / "OPERATOR-GUIDE.txt";
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first "..." of a line, or "" when it has none.
std::string Quoted(const std::string& line) {
  const size_t open = line.find('"');
  const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
  return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

struct Rule {
  std::vector<std::pair<std::string, std::string>> success;  // (function row, success text)
  std::vector<std::string> failure;
};

// The table under "Success text" and the list under "failure texts:".
Rule RuleOfTheGuide(const std::string& guide) {
  Rule rule;
  const std::vector<std::string> lines = Lines(guide);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("Success text") != std::string::npos) {
      for (size_t j = i + 1; j < lines.size() && !lines[j].empty(); ++j) {
        const std::string text = Quoted(lines[j]);
        rule.success.emplace_back(lines[j].substr(0, lines[j].find('"')), text);
      }
    }
    if (lines[i].find("none of these failure texts:") != std::string::npos) {
      for (size_t j = i + 2; j < lines.size() && !lines[j].empty(); ++j) {
        if (lines[j].rfind("      \"", 0) == 0) rule.failure.push_back(Quoted(lines[j]));
      }
    }
  }
  return rule;
}

// The success text the guide gives for `program` and its function word.
std::string SuccessText(const Rule& rule, const std::string& program, const std::string& word) {
  for (const auto& [row, text] : rule.success) {
    if (row.find(program + " ") == std::string::npos) continue;
    const std::string functions = row.substr(row.find(program) + program.size());
    if (functions.find(word) != std::string::npos) return text;
  }
  return "";
}

// The guide's rule, as its batch recipe applies it.
bool GuideSaysSuccess(const Rule& rule, const std::string& out, const std::string& successText) {
  for (const std::string& failure : rule.failure) {
    if (out.find(failure) != std::string::npos) return false;
  }
  return !successText.empty() && out.find(successText) != std::string::npos;
}

TEST(OperatorGuide, RecipeStatesTheRuleItsTableGives) {
  const std::string guide = Guide();
  ASSERT_FALSE(guide.empty());
  const Rule rule = RuleOfTheGuide(guide);
  ASSERT_EQ(rule.success.size(), 6u);
  EXPECT_EQ(rule.failure,
            (std::vector<std::string>{"fail !!!", "Cannot find device", "Command Syntax:"}));
  std::string findstr = "findstr /L";
  for (const std::string& failure : rule.failure) findstr += " /C:\"" + failure + "\"";
  EXPECT_NE(guide.find(findstr + " %1 > nul && exit /b 1\n"), std::string::npos);
  EXPECT_NE(guide.find("findstr /L /C:%2 %1 > nul || exit /b 1\n"), std::string::npos);
  // The texts the guide quotes are the programs' own.
  EXPECT_NE(guide.find("prints \"Data:0x5a \""), std::string::npos);
  EXPECT_EQ(guide.find("Data:0x5A"), std::string::npos);
}

enum class Outcome { Pass, Fail, NoDevice, Usage };

struct ToolRun {
  const char* program;  // as the guide names it
  std::vector<std::string> words;
  Outcome outcome;
  std::vector<sim::Fault> faults;
};

TEST(OperatorGuide, RecipeReadsEveryOutcomeOfEveryFunctionRight) {
  const Rule rule = RuleOfTheGuide(Guide());
  using K = sim::RequestKind;
  using test::FailNth;
  const std::vector<ToolRun> runs = {
      {"ZembRomProgram", {"MAKE", "hwfw.bin", "desc.bin"}, Outcome::Pass, {}},
      {"ZembRomProgram", {"MAKE", "hwfw.bin", "missing.bin"}, Outcome::Fail, {}},
      {"ZembRomProgram", {"MAKE", "hwfw.bin"}, Outcome::Usage, {}},
      {"ZembRomProgram", {"BURN", "data.bin", "spi.cfg"}, Outcome::Pass, {}},
      {"ZembRomProgram",
       {"BURN", "data.bin", "spi.cfg"},
       Outcome::Fail,
       {FailNth(K::AccessRom, 3)}},
      {"ZembRomProgram", {"BURN", "data.bin", "spi.cfg"}, Outcome::NoDevice, {}},
      {"ZembRomProgram", {"BURN", "data.bin", "missing.cfg"}, Outcome::Usage, {}},
      {"ZembRomProgram", {"HWFW", "hwfw.bin", "spi.cfg"}, Outcome::Pass, {}},
      {"ZembRomProgram", {"HWFW", "hwfw.bin", "spi.cfg"}, Outcome::Fail, {FailNth(K::RomStatus)}},
      {"ZembRomProgram", {"IMG", "data.bin", "spi.cfg"}, Outcome::Pass, {}},
      {"ZembRomProgram", {"IMG", "data.bin", "spi.cfg"}, Outcome::NoDevice, {}},
      {"ZembRomProgram", {"DESC", "desc.bin", "spi.cfg"}, Outcome::Pass, {}},
      {"ZembRomProgram", {"DESC", "desc.bin", "spi.cfg"}, Outcome::Fail, {FailNth(K::RomType)}},
      {"ZembRomProgram", {"PRINT", "spi.cfg", "0"}, Outcome::Pass, {}},
      {"ZembRomProgram", {"PRINT", "spi.cfg", "0"}, Outcome::Fail, {FailNth(K::AccessRom)}},
      {"ZembRomProgram", {"PRINT", "spi.cfg", "0"}, Outcome::NoDevice, {}},
      {"ZembRomProgram", {"PRINT", "spi.cfg", "65536"}, Outcome::Usage, {}},
      {"ZembRomProgram", {"ERASE", "spi.cfg"}, Outcome::Pass, {}},
      {"ZembRomProgram", {"ERASE", "spi.cfg"}, Outcome::Fail, {FailNth(K::AccessRom)}},
      {"ZembRomProgram", {"ERASE", "spi.cfg"}, Outcome::NoDevice, {}},
      {"ZembRomProgram", {"ERASE", "i2c.cfg"}, Outcome::Usage, {}},
      {"ZembRomMisc", {"SER", "20000130041415", "spi.cfg"}, Outcome::Pass, {}},
      {"ZembRomMisc", {"SER", "20000130041415", "spi.cfg"}, Outcome::Fail, {FailNth(K::AccessRom)}},
      {"ZembRomMisc", {"SER", "20000130041415", "spi.cfg"}, Outcome::NoDevice, {}},
      {"ZembRomMisc", {"SER", "2000013004141", "spi.cfg"}, Outcome::Usage, {}},
      {"ZembRomMisc", {"MAC", "1-2-3-4-5-6", "a-b-c-d-e-f", "spi.cfg"}, Outcome::Pass, {}},
      {"ZembRomMisc",
       {"MAC", "1-2-3-4-5-6", "a-b-c-d-e-f", "spi.cfg"},
       Outcome::Fail,
       {FailNth(K::AccessRom, 3)}},
      {"ZembRomMisc", {"MAC", "1-2-3-4-5-6", "spi.cfg"}, Outcome::Usage, {}},
      {"ZembIoAccess", {"GPIO", "GET"}, Outcome::Pass, {}},
      {"ZembIoAccess", {"GPIO", "SET", "0x5A"}, Outcome::Fail, {FailNth(K::IoAccess)}},
      {"ZembIoAccess", {"GPIO", "GET"}, Outcome::NoDevice, {}},
      {"ZembIoAccess", {"GPIO", "SET"}, Outcome::Usage, {}},
      {"ZembIoAccess", {"I2C", "R", "0x78", "2", "0x0301", "2"}, Outcome::Pass, {}},
      // No I2C device at 0x33: the device refuses the command.
      {"ZembIoAccess", {"I2C", "R", "0x33", "1", "0x10", "2"}, Outcome::Fail, {}},
      {"ZembIoAccess", {"I2C", "W", "0x33", "1", "0x10", "1", "5"}, Outcome::Fail, {}},
      {"ZembIoAccess", {"I2C", "W", "0x78", "2", "0x10", "1"}, Outcome::Usage, {}},
  };
  for (const ToolRun& r : runs) {
    test::ScratchDir dir;
    test::WriteConfig("spi.cfg", "SPI", 65536, 256);
    test::WriteConfig("i2c.cfg", "I2C", 65536, 64);
    test::WriteFile("hwfw.bin", test::Pattern(300, 1));
    test::WriteFile("desc.bin", test::Pattern(200, 2));
    test::WriteFile("data.bin", test::Pattern(5000, 3));
    // A ROM programmed with an image MAKE composed, so the updates find
    // their header.
    sim::SimRig maker{sim::SimMachine{}};
    test::RunTool(RunRomProgram, *maker.host,
                  {"ZembRomProgram.exe", "MAKE", "hwfw.bin", "desc.bin", "data.bin"});
    const std::vector<uint8_t> image = test::ReadFile(kKeshFileName);
    ASSERT_FALSE(image.empty());
    sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 65536);
    std::copy(image.begin(), image.end(), state.rom.begin());
    state.faults = r.faults;
    auto rig = r.outcome == Outcome::NoDevice ? std::make_unique<sim::SimRig>(sim::SimMachine{})
                                              : std::make_unique<sim::SimRig>(state);
    const std::string program = r.program;
    std::vector<std::string> words = r.words;
    words.insert(words.begin(), program + ".exe");
    const test::ToolMain tool = program == "ZembRomProgram" ? RunRomProgram
                                : program == "ZembRomMisc"  ? RunRomMisc
                                                            : RunIoAccess;
    const std::string out = test::RunTool(tool, *rig->host, words);
    const std::string successText = SuccessText(rule, program, r.words[0]);
    ASSERT_FALSE(successText.empty()) << program << " " << r.words[0];
    EXPECT_EQ(GuideSaysSuccess(rule, out, successText), r.outcome == Outcome::Pass)
        << program << " " << r.words[0] << " (outcome " << static_cast<int>(r.outcome) << "):\n"
        << out;
    // Each outcome is the one meant, so the rule is judged on the right text.
    const char* mark = r.outcome == Outcome::Fail       ? "fail !!!"
                       : r.outcome == Outcome::NoDevice ? "Cannot find device"
                       : r.outcome == Outcome::Usage    ? "Command Syntax:"
                                                        : nullptr;
    if (mark != nullptr) {
      EXPECT_NE(out.find(mark), std::string::npos) << out;
    }
  }
}

}  // namespace
}  // namespace zemb
