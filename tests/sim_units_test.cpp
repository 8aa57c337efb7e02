// The simulated machine as a host: its call log, and the several units it
// may hold, in process (a rig) and as zembsim keeps them on disk.
#include "sim/sim_units.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ioaccess/ioaccess.h"
#include "rommisc/rommisc.h"
#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb::sim {
namespace {

DeviceState UnitOn(Face face, uint8_t gpio) {
  DeviceState state = DefaultDeviceState(RomKind::Spi, 64 * 1024);
  state.ownFace = face == Face::Own;
  state.cdromFace = face == Face::Cdrom;
  state.xuFace = face == Face::Xu;
  state.gpioData = gpio;
  return state;
}

std::string GpioGet(SimHost& host) {
  return test::RunTool(RunIoAccess, host, {"ZembIoAccess.exe", "GPIO", "GET"});
}

// Without its log the host answers every face exactly as with it, keeps no
// line, and still hands back every handle and COM object.
TEST(SimHostCallLogTest, OffChangesNothingButTheLog) {
  test::ScratchDir dir;
  for (Face face : {Face::Cdrom, Face::Xu}) {  // the faces the IO tool uses
    SCOPED_TRACE(static_cast<int>(face));
    SimRig logged{UnitOn(face, 0x5A)};
    SimRig quiet{UnitOn(face, 0x5A)};
    quiet.host->SetCallLog(false);
    const std::string out = GpioGet(*logged.host);
    EXPECT_EQ(GpioGet(*quiet.host), out);
    EXPECT_NE(out.find("Data:0x5a"), std::string::npos) << out;
    EXPECT_FALSE(logged.host->Calls().empty());
    EXPECT_TRUE(quiet.host->Calls().empty());
    EXPECT_EQ(quiet.device->Trace().size(), logged.device->Trace().size());
    EXPECT_EQ(quiet.host->OpenHandles(), 0);
    EXPECT_EQ(quiet.host->LiveComObjects(), 0);
    EXPECT_EQ(quiet.host->ComDepth(), 0);
  }
}

// --- several units in one machine --------------------------------------------

DeviceState UnitWith(bool own, bool cdrom, bool xu) {
  DeviceState state = DefaultDeviceState(RomKind::Spi, 65536);
  state.ownFace = own;
  state.cdromFace = cdrom;
  state.xuFace = xu;
  return state;
}

std::vector<std::string> PathsOf(const SimMachine& machine) {
  std::vector<std::string> paths;
  for (const auto& m : machine.ownMembers) paths.push_back(m.path);
  for (const auto& d : machine.cdroms) paths.push_back(d.path);
  for (const auto& v : machine.videos)
    paths.push_back(std::string(v.devicePath->begin(), v.devicePath->end()));
  return paths;
}

TEST(SimUnitsTest, EachUnitShowsOnPathsOfItsOwnAndTheUnlistedKeepsItsPaths) {
  const DeviceState all = UnitWith(true, true, true);
  SimMachine machine;
  PlugUnit(&machine, 0, "", all);
  PlugUnit(&machine, 1, "line-2_B", all);
  const std::vector<std::string> paths = PathsOf(machine);
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), 6u);
  // The unlisted unit shows exactly as the single device always has.
  const std::vector<std::string> single = PathsOf(MachineFor(all));
  EXPECT_EQ(machine.ownMembers[0].path, single[0]);
  EXPECT_EQ(machine.cdroms[0].path, single[1]);
  EXPECT_EQ(*machine.videos[0].devicePath, *MachineFor(all).videos[0].devicePath);
  EXPECT_EQ(machine.ownMembers[1].path,
            "\\\\?\\usb#vid_2e8a&pid_5a01#line-2_B#{7141d015-0587-42df-974e-69853664d13f}");
  EXPECT_EQ(
      machine.cdroms[1].path,
      "\\\\?\\usbstor#cdrom&ven_norva&prod_kesh#line-2_B#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_EQ(*machine.videos[1].devicePath,
            L"\\\\?\\usb#vid_2e8a&pid_5a02&mi_00#line-2_B#{65e8773d-8f56-11d0-a3b9-00a0c9223196}"
            L"\\global");
  EXPECT_EQ(machine.ownMembers[0].unit, 0u);
  EXPECT_EQ(machine.ownMembers[1].unit, 1u);
  EXPECT_EQ(machine.cdroms[1].unit, 1u);
  EXPECT_EQ(machine.videos[1].unit, 1u);
}

