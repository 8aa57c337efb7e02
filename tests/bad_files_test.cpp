// Files that are not what the operator meant: a configuration that is a
// directory, a FIFO, unreadable, empty, binary or made of endless words;
// input files that are directories, FIFOs, device nodes, empty, or gone
// between the check and the read; a
// current directory where the run log cannot be created. Each run says so
// in a clear line, does not crash, and loses nothing the operator had.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "rommisc/rommisc.h"
#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRomSize = 65536;

// A programmed ROM: a header with the HW/FW entry, data everywhere else.
sim::DeviceState Device() {
  sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, kRomSize);
  state.rom = test::Pattern(kRomSize, 5);
  const uint8_t header[] = {0xEF, 0xBE, 0xFF, 0xFF, 0x01, 0x00, 0x64};
  std::copy(std::begin(header), std::end(header), state.rom.begin());
  return state;
}

// The simulated machine, with a hook into its device requests: the files
// of a run can be changed while the run is in the middle of it.
class HookedHost : public sim::SimHost {
 public:
  HookedHost(sim::SimMachine machine, sim::SimDevice* device, sim::Clock& clock)
      : SimHost(std::move(machine), device, clock, sim::ConsoleMode::Capture) {}
  bool DeviceIoControl(DeviceHandle handle, uint32_t code, const void* in, uint32_t inLength,
                       void* out, uint32_t outLength, uint32_t* returned) override {
    ++calls_;
    if (onRequest) onRequest(calls_);
    return SimHost::DeviceIoControl(handle, code, in, inLength, out, outLength, returned);
  }
  std::function<void(int)> onRequest;  // with the request's number, from 1

 private:
  int calls_ = 0;
};

class BadFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteConfig("spi.cfg", "SPI", kRomSize, 256);
    device = std::make_unique<sim::SimDevice>(Device(), clock);
    host = std::make_unique<HookedHost>(sim::MachineFor(device->State()), device.get(), clock);
  }
  std::string Program(std::vector<std::string> words) {
    words.insert(words.begin(), "ZembRomProgram");
    return test::RunTool(RunRomProgram, *host, words);
  }
  std::string Misc(std::vector<std::string> words) {
    words.insert(words.begin(), "ZembRomMisc");
    return test::RunTool(RunRomMisc, *host, words);
  }
  bool RomUntouched() const { return device->State().rom == Device().rom; }

  test::ScratchDir dir;
  sim::VirtualClock clock;
  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<HookedHost> host;
};

// --- the configuration file --------------------------------------------------

struct BadConfig {
  const char* name;
  std::function<void()> make;  // makes "rom.cfg"
  const char* line;            // what the run says
};

class BadConfigTest : public BadFilesTest, public ::testing::WithParamInterface<BadConfig> {};

TEST_P(BadConfigTest, IsRefusedWithAClearLineAndKept) {
  GetParam().make();
  const bool isFile = fs::is_regular_file("rom.cfg");
  const std::vector<uint8_t> kept = isFile ? test::ReadFile("rom.cfg") : std::vector<uint8_t>{};

  for (const std::string& out : {Program({"PRINT", "rom.cfg", "0"}), Program({"ERASE", "rom.cfg"}),
                                 Misc({"SER", "20000130041415", "rom.cfg"})}) {
    EXPECT_NE(out.find(GetParam().line), std::string::npos) << out;
    EXPECT_NE(out.find("Command Syntax:"), std::string::npos) << out;
  }
  // The device was never opened, and the file is as it was.
  EXPECT_FALSE(host->Called("CreateFile"));
  EXPECT_TRUE(RomUntouched());
  if (isFile) {
    EXPECT_EQ(test::ReadFile("rom.cfg"), kept);
  }
}

