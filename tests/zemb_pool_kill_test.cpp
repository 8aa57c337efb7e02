// Provisioning runs killed outright (kill -9) at every step of reserve,
// write, read-back and commit, and at random moments: afterwards no value
// is on two units, none was handed out twice, every unit that holds a value
// has a reserved or committed record of it, and the journal still opens.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/base/console.h"
#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"
#include "tests/test_support.h"
#include "tests/zemb_tests.h"
#include "zemb/pool/pool.h"

namespace zemb {
namespace {

struct Point {
  std::string unit;   // the unit's folder
  std::string kill;   // ZEMB_KILL_AT, or "random:MS"
  bool ownValue;      // the unit carries its value already
  bool failingWrite;  // its first sector does not verify
};

std::string Q(const std::string& text) {
  return "'" + text + "'";
}

// The serial number the unit in `folder` carries; empty when none.
std::string Carried(const std::string& folder) {
  std::string out;
  EXPECT_EQ(test::RunCommand("cd " + folder + " && " + Q(ZEMB_ZEMBSIM) + " dump rom.bin", &out), 0)
      << out;
  const std::vector<uint8_t> rom = test::ReadFile(folder + "/rom.bin");
  if (rom.size() < kMiscAddress + kMiscRecordSize) return "";
  return ValidSerial(rom.data() + kMiscAddress + kMiscSerialOffset).value_or("");
}

std::map<std::string, UnitRecord> BySerial(const std::string& pool) {
  PoolError error;
  std::unique_ptr<PoolStore> store = MakePoolStore(pool, &error);
  std::vector<UnitRecord> records;
  EXPECT_TRUE(store->Open(&error)) << error.text;
  EXPECT_TRUE(store->Records(&records, &error)) << error.text;
  std::map<std::string, UnitRecord> by;
  for (const UnitRecord& r : records) by[r.serial] = r;
  return by;
}

TEST(PoolKillTest, KilledRunsLeaveNoValueOnTwoUnitsAndTheJournalOpens) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256);
  // The whole ROM, record included: 16 sectors.
  test::WriteFile("image.bin", test::Pattern(test::kRomSize, 5));
  const std::string pool = dir.Path() + "/units.csv";
  const std::string zemb = Q(ZEMB_ZEMB);
  std::string out;
  ASSERT_EQ(test::RunCommand(zemb + " pool init --pool " + Q(pool) +
                                 " --serial-from 40000000000000 --mac-from 02-BB-00-00-00-00 "
                                 "--count 1000",
                             &out),
            0)
      << out;

  std::vector<std::string> steps = {"reserve.append", "reserve.appended"};
  for (int sector = 1; sector <= 16; ++sector) {
    steps.push_back("write.sector#" + std::to_string(sector));
  }
  for (const char* step : {"readback", "commit", "finish.append", "finish.appended"}) {
    steps.push_back(step);
  }
  std::vector<Point> points;
  for (bool own : {false, true}) {
    for (const std::string& step : steps) {
      points.push_back({"", step, own, false});
    }
  }
  for (const char* step : {"reserve.append", "reserve.appended", "write.sector#1", "readback",
                           "finish.append", "finish.appended"}) {
    points.push_back({"", step, false, true});
  }
  std::mt19937 random(20261210);
  for (int i = 0; i < 12; ++i) {
    points.push_back({"", "random:" + std::to_string(random() % 400), i % 3 == 0, false});
  }
  ASSERT_GE(points.size(), 50u);

  const std::string provision =
      zemb + " provision ../image.bin --config ../spi.cfg --pool " + Q(pool);
  for (size_t i = 0; i < points.size(); ++i) {
    Point& p = points[i];
    p.unit = Format("u%02u", static_cast<unsigned>(i));
    SCOPED_TRACE(p.unit + " " + p.kill + (p.ownValue ? " (its own value)" : "") +
                 (p.failingWrite ? " (failing write)" : ""));
    ASSERT_EQ(test::RunCommand("mkdir " + p.unit + " && cd " + p.unit + " && " + Q(ZEMB_ZEMBSIM) +
                                   " plug --face own --size " + std::to_string(test::kRomSize),
                               &out),
              0)
        << out;
    if (p.ownValue) {
      ASSERT_EQ(test::RunCommand("cd " + p.unit + " && " + provision, &out), 0) << out;
    }
    if (p.failingWrite) {
      ASSERT_EQ(
          test::RunCommand("cd " + p.unit + " && " + Q(ZEMB_ZEMBSIM) + " fault corrupt 3", &out), 0)
          << out;
    }
    int status = 0;
    if (p.kill.rfind("random:", 0) == 0) {
      const std::string ms = p.kill.substr(7);
      status = test::RunCommand(
          "cd " + p.unit + " && { " + provision + " > run.txt 2>&1 & pid=$!; sleep 0." +
              Format("%03d", std::stoi(ms)) + "; kill -9 $pid 2>/dev/null; wait $pid; }",
          &out);
    } else {
      status = test::RunCommand(
          "cd " + p.unit + " && ZEMB_KILL_AT=" + Q(p.kill) + " " + provision + " > run.txt 2>&1",
          &out);
      // It died where it was told to.
      EXPECT_EQ(status, 128 + 9) << test::ReadText(p.unit + "/run.txt");
    }

    // The journal opens, and the unit's value, when it holds one, is on
    // record as reserved or committed.
    ASSERT_EQ(test::RunCommand(zemb + " pool status --pool " + Q(pool), &out), 0) << out;
    const std::string serial = Carried(p.unit);
    if (!serial.empty()) {
      const auto records = BySerial(pool);
      const auto it = records.find(serial);
      ASSERT_NE(it, records.end()) << serial;
      EXPECT_TRUE(it->second.state == UnitState::Reserved ||
                  it->second.state == UnitState::Committed)
          << serial << " " << UnitStateName(it->second.state);
    }
  }

  // Every unit provisioned to the end: each holds a value of its own, and
  // the pool has each on record once, committed on that unit.
  std::set<std::string> serials;
  for (const Point& p : points) {
    ASSERT_EQ(test::RunCommand(
                  "cd " + p.unit + " && " + Q(ZEMB_ZEMBSIM) + " fault clear && " + provision, &out),
              0)
        << p.unit << " " << out;
    const std::string serial = Carried(p.unit);
    EXPECT_FALSE(serial.empty()) << p.unit;
    EXPECT_TRUE(serials.insert(serial).second) << serial << " is on two units";
  }
  const auto records = BySerial(pool);
  for (const std::string& serial : serials) {
    const auto it = records.find(serial);
    ASSERT_NE(it, records.end()) << serial;
    EXPECT_EQ(it->second.state, UnitState::Committed) << serial;
  }
  ASSERT_EQ(test::RunCommand(zemb + " pool status --pool " + Q(pool), &out), 0) << out;
  EXPECT_EQ(out.find("seen on more than one unit"), std::string::npos) << out;
}

}  // namespace
}  // namespace zemb
