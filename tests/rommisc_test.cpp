// ZembRomMisc: the MAC and serial texts, the command line and usage, and the
// misc record update on the simulated device, including every failure.
#include "rommisc/rommisc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

using sim::Face;
using sim::Fault;
using sim::RequestKind;
using sim::RomKind;
using test::FailNth;

// --- MAC and serial texts ----------------------------------------------------

class BadMacTest : public ::testing::TestWithParam<const char*> {};

TEST_P(BadMacTest, IsRefused) {
  uint8_t mac[kMacLength] = {};
  EXPECT_EQ(ParseMacAddress(GetParam(), mac), 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, BadMacTest,
                         ::testing::Values("11:22:33:44:55:66",   // wrong separator
                                           "-11-22-33-44-55",     // leading hyphen
                                           "1-22-33-44-55-66-",   // trailing hyphen
                                           "11--22-33-44-55",     // empty group
                                           "112-2-33-44-55-66",   // three digits in a group
                                           "1-2-3-4-5-6-7",       // seven groups
                                           "112233445566",        // no separators
                                           "11-22-33-44-55-6G",   // not a hex digit
                                           "11-22-33-44-55",      // five groups
                                           "1-2-3-4-5",           // too short
                                           "111-22-33-44-55-66",  // too long
                                           ""));

struct GoodMac {
  const char* text;
  std::vector<uint8_t> bytes;
};

class GoodMacTest : public ::testing::TestWithParam<GoodMac> {};

TEST_P(GoodMacTest, GivesTheBytesFirstGroupFirst) {
  uint8_t mac[kMacLength] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_EQ(ParseMacAddress(GetParam().text, mac), 1);
  EXPECT_EQ(std::vector<uint8_t>(mac, mac + kMacLength), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GoodMacTest,
    ::testing::Values(GoodMac{"1-2-3-4-5-6", {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}},
                      GoodMac{"aa-bb-cc-dd-ee-ff", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}},
                      GoodMac{"11-22-33-44-55-66", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}},
                      GoodMac{"0-A-bC-D-e0-0f", {0x00, 0x0A, 0xBC, 0x0D, 0xE0, 0x0F}}));

TEST(SerialTextTest, IsStoredInUpperCaseAsUtf16) {
  uint16_t serial[kSerialLength] = {};
  ASSERT_EQ(ParseSerialNumber("2000013004141a", serial), 1);
  const std::u16string expected = u"2000013004141A";
  EXPECT_EQ(std::u16string(serial, serial + kSerialLength), expected);
}

TEST(SerialTextTest, RefusesWrongLengthsAndCharacters) {
  for (const char* text :
       {"2000013004141", "200001300414155", "2000013004141G", "20000130 41415", ""}) {
    uint16_t serial[kSerialLength] = {};
    EXPECT_EQ(ParseSerialNumber(text, serial), 0) << text;
  }
}

TEST(HexTextTest, ReadsDigitsInEitherCase) {
  EXPECT_EQ(HexTextValue("fF"), 255u);
  EXPECT_EQ(HexTextValue("0a"), 10u);
  EXPECT_EQ(HexDigitValue('g'), 0);
}

// --- The simulated device ----------------------------------------------------

constexpr uint32_t kRomSize = 65536;
constexpr uint32_t kMisc = 0xB000;

// A record as an earlier run left it: MACs 01-02-03-04-05-06 and
// 0A-0B-0C-0D-0E-0F, serial number 12345678ABCDEF.
const std::vector<uint8_t> kOldRecord = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0A, 0x0B, 0x0C, 0x0D,
                                         0x0E, 0x0F, '1',  0,    '2',  0,    '3',  0,    '4',  0,
                                         '5',  0,    '6',  0,    '7',  0,    '8',  0,    'A',  0,
                                         'B',  0,    'C',  0,    'D',  0,    'E',  0,    'F',  0};

const std::string kOldRecordLine =
    "    Misc record before this run: P-side MAC 01-02-03-04-05-06, S-side MAC "
    "0A-0B-0C-0D-0E-0F, serial number 12345678ABCDEF\n";

// A device whose ROM holds a pattern everywhere and kOldRecord at the misc
// sector, on one face.
sim::DeviceState Device(RomKind kind, Face face = Face::Cdrom, std::vector<Fault> faults = {}) {
  sim::DeviceState state = sim::DefaultDeviceState(kind, kRomSize);
  state.ownFace = face == Face::Own;
  state.cdromFace = face == Face::Cdrom;
  state.xuFace = face == Face::Xu;
  state.rom = test::Pattern(kRomSize);
  std::copy(kOldRecord.begin(), kOldRecord.end(), state.rom.begin() + kMisc);
  state.faults = std::move(faults);
  return state;
}

