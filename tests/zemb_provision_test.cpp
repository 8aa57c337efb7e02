// Serial numbers and MAC pairs handed out from a pool's local journal: never
// twice, whatever happens to the run or the unit; a value proven unwritten
// goes back, one the unit may hold is held; a unit that has its values keeps
// them; a missing, used-up or damaged pool stops before any unit is written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/base/console.h"
#include "common/host/posix_lock.h"
#include "common/rom/rom_config.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"
#include "tests/zemb_tests.h"
#include "zemb/pool/pool.h"
#include "zemb/provision.h"
#include "zemb/sha256.h"
#include "zemb/zemb.h"
#include "zemb/zemb_run.h"

namespace zemb {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::RequestKind;

using Result = test::ToolResult;

using test::Zemb;

sim::DeviceState Unit() {
  return sim::DefaultDeviceState(sim::RomKind::Spi, test::kRomSize);
}

// The serial number and MACs the unit's ROM carries, as text.
std::string RecordOf(const Bytes& rom) {
  std::string serial;
  for (int i = 0; i < 14; ++i) serial += static_cast<char>(rom[0xB00C + 2 * i]);
  std::string text = serial;
  for (int i = 0; i < 12; ++i) text += Format("%s%02X", i % 6 == 0 ? " " : "-", rom[0xB000 + i]);
  return text;
}

size_t Writes(const sim::SimDevice& device) {
  size_t n = 0;
  for (const auto& t : device.Trace()) {
    n += t.kind == RequestKind::AccessRom && (t.op == 0x02 || t.op == 0xFD || t.op == 0xFF);
  }
  return n;
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The pool's latest record of every value, read through the store.
std::vector<UnitRecord> Records(const std::string& pool) {
  PoolError error;
  std::unique_ptr<PoolStore> store = MakePoolStore(pool, &error);
  std::vector<UnitRecord> records;
  EXPECT_TRUE(store != nullptr && store->Open(&error)) << error.text;
  EXPECT_TRUE(store->Records(&records, &error)) << error.text;
  return records;
}

std::string States(const std::vector<UnitRecord>& records) {
  std::string text;
  for (const UnitRecord& r : records) {
    text += (text.empty() ? "" : " ") + r.serial.substr(10) + ":" + UnitStateName(r.state);
  }
  return text;
}

const char* const kInit[] = {"pool",          "init",           "--pool",     "units.csv",
                             "--serial-from", "20000130041499", "--mac-from", "02-00-5E-00-00-FE",
                             "--count"};

class ProvisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256);
    test::WriteFile("image.bin", test::Pattern(0xC000, 1));
  }
  // `pool init` of units.csv with `count` values; its result.
  Result Init(uint32_t count = 3) {
    sim::SimRig none(Unit());
    std::vector<std::string> w(std::begin(kInit), std::end(kInit));
    w.push_back(std::to_string(count));
    return Zemb(*none.host, w);
  }
  std::vector<std::string> Words(bool pool = true, uint32_t count = 3) {
    std::vector<std::string> w = {"provision", "image.bin", "--config",
                                  "spi.cfg",   "--ledger",  "units.csv"};
    if (pool) {
      w.insert(w.end(), {"--serial-from", "20000130041499", "--mac-from", "02-00-5E-00-00-FE",
                         "--count", std::to_string(count)});
    }
    return w;
  }
  test::ScratchDir dir;
};

