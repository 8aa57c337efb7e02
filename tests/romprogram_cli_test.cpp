// ZembRomProgram's command line, parameter check, usage text and run log.
#include <gtest/gtest.h>

#include <filesystem>

#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

struct ParseCase {
  std::vector<std::string> words;
  uint8_t function;
  uint32_t needDevice;
  uint32_t showVersion;
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, SelectsTheFunction) {
  const ParseCase& c = GetParam();
  std::vector<const char*> argv;
  for (const auto& w : c.words) argv.push_back(w.c_str());
  RomProgramParameters p;
  ParseRomProgramArguments(static_cast<int>(argv.size()), argv.data(), p);
  EXPECT_EQ(p.Function, c.function);
  EXPECT_EQ(p.NeedDevice, c.needDevice);
  EXPECT_EQ(p.ShowVersion, c.showVersion);
  EXPECT_EQ(p.RomType, kRomTypeUnset);
}

INSTANTIATE_TEST_SUITE_P(
    Words, ParseTest,
    ::testing::Values(ParseCase{{"Z"}, FUNCTION_UNKNOWN, 0, 0},
                      ParseCase{{"Z", "make", "hw", "desc"}, FUNCTION_MAKE_BIN_FILE, 0, 0},
                      ParseCase{{"Z", "M", "hw", "desc", "img"}, FUNCTION_MAKE_BIN_FILE, 0, 0},
                      ParseCase{{"Z", "MAKE", "hw", "desc", "img", "more"}, FUNCTION_UNKNOWN, 0, 0},
                      ParseCase{{"Z", "MAKE", "hw"}, FUNCTION_UNKNOWN, 0, 0},
                      ParseCase{{"Z", "burn", "k", "c"}, FUNCTION_BURN_BIN_FILE, 1, 0},
                      ParseCase{{"Z", "b", "k", "c"}, FUNCTION_BURN_BIN_FILE, 1, 0},
                      ParseCase{{"Z", "BURN", "k"}, FUNCTION_UNKNOWN, 0, 0},
                      ParseCase{{"Z", "HwFw", "f", "c"}, FUNCTION_PROGRAM_HWFW, 1, 0},
                      ParseCase{{"Z", "h", "f", "c"}, FUNCTION_PROGRAM_HWFW, 1, 0},
                      ParseCase{{"Z", "img", "f", "c"}, FUNCTION_PROGRAM_IMG, 1, 0},
                      ParseCase{{"Z", "I", "f", "c"}, FUNCTION_PROGRAM_IMG, 1, 0},
                      ParseCase{{"Z", "Desc", "f", "c"}, FUNCTION_PROGRAM_DESC, 1, 0},
                      ParseCase{{"Z", "d", "f", "c"}, FUNCTION_PROGRAM_DESC, 1, 0},
                      ParseCase{{"Z", "print", "c", "4096"}, FUNCTION_PRINT_ADDRESS, 1, 0},
                      ParseCase{{"Z", "P", "c", "0"}, FUNCTION_PRINT_ADDRESS, 1, 0},
                      ParseCase{{"Z", "PRINT", "c"}, FUNCTION_UNKNOWN, 0, 0},
                      ParseCase{{"Z", "e", "c"}, FUNCTION_ERASE_SPICHIP, 1, 0},
                      ParseCase{{"Z", "ERASE", "c", "more"}, FUNCTION_UNKNOWN, 0, 0},
                      ParseCase{{"Z", "v"}, FUNCTION_UNKNOWN, 0, 1},
                      ParseCase{{"Z", "VER"}, FUNCTION_UNKNOWN, 0, 1},
                      ParseCase{{"Z", "VER", "x"}, FUNCTION_UNKNOWN, 0, 0},
                      ParseCase{{"Z", "MAKEX", "a", "b"}, FUNCTION_UNKNOWN, 0, 0},
                      ParseCase{{"Z", "BU", "k", "c"}, FUNCTION_UNKNOWN, 0, 0}));

