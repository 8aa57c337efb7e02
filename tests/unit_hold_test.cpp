// One run at a time on a unit, and a simulated device that keeps its state
// the way a device does: in process over the virtual clock where waiting is
// involved, and with the built programs over zembsim where it takes real
// processes (two runs at once, a run killed or unplugged half way).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/device/discovery.h"
#include "common/host/posix_lock.h"
#include "ioaccess/ioaccess.h"
#include "rommisc/rommisc.h"
#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

extern char** environ;

namespace zemb {
namespace {

constexpr const char* kWaitLine = "    Device is in use by another run, waiting ...\n";
constexpr const char* kGiveUpLine = "    Device is still in use by another run, giving up !!!\n";

// --- In process: the wait and its limit -----------------------------------------

struct ToolCase {
  const char* name;
  test::ToolMain tool;
  std::vector<std::string> words;
  const char* failLine;
};

const ToolCase kTools[] = {
    {"print",
     RunRomProgram,
     {"ZembRomProgram", "PRINT", "spi.cfg", "0"},
     "    ZembRomProgram fail !!!\n"},
    {"serial",
     RunRomMisc,
     {"ZembRomMisc", "SER", "20000130041415", "spi.cfg"},
     "    ZembRomMisc fail !!!\n"},
    {"gpio", RunIoAccess, {"ZembIoAccess", "GPIO", "SET", "0x5A"}, "    ZembIoAccess fail !!!\n"},
};

// A unit another run holds: each tool says it waits, waits the chip erase's
// time limit on the host tick, gives up without a request reaching the ROM
// or the IO port, and releases what it opened.
TEST(UnitHold, ARunGivesUpOnAUnitHeldForLongerThanTheLimit) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", 64 * 1024, 256);
  for (const ToolCase& c : kTools) {
    SCOPED_TRACE(c.name);
    sim::SimRig rig(sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024));
    const std::vector<uint8_t> rom = rig.device->State().rom;
    sim::SimHost other(sim::MachineFor(rig.device->State()), rig.device.get(), rig.clock,
                       sim::ConsoleMode::Capture);
    bool busy = false;
    auto held = other.TryLockDevice("any path of the unit", &busy);
    ASSERT_NE(held, nullptr);

    const std::string out = test::RunTool(c.tool, *rig.host, c.words);
    const size_t wait = out.find(kWaitLine);
    ASSERT_NE(wait, std::string::npos) << out;
    EXPECT_EQ(out.substr(wait), std::string(kWaitLine) + kGiveUpLine + c.failLine);
    EXPECT_GE(rig.host->TotalSleepMs(), kDeviceLockWaitMs);
    EXPECT_LT(rig.host->TotalSleepMs(), kDeviceLockWaitMs + 1000);
    for (const sim::TraceEntry& t : rig.device->Trace()) {
      EXPECT_NE(t.kind, sim::RequestKind::AccessRom);
      EXPECT_NE(t.kind, sim::RequestKind::IoAccess);
    }
    EXPECT_EQ(rig.device->State().rom, rom);
    EXPECT_EQ(rig.device->State().gpioData, 0);
    EXPECT_EQ(rig.host->OpenHandles(), 0);
    EXPECT_EQ(rig.host->ComDepth(), 0);

    // Once the other run lets go, the unit is this run's at once.
    held.reset();
    const std::string next = test::RunTool(c.tool, *rig.host, c.words);
    EXPECT_EQ(next.find(kWaitLine), std::string::npos) << next;
    EXPECT_EQ(next.find(c.failLine), std::string::npos) << next;
  }
}

TEST(UnitHold, RunsOnDifferentUnitsNeverWait) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", 64 * 1024, 256);
  sim::SimRig busyUnit(sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024));
  sim::SimRig freeUnit(sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024));
  bool busy = false;
  auto held = busyUnit.host->TryLockDevice("", &busy);
  ASSERT_NE(held, nullptr);
  for (const ToolCase& c : kTools) {
    const std::string out = test::RunTool(c.tool, *freeUnit.host, c.words);
    EXPECT_EQ(out.find(kWaitLine), std::string::npos) << c.name << "\n" << out;
    EXPECT_EQ(out.find(c.failLine), std::string::npos) << c.name << "\n" << out;
  }
  EXPECT_LT(freeUnit.host->TotalSleepMs(), kDeviceLockWaitMs);
}

// --- Real processes over zembsim -------------------------------------------------

