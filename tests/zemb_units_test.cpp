// A station with several units, run as an operator runs it: zembsim plugs
// the units, the built zemb lists them, picks one by --device, and writes
// or provisions several at once, each unit's outcome its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/device/unit_list.h"
#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"
#include "tests/zemb_tests.h"
#include "zemb/zemb.h"

namespace zemb {
namespace {

using Bytes = std::vector<uint8_t>;

struct ShellRun {
  int status = -1;
  std::string text;  // standard output and error
};

ShellRun Sh(const std::string& command) {
  ShellRun r;
  r.status = test::RunCommand(command, &r.text);
  return r;
}

ShellRun Zemb(const std::string& words) {
  return Sh(std::string("'") + ZEMB_ZEMB + "' " + words);
}

ShellRun Sim(const std::string& words) {
  return Sh(std::string("'") + ZEMB_ZEMBSIM + "' " + words);
}

// One line of `zemb list`.
struct Listed {
  std::string id, face, port, path, serial;
};

std::vector<Listed> List() {
  std::vector<Listed> units;
  std::string text;
  EXPECT_EQ(test::RunCommand(std::string("'") + ZEMB_ZEMB + "' list 2>/dev/null", &text), 0)
      << text;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    Listed u;
    words >> u.id >> u.face >> u.port >> u.path >> u.serial;
    units.push_back(u);
  }
  return units;
}

// The unit whose device path carries `name` (the simulated units' paths
// carry their names).
Listed UnitNamed(const std::vector<Listed>& units, const std::string& name) {
  for (const Listed& u : units) {
    if (u.path.find("#" + name + "#") != std::string::npos) return u;
  }
  ADD_FAILURE() << "no unit " << name << " listed";
  return {};
}

Bytes Rom(const std::string& unit) {
  const ShellRun r = Sim("dump --unit " + unit + " rom-" + unit + ".bin");
  EXPECT_EQ(r.status, 0) << r.text;
  return test::ReadFile("rom-" + unit + ".bin");
}

std::string Quoted(const std::string& text) {
  return "'" + text + "'";
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// "N committed, N reserved, ..." of `zemb pool status` on units.csv.
std::string PoolCounts() {
  std::string text;
  test::RunCommand(std::string("'") + ZEMB_ZEMB + "' pool status --pool units.csv", &text);
  const size_t at = text.find(": ", text.find("size "));
  return at == std::string::npos ? text : text.substr(at + 2, text.find('\n', at) - at - 2);
}

// The serial number and MACs the unit's ROM carries, as zemb prints them.
std::string RecordOf(const Bytes& rom) {
  const uint8_t* record = rom.data() + kMiscAddress;
  return SerialText(record + kMiscSerialOffset) + " " + MacText(record + kMiscPSideMacOffset) +
         " " + MacText(record + kMiscSSideMacOffset);
}

class UnitsTest : public ::testing::Test {
 protected:
  void Plug(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      const ShellRun r =
          Sim("plug --unit " + name + " --face own --size " + std::to_string(test::kRomSize));
      ASSERT_EQ(r.status, 0) << r.text;
    }
  }
  void SetUp() override {
    test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256);
    test::WriteFile("image.bin", test::Pattern(0xC000, 7));
  }
  test::ScratchDir dir;
};