Fault CorruptFirstWrite() {
  Fault f;
  f.type = Fault::Type::CorruptWrite;
  f.nth = 1;
  return f;
}

std::string RunMisc(sim::SimRig& rig, const std::vector<std::string>& words) {
  std::vector<std::string> all = {"ZembRomMisc.exe"};
  all.insert(all.end(), words.begin(), words.end());
  return test::RunTool(RunRomMisc, *rig.host, all);
}

// ROM writes the device carried out, as (address, length).
std::vector<std::pair<uint32_t, uint32_t>> Writes(const sim::SimDevice& device) {
  std::vector<std::pair<uint32_t, uint32_t>> writes;
  for (const auto& t : device.Trace()) {
    if (t.kind == RequestKind::AccessRom && t.op == 0x02 && !t.failed) {
      writes.emplace_back(t.address, t.length);
    }
  }
  return writes;
}

int CountOps(const sim::SimDevice& device, uint8_t op) {
  return static_cast<int>(std::count_if(
      device.Trace().begin(), device.Trace().end(),
      [op](const sim::TraceEntry& t) { return t.kind == RequestKind::AccessRom && t.op == op; }));
}

std::vector<uint8_t> Bytes(const std::vector<uint8_t>& rom, uint32_t from, uint32_t to) {
  return std::vector<uint8_t>(rom.begin() + from, rom.begin() + to);
}

// Everything from the function's heading on; discovery's lines differ by face.
std::string FromHeading(const std::string& out) {
  const size_t at = out.find("                               \nModify - ");
  return at == std::string::npos ? out : out.substr(at);
}

const std::string kBlank = std::string(76, ' ') + "\n";
const std::string kMacUsage =
    "Command Syntax:                                                             \n"
    "    ZembRomMisc.exe {Function} {Addr1 P_side} {Addr2 S_side} {ROM Config}   \n" +
    kBlank + kBlank +
    "Function:                                                                   \n"
    "    MAC             - Program Mac Address for both side                     \n" +
    kBlank + kBlank +
    "Files:                                                                      \n"
    "    ROM Config      - ROM configuration information                         \n" +
    kBlank + kBlank +
    "Example:                                                                    \n"
    "    ZembRomMisc.exe MAC 11-22-33-44-55-66 AA-BB-CC-DD-EE-FF {ROM Config}    \n";
const std::string kSerUsage =
    "Command Syntax:                                                             \n"
    "    ZembRomMisc.exe {Function} {Serial number(14 Digitals)} {ROM Config}    \n" +
    kBlank + kBlank +
    "Function:                                                                   \n"
    "    SER             - Program Serial Number                                 \n" +
    kBlank + kBlank +
    "Files:                                                                      \n"
    "    ROM Config      - ROM configuration information                         \n" +
    kBlank + kBlank +
    "Example:                                                                    \n"
    "    ZembRomMisc.exe SER 20000130041415 {ROM Config}                         \n";

const std::string kHeadingSpi =
    "                               \nModify - SPI ROM Access         \n\n";
const std::string kHeadingI2c =
    "                               \nModify - I2C ROM Access         \n\n";
const std::string kEraseLine = "    Erase Misc sector ...\n";
const std::string kProgress = "\r    [OffsetStart : OffsetEnd] 45056 : 45096";
const std::string kPass = "                \n    Burn Pass   \n";
const std::string kFail = "    Burn Fail\n    ZembRomMisc fail !!!\n";

std::string ErrorBlock(const std::string& headline) {
  return "                            \n" + headline +
         "    - Error Code    : 0x1F  \n"
         "    - Error Message : A device attached to the system is not functioning.\n    \n";
}

// --- Command line, before the device --------------------------------------

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteConfig("spi.cfg", "SPI", kRomSize, 256); }
  test::ScratchDir dir;
  sim::SimRig rig{Device(RomKind::Spi)};
};

struct UsageCase {
  std::vector<std::string> words;
  std::string expected;  // kMacUsage, kSerUsage or both
};