// Starts `argv` with standard output and error into `outFile`; the caller
// waits for it (Finish) or kills it.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& outFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int Finish(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Waits (up to 20 s) until `file` holds `what` at least `times` times.
bool AwaitOutput(const std::string& file, const std::string& what, size_t times = 1) {
  for (int i = 0; i < 2000; ++i) {
    if (Count(test::ReadText(file), what) >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string Zembsim(const std::string& words, int* status = nullptr) {
  std::string output;
  const int code = test::RunCommand(std::string("'") + ZEMB_ZEMBSIM + "' " + words, &output);
  if (status != nullptr) *status = code;
  return output;
}

// Sets one key of device.txt, as an operator editing it would.
void SetDeviceKey(const std::string& key, const std::string& value) {
  std::string text = test::ReadText("ZembSimDevice/device.txt");
  text = std::regex_replace(text, std::regex("(^|\n)" + key + " = [^\n]*"),
                            "$1" + key + " = " + value);
  test::WriteText("ZembSimDevice/device.txt", text);
}

class KeptUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteConfig("spi.cfg", "SPI", 256 * 1024, 256);
    int status = -1;
    Zembsim("plug --face own --rom spi --size 262144", &status);
    ASSERT_EQ(status, 0);
  }
  test::ScratchDir dir;
};

// SER and MAC at once both read, erase and rewrite the misc sector: held one
// after the other, both fields end up on the unit.
TEST_F(KeptUnitTest, SerialAndMacRunsAtOnceBothLand) {
  const pid_t ser = Spawn({ZEMB_ROMMISC, "SER", "20000130041415", "spi.cfg"}, "ser.txt");
  const pid_t mac =
      Spawn({ZEMB_ROMMISC, "MAC", "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "spi.cfg"}, "mac.txt");
  ASSERT_GT(ser, 0);
  ASSERT_GT(mac, 0);
  EXPECT_EQ(Finish(ser), 0);
  EXPECT_EQ(Finish(mac), 0);
  for (const char* out : {"ser.txt", "mac.txt"}) {
    EXPECT_NE(test::ReadText(out).find("Burn Pass"), std::string::npos) << test::ReadText(out);
  }
  const std::string status = Zembsim("status");
  EXPECT_NE(status.find("P-side MAC       : 11-22-33-44-55-66"), std::string::npos) << status;
  EXPECT_NE(status.find("S-side MAC       : AA-BB-CC-DD-EE-FF"), std::string::npos) << status;
  EXPECT_NE(status.find("Serial number    : 20000130041415"), std::string::npos) << status;
}

// A run that finds the unit held says so once, waits, and goes on when the
// holder lets go.
TEST_F(KeptUnitTest, ARunWaitsWhileAnotherHoldsTheUnit) {
  Zembsim("unplug");
  Zembsim("plug --face cdrom --size 262144");  // the IO port is not on the own face
  std::unique_ptr<PosixFileLock> held;
  int error = 0;
  ASSERT_EQ(PosixFileLock::Take("ZembSimDevice/run.lock", false, &held, &error),
            PosixFileLock::Result::Acquired);
  const pid_t run = Spawn({ZEMB_IOACCESS, "GPIO", "SET", "0x5A"}, "gpio.txt");
  ASSERT_GT(run, 0);
  ASSERT_TRUE(AwaitOutput("gpio.txt", kWaitLine));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(waitpid(run, nullptr, WNOHANG), 0) << "the run did not wait";
  EXPECT_NE(test::ReadText("ZembSimDevice/device.txt").find("gpio.data = 0x00"), std::string::npos);
  held.reset();
  EXPECT_EQ(Finish(run), 0);
  EXPECT_EQ(test::ReadText("gpio.txt"),
            std::string(kWaitLine) + "                \n    Succee      \n");
  EXPECT_NE(test::ReadText("ZembSimDevice/device.txt").find("gpio.data = 0x5A"), std::string::npos);
}

// A BURN killed half way leaves the ROM erased and written exactly as far as
// its progress lines got: every chunk before the last one announced holds
// the image, the announced chunk holds a part of it, the rest of the erased
// range is blank, and what lies beyond the image is as before.
TEST_F(KeptUnitTest, AKilledBurnLeavesTheRomHalfWritten) {
  constexpr size_t kRom = 256 * 1024, kImage = 128 * 1024 + 100;
  const std::vector<uint8_t> before = test::Pattern(kRom, 7);
  const std::vector<uint8_t> image = test::Pattern(kImage, 9);
  test::WriteFile("before.bin", before);
  test::WriteFile("k.bin", image);
  Zembsim("load before.bin");
  SetDeviceKey("timing.page-program-us", "4000");  // about 2 s for the image

  const pid_t burn = Spawn({ZEMB_ROMPROGRAM, "BURN", "k.bin", "spi.cfg"}, "burn.txt");
  ASSERT_GT(burn, 0);
  ASSERT_TRUE(AwaitOutput("burn.txt", "[OffsetStart : OffsetEnd]", 4))
      << test::ReadText("burn.txt");
  kill(burn, SIGKILL);
  ASSERT_EQ(Finish(burn), 128 + SIGKILL);

  const std::string out = test::ReadText("burn.txt");
  const size_t last = out.rfind("[OffsetStart : OffsetEnd] ");
  unsigned start = 0, end = 0;
  ASSERT_EQ(std::sscanf(out.c_str() + last, "[OffsetStart : OffsetEnd] %u : %u", &start, &end), 2);
  ASSERT_LT(end, kImage) << "the run ended before it was killed";
  ASSERT_EQ(Zembsim("dump after.bin").find("fail"), std::string::npos);
  const std::vector<uint8_t> rom = test::ReadFile("after.bin");
  ASSERT_EQ(rom.size(), kRom);
  const size_t erasedEnd = (kImage + 4095) / 4096 * 4096;
  for (size_t i = 0; i < kRom; ++i) {
    if (i < start) {
      ASSERT_EQ(rom[i], image[i]) << "written part, at " << i;
    } else if (i < end) {
      ASSERT_TRUE(rom[i] == image[i] || rom[i] == 0xFF) << "announced chunk, at " << i;
    } else if (i < erasedEnd) {
      ASSERT_EQ(rom[i], 0xFF) << "erased part, at " << i;
    } else {
      ASSERT_EQ(rom[i], before[i]) << "beyond the image, at " << i;
    }
  }
}

// What zembsim does between two requests of a running BURN reaches the next
// request: the unit pulled out fails the run as a removed device does (and
// stays out), a fault armed then fires.
TEST_F(KeptUnitTest, ZembsimBetweenTwoRequestsIsSeenByTheNext) {
  struct Case {
    const char* command;
    const char* line;  // in the failed run's output
  };
  for (const Case& c : {Case{"unplug", "The device is not connected."},
                        Case{"fault fail any 1 1117", "I/O device error"}}) {
    SCOPED_TRACE(c.command);
    if (!test::FileExists("ZembSimDevice/device.txt")) Zembsim("plug --face own --size 262144");
    test::WriteFile("k.bin", test::Pattern(128 * 1024));
    SetDeviceKey("timing.page-program-us", "4000");
    const pid_t burn = Spawn({ZEMB_ROMPROGRAM, "BURN", "k.bin", "spi.cfg"}, "burn.txt");
    ASSERT_GT(burn, 0);
    ASSERT_TRUE(AwaitOutput("burn.txt", "[OffsetStart : OffsetEnd]", 2));
    int status = -1;
    Zembsim(c.command, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Finish(burn), 0);
    const std::string out = test::ReadText("burn.txt");
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_NE(out.find("    ZembRomProgram fail !!!\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Burn Pass"), std::string::npos) << out;
    if (std::string(c.command) == "unplug") {
      // The run that ended did not bring the unit back.
      EXPECT_FALSE(test::FileExists("ZembSimDevice/device.txt"));
    }
  }
}

// A state that cannot be kept fails the request that changed it.
TEST_F(KeptUnitTest, AStateThatCannotBeSavedFailsTheRun) {
  Zembsim("unplug");
  Zembsim("plug --face cdrom --size 262144");
  ASSERT_EQ(mkdir("ZembSimDevice/device.txt.tmp", 0755), 0);  // device.txt cannot be replaced
  std::string out;
  test::RunCommand(std::string("'") + ZEMB_IOACCESS + "' GPIO SET 0x5A", &out);
  EXPECT_NE(out.find("    ZembIoAccess fail !!!\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Succee"), std::string::npos) << out;
  rmdir("ZembSimDevice/device.txt.tmp");
  EXPECT_NE(test::ReadText("ZembSimDevice/device.txt").find("gpio.data = 0x00"), std::string::npos);
}

}  // namespace
}  // namespace zemb