// Two identical units: each tool takes the first the machine shows, on
// whichever face discovery finds it, and the second keeps its ROM and GPIO.
TEST(SimUnitsTest, TheToolsReachTheFirstUnitAndLeaveTheSecondAlone) {
  struct Case {
    const char* faces;
    DeviceState state;
  };
  for (const Case& c : {Case{"own cdrom xu", UnitWith(true, true, true)},
                        Case{"xu", UnitWith(false, false, true)}}) {
    SCOPED_TRACE(c.faces);
    test::ScratchDir dir;
    test::WriteConfig("spi.cfg", "SPI", 65536, 256);
    test::WriteFile("k.bin", test::Pattern(5000, 7));
    SimUnitsRig rig({{"", c.state}, {"second", c.state}});
    const std::vector<uint8_t> erased = rig.Unit(1).State().rom;

    std::string out =
        test::RunTool(RunRomProgram, *rig.host, {"ZembRomProgram.exe", "BURN", "k.bin", "spi.cfg"});
    EXPECT_NE(out.find("Burn Pass"), std::string::npos) << out;
    EXPECT_EQ(std::vector<uint8_t>(rig.Unit(0).State().rom.begin(),
                                   rig.Unit(0).State().rom.begin() + 5000),
              test::Pattern(5000, 7));
    out = test::RunTool(RunRomMisc, *rig.host,
                        {"ZembRomMisc.exe", "SER", "20000130041415", "spi.cfg"});
    EXPECT_EQ(rig.Unit(0).State().rom[0xB00C], '2') << out;
    out = test::RunTool(RunIoAccess, *rig.host, {"ZembIoAccess.exe", "GPIO", "SET", "0x5A"});
    EXPECT_EQ(rig.Unit(0).State().gpioData, 0x5A) << out;

    EXPECT_EQ(rig.Unit(1).State().rom, erased);
    EXPECT_EQ(rig.Unit(1).State().gpioData, 0);
    EXPECT_TRUE(rig.Unit(1).Trace().empty());
    EXPECT_EQ(rig.host->OpenHandles(), 0);
    EXPECT_EQ(rig.host->LiveComObjects(), 0);
  }
}

TEST(SimUnitsTest, AUnitIsHeldWhicheverFaceItWasFoundOnAndOnlyThatUnit) {
  SimUnitsRig rig({{"", UnitWith(true, true, true)}, {"b", UnitWith(true, true, true)}});
  const SimMachine& m = rig.host->Machine();
  bool busy = true;
  auto first = rig.host->TryLockDevice(m.ownMembers[0].path, &busy);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(busy);
  const std::string firstCamera(m.videos[0].devicePath->begin(), m.videos[0].devicePath->end());
  for (const std::string& samePath : {m.cdroms[0].path, firstCamera}) {
    EXPECT_EQ(rig.host->TryLockDevice(samePath, &busy), nullptr);
    EXPECT_TRUE(busy) << samePath;
  }
  auto second = rig.host->TryLockDevice(m.cdroms[1].path, &busy);
  EXPECT_NE(second, nullptr);
  EXPECT_FALSE(busy);
  EXPECT_EQ(rig.host->TryLockDevice("\\\\?\\usb#vid_0000&pid_0000#other#{x}", &busy), nullptr);
  EXPECT_FALSE(busy);
  EXPECT_EQ(rig.host->GetLastError(), kErrorDeviceNotConnected);
  first.reset();
  EXPECT_NE(rig.host->TryLockDevice(m.cdroms[0].path, &busy), nullptr);
}

