// Serial numbers and MAC pairs handed out from a ledger's pool: never twice,
// whatever happens to the run or the unit; a unit that has its values keeps
// them; a used-up pool or a damaged ledger stops before any unit is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/base/console.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"
#include "tests/zemb_tests.h"
#include "zemb/ledger.h"
#include "zemb/sha256.h"
#include "zemb/zemb.h"

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

size_t LedgerLines(const std::string& path) {
  const std::string text = test::ReadText(path);
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class ProvisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256);
    test::WriteFile("image.bin", test::Pattern(0xC000, 1));
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
  const char* expected[] = {"20000130041499 02-00-5E-00-00-FE 02-00-5E-00-00-FF",
                            "20000130041500 02-00-5E-00-01-00 02-00-5E-00-01-01",
                            "20000130041501 02-00-5E-00-01-02 02-00-5E-00-01-03"};
  std::vector<std::unique_ptr<sim::SimRig>> units;
  for (int i = 0; i < 3; ++i) {
    units.push_back(std::make_unique<sim::SimRig>(Unit()));
    Result r = Zemb(*units.back()->host, Words(i == 0));
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes& rom = units.back()->device->State().rom;
    EXPECT_EQ(RecordOf(rom), expected[i]);
    // The rest of the image is the file's.
    const Bytes image = test::ReadFile("image.bin");
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0xB000, rom.begin()));
    EXPECT_TRUE(std::equal(image.begin() + 0xB028, image.end(), rom.begin() + 0xB028));
  }
  EXPECT_EQ(LedgerLines("units.csv"), 2u + 3u);
  const std::string ledger = test::ReadText("units.csv");
  EXPECT_EQ(ledger.rfind("zemb ledger,1,serial_from,20000130041499,mac_from,02-00-5E-00-00-FE,"
                         "count,3\ntime,device,serial,mac_p,mac_s,image_sha256,result\n",
                         0),
            0u)
      << ledger;
  Sha256 sha;
  const Bytes image = test::ReadFile("image.bin");
  sha.Update(image.data(), image.size());
  EXPECT_NE(ledger.find(",20000130041500,02-00-5E-00-01-00,02-00-5E-00-01-01," +
                        Sha256::Hex(sha.Finish()) + ",ok\n"),
            std::string::npos)
      << ledger;

  // Again over the same units: nothing new is handed out, each keeps its own.
  for (int i = 0; i < 3; ++i) {
    Result r = Zemb(*units[i]->host, Words(false));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(the unit's own, from this ledger)"), std::string::npos);
    EXPECT_EQ(RecordOf(units[i]->device->State().rom), expected[i]);
  }
  EXPECT_EQ(LedgerLines("units.csv"), 5u);

  // The pool is used up: a new unit is refused before anything is written.
  sim::SimRig fresh(Unit());
  const std::string before = test::ReadText("units.csv");
  Result r = Zemb(*fresh.host, Words(false));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("the pool of 3 units in units.csv is used up"), std::string::npos) << r.err;
  EXPECT_EQ(Writes(*fresh.device), 0u);
  EXPECT_EQ(fresh.device->State().rom, Unit().rom);
  EXPECT_EQ(test::ReadText("units.csv"), before);
}

TEST_F(ProvisionTest, ValuesOfARunThatDiedOrFailedAreNeverHandedOutAgain) {
  // A run that allocated and died before writing the unit.
  Ledger ledger;
  std::string error;
  LedgerPool pool;
  ASSERT_TRUE(MakeLedgerPool("20000130041499", "02-00-5E-00-00-FE", 5, &pool, &error)) << error;
  ASSERT_TRUE(ledger.Open("units.csv", pool, &error)) << error;
  Allocation lost;
  ASSERT_TRUE(ledger.Allocate("", "dead-run", "", &lost, &error)) << error;
  EXPECT_EQ(lost.serial, "20000130041499");

  // A run whose write fails.
  sim::DeviceState failing = Unit();
  sim::Fault fault;
  fault.type = sim::Fault::Type::CorruptWrite;
  fault.nth = 3;
  failing.faults.push_back(fault);
  sim::SimRig unit(failing);
  Result r = Zemb(*unit.host, Words(false));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      test::ReadText("units.csv").find(",20000130041500,02-00-5E-00-01-00,02-00-5E-00-01-01,"),
      std::string::npos);
  EXPECT_NE(test::ReadText("units.csv").find(",\"failed: the sector at 0x00000000 did not verify"),
            std::string::npos)
      << test::ReadText("units.csv");

  // The next unit gets the next values; the failed unit, run again, too:
  // its record never reached it, so it has nothing of this ledger.
  sim::SimRig next(Unit());
  r = Zemb(*next.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RecordOf(next.device->State().rom),
            "20000130041501 02-00-5E-00-01-02 02-00-5E-00-01-03");
  r = Zemb(*unit.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RecordOf(unit.device->State().rom),
            "20000130041502 02-00-5E-00-01-04 02-00-5E-00-01-05");
}

TEST_F(ProvisionTest, ATornLastLineCountsAsHandedOut) {
  sim::SimRig first(Unit());
  ASSERT_EQ(Zemb(*first.host, Words()).status, 0);
  // A power cut in the middle of the next line.
  std::string text = test::ReadText("units.csv");
  text += "2026-12-10T06:00:00Z,\\\\?\\usb#zemb,2000013";
  test::WriteText("units.csv", text);
  sim::SimRig second(Unit());
  Result r = Zemb(*second.host, Words(false));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RecordOf(second.device->State().rom),
            "20000130041501 02-00-5E-00-01-02 02-00-5E-00-01-03");
  const std::string ledger = test::ReadText("units.csv");
  EXPECT_NE(ledger.find(",20000130041500,02-00-5E-00-01-00,02-00-5E-00-01-01,,interrupted\n"),
            std::string::npos)
      << ledger;
}