TEST(ParseRomProgramArguments, PrintAddressFollowsAtoi) {
  for (auto [word, value] : std::vector<std::pair<const char*, int32_t>>{
           {"4096", 4096},
           {"-4", -4},
           {"12abc", 12},
           {"abc", 0},
           {"0x100", 0},
           {"+7", 7},
           // every blank atoi skips, and no other character
           {" \t\n\v\f\r4096", 4096},
           {"\r\n-8", -8},
           {"\b4096", 0}}) {
    const char* argv[] = {"Z", "PRINT", "c", word};
    RomProgramParameters p;
    ParseRomProgramArguments(4, argv, p);
    EXPECT_EQ(p.StartAddress, value) << word;
  }
}

const std::string kUsage =
    "Command Syntax:                                                             \n"
    "    ZembRomProgram.exe {Function} {Files} {ROM Config} [Address]            \n"
    "                                                                            \n"
    "                                                                            \n"
    "Function:                                                                   \n"
    "    MAKE            - Make KESH BIN file,                                   \n"
    "                      include Header + HW/FW + DESC + Image.                \n"
    "    BURN            - Burn KESH BIN file to ROM.                            \n"
    "    HWFW            - Update HW/FW sector to ROM.                           \n"
    "    IMG             - Update Image sector to ROM.                           \n"
    "    DESC            - Update Descriptor sector to ROM.                      \n"
    "    PRINT           - Print the ROM data.                                   \n"
    "    ERASE           - ERASE the ROM chip. (only for SPI ROM)                \n"
    "                                                                            \n"
    "                                                                            \n"
    "Files:                                                                      \n"
    "    IMG File        - Image ISO file                                        \n"
    "    Kesh File       - Kesh Binary File                                      \n"
    "    HW/FW File      - HW/FW Binary File                                     \n"
    "    ROM Config      - ROM configuration information                         \n"
    "    DESC File       - Descriptor Binary File                                \n"
    "                                                                            \n"
    "                                                                            \n"
    "Example:                                                                    \n"
    "    ZembRomProgram.exe MAKE   {HW/FW File} {DESC File} {IMG File}           \n"
    "    ZembRomProgram.exe BURN   {Kesh  File} {ROM Config}                     \n"
    "                                                                            \n"
    "    ZembRomProgram.exe HWFW   {HW/FW File} {ROM Config}                     \n"
    "    ZembRomProgram.exe IMG    {IMG   File} {ROM Config}                     \n"
    "    ZembRomProgram.exe DESC   {Desc  File} {ROM Config}                     \n"
    "                                                                            \n"
    "    ZembRomProgram.exe PRINT  {ROM Config} {Start Address}                  \n"
    "    ZembRomProgram.exe ERASE  {ROM Config}                                  \n";

class RomProgramRunTest : public ::testing::Test {
 protected:
  std::string Run(std::vector<std::string> words) {
    words.insert(words.begin(), "ZembRomProgram");
    return test::RunTool(RunRomProgram, *rig.host, words);
  }
  test::ScratchDir dir;
  sim::SimRig rig{sim::DefaultDeviceState(sim::RomKind::Spi, 65536)};
};

TEST_F(RomProgramRunTest, UsageTextIsByteForByte) {
  for (const auto& line : {kUsage}) {
    size_t start = 0;
    while (start < line.size()) {
      size_t end = line.find('\n', start);
      EXPECT_EQ(end - start, 76u) << line.substr(start, end - start);
      start = end + 1;
    }
  }
  EXPECT_EQ(Run({"NOPE"}), "    CheckParameter, FUNCTION_UNKNOWN \n" + kUsage);
  EXPECT_EQ(Run({}), "    CheckParameter, FUNCTION_UNKNOWN \n" + kUsage);
  EXPECT_EQ(Run({"VER", "x"}), "    CheckParameter, FUNCTION_UNKNOWN \n" + kUsage);
  EXPECT_FALSE(test::FileExists(kLogFolder)) << "no run log before the check passes";
  EXPECT_TRUE(rig.host->Calls().empty()) << "no device is looked for";
}