TEST_F(UnitsTest, DeviceReachesTheUnitItNamesAndNoOther) {
  Plug({"alpha", "bravo", "charlie"});
  const std::vector<Listed> units = List();
  ASSERT_EQ(units.size(), 3u);
  std::set<std::string> ids;
  for (const Listed& u : units) {
    EXPECT_EQ(u.face, "own");
    EXPECT_EQ(u.id.size(), 8u);
    EXPECT_TRUE(u.serial.empty()) << u.serial;  // erased ROMs carry none
    ids.insert(u.id);
  }
  EXPECT_EQ(ids.size(), 3u);
  // Each unit sits in the port of its name; its ID comes from the port.
  for (const char* name : {"alpha", "bravo", "charlie"}) {
    EXPECT_EQ(UnitNamed(units, name).port, name);
    EXPECT_EQ(UnitNamed(units, name).id, UnitId(name, ""));
  }
  const ShellRun json = Zemb("list --json 2>/dev/null");
  EXPECT_EQ(json.status, 0);
  const nlohmann::json listed = nlohmann::json::parse(json.text, nullptr, false);
  ASSERT_TRUE(listed.is_array()) << json.text;
  ASSERT_EQ(listed.size(), units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(listed[i]["id"], units[i].id);
    EXPECT_EQ(listed[i]["face"], "own");
    EXPECT_EQ(listed[i]["port"], units[i].port);
    EXPECT_EQ(listed[i]["device_path"], units[i].path);
    EXPECT_TRUE(listed[i]["serial"].is_null());
  }

  // bravo gets values of its own, by its path.
  const Listed bravo = UnitNamed(units, "bravo");
  ShellRun r = Zemb(
      "pool init --pool units.csv --serial-from 20000130041400 --mac-from 02-00-5E-00-00-00 "
      "--count 9");
  ASSERT_EQ(r.status, 0) << r.text;
  r = Zemb(
      "provision image.bin --config spi.cfg --ledger units.csv --serial-from "
      "20000130041400 --mac-from 02-00-5E-00-00-00 --count 9 --device " +
      Quoted(bravo.path));
  ASSERT_EQ(r.status, 0) << r.text;
  EXPECT_EQ(RecordOf(Rom("bravo")), "20000130041400 02-00-5E-00-00-00 02-00-5E-00-00-01");
  EXPECT_EQ(UnitNamed(List(), "bravo").serial, "20000130041400");

  // By ID, by path in another letter case, by serial number: only the unit
  // named changes.
  struct Case {
    std::string device, unit;
  };
  std::string upper = UnitNamed(units, "charlie").path;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return static_cast<char>(std::toupper(c)); });
  const Case cases[] = {
      {UnitNamed(units, "alpha").id, "alpha"},
      {upper, "charlie"},
      {"serial:20000130041400", "bravo"},
  };
  uint32_t salt = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    std::map<std::string, Bytes> before;
    for (const char* name : {"alpha", "bravo", "charlie"}) before[name] = Rom(name);
    test::WriteFile("other.bin", test::Pattern(0x2000, ++salt));
    r = Zemb("write other.bin --config spi.cfg --device " + Quoted(c.device));
    ASSERT_EQ(r.status, 0) << r.text;
    for (const char* name : {"alpha", "bravo", "charlie"}) {
      const Bytes rom = Rom(name);
      if (name == c.unit) {
        EXPECT_TRUE(
            std::equal(rom.begin(), rom.begin() + 0x2000, test::ReadFile("other.bin").begin()));
      } else {
        EXPECT_EQ(rom, before[name]) << name << " changed";
      }
    }
  }

  // Nothing named: exit 3, nothing written. A serial number two units
  // carry is refused.
  const Bytes alpha = Rom("alpha");
  r = Zemb("write other.bin --config spi.cfg --device serial:20000130049999");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.text.find("no unit is serial:20000130049999"), std::string::npos) << r.text;
  test::WriteFile("bravo.bin", Rom("bravo"));
  r = Zemb("write bravo.bin --config spi.cfg --overwrite-misc --device " +
           UnitNamed(units, "alpha").id);
  ASSERT_EQ(r.status, 0) << r.text;
  const Bytes twin = Rom("alpha");
  r = Zemb("write other.bin --config spi.cfg --device serial:20000130041400");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.text.find("serial:20000130041400 is ambiguous: 2 units carry it"), std::string::npos)
      << r.text;
  EXPECT_EQ(Rom("alpha"), twin);
}