std::string Words(size_t length) {
  std::string text;
  for (const char* key :
       {"ROM_TYPE", "ROM_NAME", "ROM_VENDOR", "ROM_SIZE", "PAGE_SIZE", "ADDRESS_SIZE"}) {
    text += std::string(key) + " " + std::string(length, '7') + "\n";
  }
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadConfigTest,
    ::testing::Values(
        BadConfig{"Directory", [] { fs::create_directory("rom.cfg"); },
                  "    Cannot open Config !!!\n"},
        // Opened plainly, a FIFO with no writer blocks the run for ever.
        BadConfig{"Fifo", [] { ASSERT_EQ(mkfifo("rom.cfg", 0600), 0); },
                  "    Cannot open Config !!!\n"},
        BadConfig{"Empty", [] { test::WriteText("rom.cfg", ""); },
                  "    Get ROM Parameter fail !!!\n"},
        BadConfig{"Binary", [] { test::WriteFile("rom.cfg", test::Pattern(3000, 9)); },
                  "    Get ROM Parameter fail !!!\n"},
        BadConfig{"TenThousandCharacterWords", [] { test::WriteText("rom.cfg", Words(10000)); },
                  "    ROM Config value 1 is 10000 characters long, more than 19 !!!\n"},
        BadConfig{"TenThousandCharacterKeys",
                  [] {
                    test::WriteText("rom.cfg", std::string(10000, 'K') + " SPI " +
                                                   std::string(10000, 'K') +
                                                   " x y z a 65536 b 0 c 3");
                  },
                  "    ->PageSize    0 \n"}),
    [](const ::testing::TestParamInfo<BadConfig>& info) { return std::string(info.param.name); });

TEST_F(BadFilesTest, UnreadableConfigIsRefused) {
  test::WriteConfig("rom.cfg", "SPI", kRomSize, 256);
  fs::permissions("rom.cfg", fs::perms::none);
  if (access("rom.cfg", R_OK) == 0) {
    GTEST_SKIP() << "running as root: permissions do not stop this process from reading the file";
  }
  const std::string out = Program({"PRINT", "rom.cfg", "0"});
  EXPECT_NE(out.find("    Cannot open Config !!!\n"), std::string::npos) << out;
  EXPECT_FALSE(host->Called("CreateFile"));
  fs::permissions("rom.cfg", fs::perms::owner_read | fs::perms::owner_write);
}

// --- input files -------------------------------------------------------------

enum class Trouble {
  Directory,  // the path names a directory
  Fifo,       // the path names a FIFO nobody writes to
  Device,     // the path is a link to a device node
  Vanishes,   // removed after the parameter check, before the function opens it
  Shrinks,    // cut short after the function has opened it and taken its length
};

struct BadInput {
  const char* name;
  std::vector<std::string> words;  // the input is "input.bin"
  Trouble trouble;
  const char* line;
};