// Hosts in several threads take and give back units at once: a unit is
// never held twice, and every take that is refused was refused for a
// holder that really was there.
TEST(SimUnitsTest, HoldingUnitsFromSeveralThreadsAtOnceIsSafe) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  SimUnitsRig rig({{"", UnitWith(false, true, false)}, {"b", UnitWith(false, true, false)}});
  std::vector<std::unique_ptr<SimHost>> hosts;
  for (int i = 0; i < kThreads; ++i) {
    hosts.push_back(std::make_unique<SimHost>(rig.host->Machine(),
                                              std::vector<SimDevice*>{&rig.Unit(0), &rig.Unit(1)},
                                              rig.clock, ConsoleMode::Capture));
  }
  std::atomic<int> holders[2] = {0, 0};
  std::atomic<int> overlaps{0}, taken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const size_t unit = static_cast<size_t>(i % 2);
      const std::string path = hosts[i]->Machine().cdroms[unit].path;
      for (int round = 0; round < kRounds; ++round) {
        bool busy = false;
        auto lock = hosts[i]->TryLockDevice(path, &busy);
        if (lock == nullptr) continue;
        if (holders[unit].fetch_add(1) != 0) overlaps.fetch_add(1);
        taken.fetch_add(1);
        holders[unit].fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(taken.load(), 0);
  bool busy = true;
  EXPECT_NE(hosts[0]->TryLockDevice(hosts[0]->Machine().cdroms[0].path, &busy), nullptr);
}