TEST_F(ProvisionTest, UnitsGetConsecutiveValuesOnceAndKeepThem) {
  ASSERT_EQ(Init().status, 0);
  const char* expected[] = {"20000130041499 02-00-5E-00-00-FE 02-00-5E-00-00-FF",
                            "20000130041500 02-00-5E-00-01-00 02-00-5E-00-01-01",
                            "20000130041501 02-00-5E-00-01-02 02-00-5E-00-01-03"};
  std::vector<std::unique_ptr<sim::SimRig>> units;
  for (int i = 0; i < 3; ++i) {
    units.push_back(std::make_unique<sim::SimRig>(Unit()));
    std::vector<std::string> words = Words(i == 0);
    words.insert(words.end(), {"--station", "line-2", "--operator", "ann"});
    Result r = Zemb(*units.back()->host, words);
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes& rom = units.back()->device->State().rom;
    EXPECT_EQ(RecordOf(rom), expected[i]);
    // The rest of the image is the file's.
    const Bytes image = test::ReadFile("image.bin");
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0xB000, rom.begin()));
    EXPECT_TRUE(std::equal(image.begin() + 0xB028, image.end(), rom.begin() + 0xB028));
  }
  std::vector<UnitRecord> records = Records("units.csv");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(States(records), "1499:committed 1500:committed 1501:committed");
  Sha256 sha;
  const Bytes image = test::ReadFile("image.bin");
  sha.Update(image.data(), image.size());
  Sha256 back;
  Bytes written(units[1]->device->State().rom.begin(),
                units[1]->device->State().rom.begin() + image.size());
  back.Update(written.data(), written.size());
  const UnitRecord& second = records[1];
  EXPECT_EQ(second.macP, "02-00-5E-00-01-00");
  EXPECT_EQ(second.macS, "02-00-5E-00-01-01");
  EXPECT_EQ(second.image, "image.bin");
  EXPECT_EQ(second.imageSha256, Sha256::Hex(sha.Finish()));
  EXPECT_EQ(second.readbackSha256, Sha256::Hex(back.Finish()));
  EXPECT_EQ(second.station, "line-2");
  EXPECT_EQ(second.operatorName, "ann");
  EXPECT_EQ(second.toolVersion, kZembVersion);
  EXPECT_EQ(second.start.size(), 20u);
  EXPECT_LE(second.start, second.end);
  EXPECT_FALSE(second.devicePath.empty());
  EXPECT_EQ(second.unitId.size(), 8u);

  // Again over the same units: nothing new is handed out, each keeps its own.
  const size_t before = Lines(test::ReadText("units.csv"));
  for (int i = 0; i < 3; ++i) {
    Result r = Zemb(*units[i]->host, Words(false));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(the unit's own, from this pool)"), std::string::npos);
    EXPECT_EQ(RecordOf(units[i]->device->State().rom), expected[i]);
  }
  // Appended, never rewritten: a reservation and a commit a unit.
  EXPECT_EQ(Lines(test::ReadText("units.csv")), before + 6);
  EXPECT_EQ(States(Records("units.csv")), "1499:committed 1500:committed 1501:committed");

  // The pool is used up: a new unit is refused before anything is written.
  sim::SimRig fresh(Unit());
  const std::string journal = test::ReadText("units.csv");
  Result r = Zemb(*fresh.host, Words(false));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the pool of 3 units in units.csv is used up"), std::string::npos) << r.err;
  EXPECT_EQ(Writes(*fresh.device), 0u);
  EXPECT_EQ(fresh.device->State().rom, Unit().rom);
  EXPECT_EQ(test::ReadText("units.csv"), journal);

  // Status and export tell the same.
  r = Zemb(*fresh.host, {"pool", "status", "--pool", "units.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("size 3: 3 committed, 0 reserved, 0 failed, 0 released, 0 left"),
            std::string::npos)
      << r.out;
  r = Zemb(*fresh.host, {"pool", "status", "--pool", "units.csv", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"size\": 3, \"committed\": 3, \"reserved\": 0, \"failed\": 0, "
                       "\"released\": 0, \"left\": 0"),
            std::string::npos)
      << r.out;
  // Not over the pool itself, by whatever name.
  r = Zemb(*fresh.host, {"pool", "export", "--pool", "units.csv", "./units.csv"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("./units.csv is the pool itself"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadText("units.csv"), journal);
  r = Zemb(*fresh.host, {"pool", "export", "--pool", "units.csv", "export.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string exported = test::ReadText("export.csv");
  EXPECT_EQ(exported.rfind("index,serial,mac_p,mac_s,image,image_sha256,readback_sha256,"
                           "device_path,unit_id,port,station,operator,tool_version,start,end,"
                           "result,reason,profile_sha256,label,hook\n",
                           0),
            0u)
      << exported;
  EXPECT_EQ(Lines(exported), 4u);
  EXPECT_NE(exported.find("\n1,20000130041500,02-00-5E-00-01-00,02-00-5E-00-01-01,image.bin,"),
            std::string::npos)
      << exported;
}

TEST_F(ProvisionTest, PoolsAreMadeOnlyByInitAndInitTwiceIsANoOp) {
  // No pool: provision refuses and makes none, even with the pool's values.
  sim::SimRig unit(Unit());
  Result r = Zemb(*unit.host, Words(true));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("there is no pool at units.csv; 'zemb pool init' makes one"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(test::FileExists("units.csv"));
  EXPECT_TRUE(unit.device->Trace().empty());

  ASSERT_EQ(Init().status, 0);
  const std::string made = test::ReadText("units.csv");
  r = Init();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::ReadText("units.csv"), made);
  r = Init(4);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("units.csv holds another pool (serial numbers from 20000130041499, MACs "
                       "from 02-00-5E-00-00-FE, 3 units)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(test::ReadText("units.csv"), made);

  // A pool named with other values than its own is refused too.
  r = Zemb(*unit.host, Words(true, 4));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("holds another pool"), std::string::npos) << r.err;
  EXPECT_TRUE(unit.device->Trace().empty());
}

TEST_F(ProvisionTest, AValueProvenUnwrittenGoesBackAndOneTheUnitMayHoldIsHeld) {
  ASSERT_EQ(Init(5).status, 0);
  // The first sector does not verify: the record (at 0xB000) was never
  // reached, the unit reads back without it, so its value goes back.
  sim::DeviceState failing = Unit();
  sim::Fault fault;
  fault.type = sim::Fault::Type::CorruptWrite;
  fault.nth = 3;
  failing.faults.push_back(fault);
  sim::SimRig unit(failing);
  Result r = Zemb(*unit.host, Words(false));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the unit does not hold serial number 20000130041499; it goes back to the "
                       "pool"),
            std::string::npos)
      << r.err;
  std::vector<UnitRecord> records = Records("units.csv");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].state, UnitState::Released);
  EXPECT_NE(records[0].reason.find("the sector at 0x00000000 did not verify"), std::string::npos)
      << records[0].reason;

  // The next unit gets it.
  sim::SimRig next(Unit());
  r = Zemb(*next.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RecordOf(next.device->State().rom),
            "20000130041499 02-00-5E-00-00-FE 02-00-5E-00-00-FF");

  // A sector after the record fails: the unit holds its value, which is
  // held as failed, listed, and never handed out again.
  test::WriteFile("image.bin", test::Pattern(0x10000, 1));
  sim::DeviceState late = Unit();
  fault.nth = 12 * 16 + 1;  // the first page of the sector after the record's
  late.faults.push_back(fault);
  sim::SimRig held(late);
  r = Zemb(*held.host, Words(false));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("serial number 20000130041500 is held as failed"), std::string::npos)
      << r.err;
  EXPECT_EQ(RecordOf(held.device->State().rom).substr(0, 14), "20000130041500");
  r = Zemb(*held.host, {"pool", "status", "--pool", "units.csv"});
  EXPECT_NE(r.out.find("size 5: 1 committed, 0 reserved, 1 failed, 0 released, 3 left"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("failed (held for an engineer, never handed out again):\n  20000130041500"),
            std::string::npos)
      << r.out;
  sim::SimRig third(Unit());
  ASSERT_EQ(Zemb(*third.host, Words(false)).status, 0);
  EXPECT_EQ(RecordOf(third.device->State().rom).substr(0, 14), "20000130041501");

  // The held unit, run again, keeps the value it carries.
  held.device->State().faults.clear();
  r = Zemb(*held.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("serial number 20000130041500, P-side MAC 02-00-5E-00-01-00, S-side MAC "
                       "02-00-5E-00-01-01 (the unit's own, from this pool)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(States(Records("units.csv")), "1499:committed 1500:committed 1501:committed");
}

TEST_F(ProvisionTest, AReservationOfARunThatDiedIsListedAndKeptByItsUnit) {
  ASSERT_EQ(Init(5).status, 0);
  PoolError error;
  std::unique_ptr<PoolStore> store = MakePoolStore("units.csv", &error);
  ASSERT_TRUE(store->Open(&error)) << error.text;
  UnitRecord claim;
  claim.station = "line-9";
  claim.start = "2026-12-10T06:00:00Z";
  claim.devicePath = "dead-run";
  Reservation lost;
  ASSERT_TRUE(store->Reserve({}, claim, &lost, &error)) << error.text;
  EXPECT_EQ(lost.record.serial, "20000130041499");
  EXPECT_FALSE(lost.kept);

  sim::SimRig unit(Unit());
  Result r = Zemb(*unit.host, {"pool", "status", "--pool", "units.csv"});
  EXPECT_NE(r.out.find("size 5: 0 committed, 1 reserved, 0 failed, 0 released, 4 left\n"
                       "reserved (a run that has not finished, or died):\n"
                       "  20000130041499  02-00-5E-00-00-FE  dead-run  station line-9  since "
                       "2026-12-10T06:00:00Z\n"),
            std::string::npos)
      << r.out;
  // A unit that does not carry it gets the next value.
  r = Zemb(*unit.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RecordOf(unit.device->State().rom).substr(0, 14), "20000130041500");
  // A unit that carries it (it was written before the station died) keeps it.
  sim::DeviceState carrying = Unit();
  const Bytes record = {0x02, 0x00, 0x5E, 0x00, 0x00, 0xFE, 0x02, 0x00, 0x5E, 0x00, 0x00, 0xFF};
  std::copy(record.begin(), record.end(), carrying.rom.begin() + 0xB000);
  const std::string serial = "20000130041499";
  for (size_t i = 0; i < serial.size(); ++i) {
    carrying.rom[0xB00C + 2 * i] = static_cast<uint8_t>(serial[i]);
    carrying.rom[0xB00C + 2 * i + 1] = 0;
  }
  sim::SimRig owner(carrying);
  r = Zemb(*owner.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("serial number 20000130041499, P-side MAC 02-00-5E-00-00-FE, S-side MAC "
                       "02-00-5E-00-00-FF (the unit's own, from this pool)"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(States(Records("units.csv")), "1499:committed 1500:committed");
}

// Another station's step holds the pool file's lock: the run says once that
// it waits, and for what, then goes on when the lock is let go.
TEST_F(ProvisionTest, AWaitForThePoolsLockIsSaidOnce) {
  ASSERT_EQ(Init().status, 0);
  std::unique_ptr<PosixFileLock> held;
  int why = 0;
  ASSERT_EQ(PosixFileLock::Take("units.csv.lock", false, &held, &why),
            PosixFileLock::Result::Acquired);
  std::thread letGo([&held] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    held.reset();
  });
  sim::SimRig unit(Unit());
  Result r = Zemb(*unit.host, Words(false));
  letGo.join();
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string note =
      "zemb: note: waiting for another zemb run, which holds units.csv.lock, to finish its step "
      "(at most 30 s)\n";
  const size_t at = r.err.find(note);
  EXPECT_NE(at, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(note, at + 1), std::string::npos) << r.err;
}

// A ledger as the zemb before the journal wrote it: one line a value, in
// pool order, with a spreadsheet's byte-order mark and blank last line.
TEST_F(ProvisionTest, AnOldLedgerContinuesWithoutReuseAndLosesNothing) {
  const std::string old =
      "zemb ledger,1,serial_from,20000130041499,mac_from,02-00-5E-00-00-FE,count,6\n"
      "time,device,serial,mac_p,mac_s,image_sha256,result\n"
      "2026-12-10T05:40:00Z,dev-a,20000130041499,02-00-5E-00-00-FE,02-00-5E-00-00-FF,ab,ok\n"
      "2026-12-10T05:41:00Z,dev-b,20000130041500,02-00-5E-00-01-00,02-00-5E-00-01-01,ab,"
      "\"failed: the sector at 0x00000000 did not verify\"\n"
      "2026-12-10T05:42:00Z,dev-c,20000130041501,02-00-5E-00-01-02,02-00-5E-00-01-03,ab,"
      "allocated\n"
      "2026-12-10T05:43:00Z,dev-d,20000130041502,02-00-5E-00-01-04,02-00-5E-00-01-05,ab,ok";
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"its last line without its line end", old},
      {"as a spreadsheet saves it", "\xEF\xBB\xBF" + old + "\r\n,,,,,,\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteText("units.csv", c.text);
    std::remove("units.csv.index");
    const std::vector<UnitRecord> records = Records("units.csv");
    EXPECT_EQ(States(records), "1499:committed 1500:failed 1501:reserved 1502:committed");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].end, "2026-12-10T05:40:00Z");
    EXPECT_EQ(records[0].devicePath, "dev-a");
    EXPECT_EQ(records[1].reason, "the sector at 0x00000000 did not verify");
    EXPECT_EQ(records[3].imageSha256, "ab");
    sim::SimRig unit(Unit());
    Result r = Zemb(*unit.host, Words(false));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(RecordOf(unit.device->State().rom).substr(0, 14), "20000130041503");
    // Appended after the ledger's own lines, which stand as they were.
    const std::string now = test::ReadText("units.csv");
    EXPECT_EQ(now.rfind(c.text, 0), 0u);
    EXPECT_EQ(States(Records("units.csv")),
              "1499:committed 1500:failed 1501:reserved 1502:committed 1503:committed");
    r = Init(6);
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

TEST_F(ProvisionTest, AJournalLineCutShortCountsAsReservedAndAWholeOneLosesNothing) {
  ASSERT_EQ(Init(6).status, 0);
  sim::SimRig first(Unit());
  ASSERT_EQ(Zemb(*first.host, Words(false)).status, 0);
  const std::string good = test::ReadText("units.csv");
  // The last line lacking only its line end is whole.
  test::WriteText("units.csv", good.substr(0, good.size() - 1));
  EXPECT_EQ(States(Records("units.csv")), "1499:committed");
  sim::SimRig second(Unit());
  ASSERT_EQ(Zemb(*second.host, Words(false)).status, 0);
  EXPECT_EQ(RecordOf(second.device->State().rom).substr(0, 14), "20000130041500");
  EXPECT_EQ(States(Records("units.csv")), "1499:committed 1500:committed");

  // Cut in the middle of a line: the value it names counts as reserved; cut
  // before its index, the next fresh value does.
  const std::string two = test::ReadText("units.csv");
  for (const char* cut : {"2,2000013004", "2"}) {
    SCOPED_TRACE(cut);
    test::WriteText("units.csv", two + cut);
    EXPECT_EQ(States(Records("units.csv")), "1499:committed 1500:committed 1501:reserved");
  }
  sim::SimRig third(Unit());
  Result r = Zemb(*third.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RecordOf(third.device->State().rom).substr(0, 14), "20000130041502");
  EXPECT_EQ(States(Records("units.csv")),
            "1499:committed 1500:committed 1501:reserved 1502:committed");
}

TEST_F(ProvisionTest, AForeignDamagedOrUnwritablePoolIsRefusedAndLeftAsItWas) {
  ASSERT_EQ(Init().status, 0);
  sim::SimRig first(Unit());
  ASSERT_EQ(Zemb(*first.host, Words()).status, 0);
  const std::string good = test::ReadText("units.csv");
  const size_t serialAt = good.rfind("20000130041499");
  struct Case {
    const char* name;
    std::string text;
    const char* error;
  };
  std::string changedSerial = good;
  changedSerial.replace(serialAt, 14, "20000130041555");
  std::string extraField = good;
  extraField.insert(extraField.size() - 1, ",x");
  const Case cases[] = {
      {"a spreadsheet of something else", "name,age\nann,3\n", "is not a zemb pool"},
      {"empty", "", "is not a zemb pool"},
      {"a serial the pool does not give", changedSerial,
       "is damaged at line 4: serial 20000130041555 where the pool gives 20000130041499"},
      {"a line of 21 fields", extraField, "is damaged at line 4: 21 fields instead of 20"},
      {"a pool of no units",
       "zemb journal,2,serial_from,20000130041499,mac_from,02-00-5E-00-00-FE,count,0\n"
       "index,serial\n",
       "is damaged at line 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteText("units.csv", c.text);
    sim::SimRig unit(Unit());
    Result r = Zemb(*unit.host, Words(false));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(test::ReadText("units.csv"), c.text);
    EXPECT_TRUE(unit.device->Trace().empty());
  }

  // One this account may not write (root may write anything but a file
  // marked immutable): refused, not replaced.
  test::WriteText("units.csv", good);
  const bool root = geteuid() == 0;
  std::string out;
  ASSERT_EQ(test::RunCommand(root ? "chattr +i units.csv" : "chmod a-w units.csv", &out), 0) << out;
  sim::SimRig unit(Unit());
  Result r = Zemb(*unit.host, Words(false));
  test::RunCommand(root ? "chattr -i units.csv" : "chmod u+w units.csv", &out);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("this account may not write units.csv"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadText("units.csv"), good);
  EXPECT_TRUE(unit.device->Trace().empty());
}

// A store that cannot be reached once the unit has been written, as a
// database whose connection dropped between reserve and commit.
class DroppingStore : public PoolStore {
 public:
  explicit DroppingStore(PoolStore& inner) : inner_(inner) {}
  std::string Name() const override { return inner_.Name(); }
  bool Init(const PoolRange& range, PoolError* error) override { return inner_.Init(range, error); }
  bool Open(PoolError* error) override { return inner_.Open(error); }
  const PoolRange& Range() const override { return inner_.Range(); }
  bool Reserve(const UnitCarries& carries, const UnitRecord& claim, Reservation* out,
               PoolError* error) override {
    return inner_.Reserve(carries, claim, out, error);
  }
  bool Finish(const UnitRecord&, PoolError* error) override {
    *error = {PoolErrorKind::Unreachable, "the connection to db.line was lost"};
    return false;
  }
  bool Status(PoolStatusReport* report, PoolError* error) override {
    return inner_.Status(report, error);
  }
  bool Records(std::vector<UnitRecord>* records, PoolError* error) override {
    return inner_.Records(records, error);
  }

 private:
  PoolStore& inner_;
};

TEST_F(ProvisionTest, ARecordThePoolCannotTakeWaitsInTheSpoolAndIsSyncedOnce) {
  ASSERT_EQ(Init().status, 0);
  sim::SimRig unit(Unit());
  const std::vector<std::string> words = Words(false);
  std::vector<const char*> argv = {"zemb"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  ZembOptions options;
  std::string error;
  ASSERT_TRUE(ParseZembArguments(static_cast<int>(argv.size()), argv.data(), &options, &error));
  ZembRun run(*unit.host, options);
  ASSERT_TRUE(ReadRomConfig(run.diag, "spi.cfg", &run.romType, &run.rom));
  ProvisionInputs inputs;
  ASSERT_EQ(CheckProvisionInputs(run, &inputs), 0);
  DroppingStore dropping(*inputs.pool);
  UnitRecord record;
  const int status =
      ProvisionUnit(run, inputs, dropping, UnitFacts{"line-3", "bo", "", ""}, &record);
  run.session.Release();
  EXPECT_EQ(status, 1);
  const std::string err = unit.host->Stderr();
  EXPECT_NE(err.find("the unit was written and verified (serial number 20000130041499), but its "
                     "record could not reach the pool (the connection to db.line was lost); the "
                     "record waits in zemb-pool-spool.csv: run 'zemb pool sync --pool units.csv'"),
            std::string::npos)
      << err;
  EXPECT_EQ(RecordOf(unit.device->State().rom).substr(0, 14), "20000130041499");
  EXPECT_EQ(States(Records("units.csv")), "1499:reserved");
  EXPECT_EQ(record.state, UnitState::Committed);
  EXPECT_EQ(Lines(test::ReadText("zemb-pool-spool.csv")), 2u);
  // A station's hook outcome for the unit follows its final record there.
  EXPECT_TRUE(SpoolHolds("zemb-pool-spool.csv", "units.csv", record));
  UnitRecord hooked = record;
  hooked.hook = "on_pass exit 0";
  std::string spoolError;
  ASSERT_TRUE(SpoolRecord("zemb-pool-spool.csv", "units.csv", hooked, &spoolError)) << spoolError;
  UnitRecord other = record;
  other.start = "2001-01-01T00:00:00Z";
  EXPECT_FALSE(SpoolHolds("zemb-pool-spool.csv", "units.csv", other));
  const std::string spool = test::ReadText("zemb-pool-spool.csv");

  // Synced: the pool has the record once, with its hook; again, nothing is added.
  Result r = Zemb(*unit.host, {"pool", "sync", "--pool", "units.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("pushed 2 records from zemb-pool-spool.csv to the pool; 0 still waiting"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(States(Records("units.csv")), "1499:committed");
  EXPECT_EQ(Records("units.csv")[0].station, "line-3");
  EXPECT_EQ(Records("units.csv")[0].hook, "on_pass exit 0");
  EXPECT_FALSE(test::FileExists("zemb-pool-spool.csv"));
  const std::string journal = test::ReadText("units.csv");
  r = Zemb(*unit.host, {"pool", "sync", "--pool", "units.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("pushed 0 records"), std::string::npos) << r.out;
  // A sync that ended after the pool took the record but before the spool
  // was rewritten leaves it there: the next sync does not add it twice.
  test::WriteText("zemb-pool-spool.csv", spool);
  r = Zemb(*unit.host, {"pool", "sync", "--pool", "units.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::ReadText("units.csv"), journal);
  EXPECT_FALSE(test::FileExists("zemb-pool-spool.csv"));
}

// The golden-image way to clones: an image read from a provisioned unit,
// written onto a blank one, leaves the blank one's record erased.
TEST_F(ProvisionTest, AnImageReadFromAProvisionedUnitMakesNoClone) {
  ASSERT_EQ(Init().status, 0);
  sim::SimRig first(Unit());
  ASSERT_EQ(Zemb(*first.host, Words()).status, 0);
  ASSERT_EQ(Zemb(*first.host, {"read", "golden.bin", "--config", "spi.cfg"}).status, 0);
  sim::SimRig blank(Unit());
  Result r = Zemb(*blank.host, {"write", "golden.bin", "--config", "spi.cfg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("the unit's misc record was erased and golden.bin's carries serial number "
                       "20000130041499; it is left erased"),
            std::string::npos)
      << r.out;
  const Bytes& rom = blank.device->State().rom;
  EXPECT_TRUE(
      std::all_of(rom.begin() + 0xB000, rom.begin() + 0xB028, [](uint8_t b) { return b == 0xFF; }));
  // Provisioned, it gets a value of its own.
  r = Zemb(*blank.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RecordOf(rom).substr(0, 14), "20000130041500");
  // --overwrite-misc still writes the file's record.
  sim::SimRig other(Unit());
  r = Zemb(*other.host, {"write", "golden.bin", "--config", "spi.cfg", "--overwrite-misc"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RecordOf(other.device->State().rom).substr(0, 14), "20000130041499");
}

TEST(PoolRangeTest, PoolsThatCannotServeAreRefused) {
  struct Case {
    const char* serial;
    const char* mac;
    uint32_t count;
    const char* error;  // empty: accepted
  };
  const Case cases[] = {
      {"20000130041415", "00-11-22-33-44-55", 10, ""},
      {"2000013004141A", "00:11:22:33:44:55", 10, ""},
      {"2000013004141", "00-11-22-33-44-55", 1, "--serial-from takes 14 hexadecimal digits"},
      {"2000013004141G", "00-11-22-33-44-55", 1, "--serial-from takes 14"},
      {"20000130041415", "00-11-22-33-44", 1, "--mac-from takes a MAC address"},
      {"20000130041415", "01-00-5E-00-00-01", 1, "is a multicast address"},
      {"20000130041415", "FF-FF-FF-FF-FF-FF", 1, "is a multicast address"},
      {"20000130041415", "00-00-00-00-00-00", 1, "is no address a unit may carry"},
      {"99999999999999", "00-11-22-33-44-55", 2, "runs past 14 digits"},
      {"FFFFFFFFFFFFFE", "00-11-22-33-44-55", 3, "runs past 14 digits"},
      {"20000130041415", "00-11-22-FF-FF-FE", 1, ""},
      {"20000130041415", "00-11-22-FF-FF-FE", 2, "runs past the addresses of 00-11-22"},
      {"20000130041415", "00-11-22-33-44-55", 0, "--count must be at least 1"},
  };
  for (const Case& c : cases) {
    PoolRange pool;
    std::string error;
    const bool ok = MakePoolRange(c.serial, c.mac, c.count, &pool, &error);
    EXPECT_EQ(ok, std::string(c.error).empty()) << c.serial << " " << c.mac;
    if (!ok) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
  // Decimal pools count in decimal, others in hexadecimal; MACs in pairs.
  PoolRange pool;
  std::string error;
  ASSERT_TRUE(MakePoolRange("20000130041419", "00-11-22-33-44-FE", 4, &pool, &error));
  EXPECT_EQ(NthValue(pool, 1).serial, "20000130041420");
  EXPECT_EQ(NthValue(pool, 1).macP, "00-11-22-33-45-00");
  EXPECT_EQ(NthValue(pool, 1).macS, "00-11-22-33-45-01");
  EXPECT_EQ(IndexOfSerial(pool, "20000130041420"), 1u);
  EXPECT_EQ(IndexOfSerial(pool, "20000130041423"), std::nullopt);
  EXPECT_EQ(IndexOfSerial(pool, "2000013004141A"), std::nullopt);
  ASSERT_TRUE(MakePoolRange("2000013004141f", "00-11-22-33-44-00", 4, &pool, &error));
  EXPECT_EQ(pool.serialFrom, "2000013004141F");
  EXPECT_EQ(NthValue(pool, 1).serial, "20000130041420");
  EXPECT_EQ(IndexOfSerial(pool, "2000013004141f"), 0u);
}

TEST(PoolSecretsTest, PasswordsAreMasked) {
  struct Case {
    const char* pool;
    const char* shown;
  };
  const Case cases[] = {
      {"DRIVER={PostgreSQL Unicode};SERVER=db;UID=station;PWD=s3cret",
       "DRIVER={PostgreSQL Unicode};SERVER=db;UID=station;PWD=***"},
      {"DSN=zemb;pwd={a;b}}c};UID=x", "DSN=zemb;pwd=***;UID=x"},
      {"Password = hunter2;Server=db", "Password =***;Server=db"},
      {"DSN=zemb", "DSN=zemb"},
      {"units.csv", "units.csv"},
  };
  for (const Case& c : cases) EXPECT_EQ(MaskSecrets(c.pool), c.shown) << c.pool;
}

TEST(Sha256Test, KnownDigests) {
  auto hex = [](const std::string& text) {
    Sha256 sha;
    sha.Update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return Sha256::Hex(sha.Finish());
  };
  EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// Real processes: two stations on one pool at once get disjoint values,
// and a run killed after its reservation never sees its values again.
TEST(ProvisionProgramTest, TwoRunsAtOnceAndAKilledRun) {
  test::ScratchDir dir;
  std::string out;
  const std::string zemb = std::string("'") + ZEMB_ZEMB + "' ";
  const std::string zembsim = std::string("'") + ZEMB_ZEMBSIM + "' ";
  test::WriteConfig("spi.cfg", "SPI", 1 << 20, 256);
  test::WriteFile("image.bin", test::Pattern(0x20000, 3));
  const std::string ledger = dir.Path() + "/units.csv";
  const std::string common = " --config ../spi.cfg --ledger '" + ledger + "'";
  ASSERT_EQ(test::RunCommand(zemb + "pool init --pool '" + ledger +
                                 "' --serial-from 30000000000000 --mac-from 02-AA-00-00-00-00 "
                                 "--count 100",
                             &out),
            0)
      << out;
  for (const char* unit : {"a", "b", "c"}) {
    ASSERT_EQ(test::RunCommand(std::string("mkdir ") + unit + " && cd " + unit + " && " + zembsim +
                                   "plug --face own --size 1048576",
                               &out),
              0)
        << out;
  }
  const int both = test::RunCommand(
      "(cd a && " + zemb + "provision ../image.bin" + common + " > out.txt 2>&1) & " + "(cd b && " +
          zemb + "provision ../image.bin" + common + " > out.txt 2>&1) & wait",
      &out);
  ASSERT_EQ(both, 0);
  const std::string a = test::ReadText("a/out.txt"), b = test::ReadText("b/out.txt");
  EXPECT_NE(a.find("provisioned: "), std::string::npos) << a;
  EXPECT_NE(b.find("provisioned: "), std::string::npos) << b;
  const bool aFirst = a.find("serial number 30000000000000") != std::string::npos;
  EXPECT_NE((aFirst ? b : a).find("serial number 30000000000001, P-side MAC 02-AA-00-00-00-02"),
            std::string::npos)
      << a << b;
  EXPECT_EQ(States(Records(ledger)), "0000:committed 0001:committed");

  // c: killed once its reservation is on disk; the image does not reach the
  // record, so the unit never got it. Run again, it gets the next values.
  const std::string killed =
      test::RunCommand(
          "cd c && (" + zemb + "provision ../image.bin --start 0xC000" + common +
              " > out.txt 2>&1 & pid=$!; for i in $(seq 1 200); do grep -q ,30000000000002, '" +
              ledger + "' && break; sleep 0.05; done; kill -9 $pid; wait $pid; true)",
          &out) == 0
          ? test::ReadText("c/out.txt")
          : out;
  EXPECT_EQ(States(Records(ledger)), "0000:committed 0001:committed 0002:reserved") << killed;
  ASSERT_EQ(
      test::RunCommand("cd c && " + zemb + "provision ../image.bin --start 0xC000" + common, &out),
      0)
      << out;
  EXPECT_NE(out.find("serial number 30000000000003, P-side MAC 02-AA-00-00-00-06"),
            std::string::npos)
      << out;
  EXPECT_EQ(States(Records(ledger)), "0000:committed 0001:committed 0002:reserved 0003:committed");
}

}  // namespace
}  // namespace zemb
