// zemb against what a factory floor does to it: two runs into one file, a
// file named twice, configurations that only look right, a unit that fails
// while it is being found, library lines on standard error, and an image
// verified against a provisioned unit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "rommisc/rommisc.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"
#include "tests/zemb_tests.h"
#include "zemb/zemb.h"

namespace zemb {
namespace {

using sim::Face;
using sim::RequestKind;
using sim::RomKind;
using Bytes = std::vector<uint8_t>;
using test::Zemb;

sim::DeviceState Device(Face face, Bytes rom = {}) {
  sim::DeviceState state = sim::DefaultDeviceState(RomKind::Spi, test::kRomSize);
  state.ownFace = face == Face::Own;
  state.cdromFace = face == Face::Cdrom;
  state.xuFace = face == Face::Xu;
  if (!rom.empty()) state.rom = std::move(rom);
  return state;
}

class ZembGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256); }
  test::ScratchDir dir;
};

// A host on which a second zemb run happens, start to end, at the moment
// this run says it has begun reading: two runs into one FILE at once.
class MidReadHost : public sim::SimHost {
 public:
  using SimHost::SimHost;
  std::function<void()> midRead;
  void WriteStdout(std::string_view text) override {
    SimHost::WriteStdout(text);
    if (midRead && text.rfind("reading ", 0) == 0) {
      auto run = std::move(midRead);
      midRead = nullptr;
      run();
    }
  }
};

TEST_F(ZembGuardTest, TwoReadsIntoOneFileLeaveOneWholeRomAndTheOtherRunSaysSo) {
  const Bytes romA = test::Pattern(test::kRomSize, 31), romB = test::Pattern(test::kRomSize, 32);
  const sim::DeviceState stateA = Device(Face::Own, romA);
  sim::VirtualClock clock;
  sim::SimDevice unitA(stateA, clock);
  MidReadHost hostA(sim::MachineFor(stateA), &unitA, clock, sim::ConsoleMode::Capture);
  sim::SimRig rigB(Device(Face::Cdrom, romB));
  test::ToolResult b;
  hostA.midRead = [&] { b = Zemb(*rigB.host, {"read", "out.bin", "--config", "spi.cfg"}); };
  const test::ToolResult a = Zemb(hostA, {"read", "out.bin", "--config", "spi.cfg"});
  ASSERT_EQ(b.status >= 0, true);

  const Bytes survivor = test::ReadFile("out.bin");
  ASSERT_TRUE(survivor == romA || survivor == romB);
  const test::ToolResult& kept = survivor == romA ? a : b;
  const test::ToolResult& lost = survivor == romA ? b : a;
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_NE(kept.out.find("read 65536 bytes into out.bin\n"), std::string::npos) << kept.out;
  EXPECT_NE(lost.status, 0) << lost.out;
  EXPECT_EQ(lost.out.find("read 65536 bytes into"), std::string::npos) << lost.out;
  EXPECT_NE(lost.err.find("out.bin"), std::string::npos) << lost.err;
  EXPECT_EQ(test::FilesStartingWith("out.bin."), std::vector<std::string>{});
}