// An interrupt is meant for the whole run: process-mode hosts in several
// threads, each catching interrupts, all see the one that arrives. Run in a
// child process, since the interrupt stays with the process.
TEST(SimUnitsTest, AnInterruptReachesTheHostsOfEveryThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        VirtualClock clock;
        constexpr int kHosts = 4;
        std::vector<std::unique_ptr<SimHost>> hosts;
        for (int i = 0; i < kHosts; ++i) {
          hosts.push_back(
              std::make_unique<SimHost>(SimMachine{}, nullptr, clock, ConsoleMode::Process));
        }
        std::vector<std::thread> threads;
        for (auto& host : hosts) threads.emplace_back([&host] { host->CatchInterrupts(); });
        for (auto& t : threads) t.join();
        int before = 0;
        for (auto& host : hosts) before += host->InterruptRequested() ? 1 : 0;
        std::raise(SIGINT);
        int after = 0;
        threads.clear();
        std::atomic<int> seen{0};
        for (auto& host : hosts) {
          threads.emplace_back([&host, &seen] { seen += host->InterruptRequested() ? 1 : 0; });
        }
        for (auto& t : threads) t.join();
        after = seen.load();
        std::exit(before == 0 && after == kHosts ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// --- units as zembsim keeps them, and the tools' sim builds over them --------

struct Ran {
  int status = -1;
  std::string out;  // standard output and error
};

Ran Program(const char* program, const std::string& words) {
  Ran ran;
  ran.status = test::RunCommand(std::string("'") + program + "' " + words, &ran.out);
  return ran;
}

Ran Zembsim(const std::string& words) {
  return Program(ZEMB_ZEMBSIM, words);
}

TEST(ZembsimUnitsTest, ABadUnitNameIsRefusedAndNothingIsMade) {
  const std::string longName(kMaxUnitNameLength + 1, 'a');
  for (const std::string& words :
       {std::string("plug --unit ''"), std::string("plug --unit a/b"),
        std::string("plug --unit .."), std::string("plug --unit ."),
        std::string("plug --unit 'a b'"), std::string("plug --unit a.b"),
        std::string("plug --unit 'a\\b'"), std::string("plug --unit \xc3\xa9"),
        std::string("plug --unit CON"), std::string("plug --unit lpt1"),
        std::string("plug --unit zemb0001"), std::string("plug --unit ") + longName,
        std::string("plug --unit"), std::string("plug --unit a --unit b"),
        std::string("status --unit ../x"), std::string("unplug --unit /tmp")}) {
    test::ScratchDir dir;
    const Ran ran = Zembsim(words);
    EXPECT_EQ(ran.status, 2) << words << "\n" << ran.out;
    EXPECT_NE(ran.out.find("usage: zembsim"), std::string::npos) << words << "\n" << ran.out;
    EXPECT_FALSE(std::filesystem::exists(kSimFolder)) << words;
  }
  test::ScratchDir dir;
  const std::string longest(kMaxUnitNameLength, 'Z');
  EXPECT_EQ(Zembsim("plug --unit " + longest).status, 0);
  EXPECT_EQ(Zembsim("plug --unit line_1-A").status, 0);
}

TEST(ZembsimUnitsTest, UnitsArePluggedChangedAndUnpluggedEachOnItsOwn) {
  test::ScratchDir dir;
  ASSERT_EQ(Zembsim("plug --size 65536").status, 0);
  ASSERT_EQ(Zembsim("plug --unit b --size 65536").status, 0);
  Ran ran = Zembsim("plug --size 65536 --unit a");
  ASSERT_EQ(ran.status, 0) << ran.out;
  EXPECT_EQ(
      ran.out,
      "Plugged unit a with face(s) cdrom and an erased SPI ROM of 65536 bytes into port a.\n");
  ran = Zembsim("plug --unit a");
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.out.find("unit a is already plugged"), std::string::npos) << ran.out;
  ran = Zembsim("plug --unit A");
  EXPECT_EQ(ran.status, 1);
  EXPECT_NE(ran.out.find("differ only in letter case"), std::string::npos) << ran.out;
  EXPECT_FALSE(std::filesystem::exists("ZembSimDevice/A"));

  ASSERT_EQ(Zembsim("gpio --data 0x11").status, 0);
  ASSERT_EQ(Zembsim("gpio --unit a --data 0x22").status, 0);
  ASSERT_EQ(Zembsim("gpio --data 0x33 --unit b").status, 0);
  ASSERT_EQ(Zembsim("i2c --unit b 0x50 --set 0=AB").status, 0);
  ASSERT_EQ(Zembsim("fault --unit b corrupt").status, 0);
  ran = Zembsim("status --unit b");
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out.rfind("Device in ./ZembSimDevice/b\n", 0), 0u) << ran.out;
  EXPECT_NE(ran.out.find("data 0x33"), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("Faults armed       : corrupt 1"), std::string::npos) << ran.out;
  ran = Zembsim("status");
  EXPECT_EQ(ran.out.rfind("Device in ./ZembSimDevice\n", 0), 0u) << ran.out;
  EXPECT_NE(ran.out.find("data 0x11"), std::string::npos) << ran.out;
  EXPECT_EQ(Zembsim("fault list").out, "No faults armed.\n");

  // The tools take the unlisted unit first, then the named ones by name.
  EXPECT_EQ(Program(ZEMB_IOACCESS, "GPIO GET").out.rfind("Data:0x11 \n", 0), 0u);
  ran = Zembsim("unplug");
  EXPECT_EQ(ran.out, "Unplugged; ./ZembSimDevice is left because it holds other files.\n");
  EXPECT_EQ(Program(ZEMB_IOACCESS, "GPIO GET").out.rfind("Data:0x22 \n", 0), 0u);
  test::WriteConfig("spi.cfg", "SPI", 65536, 256);
  test::WriteFile("k.bin", test::Pattern(5000, 3));
  ran = Program(ZEMB_ROMPROGRAM, "BURN k.bin spi.cfg");
  EXPECT_NE(ran.out.find("Burn Pass"), std::string::npos) << ran.out;
  ASSERT_EQ(Zembsim("dump --unit a a.bin").status, 0);
  ASSERT_EQ(Zembsim("dump b.bin --unit b").status, 0);
  const std::vector<uint8_t> a = test::ReadFile("a.bin");
  EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + 5000), test::Pattern(5000, 3));
  EXPECT_EQ(test::ReadFile("b.bin"), std::vector<uint8_t>(65536, 0xFF));
  EXPECT_EQ(Zembsim("fault list --unit b").out, "corrupt 1\n");  // still armed

  ran = Zembsim("unplug --unit a");
  EXPECT_EQ(ran.out, "Unplugged unit a.\n");
  EXPECT_EQ(Program(ZEMB_IOACCESS, "GPIO GET").out.rfind("Data:0x33 \n", 0), 0u);
  EXPECT_EQ(Zembsim("status --unit a").status, 1);
  EXPECT_EQ(Zembsim("unplug --unit a").status, 1);
  EXPECT_EQ(Zembsim("unplug --unit b").status, 0);
  EXPECT_FALSE(std::filesystem::exists(kSimFolder));
}