class BadInputTest : public BadFilesTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(BadInputTest, FailsWithAClearLine) {
  const BadInput& c = GetParam();
  if (c.trouble == Trouble::Directory) {
    fs::create_directory("input.bin");
  } else if (c.trouble == Trouble::Fifo) {
    ASSERT_EQ(mkfifo("input.bin", 0600), 0);
  } else if (c.trouble == Trouble::Device) {
    fs::create_symlink("/dev/zero", "input.bin");
  } else {
    test::WriteFile("input.bin", test::Pattern(6000, 2));
  }
  if (c.trouble == Trouble::Vanishes) {
    // Discovery's first request on the CD-ROM face comes after the check.
    host->onRequest = [](int n) {
      if (n == 1) fs::remove("input.bin");
    };
  }
  if (c.trouble == Trouble::Shrinks) {
    // By the tenth request the function has opened the file and is at work
    // on the ROM.
    host->onRequest = [](int n) {
      if (n == 10) fs::resize_file("input.bin", 100);
    };
  }
  const std::string out = Program(c.words);
  EXPECT_NE(out.find(c.line), std::string::npos) << out;
  EXPECT_NE(out.find("    Burn Fail\n    ZembRomProgram fail !!!\n"), std::string::npos) << out;
  if (c.trouble != Trouble::Shrinks) {
    EXPECT_TRUE(RomUntouched());
  }
  EXPECT_EQ(host->OpenHandles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, BadInputTest,
                         ::testing::Values(BadInput{"BurnDirectory",
                                                    {"BURN", "input.bin", "spi.cfg"},
                                                    Trouble::Directory,
                                                    "    Cannot open BIN file !!!\n"},
                                           BadInput{"BurnFifo",
                                                    {"BURN", "input.bin", "spi.cfg"},
                                                    Trouble::Fifo,
                                                    "    Cannot open BIN file !!!\n"},
                                           BadInput{"BurnDeviceNode",
                                                    {"BURN", "input.bin", "spi.cfg"},
                                                    Trouble::Device,
                                                    "    Cannot open BIN file !!!\n"},
                                           BadInput{"BurnVanishes",
                                                    {"BURN", "input.bin", "spi.cfg"},
                                                    Trouble::Vanishes,
                                                    "    Cannot open BIN file !!!\n"},
                                           BadInput{"BurnShrinks",
                                                    {"BURN", "input.bin", "spi.cfg"},
                                                    Trouble::Shrinks,
                                                    "    Cannot read BIN file !!!\n"},
                                           BadInput{"HwFwDirectory",
                                                    {"HWFW", "input.bin", "spi.cfg"},
                                                    Trouble::Directory,
                                                    "    Cannot open ROM file !!!\n"},
                                           BadInput{"HwFwFifo",
                                                    {"HWFW", "input.bin", "spi.cfg"},
                                                    Trouble::Fifo,
                                                    "    Cannot open ROM file !!!\n"},
                                           BadInput{"HwFwDeviceNode",
                                                    {"HWFW", "input.bin", "spi.cfg"},
                                                    Trouble::Device,
                                                    "    Cannot open ROM file !!!\n"},
                                           BadInput{"HwFwVanishes",
                                                    {"HWFW", "input.bin", "spi.cfg"},
                                                    Trouble::Vanishes,
                                                    "    Cannot open ROM file !!!\n"},
                                           BadInput{"HwFwShrinks",
                                                    {"HWFW", "input.bin", "spi.cfg"},
                                                    Trouble::Shrinks,
                                                    "    Cannot read HW/FW file !!!\n"},
                                           BadInput{"ImageDirectory",
                                                    {"IMG", "input.bin", "spi.cfg"},
                                                    Trouble::Directory,
                                                    "    Cannot open Image file !!!\n"},
                                           BadInput{"ImageFifo",
                                                    {"IMG", "input.bin", "spi.cfg"},
                                                    Trouble::Fifo,
                                                    "    Cannot open Image file !!!\n"},
                                           BadInput{"ImageDeviceNode",
                                                    {"IMG", "input.bin", "spi.cfg"},
                                                    Trouble::Device,
                                                    "    Cannot open Image file !!!\n"},
                                           BadInput{"ImageVanishes",
                                                    {"IMG", "input.bin", "spi.cfg"},
                                                    Trouble::Vanishes,
                                                    "    Cannot open Image file !!!\n"},
                                           BadInput{"ImageShrinks",
                                                    {"IMG", "input.bin", "spi.cfg"},
                                                    Trouble::Shrinks,
                                                    "    Cannot read Image file !!!\n"},
                                           BadInput{"DescDirectory",
                                                    {"DESC", "input.bin", "spi.cfg"},
                                                    Trouble::Directory,
                                                    "    Cannot open Desc file !!!\n"},
                                           BadInput{"DescFifo",
                                                    {"DESC", "input.bin", "spi.cfg"},
                                                    Trouble::Fifo,
                                                    "    Cannot open Desc file !!!\n"},
                                           BadInput{"DescDeviceNode",
                                                    {"DESC", "input.bin", "spi.cfg"},
                                                    Trouble::Device,
                                                    "    Cannot open Desc file !!!\n"},
                                           BadInput{"DescVanishes",
                                                    {"DESC", "input.bin", "spi.cfg"},
                                                    Trouble::Vanishes,
                                                    "    Cannot open Desc file !!!\n"},
                                           BadInput{"DescShrinks",
                                                    {"DESC", "input.bin", "spi.cfg"},
                                                    Trouble::Shrinks,
                                                    "    Cannot read Desc file !!!\n"}),
                         [](const ::testing::TestParamInfo<BadInput>& info) {
                           return std::string(info.param.name);
                         });

// Empty inputs are no fault: there is nothing to write, and the ROM keeps
// what it had outside the regions the function rewrites.
TEST_F(BadFilesTest, EmptyInputsWriteNothingOfThem) {
  test::WriteFile("empty.bin", {});
  std::string out = Program({"BURN", "empty.bin", "spi.cfg"});
  EXPECT_NE(out.find("    BinFileLength 0\n"), std::string::npos) << out;
  EXPECT_TRUE(RomUntouched());

  out = Program({"DESC", "empty.bin", "spi.cfg"});
  EXPECT_EQ(out.find("fail"), std::string::npos) << out;
  EXPECT_TRUE(RomUntouched());

  // HWFW pads a short file with 0xFF to the whole region.
  out = Program({"HWFW", "empty.bin", "spi.cfg"});
  EXPECT_NE(out.find("    Burn Pass   \n"), std::string::npos) << out;
  const std::vector<uint8_t>& rom = device->State().rom;
  EXPECT_TRUE(
      std::all_of(rom.begin() + 256, rom.begin() + 0x8000, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(rom.begin() + 0x8000, rom.end(), Device().rom.begin() + 0x8000));
}

TEST_F(BadFilesTest, MakeWithABadInputKeepsThePreviousKeshFile) {
  const std::vector<uint8_t> previous = test::Pattern(49152, 4);
  test::WriteFile(kKeshFileName, previous);
  test::WriteFile("hwfw.bin", test::Pattern(300, 1));
  fs::create_directory("desc.dir");
  std::string out = Program({"MAKE", "hwfw.bin", "desc.dir"});
  EXPECT_NE(out.find("    Cannot open ROM file !!!\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    ZembRomProgram fail !!!\n"), std::string::npos) << out;
  EXPECT_EQ(test::ReadFile(kKeshFileName), previous);

  out = Program({"MAKE", "hwfw.bin", "gone.bin"});
  EXPECT_NE(out.find("    Cannot open ROM file !!!\n"), std::string::npos) << out;
  EXPECT_EQ(test::ReadFile(kKeshFileName), previous);

  // A FIFO as an input is refused at once instead of waiting for a writer.
  ASSERT_EQ(mkfifo("hwfw.fifo", 0600), 0);
  out = Program({"MAKE", "hwfw.fifo", "hwfw.bin"});
  EXPECT_NE(out.find("    Cannot open ROM file !!!\n"), std::string::npos) << out;
  EXPECT_EQ(test::ReadFile(kKeshFileName), previous);
}

// --- the run log -------------------------------------------------------------

TEST_F(BadFilesTest, RunLogThatCannotBeCreatedIsNamedAndTheRunGoesOn) {
  // A file where the log folder belongs.
  test::WriteText(kLogFolder, "the operator's notes\n");
  const std::string out = Program({"PRINT", "spi.cfg", "0"});
  EXPECT_NE(out.find("    Cannot create run log "), std::string::npos) << out;
  EXPECT_NE(out.find("ROM:0 ~ 1023 Bytes\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("fail"), std::string::npos) << out;
  EXPECT_EQ(test::ReadText(kLogFolder), "the operator's notes\n");
  EXPECT_EQ(host->OpenHandles(), 0);
}

}  // namespace
}  // namespace zemb