TEST_F(ZembGuardTest, CtrlCDuringReadOrVerifyLeavesNoTemporaryFile) {
  const Bytes rom = test::Pattern(test::kRomSize, 33);
  sim::SimRig rig(Device(Face::Own, rom));
  const Bytes before = test::Pattern(100, 34);
  test::WriteFile("out.bin", before);
  rig.host->ScheduleInterrupt(3);
  test::ToolResult r = Zemb(*rig.host, {"read", "out.bin", "--config", "spi.cfg"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "zemb: error: interrupted; out.bin was not written\n");
  EXPECT_EQ(test::ReadFile("out.bin"), before);
  EXPECT_EQ(test::FilesStartingWith("out.bin."), std::vector<std::string>{});

  test::WriteFile("image.bin", rom);
  sim::SimRig again(Device(Face::Own, rom));
  again.host->ScheduleInterrupt(3);
  r = Zemb(*again.host, {"verify", "image.bin", "--config", "spi.cfg"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "zemb: error: interrupted; image.bin was verified up to 0x00003000 only\n");
}

TEST_F(ZembGuardTest, AFileTheRunReadsIsNeverItsOutput) {
  test::WriteFile("image.bin", test::Pattern(8192, 35));
  ASSERT_EQ(link("spi.cfg", "hard.cfg"), 0);
  ASSERT_EQ(symlink("image.bin", "image.link"), 0);
  const std::string config = test::ReadText("spi.cfg");
  const Bytes image = test::ReadFile("image.bin");
  sim::SimRig rig(Device(Face::Cdrom));
  const std::vector<std::vector<std::string>> cases = {
      {"read", "spi.cfg", "--config", "spi.cfg"},
      {"read", "./spi.cfg", "--config", "spi.cfg"},
      {"read", "hard.cfg", "--config", "spi.cfg"},
      {"provision", "image.bin", "--config", "spi.cfg", "--ledger", "image.link"},
      {"provision", "image.bin", "--config", "spi.cfg", "--ledger", "hard.cfg"},
  };
  for (const auto& words : cases) {
    SCOPED_TRACE(words[1] + " " + words.back());
    const test::ToolResult r = Zemb(*rig.host, words);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("it would be overwritten"), std::string::npos) << r.err;
    EXPECT_TRUE(rig.device->Trace().empty());
  }
  EXPECT_EQ(test::ReadText("spi.cfg"), config);
  EXPECT_EQ(test::ReadFile("image.bin"), image);
}

TEST_F(ZembGuardTest, AConfigurationValueThatIsNotExactlyRightSendsNothing) {
  struct Case {
    const char* size;
    const char* page;
    const char* address;
    const char* error;  // after "the ROM configuration bad.cfg: "
  };
  const Case cases[] = {
      {"1M", "256", "3", "ROM_SIZE 1M is not a number"},
      {"65536abc", "256", "3", "ROM_SIZE 65536abc is not a number"},
      {"65536.9", "256", "3", "ROM_SIZE 65536.9 is not a number"},
      {"-65536", "256", "3", "ROM_SIZE -65536 is not a number"},
      {"0", "256", "3", "ROM_SIZE 0 is not a ROM size"},
      {"4294967297", "256", "3", "ROM_SIZE 4294967297 is more than 2147483647"},
      {"000000065536", "256", "3", "ROM_SIZE 00000006553... is longer than 11 characters"},
      {"65536", "65537", "3", "PAGE_SIZE 65537 is not a page size the device takes"},
      {"65536", "65536", "3", "PAGE_SIZE 65536 is not a page size the device takes"},
      {"65536", "8192", "3", "PAGE_SIZE 8192 is not a page size the device takes"},
      {"65536", "257", "3", "PAGE_SIZE 257 is not a page size the device takes"},
      {"65536", "0", "3", "PAGE_SIZE 0 is not a page size the device takes"},
      {"65536", "256K", "3", "PAGE_SIZE 256K is not a number"},
      {"65536", "256", "259", "ADDRESS_SIZE 259 is not an address size the device takes"},
      {"65536", "256", "0", "ADDRESS_SIZE 0 is not an address size the device takes"},
      {"65536", "256", "1", "ADDRESS_SIZE 1 cannot address a ROM of 65536 bytes"},
      {"16777217", "256", "3", "ADDRESS_SIZE 3 cannot address a ROM of 16777217 bytes"},
  };
  sim::SimRig rig(Device(Face::Own, test::Pattern(test::kRomSize, 36)));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.size) + " " + c.page + " " + c.address);
    test::WriteText("bad.cfg", std::string("ROM_TYPE SPI\nROM_NAME W25Q80\nROM_VENDOR Winbond\n") +
                                   "ROM_SIZE " + c.size + "\nPAGE_SIZE " + c.page +
                                   "\nADDRESS_SIZE " + c.address + "\n");
    for (const char* command : {"read", "write"}) {
      test::WriteFile("image.bin", test::Pattern(4096, 37));
      rig.device->ClearTrace();
      const test::ToolResult r = Zemb(*rig.host, {command, "image.bin", "--config", "bad.cfg"});
      EXPECT_EQ(r.status, 2) << command << ": " << r.err;
      EXPECT_EQ(
          r.err.rfind(std::string("zemb: error: the ROM configuration bad.cfg: ") + c.error, 0), 0u)
          << command << ": " << r.err;
      EXPECT_EQ(test::UnformedLines(r.err), std::vector<std::string>{}) << r.err;
      EXPECT_TRUE(rig.device->Trace().empty()) << command;
    }
  }
  // Exactly right in either base, and the type in any case: taken.
  test::WriteText("hex.cfg", "T spi N a V b S 0x10000 P 0x100 A 2");
  const test::ToolResult r = Zemb(*rig.host, {"read", "out.bin", "--config", "hex.cfg"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::ReadFile("out.bin"), test::Pattern(test::kRomSize, 36));
  test::WriteText("nand.cfg", "T NAND N a V b S 65536 P 256 A 3");
  EXPECT_EQ(Zemb(*rig.host, {"read", "out.bin", "--config", "nand.cfg"}).err,
            "zemb: error: the ROM configuration nand.cfg: T NAND is not a ROM type (SPI or I2C)\n");
}

