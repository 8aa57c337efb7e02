// zemb against the simulated device: read, verify, write only what
// differs, info, the exit status of every outcome, interrupts and files.
#include "zemb/zemb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "rommisc/rommisc.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"
#include "tests/zemb_tests.h"

namespace zemb {
namespace {

using sim::Face;
using sim::RequestKind;
using sim::RomKind;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kOpRead = 0x01, kOpWrite = 0x02, kOpSectorErase = 0xFD, kOpChipErase = 0xFF;

using ZembResult = test::ToolResult;

using test::Zemb;

sim::DeviceState Device(Face face, RomKind kind, Bytes rom = {}) {
  sim::DeviceState state = sim::DefaultDeviceState(kind, test::kRomSize);
  state.ownFace = face == Face::Own;
  state.cdromFace = face == Face::Cdrom;
  state.xuFace = face == Face::Xu;
  if (!rom.empty()) state.rom = std::move(rom);
  return state;
}

// ROM operations the device was asked to start, by operation.
std::vector<sim::TraceEntry> Started(const sim::SimDevice& device, uint8_t op) {
  std::vector<sim::TraceEntry> started;
  for (const auto& t : device.Trace()) {
    if (t.kind == RequestKind::AccessRom && t.op == op && !t.failed) started.push_back(t);
  }
  return started;
}

struct FaceRom {
  Face face;
  RomKind rom;
};

std::string FaceRomName(const ::testing::TestParamInfo<FaceRom>& info) {
  const char* face = info.param.face == Face::Own     ? "own"
                     : info.param.face == Face::Cdrom ? "cdrom"
                                                      : "xu";
  return std::string(face) + (info.param.rom == RomKind::Spi ? "_spi" : "_i2c");
}

class ZembFaceTest : public ::testing::TestWithParam<FaceRom> {
 protected:
  void SetUp() override {
    test::WriteConfig("rom.cfg", Spi() ? "SPI" : "I2C", test::kRomSize, Spi() ? 256 : 64);
  }
  bool Spi() const { return GetParam().rom == RomKind::Spi; }
  sim::SimRig Rig(Bytes rom = {}) {
    return sim::SimRig(Device(GetParam().face, GetParam().rom, rom));
  }
  test::ScratchDir dir;
};

TEST_P(ZembFaceTest, ReadGivesTheRomWholeOrARange) {
  const Bytes rom = test::Pattern(test::kRomSize, 11);
  sim::SimRig rig = Rig(rom);
  ZembResult r = Zemb(*rig.host, {"read", "all.bin", "--config", "rom.cfg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::ReadFile("all.bin"), rom);
  EXPECT_EQ(r.err, "");

  r = Zemb(*rig.host,
           {"read", "part.bin", "--config=rom.cfg", "--start", "0x1001", "--length", "5000"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::ReadFile("part.bin"), Bytes(rom.begin() + 0x1001, rom.begin() + 0x1001 + 5000));
  EXPECT_TRUE(Started(*rig.device, kOpWrite).empty());
  EXPECT_TRUE(Started(*rig.device, kOpSectorErase).empty());
}

TEST_P(ZembFaceTest, VerifyPassesOnEqualDataAndNamesAChangedByte) {
  const Bytes rom = test::Pattern(test::kRomSize, 12);
  sim::SimRig rig = Rig(rom);
  test::WriteFile("same.bin", Bytes(rom.begin() + 0x2000, rom.begin() + 0x6000));
  ZembResult r = Zemb(*rig.host, {"verify", "same.bin", "--config", "rom.cfg", "--start", "8192"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("verified: the ROM holds same.bin"), std::string::npos) << r.out;

  Bytes changed(rom.begin(), rom.begin() + 0x8000);
  changed[0x1234] ^= 0x40;
  test::WriteFile("changed.bin", changed);
  r = Zemb(*rig.host, {"verify", "changed.bin", "--config", "rom.cfg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("the ROM differs from changed.bin in 1 byte, 1 range:\n"
                       "  0x00001234-0x00001234 (1 byte): first at 0x00001234: ROM 0x" +
                       Format("%02X, file 0x%02X", rom[0x1234], changed[0x1234])),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.err.find("zemb: error: verify failed"), std::string::npos) << r.err;
  EXPECT_EQ(rig.device->State().rom, rom);
}

TEST_P(ZembFaceTest, WritingWhatTheRomHoldsSendsNoEraseAndNoProgram) {
  const Bytes rom = test::Pattern(test::kRomSize, 13);
  sim::SimRig rig = Rig(rom);
  test::WriteFile("image.bin", Bytes(rom.begin(), rom.begin() + 0x9000));
  ZembResult r = Zemb(*rig.host, {"write", "image.bin", "--config", "rom.cfg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Started(*rig.device, kOpWrite).empty());
  EXPECT_TRUE(Started(*rig.device, kOpSectorErase).empty());
  EXPECT_TRUE(Started(*rig.device, kOpChipErase).empty());
  EXPECT_NE(r.out.find("9 sectors: 9 skipped, 0 programmed without erase, 0 erased and "
                       "programmed; nothing needed writing"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(rig.device->State().rom, rom);
}

TEST_P(ZembFaceTest, AChangedSectorIsTheOnlyOneTouched) {
  const Bytes rom = test::Pattern(test::kRomSize, 14);
  sim::SimRig rig = Rig(rom);
  Bytes image = rom;
  // Bits set as well as cleared: an SPI sector needs its erase.
  for (uint32_t a = 0x3100; a < 0x3180; ++a) image[a] = static_cast<uint8_t>(~rom[a]);
  test::WriteFile("image.bin", image);
  ZembResult r = Zemb(*rig.host, {"write", "image.bin", "--config", "rom.cfg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(rig.device->State().rom, image);
  for (const auto& t : Started(*rig.device, kOpWrite)) {
    EXPECT_TRUE(t.address >= 0x3000 && t.address < 0x4000) << t.address;
  }
  const auto erases = Started(*rig.device, kOpSectorErase);
  if (Spi()) {
    ASSERT_EQ(erases.size(), 1u);
    EXPECT_EQ(erases[0].address, 0x3000u);
    // An erased page is not programmed again: only the pages that are not
    // all 0xFF, i.e. all 16 of a patterned sector.
    EXPECT_EQ(Started(*rig.device, kOpWrite).size(), 16u);
    EXPECT_NE(r.out.find("16 sectors: 15 skipped, 0 programmed without erase, 1 erased and "
                         "programmed; the written sector verified"),
              std::string::npos)
        << r.out;
  } else {
    EXPECT_TRUE(erases.empty());
    // The 128 changed bytes lie in two 64-byte pages.
    EXPECT_EQ(Started(*rig.device, kOpWrite).size(), 2u);
  }
}

TEST_P(ZembFaceTest, BitsOnlyClearedAreProgrammedWithoutErase) {
  sim::SimRig rig = Rig();  // erased
  Bytes image(test::kRomSize, 0xFF);
  const Bytes data = test::Pattern(0x2000, 15);
  std::copy(data.begin(), data.end(), image.begin() + 0x5000);
  test::WriteFile("image.bin", image);
  ZembResult r = Zemb(*rig.host, {"write", "image.bin", "--config", "rom.cfg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(rig.device->State().rom, image);
  EXPECT_TRUE(Started(*rig.device, kOpSectorErase).empty());
  EXPECT_NE(r.out.find("16 sectors: 14 skipped, 2 programmed without erase, 0 erased"),
            std::string::npos)
      << r.out;
}

TEST_P(ZembFaceTest, FullWriteKeepsTheUnitsRecordUnlessToldOtherwise) {
  sim::SimRig rig = Rig();
  test::RunTool(RunRomMisc, *rig.host, {"ZembRomMisc", "SER", "20000130041415", "rom.cfg"});
  test::RunTool(RunRomMisc, *rig.host,
                {"ZembRomMisc", "MAC", "00-11-22-33-44-55", "00-11-22-33-44-56", "rom.cfg"});
  const Bytes record(rig.device->State().rom.begin() + 0xB000,
                     rig.device->State().rom.begin() + 0xB028);
  ASSERT_EQ(record[0], 0x00);
  ASSERT_EQ(record[12], '2');

  Bytes image = test::Pattern(0xD000, 16);
  test::WriteFile("image.bin", image);
  ZembResult r = Zemb(*rig.host, {"write", "image.bin", "--config", "rom.cfg", "--full"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Bytes& after = rig.device->State().rom;
  EXPECT_TRUE(std::equal(record.begin(), record.end(), after.begin() + 0xB000));
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0xB000, after.begin()));
  EXPECT_TRUE(std::equal(image.begin() + 0xB028, image.end(), after.begin() + 0xB028));
  EXPECT_NE(r.out.find("kept the unit's misc record: serial number 20000130041415, P-side MAC "
                       "00-11-22-33-44-55, S-side MAC 00-11-22-33-44-56\n"),
            std::string::npos)
      << r.out;
  // The next verify of the image against the unit differs in the record only.
  r = Zemb(*rig.host, {"verify", "image.bin", "--config", "rom.cfg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find(", 1 range:\n  0x0000B000-0x0000B027"), std::string::npos) << r.out;

  r = Zemb(*rig.host, {"write", "image.bin", "--config", "rom.cfg", "--overwrite-misc"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Bytes(rig.device->State().rom.begin(), rig.device->State().rom.begin() + 0xD000),
            image);
}

TEST_P(ZembFaceTest, InfoShowsWhatTheDeviceWasPluggedWith) {
  sim::DeviceState state = Device(GetParam().face, GetParam().rom);
  state.firmwareVersion[0] = 0x01020304;
  state.firmwareVersion[1] = 0x0A0B0C0D;
  state.sideSignature = 0xCAFEF00D;
  sim::SimRig rig(state);
  test::RunTool(RunRomMisc, *rig.host, {"ZembRomMisc", "SER", "20000130041415", "rom.cfg"});
  ZembResult r = Zemb(*rig.host, {"info", "--config", "rom.cfg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(std::string("ROM type:          ") + (Spi() ? "SPI" : "I2C") + "\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("serial number:     20000130041415\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("P-side MAC:        FF-FF-FF-FF-FF-FF (erased)\n"), std::string::npos);
  EXPECT_NE(r.out.find("ROM header:        not valid (erased)\n"), std::string::npos);
  if (GetParam().face == Face::Xu) {
    EXPECT_NE(r.out.find("firmware version:  not available on this face\n"), std::string::npos);
    EXPECT_NE(r.out.find("side signature:    not available on this face\n"), std::string::npos);
  } else {
    EXPECT_NE(r.out.find("firmware version:  0x01020304 0x0A0B0C0D\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("side signature:    0xCAFEF00D\n"), std::string::npos) << r.out;
  }
  r = Zemb(*rig.host, {"info", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
  const nlohmann::json info = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(info.is_object()) << r.out;
  EXPECT_EQ(info["face"], GetParam().face == Face::Own     ? "own"
                          : GetParam().face == Face::Cdrom ? "cdrom"
                                                           : "xu");
  if (GetParam().face != Face::Xu) {
    EXPECT_EQ(info["firmware_version"], nlohmann::json::array({16909060, 168496141})) << r.out;
    EXPECT_EQ(info["side_signature"], 0xCAFEF00Du);
  } else {
    EXPECT_TRUE(info["firmware_version"].is_null()) << r.out;
  }
  r = Zemb(*rig.host, {"info", "--json", "--config", "rom.cfg"});
  const nlohmann::json withRom = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(withRom.is_object()) << r.out;
  EXPECT_EQ(withRom["misc"]["serial"], "20000130041415");
  EXPECT_TRUE(withRom["misc"]["mac_p"].is_null());
  EXPECT_EQ(withRom["header"]["valid"], false);
}

INSTANTIATE_TEST_SUITE_P(
    Faces, ZembFaceTest,
    ::testing::Values(FaceRom{Face::Own, RomKind::Spi}, FaceRom{Face::Cdrom, RomKind::Spi},
                      FaceRom{Face::Xu, RomKind::Spi}, FaceRom{Face::Own, RomKind::I2c},
                      FaceRom{Face::Cdrom, RomKind::I2c}, FaceRom{Face::Xu, RomKind::I2c}),
    FaceRomName);

class ZembTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256); }
  test::ScratchDir dir;
};

TEST_F(ZembTest, EachOutcomeHasItsExitStatus) {
  test::WriteFile("image.bin", test::Pattern(8192, 1));
  test::WriteFile("empty.bin", {});
  test::WriteFile("big.bin", Bytes(test::kRomSize + 1, 0));
  test::WriteConfig("zero.cfg", "SPI", 0, 256);
  test::WriteConfig("negative.cfg", "SPI", -4096, 256);
  test::WriteConfig("i2c.cfg", "I2C", test::kRomSize, 64);
  struct Case {
    std::vector<std::string> words;
    int status;
    const char* err;  // the start of standard error
  };
  const Case cases[] = {
      {{}, 2, "zemb: error: no command given\nTry 'zemb --help'.\n"},
      {{"flash"}, 2, "zemb: error: 'flash' is not a zemb command"},
      {{"read", "out.bin"}, 2, "zemb: error: read needs --config FILE"},
      {{"read", "--config", "spi.cfg"}, 2, "zemb: error: read needs a FILE"},
      {{"read", "a", "b", "--config", "spi.cfg"}, 2, "zemb: error: unexpected word 'b'"},
      {{"read", "a", "--config", "spi.cfg", "--start", "-1"}, 2, "zemb: error: --start takes"},
      {{"read", "a", "--config", "spi.cfg", "--start", "0x1000", "--start", "0"},
       2,
       "zemb: error: --start given twice"},
      {{"read", "a", "--config", "spi.cfg", "--length", "0x10001"},
       2,
       "zemb: error: the range to read (65537 bytes"},
      {{"read", "a", "--config", "spi.cfg", "--json"}, 2, "zemb: error: unknown option '--json'"},
      {{"verify", "image.bin", "--config", "spi.cfg", "--full"},
       2,
       "zemb: error: unknown option '--full' for verify"},
      {{"write", "missing.bin", "--config", "spi.cfg"},
       2,
       "zemb: error: cannot open missing.bin: no such file"},
      {{"write", ".", "--config", "spi.cfg"}, 2, "zemb: error: cannot open .: not a regular"},
      {{"write", "empty.bin", "--config", "spi.cfg"}, 2, "zemb: error: empty.bin is empty"},
      {{"write", "big.bin", "--config", "spi.cfg"}, 2, "zemb: error: big.bin (65537 bytes"},
      {{"write", "image.bin", "--config", "spi.cfg", "--start", "0xF000"},
       2,
       "zemb: error: image.bin (8192 bytes from 0x0000F000) does not fit"},
      {{"write", "image.bin", "--config", "missing.cfg"}, 2, "    Cannot open Config !!!\n"},
      {{"write", "image.bin", "--config", "zero.cfg"}, 2, "    SPI ROM Config Parameter error"},
      {{"write", "image.bin", "--config", "negative.cfg"},
       2,
       "zemb: error: the ROM configuration negative.cfg gives a ROM size of -4096 bytes"},
      {{"read", "sub/dir/out.bin", "--config", "spi.cfg"},
       2,
       "zemb: error: cannot create sub/dir/out.bin.zemb-part"},
      {{"write", "image.bin", "--config", "i2c.cfg"},
       1,
       "zemb: error: the device has an SPI ROM, but i2c.cfg describes an I2C ROM"},
      {{"verify", "image.bin", "--config", "spi.cfg"}, 1, ""},
      {{"write", "image.bin", "--config", "spi.cfg"}, 0, ""},
      {{"verify", "image.bin", "--config", "spi.cfg"}, 0, ""},
      {{"--version"}, 0, ""},
      {{"write", "--help"}, 0, ""},
  };
  sim::SimRig rig(Device(Face::Cdrom, RomKind::Spi));
  for (const Case& c : cases) {
    std::string words;
    for (const auto& w : c.words) words += w + " ";
    SCOPED_TRACE(words);
    rig.device->ClearTrace();
    ZembResult r = Zemb(*rig.host, c.words);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err.compare(0, std::string(c.err).size(), c.err), 0) << r.err;
    // A bad command line or file sends nothing to the device.
    if (c.status == 2) {
      EXPECT_TRUE(rig.device->Trace().empty());
      EXPECT_EQ(rig.host->OpenHandles(), 0);
    }
  }
  EXPECT_FALSE(test::FileExists("a"));

  sim::SimRig nothing{sim::SimMachine{}};
  ZembResult r = Zemb(*nothing.host, {"info"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err.rfind("zemb: error: no Zemb device found", 0), 0u) << r.err;
  EXPECT_EQ(Zemb(*nothing.host, {"read", "x.bin", "--config", "spi.cfg"}).status, 3);
  EXPECT_FALSE(test::FileExists("x.bin"));
}

TEST_F(ZembTest, AFailedReadLeavesAnExistingFileAsItWas) {
  const Bytes before = test::Pattern(100, 2);
  test::WriteFile("backup.bin", before);
  sim::DeviceState state = Device(Face::Own, RomKind::Spi, test::Pattern(test::kRomSize, 3));
  state.faults.push_back(test::FailNth(RequestKind::RomData, 7));
  sim::SimRig rig(state);
  ZembResult r = Zemb(*rig.host, {"read", "backup.bin", "--config", "spi.cfg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("zemb: error: cannot read the ROM at 0x00006000 (error 31: "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("backup.bin was not written"), std::string::npos) << r.err;
  EXPECT_EQ(test::ReadFile("backup.bin"), before);
  EXPECT_FALSE(test::FileExists("backup.bin.zemb-part"));
}

TEST_F(ZembTest, ReadRefusesToReplaceWhatIsNotARegularFile) {
  sim::SimRig rig(Device(Face::Cdrom, RomKind::Spi));
  std::string output;
  ASSERT_EQ(test::RunCommand("mkfifo fifo && ln -s target link && mkdir folder", &output), 0);
  for (const char* target : {"fifo", "link", "folder"}) {
    ZembResult r = Zemb(*rig.host, {"read", target, "--config", "spi.cfg", "--length", "16"});
    EXPECT_EQ(r.status, 2) << target;
    EXPECT_NE(r.err.find("exists and is not a regular file; it is left alone"), std::string::npos);
  }
  EXPECT_FALSE(test::FileExists("target"));
  EXPECT_TRUE(rig.device->Trace().empty());
}

TEST_F(ZembTest, AnInterruptedWriteStopsAtASectorBoundaryAndSaysSo) {
  const Bytes old = test::Pattern(test::kRomSize, 4);
  sim::SimRig rig(Device(Face::Cdrom, RomKind::Spi, old));
  const Bytes image = test::Pattern(0x6000, 5);
  test::WriteFile("image.bin", image);
  // Seen after the third sector.
  rig.host->ScheduleInterrupt(3);
  ZembResult r = Zemb(*rig.host, {"write", "image.bin", "--config", "spi.cfg", "--start", "0x800"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("zemb: error: interrupted; 4 of 7 sectors not written\n"
                       "zemb: the ROM holds image.bin from 0x00000800 to 0x00002FFF (verified); "
                       "from 0x00003000 to 0x000067FF the ROM is as it was\n"),
            std::string::npos)
      << r.err;
  const Bytes& rom = rig.device->State().rom;
  EXPECT_TRUE(std::equal(old.begin(), old.begin() + 0x800, rom.begin()));
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x2800, rom.begin() + 0x800));
  EXPECT_TRUE(std::equal(old.begin() + 0x3000, old.end(), rom.begin() + 0x3000));
}

TEST_F(ZembTest, ADeviceFailureMidWriteSaysWhichSectorMayBeDamaged) {
  const Bytes old = test::Pattern(test::kRomSize, 6);
  sim::DeviceState state = Device(Face::Own, RomKind::Spi, old);
  sim::Fault fault;
  fault.type = sim::Fault::Type::CorruptWrite;
  fault.nth = 20;  // in the second sector
  state.faults.push_back(fault);
  sim::SimRig rig(state);
  const Bytes image = test::Pattern(0x4000, 7);
  test::WriteFile("image.bin", image);
  ZembResult r = Zemb(*rig.host, {"write", "image.bin", "--config", "spi.cfg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("zemb: error: the sector at 0x00001000 did not verify: at 0x00001300"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("zemb: the ROM holds image.bin from 0x00000000 to 0x00000FFF (verified); "
                       "the sector at 0x00001000 may be erased or partly written; from "
                       "0x00002000 to 0x00003FFF the ROM is as it was\n"),
            std::string::npos)
      << r.err;
  const Bytes& rom = rig.device->State().rom;
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x1000, rom.begin()));
  EXPECT_TRUE(std::equal(old.begin() + 0x2000, old.end(), rom.begin() + 0x2000));
}

TEST_F(ZembTest, ProgressIsRedrawnOnATerminalOnly) {
  sim::SimRig rig(Device(Face::Own, RomKind::Spi, test::Pattern(test::kRomSize, 8)));
  ZembResult r = Zemb(*rig.host, {"read", "a.bin", "--config", "spi.cfg"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "reading 65536 bytes from 0x00000000 (own face) into a.bin\n"
            "read 65536 bytes into a.bin\n");

  rig.host->SetStderrTerminal(true);
  r = Zemb(*rig.host, {"read", "a.bin", "--config", "spi.cfg"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err.rfind("\rread   6%  4096 of 65536 bytes", 0), 0u) << r.err;
  EXPECT_NE(r.err.find("\rread 100%  65536 of 65536 bytes"), std::string::npos) << r.err;
  // The line is cleared at the end, so the result stands alone.
  EXPECT_EQ(r.err.back(), '\r');

  // Past half a second (of the device's virtual time here) the line tells
  // the throughput and the time left.
  test::WriteFile("image.bin", test::Pattern(test::kRomSize, 9));
  r = Zemb(*rig.host, {"write", "image.bin", "--config", "spi.cfg"});
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.err.find(" KiB/s  0:00 left"), std::string::npos) << r.err;
}

TEST(ZembNumberTest, DecimalOrHexAndNothingElse) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t value;
  };
  for (const Case& c : {Case{"0", true, 0}, Case{"4096", true, 4096}, Case{"0x1000", true, 4096},
                        Case{"0XfF", true, 255}, Case{"4294967295", true, 0xFFFFFFFF},
                        Case{"0xFFFFFFFF", true, 0xFFFFFFFF}, Case{"4294967296", false, 0},
                        Case{"0x100000000", false, 0}, Case{"", false, 0}, Case{"0x", false, 0},
                        Case{"-1", false, 0}, Case{"+1", false, 0}, Case{" 1", false, 0},
                        Case{"1k", false, 0}, Case{"0x1g", false, 0}, Case{"1e3", false, 0}}) {
    uint32_t value = 0;
    EXPECT_EQ(ParseZembNumber(c.text, &value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

// The built program over a device zembsim plugged: the exit status reaches
// the shell, and read gives what zembsim dumps.
TEST(ZembProgramTest, ExitStatusAndReadAgainstZembsim) {
  test::ScratchDir dir;
  test::WriteConfig("spi.cfg", "SPI", test::kRomSize, 256);
  std::string out;
  const std::string zemb = std::string("'") + ZEMB_ZEMB + "' ";
  const std::string zembsim = std::string("'") + ZEMB_ZEMBSIM + "' ";
  EXPECT_EQ(test::RunCommand(zemb + "info", &out), 3) << out;
  EXPECT_EQ(test::RunCommand(zemb + "--bogus", &out), 2) << out;
  ASSERT_EQ(test::RunCommand(zembsim + "plug --face xu --size 65536", &out), 0) << out;
  test::WriteFile("image.bin", test::Pattern(test::kRomSize, 9));
  ASSERT_EQ(test::RunCommand(zembsim + "load image.bin", &out), 0) << out;
  EXPECT_EQ(test::RunCommand(zemb + "read out.bin --config spi.cfg", &out), 0) << out;
  ASSERT_EQ(test::RunCommand(zembsim + "dump dump.bin", &out), 0) << out;
  EXPECT_EQ(test::ReadFile("out.bin"), test::ReadFile("dump.bin"));
  test::WriteFile("other.bin", test::Pattern(4096, 10));
  EXPECT_EQ(test::RunCommand(zemb + "verify other.bin --config spi.cfg", &out), 1) << out;
}

// Ctrl-C on a real run: the sector in hand is finished and verified, the
// message says where the write stopped, and the ROM holds exactly that.
TEST(ZembProgramTest, AnInterruptStopsTheWriteWhereItSays) {
  test::ScratchDir dir;
  constexpr uint32_t kSize = 1 << 20;
  test::WriteConfig("spi.cfg", "SPI", kSize, 256);
  std::string out;
  const std::string zembsim = std::string("'") + ZEMB_ZEMBSIM + "' ";
  ASSERT_EQ(test::RunCommand(zembsim + "plug --face own --size 1048576", &out), 0) << out;
  const Bytes image = test::Pattern(kSize, 12);
  test::WriteFile("image.bin", image);
  // About ten seconds of page programs in the device's real time; the
  // interrupt comes after the first half second.
  const int status = test::RunCommand(std::string("'") + ZEMB_ZEMB +
                                          "' write image.bin --config spi.cfg > out.txt 2> err.txt "
                                          "& pid=$!; sleep 0.5; kill -INT $pid; wait $pid",
                                      &out);
  const std::string err = test::ReadText("err.txt");
  ASSERT_EQ(status, 1) << err << test::ReadText("out.txt");
  std::smatch m;
  const std::regex stop(
      R"(zemb: error: interrupted; (\d+) of 256 sectors not written\n)"
      R"(zemb: the ROM holds image\.bin from 0x00000000 to (0x[0-9A-F]+) \(verified\); )"
      R"(from (0x[0-9A-F]+) to 0x000FFFFF the ROM is as it was\n)");
  ASSERT_TRUE(std::regex_search(err, m, stop)) << err;
  const uint32_t held = static_cast<uint32_t>(std::stoul(m[2], nullptr, 16)) + 1;
  EXPECT_EQ(std::stoul(m[3], nullptr, 16), held);
  EXPECT_EQ(std::stoul(m[1]), (kSize - held) / 4096);
  ASSERT_EQ(test::RunCommand(zembsim + "dump rom.bin", &out), 0) << out;
  const Bytes rom = test::ReadFile("rom.bin");
  ASSERT_EQ(rom.size(), kSize);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + held, rom.begin()));
  EXPECT_TRUE(std::all_of(rom.begin() + held, rom.end(), [](uint8_t b) { return b == 0xFF; }));
}

}  // namespace
}  // namespace zemb