TEST_F(UnitsTest, AllWritesEveryUnitAndAFailingUnitSpoilsNoOther) {
  Plug({"u1", "u2", "u3", "u4"});
  ASSERT_EQ(Sim("fault --unit u3 corrupt 40").status, 0);
  const std::vector<Listed> units = List();
  ASSERT_EQ(units.size(), 4u);
  const Listed failing = UnitNamed(units, "u3");

  const ShellRun r = Zemb("write image.bin --config spi.cfg --all");
  EXPECT_EQ(r.status, 1) << r.text;
  for (const Listed& u : units) {
    SCOPED_TRACE(u.path);
    const std::string line = "unit " + u.id + " (own face): ";
    if (u.id == failing.id) {
      EXPECT_NE(r.text.find(line + "FAILED in "), std::string::npos) << r.text;
      EXPECT_NE(r.text.find("did not verify"), std::string::npos) << r.text;
      EXPECT_NE(r.text.find("zemb: " + u.id + ": error: the sector at"), std::string::npos);
      EXPECT_NE(Zemb("verify image.bin --config spi.cfg --device " + u.id).status, 0);
    } else {
      EXPECT_NE(r.text.find(line + "ok in "), std::string::npos) << r.text;
      EXPECT_EQ(Zemb("verify image.bin --config spi.cfg --device " + u.id).status, 0);
    }
  }
  EXPECT_NE(r.text.find("\nunit      face   serial          result        seconds\n"),
            std::string::npos)
      << r.text;
  EXPECT_NE(r.text.find(failing.id + "  own    -               failed "), std::string::npos)
      << r.text;
  EXPECT_NE(r.text.find("4 units: 3 ok, 1 failed (" + failing.id + ")\n"), std::string::npos)
      << r.text;

  // Once the fault has fired, the same command finishes the unit.
  EXPECT_EQ(Zemb("write image.bin --config spi.cfg --all").status, 0);
  EXPECT_EQ(Zemb("verify image.bin --config spi.cfg --device " + failing.id).status, 0);
}

// A unit on two faces is two entries of --all; working on it from both at
// once would interleave two writes on one ROM, so the later face's entry
// runs after the earlier face's units and finds nothing left to write.
TEST_F(UnitsTest, AUnitOnTwoFacesIsNeverWrittenFromTwoWorkersAtOnce) {
  ASSERT_EQ(Sim("plug --unit twin --face own --face cdrom --size 65536").status, 0);
  Plug({"solo"});
  const std::vector<Listed> units = List();
  ASSERT_EQ(units.size(), 3u);
  const Listed* own = nullptr;
  const Listed* cdrom = nullptr;
  for (const Listed& u : units) {
    if (u.path.find("#twin#") == std::string::npos) continue;
    (u.face == "own" ? own : cdrom) = &u;
  }
  ASSERT_TRUE(own != nullptr && cdrom != nullptr);
  const ShellRun r = Zemb("write image.bin --config spi.cfg --all");
  ASSERT_EQ(r.status, 0) << r.text;
  auto lineOf = [&](const Listed* u) {
    // Both faces sit in one port, so they carry one ID: the face tells them apart.
    const size_t at = r.text.find("unit " + u->id + " (" + u->face + " face)");
    return at == std::string::npos ? std::string() : r.text.substr(at, r.text.find('\n', at) - at);
  };
  EXPECT_NE(lineOf(own).find("ok in "), std::string::npos) << r.text;
  EXPECT_NE(lineOf(own).find("all 12 written sectors verified"), std::string::npos) << r.text;
  EXPECT_NE(lineOf(cdrom).find("ok in "), std::string::npos) << r.text;
  EXPECT_NE(lineOf(cdrom).find("nothing needed writing"), std::string::npos) << r.text;
  EXPECT_NE(r.text.find(cdrom->id + " (cdrom face) may be a unit also seen on another face"),
            std::string::npos)
      << r.text;
  EXPECT_NE(r.text.find("3 units: 3 ok, 0 failed"), std::string::npos) << r.text;
  EXPECT_EQ(
      Zemb("verify image.bin --config spi.cfg --device " + UnitNamed(units, "solo").id).status, 0);
}