// A unit that fails the drive's identity query is a failing unit: named,
// with its error, and exit 1; never "no device".
TEST_F(ZembGuardTest, AUnitThatFailsDuringDiscoveryIsADeviceFailure) {
  for (uint32_t nth : {1u, 2u}) {
    SCOPED_TRACE(nth);
    sim::DeviceState state = Device(Face::Cdrom);
    state.faults.push_back(test::FailNth(RequestKind::Any, nth));
    sim::SimRig rig(state);
    const test::ToolResult r = Zemb(*rig.host, {"read", "out.bin", "--config", "spi.cfg"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(
        r.err,
        "zemb: note: \\\\?\\usbstor#cdrom&ven_norva&prod_kesh#zemb0001#{53f56308-b6bf-11d0-"
        "94f2-00a0c91efb8b}: identifying it failed (error 31: A device attached to the system "
        "is not functioning.)\n"
        "zemb: error: no Zemb device answered; the device noted above failed and may be "
        "one\n");
    EXPECT_FALSE(test::FileExists("out.bin"));
  }
  // The same on the list, and on the camera face.
  for (Face face : {Face::Cdrom, Face::Xu}) {
    sim::DeviceState state = Device(face);
    state.faults.push_back(test::FailNth(RequestKind::Any, 1));
    sim::SimRig rig(state);
    const test::ToolResult r = Zemb(*rig.host, {"list"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err.rfind("zemb: note: \\\\?\\", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("zemb: error: no Zemb device answered"), std::string::npos) << r.err;
  }
  // A drive of another vendor is no note at all.
  sim::SimMachine machine;
  machine.cdroms.push_back({"\\\\?\\ide#cdrom#other", "Other", "DVD", false});
  sim::SimRig other(machine);
  const test::ToolResult r = Zemb(*other.host, {"info"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err.rfind("zemb: error: no Zemb device found", 0), 0u) << r.err;
}

// The library's lines (a transport's, the extension unit's, the hold's)
// come out as zemb's notes; the three tools keep their own texts.
TEST_F(ZembGuardTest, LibraryLinesAreZembNotesAndTheToolsKeepTheirTexts) {
  sim::DeviceState state = Device(Face::Xu, test::Pattern(test::kRomSize, 38));
  state.faults.push_back(test::FailNth(RequestKind::Any, 6));
  sim::SimRig rig(state);
  test::ToolResult r = Zemb(*rig.host, {"read", "out.bin", "--config", "spi.cfg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("zemb: note: Unable to set XU_CONTROL_VENDOR_ACCESS (error 0x8007001F)\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(test::UnformedLines(r.err), std::vector<std::string>{}) << r.err;

  sim::SimRig tool(state);
  test::RunTool(RunRomMisc, *tool.host, {"ZembRomMisc", "SER", "20000130041415", "spi.cfg"});
  EXPECT_NE(tool.host->Stderr().find(
                "\nERROR:  to set XU_CONTROL_UnableVENDOR_ACCESS. (Error 0x8007001F)\n"),
            std::string::npos)
      << tool.host->Stderr();

  // Another run holds the unit: the wait is a note.
  sim::SimRig held(Device(Face::Own, test::Pattern(test::kRomSize, 39)));
  bool busy = false;
  auto lock =
      held.host->TryLockDevice(sim::MachineFor(held.device->State()).ownMembers[0].path, &busy);
  ASSERT_NE(lock, nullptr);
  r = Zemb(*held.host, {"info"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("zemb: note: Device is in use by another run, waiting ...\n", 0), 0u)
      << r.err;
  EXPECT_EQ(test::UnformedLines(r.err), std::vector<std::string>{}) << r.err;
}

TEST_F(ZembGuardTest, VerifyOnAProvisionedUnitNamesTheMiscRecord) {
  sim::SimRig rig(Device(Face::Own));
  test::RunTool(RunRomMisc, *rig.host, {"ZembRomMisc", "SER", "20000130041415", "spi.cfg"});
  test::WriteFile("image.bin", test::Pattern(0xD000, 40));
  ASSERT_EQ(Zemb(*rig.host, {"write", "image.bin", "--config", "spi.cfg"}).status, 0);
  test::ToolResult r = Zemb(*rig.host, {"verify", "image.bin", "--config", "spi.cfg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("zemb: note: 0x0000B000-0x0000B027 is the unit's misc record (serial "
                       "number and MACs), which write keeps from the unit; --ignore-misc leaves "
                       "it out of the comparison\n"),
            std::string::npos)
      << r.err;
  r = Zemb(*rig.host, {"verify", "image.bin", "--config", "spi.cfg", "--ignore-misc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("verified: the ROM holds image.bin (but for the misc record at "
                       "0x0000B000-0x0000B027, not compared)\n"),
            std::string::npos)
      << r.out;
  // Anything else that differs still fails.
  Bytes changed = test::Pattern(0xD000, 40);
  changed[0xB028] ^= 1;
  test::WriteFile("changed.bin", changed);
  r = Zemb(*rig.host, {"verify", "changed.bin", "--config", "spi.cfg", "--ignore-misc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("  0x0000B028-0x0000B028 (1 byte)"), std::string::npos) << r.out;
}

// Under several units each of the library's lines is a note of its unit,
// after the unit's ID.
TEST_F(ZembGuardTest, UnderSeveralUnitsEachLibraryLineCarriesItsUnit) {
  sim::DeviceState failing = Device(Face::Cdrom, test::Pattern(test::kRomSize, 42));
  failing.faults.push_back(test::FailNth(RequestKind::AccessRom, 3));
  sim::SimUnitsRig rig({{"", Device(Face::Cdrom)}, {"b", failing}});
  test::WriteFile("image.bin", test::Pattern(0x3000, 43));
  const test::ToolResult r =
      Zemb(*rig.host, {"write", "image.bin", "--config", "spi.cfg", "--all"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(test::UnformedLines(r.err), std::vector<std::string>{}) << r.err;
  const std::regex transport(R"(zemb: [0-9a-f]{8}: note: ACCESS_ROM [A-Z ]*ERROR !\n)");
  EXPECT_TRUE(std::regex_search(r.err, transport)) << r.err;
}

// A unit on three faces with its serial number is one unit of --all: one
// row of the table, written once.
TEST_F(ZembGuardTest, AUnitOnThreeFacesIsOneRowOfTheTable) {
  sim::DeviceState state = Device(Face::Own);
  state.cdromFace = state.xuFace = true;
  sim::SimRig rig(state);
  test::RunTool(RunRomMisc, *rig.host, {"ZembRomMisc", "SER", "20000130041415", "spi.cfg"});
  test::WriteFile("image.bin", test::Pattern(0x3000, 41));
  const test::ToolResult r =
      Zemb(*rig.host, {"write", "image.bin", "--config", "spi.cfg", "--all"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("1 unit: 1 ok, 0 failed\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("(cdrom face)"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("(cdrom face) is the unit "), std::string::npos) << r.err;
  EXPECT_EQ(test::UnformedLines(r.err), std::vector<std::string>{}) << r.err;
}

}  // namespace
}  // namespace zemb