// A device's own-driver request for the firmware version, as bytes.
bool AskFirmwareVersion(Host& host, DeviceHandle handle, uint32_t* error) {
  uint8_t buffer[24] = {0xC0, 0xC4, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 8, 0, 0, 0};
  uint32_t returned = 0;
  if (host.DeviceIoControl(handle, kOwnDriverIoctl, buffer, sizeof buffer, buffer, sizeof buffer,
                           &returned)) {
    return true;
  }
  *error = host.GetLastError();
  return false;
}

// zemb's workers each make a host of their own and work on one unit: the
// hosts share no state but the units' files, each unit's armed fault fires
// once in its own worker, and what each request changed is kept in that
// unit's folder alone.
TEST(ZembsimUnitsTest, HostsInSeveralThreadsEachWorkOnTheirOwnUnit) {
  test::ScratchDir dir;
  const std::vector<std::string> names = {"u3", "u1", "u0", "u2"};
  for (const std::string& name : names) {
    ASSERT_EQ(Zembsim("plug --face own --size 65536 --unit " + name).status, 0);
    ASSERT_EQ(Zembsim("fault fail firmware-version 3 --unit " + name).status, 0);
  }
  constexpr uint32_t kRequests = 12;
  std::vector<std::string> paths(names.size());
  std::vector<std::vector<uint32_t>> failures(names.size());
  std::vector<std::thread> workers;
  for (size_t i = 0; i < names.size(); ++i) {
    workers.emplace_back([&, i] {
      std::unique_ptr<Host> host = MakeHost();
      host->CatchInterrupts();
      DevInfoList list = host->GetClassDevs(kOwnDriverInterfaceClass);
      host->GetDeviceInterfacePath(list, kOwnDriverInterfaceClass, static_cast<uint32_t>(i),
                                   &paths[i]);
      host->DestroyDeviceInfoList(list);
      bool busy = true;
      auto lock = host->TryLockDevice(paths[i], &busy);
      if (lock == nullptr) return;
      DeviceHandle handle = host->CreateFile(paths[i]);
      for (uint32_t n = 1; n <= kRequests; ++n) {
        uint32_t error = 0;
        if (!AskFirmwareVersion(*host, handle, &error)) failures[i].push_back(n * 1000 + error);
      }
      host->CloseHandle(handle);
      if (host->InterruptRequested()) failures[i].push_back(0);
    });
  }
  for (auto& w : workers) w.join();
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string name = "u" + std::to_string(i);  // machine order is name order
    EXPECT_NE(paths[i].find("#" + name + "#"), std::string::npos) << paths[i];
    EXPECT_EQ(failures[i], std::vector<uint32_t>{3000 + kErrorGenFailure}) << name;
    EXPECT_EQ(Zembsim("fault list --unit " + name).out, "No faults armed.\n") << name;
  }
}

}  // namespace
}  // namespace zemb::sim