TEST_F(UnitsTest, CtrlCStopsEveryUnitAtASectorBoundary) {
  for (const char* unit : {"i1", "i2"}) {
    ASSERT_EQ(Sim(std::string("plug --face own --unit ") + unit).status, 0);  // 1 MiB each
  }
  test::WriteConfig("big.cfg", "SPI", 1 << 20, 256);
  test::WriteFile("big.bin", test::Pattern(1 << 20, 9));
  // Ctrl-C once a sector is on i1's ROM: by then the run catches it.
  const ShellRun stopped =
      Sh(std::string("'") + ZEMB_ZEMB +
         "' write big.bin --config big.cfg --all > out.txt 2>&1 & pid=$!; for i in $(seq 1 400); "
         "do [ -n \"$(head -c 16 ZembSimDevice/i1/rom.bin | od -An -tx1 | tr -d ' f\\n')\" ] && "
         "break; sleep 0.05; done; kill -INT $pid; wait $pid; echo status $?");
  const std::string out = test::ReadText("out.txt");
  EXPECT_NE(stopped.text.find("status 1"), std::string::npos) << stopped.text << out;
  for (const Listed& u : List()) {
    EXPECT_NE(out.find("unit " + u.id + " (own face): FAILED in "), std::string::npos) << out;
    EXPECT_NE(out.find("zemb: " + u.id + ": error: interrupted; "), std::string::npos) << out;
  }
  EXPECT_NE(out.find("2 units: 0 ok, 2 failed"), std::string::npos) << out;
}

TEST_F(UnitsTest, ProvisioningSeveralUnitsHandsOutEachValueOnce) {
  Plug({"p1", "p2", "p3"});
  const std::string pool = " --serial-from 20000130041498 --mac-from 02-00-5E-00-00-FE --count 4";
  ASSERT_EQ(Zemb("pool init --pool units.csv" + pool).status, 0);
  ShellRun r = Zemb("provision image.bin --config spi.cfg --ledger units.csv --all" + pool);
  ASSERT_EQ(r.status, 0) << r.text;
  std::set<std::string> records;
  for (const char* unit : {"p1", "p2", "p3"}) records.insert(RecordOf(Rom(unit)));
  const std::set<std::string> expected = {"20000130041498 02-00-5E-00-00-FE 02-00-5E-00-00-FF",
                                          "20000130041499 02-00-5E-00-01-00 02-00-5E-00-01-01",
                                          "20000130041500 02-00-5E-00-01-02 02-00-5E-00-01-03"};
  EXPECT_EQ(records, expected);
  EXPECT_EQ(PoolCounts(), "3 committed, 0 reserved, 0 failed, 0 released, 1 left");

  // Again over the same units: each keeps its own, nothing new is handed out.
  r = Zemb("provision image.bin --config spi.cfg --ledger units.csv --all");
  ASSERT_EQ(r.status, 0) << r.text;
  records.clear();
  for (const char* unit : {"p1", "p2", "p3"}) records.insert(RecordOf(Rom(unit)));
  EXPECT_EQ(records, expected);
  EXPECT_EQ(PoolCounts(), "3 committed, 0 reserved, 0 failed, 0 released, 1 left");

  // One value left for two new units: one gets it, the other is refused
  // untouched; then the pool is used up and touches no unit.
  Plug({"p4", "p5"});
  const std::vector<Listed> units = List();
  const Bytes erased = Rom("p5");
  r = Zemb("provision image.bin --config spi.cfg --ledger units.csv --device " +
           UnitNamed(units, "p4").id + " --device " + UnitNamed(units, "p5").id);
  EXPECT_EQ(r.status, 1) << r.text;  // one written, one refused
  EXPECT_NE(r.text.find("is used up"), std::string::npos) << r.text;
  const bool p4Got = RecordOf(Rom("p4")).rfind("20000130041501", 0) == 0;
  const std::string left = p4Got ? "p5" : "p4";
  EXPECT_EQ(RecordOf(Rom(p4Got ? "p4" : "p5")),
            "20000130041501 02-00-5E-00-01-04 02-00-5E-00-01-05");
  EXPECT_EQ(Rom(left), erased);
  const std::string ledger = test::ReadText("units.csv");
  r = Zemb("provision image.bin --config spi.cfg --ledger units.csv --device " +
           UnitNamed(units, left).id);
  EXPECT_EQ(r.status, 2) << r.text;
  EXPECT_EQ(Rom(left), erased);
  EXPECT_EQ(test::ReadText("units.csv"), ledger);
}