class UsageTest : public CommandLineTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageTest, ShowsTheBlocksAndLeavesTheDeviceAlone) {
  EXPECT_EQ(RunMisc(rig, GetParam().words), GetParam().expected);
  EXPECT_TRUE(rig.device->Trace().empty());
  EXPECT_FALSE(rig.host->Called("CreateFile"));
}

INSTANTIATE_TEST_SUITE_P(
    Words, UsageTest,
    ::testing::Values(
        UsageCase{{}, kMacUsage + kSerUsage},
        UsageCase{{"M", "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "spi.cfg"},
                  kMacUsage + kSerUsage},
        UsageCase{{"MAC", "11-22-33-44-55-66", "spi.cfg"}, kMacUsage + kSerUsage},
        UsageCase{{"SER", "20000130041415"}, kMacUsage + kSerUsage},
        UsageCase{{"S", "20000130041415", "spi.cfg"}, kMacUsage + kSerUsage},
        UsageCase{{"VER", "x"}, kMacUsage + kSerUsage},
        UsageCase{{"v", "x", "y"}, kMacUsage + kSerUsage},
        UsageCase{{"SER", "2000013004141", "spi.cfg"}, kSerUsage},
        UsageCase{{"SER", "200001300414155", "spi.cfg"}, kSerUsage},
        UsageCase{{"ser", "2000013004141G", "spi.cfg"}, kSerUsage},
        // A valid P side does not let an invalid S side through.
        UsageCase{{"MAC", "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FG", "spi.cfg"}, kMacUsage},
        UsageCase{{"MAC", "11:22:33:44:55:66", "AA-BB-CC-DD-EE-FF", "spi.cfg"}, kMacUsage}));

TEST_F(CommandLineTest, VersionAloneOpensNoDevice) {
  for (const char* word : {"V", "VER", "ver"}) {
    EXPECT_EQ(RunMisc(rig, {word}), "    \nZembRomMisc version:1.1.00\n\n");
  }
  EXPECT_TRUE(rig.host->Calls().empty());
}

TEST_F(CommandLineTest, ConfigurationIsReadBeforeTheTexts) {
  EXPECT_EQ(RunMisc(rig, {"SER", "2000013004141", "missing.cfg"}),
            "    Cannot open Config !!!\n" + kSerUsage);
  test::WriteConfig("nand.cfg", "NAND", kRomSize, 256);
  EXPECT_EQ(RunMisc(rig, {"MAC", "1-2-3-4-5-6", "bad", "nand.cfg"}),
            "    NAND ROM Config Wrong !!!\n    Get ROM Parameter fail !!!\n" + kMacUsage);
  EXPECT_TRUE(rig.device->Trace().empty());
}

TEST_F(CommandLineTest, MacInAnyLetterCaseSelectsTheFunction) {
  for (const char* word : {"MAC", "mac", "Mac"}) {
    const std::string out =
        RunMisc(rig, {word, "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "spi.cfg"});
    EXPECT_NE(out.find(kHeadingSpi), std::string::npos) << word;
  }
}

TEST(NoDeviceTest, SaysSoWithoutBannerOrFailLine) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", kRomSize, 256);
  sim::SimRig rig{sim::SimMachine{}};
  EXPECT_EQ(RunMisc(rig, {"SER", "20000130041415", "spi.cfg"}),
            "    Cannot find device for ROM access test!!!\n");
  EXPECT_EQ(rig.host->ComDepth(), 0);
}

// --- Failures on the device --------------------------------------------------

struct FailureCase {
  const char* name;
  RomKind kind;
  std::vector<Fault> faults;
  std::string expected;  // from the heading to the end
  bool romUntouched;
  friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class FailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureTest, PrintsItsLinesInOrder) {
  const FailureCase& c = GetParam();
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", kRomSize, 16);
  sim::SimRig rig{Device(c.kind, Face::Cdrom, c.faults)};
  const std::vector<uint8_t> before = rig.device->State().rom;

  const std::string out =
      RunMisc(rig, {"MAC", "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "spi.cfg"});

  EXPECT_EQ(FromHeading(out), c.expected);
  if (c.romUntouched) {
    EXPECT_EQ(rig.device->State().rom, before);
    EXPECT_TRUE(Writes(*rig.device).empty());
    EXPECT_EQ(CountOps(*rig.device, 0xFD), 0);
  }
  EXPECT_EQ(rig.host->OpenHandles(), 0);
}

const std::string kDump =
    "                            \n"
    "    Data does not match!!!  \n"
    "    - Tx Data [0000]    : 0x11 0x22 0x33 0x44 0x55 0x66 0xAA 0xBB 0xCC 0xDD\n"
    "    - Rx Data [0000]    : 0x10 0x22 0x33 0x44 0x55 0x66 0xAA 0xBB 0xCC 0xDD\n\n";

// On the CD-ROM face the transport names the failed command before the
// error block. Request counts: the record read is ACCESS_ROM 1, the erase 2,
// the three 16-byte pieces 3 to 5, the read-back 6.
INSTANTIATE_TEST_SUITE_P(
    Rows, FailureTest,
    ::testing::Values(
        FailureCase{"I2cDeviceForSpiConfig",
                    RomKind::I2c,
                    {},
                    kHeadingSpi + "    The device ROM type 0 is not SPI!!!\n" + kFail,
                    true},
        FailureCase{"RomTypeRequestFails",
                    RomKind::Spi,
                    {FailNth(RequestKind::RomType, 1)},
                    kHeadingSpi + "    The device ROM type 255 is not SPI!!!\n" + kFail,
                    true},
        FailureCase{"Read",
                    RomKind::Spi,
                    {FailNth(RequestKind::AccessRom, 1)},
                    kHeadingSpi + "ACCESS_ROM READ DATA ERROR !\n" +
                        ErrorBlock("    Cannot read ROM!!!      \n") +
                        "    Read Misc Sector fail !!!\n" + kFail,
                    true},
        FailureCase{"Erase",
                    RomKind::Spi,
                    {FailNth(RequestKind::AccessRom, 2)},
                    kHeadingSpi + kEraseLine + "ACCESS_ROM ERROR !\n" +
                        ErrorBlock("    Cannot erase ROM!!!     \n") +
                        "    Erase Misc Sector fail !!!\n" + kOldRecordLine + kFail,
                    false},
        FailureCase{"SecondPiece",
                    RomKind::Spi,
                    {FailNth(RequestKind::AccessRom, 4)},
                    kHeadingSpi + kEraseLine + kProgress + "ACCESS_ROM WRITE DATA ERROR !\n" +
                        ErrorBlock("    Cannot write ROM!!!     \n") +
                        "    Write Misc Sector fail !!!\n" + kOldRecordLine + kFail,
                    false},
        FailureCase{"ReadBack",
                    RomKind::Spi,
                    {FailNth(RequestKind::AccessRom, 6)},
                    kHeadingSpi + kEraseLine + kProgress + "ACCESS_ROM READ DATA ERROR !\n" +
                        ErrorBlock("    Cannot read ROM!!!      \n") +
                        "    Write Misc Sector fail !!!\n" + kOldRecordLine + kFail,
                    false},
        FailureCase{"Compare",
                    RomKind::Spi,
                    {CorruptFirstWrite()},
                    kHeadingSpi + kEraseLine + kProgress + kDump +
                        "    Write Misc Sector fail !!!\n" + kOldRecordLine + kFail,
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FailureStateTest, FailedPieceStopsTheWrite) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", kRomSize, 16);
  sim::SimRig rig{Device(RomKind::Spi, Face::Cdrom, {FailNth(RequestKind::AccessRom, 4)})};
  RunMisc(rig, {"SER", "20000130041415", "spi.cfg"});
  using W = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(Writes(*rig.device), (std::vector<W>{{45056, 16}}));
  const auto accessRom =
      std::count_if(rig.device->Trace().begin(), rig.device->Trace().end(),
                    [](const sim::TraceEntry& t) { return t.kind == RequestKind::AccessRom; });
  EXPECT_EQ(accessRom, 4) << "read, erase, two pieces; no third piece and no read-back";
}

TEST(FailureStateTest, MismatchIsNotRetried) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", kRomSize, 16);
  sim::SimRig rig{Device(RomKind::Spi, Face::Cdrom, {CorruptFirstWrite()})};
  RunMisc(rig, {"SER", "20000130041415", "spi.cfg"});
  EXPECT_EQ(CountOps(*rig.device, 0x02), 3);
  EXPECT_EQ(CountOps(*rig.device, 0x01), 2) << "the record read, then one read-back";
  EXPECT_EQ(CountOps(*rig.device, 0xFD), 1);
}

// What the operator is shown of a record that holds nothing to write back.
TEST(FailureStateTest, RecordAsReadNamesWhatIsNotValid) {
  struct Case {
    std::vector<uint8_t> record;
    std::string line;
  };
  std::vector<uint8_t> badSerial = kOldRecord;
  badSerial[12] = 'G';
  badSerial[15] = 0x01;
  const std::vector<Case> cases = {
      {std::vector<uint8_t>(40, 0xFF),
       "    Misc record before this run: P-side MAC FF-FF-FF-FF-FF-FF (erased), S-side MAC "
       "FF-FF-FF-FF-FF-FF (erased), serial number not programmed (erased)\n"},
      {badSerial,
       "    Misc record before this run: P-side MAC 01-02-03-04-05-06, S-side MAC "
       "0A-0B-0C-0D-0E-0F, serial number not a valid serial number (47 00 32 01 33 00 34 00 35 "
       "00 36 00 37 00 38 00 41 00 42 00 43 00 44 00 45 00 46 00)\n"},
  };
  for (const Case& c : cases) {
    test::ScratchDir dir;
    test::WriteConfig("i2c.cfg", "I2C", kRomSize, 64);
    sim::DeviceState state = Device(RomKind::I2c, Face::Cdrom, {CorruptFirstWrite()});
    std::copy(c.record.begin(), c.record.end(), state.rom.begin() + kMisc);
    sim::SimRig rig{state};
    const std::string out =
        RunMisc(rig, {"MAC", "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "i2c.cfg"});
    EXPECT_NE(out.find("    Write Misc Sector fail !!!\n" + c.line), std::string::npos) << out;
  }
}

// An address size the unit refuses: the record read is refused with CHECK
// CONDITION on the CD-ROM face. The run must stop there, with the sector
// untouched, and never show the zeroed data area as the record.
TEST(FailureStateTest, RefusedRecordReadStopsBeforeTheErase) {
  for (int addressSize : {1, 5}) {
    test::ScratchDir dir;
    test::WriteConfig("spi.cfg", "SPI", 1 << 20, 256, addressSize);
    sim::DeviceState state = sim::DefaultDeviceState(RomKind::Spi, 1 << 20);
    std::copy(kOldRecord.begin(), kOldRecord.end(), state.rom.begin() + kMisc);
    sim::SimRig rig{state};
    const std::vector<uint8_t> before = rig.device->State().rom;
    const std::string out =
        RunMisc(rig, {"MAC", "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "spi.cfg"});
    EXPECT_EQ(FromHeading(out),
              kHeadingSpi + "ACCESS_ROM READ DATA ERROR !\n" +
                  "                            \n    Cannot read ROM!!!      \n"
                  "    - Error Code    : 0x45D  \n"
                  "    - Error Message : The request could not be performed because of an I/O "
                  "device error.\n    \n"
                  "    Read Misc Sector fail !!!\n" +
                  kFail)
        << addressSize;
    EXPECT_EQ(rig.device->State().rom, before);
    EXPECT_EQ(CountOps(*rig.device, 0xFD), 0);
  }
}

// --- Successful runs ---------------------------------------------------------

class FaceTest : public ::testing::TestWithParam<Face> {};

TEST_P(FaceTest, WritesPageSizePiecesWithTheProgressLine) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", kRomSize, 16);
  sim::SimRig rig{Device(RomKind::Spi, GetParam())};
  const std::string out = RunMisc(rig, {"SER", "20000130041415", "spi.cfg"});
  EXPECT_EQ(FromHeading(out), kHeadingSpi + kEraseLine + kProgress + kPass);
  using W = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(Writes(*rig.device), (std::vector<W>{{45056, 16}, {45072, 16}, {45088, 8}}));
}

TEST_P(FaceTest, OnePieceWhenThePageHoldsTheRecord) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", kRomSize, 40);
  sim::SimRig rig{Device(RomKind::Spi, GetParam())};
  RunMisc(rig, {"MAC", "1-2-3-4-5-6", "aa-bb-cc-dd-ee-ff", "spi.cfg"});
  using W = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(Writes(*rig.device), (std::vector<W>{{45056, 40}}));
}

INSTANTIATE_TEST_SUITE_P(Faces, FaceTest, ::testing::Values(Face::Own, Face::Cdrom, Face::Xu),
                         [](const auto& info) {
                           return std::string(info.param == Face::Own     ? "Own"
                                              : info.param == Face::Cdrom ? "Cdrom"
                                                                          : "Xu");
                         });

TEST(I2cTest, WritesWithoutErase) {
  test::ScratchDir dir;
  test::WriteConfig("i2c.cfg", "I2C", kRomSize, 16);
  sim::SimRig rig{Device(RomKind::I2c)};
  const std::string out = RunMisc(rig, {"SER", "20000130041415", "i2c.cfg"});
  EXPECT_EQ(FromHeading(out), kHeadingI2c + kProgress + kPass);
  EXPECT_EQ(CountOps(*rig.device, 0xFD), 0);
}

struct FlowCase {
  Face face;
  RomKind kind;
};

class FlowTest : public ::testing::TestWithParam<FlowCase> {};

// SER, then MAC, then SER again: each run keeps what the other wrote, and
// nothing outside the record changes but what an SPI sector erase clears.
TEST_P(FlowTest, EachRunKeepsTheOtherFields) {
  const FlowCase& c = GetParam();
  const bool spi = c.kind == RomKind::Spi;
  test::ScratchDir dir;
  test::WriteConfig("rom.cfg", spi ? "SPI" : "I2C", kRomSize, 16);
  sim::SimRig rig{Device(c.kind, c.face)};
  const std::vector<uint8_t> before = rig.device->State().rom;
  const std::vector<uint8_t>& rom = rig.device->State().rom;

  const std::vector<uint8_t> serial1 = {0x32, 0, 0x30, 0, 0x30, 0, 0x30, 0, 0x30, 0,
                                        0x31, 0, 0x33, 0, 0x30, 0, 0x30, 0, 0x34, 0,
                                        0x31, 0, 0x34, 0, 0x31, 0, 0x35, 0};
  const std::vector<uint8_t> serial2 = {'2', 0, '0', 0, '0', 0, '0', 0, '0', 0, '1', 0, '3', 0,
                                        '0', 0, '0', 0, '4', 0, '1', 0, '4', 0, '1', 0, 'A', 0};
  const std::vector<uint8_t> macs = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                     0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

  EXPECT_NE(RunMisc(rig, {"SER", "20000130041415", "rom.cfg"}).find(kProgress + kPass),
            std::string::npos);
  EXPECT_EQ(Bytes(rom, kMisc, kMisc + 12), Bytes(before, kMisc, kMisc + 12));
  EXPECT_EQ(Bytes(rom, kMisc + 12, kMisc + 40), serial1);

  EXPECT_NE(RunMisc(rig, {"MAC", "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "rom.cfg"})
                .find(kProgress + kPass),
            std::string::npos);
  EXPECT_EQ(Bytes(rom, kMisc, kMisc + 12), macs);
  EXPECT_EQ(Bytes(rom, kMisc + 12, kMisc + 40), serial1);

  EXPECT_NE(RunMisc(rig, {"SER", "2000013004141a", "rom.cfg"}).find(kProgress + kPass),
            std::string::npos);
  EXPECT_EQ(Bytes(rom, kMisc, kMisc + 12), macs);
  EXPECT_EQ(Bytes(rom, kMisc + 12, kMisc + 40), serial2);

  const std::vector<uint8_t> rest = Bytes(rom, kMisc + 40, kMisc + 4096);
  if (spi) {
    EXPECT_EQ(rest, std::vector<uint8_t>(4096 - 40, 0xFF));
  } else {
    EXPECT_EQ(rest, Bytes(before, kMisc + 40, kMisc + 4096));
  }
  EXPECT_EQ(Bytes(rom, 0, kMisc), Bytes(before, 0, kMisc));
  EXPECT_EQ(Bytes(rom, kMisc + 4096, kRomSize), Bytes(before, kMisc + 4096, kRomSize));
  EXPECT_EQ(rig.host->OpenHandles(), 0);
  EXPECT_EQ(rig.host->ComDepth(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    FacesAndRoms, FlowTest,
    ::testing::Values(FlowCase{Face::Own, RomKind::Spi}, FlowCase{Face::Cdrom, RomKind::Spi},
                      FlowCase{Face::Xu, RomKind::Spi}, FlowCase{Face::Own, RomKind::I2c},
                      FlowCase{Face::Cdrom, RomKind::I2c}, FlowCase{Face::Xu, RomKind::I2c}),
    [](const auto& info) {
      const Face f = info.param.face;
      return std::string(f == Face::Own     ? "Own"
                         : f == Face::Cdrom ? "Cdrom"
                                            : "Xu") +
             (info.param.kind == RomKind::Spi ? "Spi" : "I2c");
    });

}  // namespace
}  // namespace zemb