TEST_F(RomProgramRunTest, VersionText) {
  EXPECT_EQ(Run({"v"}), "    \nZembRomProgram version:2.4.01\n\n");
  EXPECT_EQ(Run({"VER"}), "    \nZembRomProgram version:2.4.01\n\n");
}

TEST_F(RomProgramRunTest, CheckFailuresPrintTheirLinesThenUsage) {
  test::WriteConfig("spi.cfg", "SPI", 65536, 256);
  test::WriteConfig("i2c.cfg", "I2C", 65536, 64);
  EXPECT_EQ(Run({"ERASE", "i2c.cfg"}),
            "    CheckParameter, FUNCTION_ERASE_SPICHIP \n"
            "    The device ROM is not SPI !!!\n" +
                kUsage);
  EXPECT_EQ(Run({"ERASE", "none.cfg"}),
            "    CheckParameter, FUNCTION_ERASE_SPICHIP \n"
            "    Cannot open Config !!!\n"
            "    The device ROM is not SPI !!!\n" +
                kUsage);
  EXPECT_EQ(Run({"BURN", "k.bin", "none.cfg"}),
            "    CheckParameter, FUNCTION_BURN_BIN_FILE \n"
            "    Cannot open Config !!!\n" +
                kUsage);
  // The 4096 bytes PRINT reads must lie inside the ROM.
  EXPECT_EQ(Run({"PRINT", "spi.cfg", "61441"}),
            "    CheckParameter, FUNCTION_PRINT_ADDRESS \n"
            "    Start Address exceed ROM Size 65536 size !!!\n" +
                kUsage);
  EXPECT_EQ(Run({"PRINT", "spi.cfg", "-1"}),
            "    CheckParameter, FUNCTION_PRINT_ADDRESS \n"
            "    Start Address -1 is negative !!!\n" +
                kUsage);
  EXPECT_TRUE(rig.device->Trace().empty());
  EXPECT_EQ(Run({"PRINT", "spi.cfg", "61440"}).find("Start Address"), std::string::npos);
}

TEST(RomProgramNoDevice, CannotFindDeviceEndsTheRunWithoutVerdict) {
  test::ScratchDir dir;
  sim::SimRig rig{sim::SimMachine{}};
  test::WriteConfig("spi.cfg", "SPI", 65536, 256);
  std::string out = test::RunTool(RunRomProgram, *rig.host, {"Z", "PRINT", "spi.cfg", "0"});
  EXPECT_EQ(out,
            "    CheckParameter, FUNCTION_PRINT_ADDRESS \n"
            "    Cannot find device for ROM access test!!!\n");
  EXPECT_EQ(rig.host->ComDepth(), 0) << "COM is uninitialised when the camera path finds nothing";
  EXPECT_TRUE(rig.host->Called("CoInitializeEx"));
  EXPECT_EQ(rig.host->OpenHandles(), 0);
  EXPECT_EQ(test::ReadText("Log_ZembRomProgram/1209_1030.log"), "")
      << "the run log is created and stays empty";
}

TEST(RomProgramRunLog, SecondRunInTheSameMinuteAppends) {
  test::ScratchDir dir;
  sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 65536);
  state.cdromFace = true;
  sim::SimRig rig{state};
  test::WriteConfig("spi.cfg", "SPI", 65536, 256);
  std::string first = test::RunTool(RunRomProgram, *rig.host, {"Z", "PRINT", "spi.cfg", "0"});
  std::string second = test::RunTool(RunRomProgram, *rig.host, {"Z", "PRINT", "spi.cfg", "4096"});
  std::string log = test::ReadText("Log_ZembRomProgram/1209_1030.log");
  // The log holds what the functions printed, not the check or discovery lines.
  auto logged = [](const std::string& out) {
    return out.substr(out.find("                               \n"));
  };
  EXPECT_EQ(log, logged(first) + logged(second));
  EXPECT_EQ(RunLogPath({2026, 1, 2, 3, 4, 0}),
#if defined(_WIN32)
            ".\\Log_ZembRomProgram\\0102_0304.log"
#else
            "./Log_ZembRomProgram/0102_0304.log"
#endif
  );
}

}  // namespace
}  // namespace zemb