// Two units carrying one value (one written with an image read from the
// other, its record too) are clones: a run over both refuses both.
TEST_F(UnitsTest, ClonesInOneRunAreBothRefusedAndStatusListsAValueOnTwoUnits) {
  Plug({"c1", "c2", "c3"});
  const std::vector<Listed> units = List();
  const std::string c1 = UnitNamed(units, "c1").id, c2 = UnitNamed(units, "c2").id;
  ASSERT_EQ(Zemb("pool init --pool units.csv --serial-from 20000130041400 --mac-from "
                 "02-00-5E-00-00-00 --count 9")
                .status,
            0);
  ShellRun r = Zemb("provision image.bin --config spi.cfg --pool units.csv --device " + c1);
  ASSERT_EQ(r.status, 0) << r.text;
  ASSERT_EQ(Zemb("read golden.bin --config spi.cfg --device " + c1).status, 0);
  r = Zemb("write golden.bin --config spi.cfg --overwrite-misc --device " + c2);
  ASSERT_EQ(r.status, 0) << r.text;
  const Bytes c2Before = Rom("c2");

  r = Zemb("provision image.bin --config spi.cfg --pool units.csv --all");
  EXPECT_EQ(r.status, 1) << r.text;
  EXPECT_NE(r.text.find("zemb: " + c1 +
                        ": error: the unit carries serial number 20000130041400, "
                        "as does " +
                        c2 + " in this run: they are clones"),
            std::string::npos)
      << r.text;
  EXPECT_NE(r.text.find("zemb: " + c2 +
                        ": error: the unit carries serial number 20000130041400, "
                        "as does " +
                        c1 + " in this run: they are clones"),
            std::string::npos)
      << r.text;
  EXPECT_NE(r.text.find("3 units: 1 ok, 2 failed"), std::string::npos) << r.text;
  EXPECT_EQ(Rom("c2"), c2Before);
  EXPECT_EQ(RecordOf(Rom("c3")).substr(0, 14), "20000130041401");

  // Provisioned alone, the clone keeps the value it carries, and the pool
  // lists the value as seen on two units.
  ASSERT_EQ(Zemb("provision image.bin --config spi.cfg --pool units.csv --device " + c2).status, 0);
  r = Zemb("pool status --pool units.csv");
  EXPECT_NE(r.text.find("seen on more than one unit: 20000130041400 on "), std::string::npos)
      << r.text;
  EXPECT_NE(r.text.find(c1), std::string::npos) << r.text;
  EXPECT_NE(r.text.find(c2), std::string::npos) << r.text;
}