TEST_F(ProvisionTest, AForeignOrDamagedLedgerIsRefusedAndLeftAsItWas) {
  sim::SimRig first(Unit());
  ASSERT_EQ(Zemb(*first.host, Words()).status, 0);
  const std::string good = test::ReadText("units.csv");
  const size_t serialAt = good.find("20000130041499", good.find("result\n"));
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
      {"a spreadsheet of something else", "name,age\nann,3\n", "is not a zemb ledger"},
      {"empty", "", "is not a zemb ledger"},
      {"a serial the pool does not give", changedSerial,
       "is damaged at line 3: serial 20000130041555 where the pool gives 20000130041499"},
      {"a line of eight fields", extraField, "is damaged at line 3: 8 fields instead of 7"},
      {"a pool of no units",
       "zemb ledger,1,serial_from,20000130041499,mac_from,02-00-5E-00-00-FE,count,0\n"
       "time,device,serial,mac_p,mac_s,image_sha256,result\n",
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
  // Another pool named on the command line than the ledger's.
  test::WriteText("units.csv", good);
  sim::SimRig unit(Unit());
  std::vector<std::string> words = Words(true, 4);
  Result r = Zemb(*unit.host, words);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("holds another pool"), std::string::npos) << r.err;
}

TEST(LedgerPoolTest, PoolsThatCannotServeAreRefused) {
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
      {"99999999999999", "00-11-22-33-44-55", 2, "runs past 14 digits"},
      {"FFFFFFFFFFFFFE", "00-11-22-33-44-55", 3, "runs past 14 digits"},
      {"20000130041415", "00-11-22-FF-FF-FE", 1, ""},
      {"20000130041415", "00-11-22-FF-FF-FE", 2, "runs past the addresses of 00-11-22"},
      {"20000130041415", "00-11-22-33-44-55", 0, "--count must be at least 1"},
  };
  for (const Case& c : cases) {
    LedgerPool pool;
    std::string error;
    const bool ok = MakeLedgerPool(c.serial, c.mac, c.count, &pool, &error);
    EXPECT_EQ(ok, std::string(c.error).empty()) << c.serial << " " << c.mac;
    if (!ok) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
  // Decimal pools count in decimal, others in hexadecimal; MACs in pairs.
  LedgerPool pool;
  std::string error;
  ASSERT_TRUE(MakeLedgerPool("20000130041419", "00-11-22-33-44-FE", 4, &pool, &error));
  EXPECT_EQ(Ledger::Nth(pool, 1).serial, "20000130041420");
  EXPECT_EQ(MacString(0x001122334500ull), "00-11-22-33-45-00");
  const Allocation a = Ledger::Nth(pool, 1);
  EXPECT_EQ(a.macP[5], 0x00);
  EXPECT_EQ(a.macP[4], 0x45);
  EXPECT_EQ(a.macS[5], 0x01);
  ASSERT_TRUE(MakeLedgerPool("2000013004141f", "00-11-22-33-44-00", 4, &pool, &error));
  EXPECT_EQ(pool.serialFrom, "2000013004141F");
  EXPECT_EQ(Ledger::Nth(pool, 1).serial, "20000130041420");
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

// Real processes: two stations on one ledger at once get disjoint values,
// and a run killed after its allocation never sees its values again.
TEST(ProvisionProgramTest, TwoRunsAtOnceAndAKilledRun) {
  test::ScratchDir dir;
  std::string out;
  const std::string zemb = std::string("'") + ZEMB_ZEMB + "' ";
  const std::string zembsim = std::string("'") + ZEMB_ZEMBSIM + "' ";
  test::WriteConfig("spi.cfg", "SPI", 1 << 20, 256);
  test::WriteFile("image.bin", test::Pattern(0x20000, 3));
  const std::string ledger = dir.Path() + "/units.csv";
  const std::string common = " --config ../spi.cfg --ledger '" + ledger + "'";
  ASSERT_EQ(test::RunCommand(zemb + "provision image.bin --config spi.cfg --ledger '" + ledger +
                                 "' --serial-from 30000000000000 --mac-from 02-AA-00-00-00-00 "
                                 "--count 100 || true",
                             &out),
            0);
  // No device here: nothing was handed out, but the ledger stands.
  EXPECT_EQ(LedgerLines(ledger), 2u);
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
  EXPECT_EQ(LedgerLines(ledger), 4u);

  // c: killed once its allocation is on disk; the image does not reach the
  // record, so the unit never got it. Run again, it gets the next values.
  const std::string killed =
      test::RunCommand(
          "cd c && (" + zemb + "provision ../image.bin --start 0xC000" + common +
              " > out.txt 2>&1 & pid=$!; for i in $(seq 1 200); do grep -q allocated '" + ledger +
              "' && break; sleep 0.05; done; kill -9 $pid; wait $pid; true)",
          &out) == 0
          ? test::ReadText("c/out.txt")
          : out;
  const std::string afterKill = test::ReadText(ledger);
  ASSERT_NE(afterKill.find(",30000000000002,02-AA-00-00-00-04,02-AA-00-00-00-05,"),
            std::string::npos)
      << afterKill << killed;
  EXPECT_NE(afterKill.find(",allocated\n"), std::string::npos) << afterKill;
  ASSERT_EQ(
      test::RunCommand("cd c && " + zemb + "provision ../image.bin --start 0xC000" + common, &out),
      0)
      << out;
  EXPECT_NE(out.find("serial number 30000000000003, P-side MAC 02-AA-00-00-00-06"),
            std::string::npos)
      << out;
  EXPECT_EQ(LedgerLines(ledger), 6u);
}

}  // namespace
}  // namespace zemb