TEST_F(UnitsTest, TwoProcessesProvisioningAtOnceGetDisjointValues) {
  Plug({"s1", "s2", "s3", "s4"});
  const std::vector<Listed> units = List();
  ASSERT_EQ(Zemb("pool init --pool units.csv --serial-from 30000000000000 --mac-from "
                 "02-AA-00-00-00-00 --count 50")
                .status,
            0);
  ASSERT_EQ(
      Zemb("provision image.bin --config spi.cfg --ledger units.csv --device nothing-here").status,
      3);
  auto devices = [&](const char* a, const char* b) {
    return std::string(" --device ") + UnitNamed(units, a).id + " --device " +
           UnitNamed(units, b).id;
  };
  const std::string zemb = std::string("'") + ZEMB_ZEMB + "' provision image.bin --config " +
                           "spi.cfg --ledger units.csv";
  const ShellRun both = Sh("(" + zemb + devices("s1", "s2") + " > one.txt 2>&1) & (" + zemb +
                           devices("s3", "s4") + " > two.txt 2>&1) & wait");
  ASSERT_EQ(both.status, 0);
  EXPECT_NE(test::ReadText("one.txt").find("2 units: 2 ok, 0 failed"), std::string::npos)
      << test::ReadText("one.txt");
  EXPECT_NE(test::ReadText("two.txt").find("2 units: 2 ok, 0 failed"), std::string::npos)
      << test::ReadText("two.txt");
  std::set<std::string> serials;
  for (const char* unit : {"s1", "s2", "s3", "s4"}) serials.insert(RecordOf(Rom(unit)));
  EXPECT_EQ(serials, (std::set<std::string>{"30000000000000 02-AA-00-00-00-00 02-AA-00-00-00-01",
                                            "30000000000001 02-AA-00-00-00-02 02-AA-00-00-00-03",
                                            "30000000000002 02-AA-00-00-00-04 02-AA-00-00-00-05",
                                            "30000000000003 02-AA-00-00-00-06 02-AA-00-00-00-07"}));
  EXPECT_EQ(PoolCounts(), "4 committed, 0 reserved, 0 failed, 0 released, 46 left");
}

TEST(UnitsCommandLineTest, WordsThatCannotNameTheUnitsAreRefused) {
  struct Case {
    std::vector<const char*> words;
    const char* error;
  };
  const Case cases[] = {
      {{"write", "a.bin", "--config", "c", "--all", "--device", "x"}, "--all and --device"},
      {{"read", "a.bin", "--config", "c", "--device", "x", "--device", "y"},
       "read works on one unit; give --device once"},
      {{"info", "--all"}, "unknown option '--all' for info"},
      {{"info", "--device="}, "--device needs a unit"},
      {{"list", "--config", "c"}, "unknown option '--config' for list"},
      {{"write", "a.bin", "--config", "c", "--all", "--all"}, "--all given twice"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"zemb"};
    argv.insert(argv.end(), c.words.begin(), c.words.end());
    ZembOptions options;
    std::string error;
    EXPECT_FALSE(ParseZembArguments(static_cast<int>(argv.size()), argv.data(), &options, &error))
        << c.words[0];
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

// One unit that shows on two faces is two lines of the list, each a way to
// reach it.
TEST(UnitsOnOneHostTest, AUnitOnTwoFacesIsListedAndNamedOnEach) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256);
  test::WriteFile("image.bin", test::Pattern(0x3000, 3));
  sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, test::kRomSize);
  state.ownFace = true;
  state.cdromFace = true;
  sim::SimRig rig(state);
  auto zemb = [&](const std::vector<std::string>& words) { return test::Zemb(*rig.host, words); };
  test::ToolResult r = zemb({"list"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Lines(r.out), 2u) << r.out;
  const std::string own = r.out.substr(0, 8), cdrom = r.out.substr(r.out.find('\n') + 1, 8);
  // A machine that tells no port: "-", and IDs from the device paths.
  EXPECT_NE(r.out.find(own + "  own    -         \\\\?\\usb#"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(cdrom + "  cdrom  -         \\\\?\\usbstor#"), std::string::npos) << r.out;

  // Named, the other face is the one used.
  r = zemb({"info", "--device", cdrom});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("face:              cdrom", 0), 0u) << r.out;
  r = zemb({"info", "--device", "00000000"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("no unit is 00000000"), std::string::npos) << r.err;
  EXPECT_EQ(rig.host->OpenHandles(), 0);
}

}  // namespace
}  // namespace zemb
