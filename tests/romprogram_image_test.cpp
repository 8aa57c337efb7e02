// MAKE, BURN and the three sector updates, end to end against the simulated
// device. The ROM is checked in the device's own state against images put
// together here from the layout's table, not with the tools' encoders.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "romprogram/image_steps.h"
#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kBlank31 = "                               \n";
const std::string kPass = "                \n    Burn Pass   \n";
const std::string kFail = "    Burn Fail\n    ZembRomProgram fail !!!\n";
const std::string kLog = "Log_ZembRomProgram/1209_1030.log";

void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Le32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

// The header as the layout's table gives it.
Bytes Header(uint32_t imageLength) {
  Bytes h = {0xEF, 0xBE, 0xFF, 0xFF, 0x01, 0x00,                          //
             0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x00,  //
             0x02, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00,  //
             0x01, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
             0x03, 0x00, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00};
  PutLe32(h, 32, imageLength);
  h.resize(256, 0x00);
  return h;
}

// The Kesh file: header, HW/FW at 256, 0xFF to 32768, DESC, 0xFF to 49152,
// the image.
Bytes Kesh(const Bytes& hwfw, const Bytes& desc, const Bytes& image) {
  Bytes k = Header(static_cast<uint32_t>(image.size()));
  k.insert(k.end(), hwfw.begin(), hwfw.end());
  k.resize(32768, 0xFF);
  k.insert(k.end(), desc.begin(), desc.end());
  k.resize(std::max<size_t>(k.size(), 49152), 0xFF);
  k.insert(k.end(), image.begin(), image.end());
  return k;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

std::string FaceName(sim::Face face) {
  return face == sim::Face::Own ? "Own" : face == sim::Face::Cdrom ? "Cdrom" : "Xu";
}

std::string DiscoveryLines(sim::Face face) {
  switch (face) {
    case sim::Face::Cdrom:
      return "=> GetNorvaCDROMHandle [INFO] Find Kesh device\n";
    case sim::Face::Xu:
      return "  Found device: Zemb USB Camera "
             "[\\\\?\\usb#vid_2e8a&pid_5a02&mi_00#zemb0001#{65e8773d-8f56-11d0-a3b9-"
             "00a0c9223196}\\global]\n";
    case sim::Face::Own:
      break;
  }
  return "";
}

sim::DeviceState StateFor(sim::Face face, sim::RomKind kind, uint32_t size) {
  sim::DeviceState state = sim::DefaultDeviceState(kind, size);
  state.ownFace = face == sim::Face::Own;
  state.cdromFace = face == sim::Face::Cdrom;
  state.xuFace = face == sim::Face::Xu;
  return state;
}

struct RomOp {
  uint8_t op;
  uint32_t address;
  uint32_t length;
  friend bool operator==(const RomOp&, const RomOp&) = default;
};

std::ostream& operator<<(std::ostream& out, const RomOp& o) {
  return out << "{op " << int{o.op} << " at " << o.address << " len " << o.length << "}";
}

constexpr uint8_t kRead = 0x01, kWrite = 0x02, kErase = 0xFD;

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override { Plug(); }
  void Plug(sim::RomKind kind = sim::RomKind::Spi, uint32_t size = 65536,
            sim::Face face = sim::Face::Cdrom) {
    rig = std::make_unique<sim::SimRig>(StateFor(face, kind, size));
    const bool spi = kind == sim::RomKind::Spi;
    test::WriteConfig("rom.cfg", spi ? "SPI" : "I2C", size, spi ? 256 : 64);
  }
  std::string Run(std::vector<std::string> words) {
    words.insert(words.begin(), "ZembRomProgram");
    rig->device->ClearTrace();
    return test::RunTool(RunRomProgram, *rig->host, words);
  }
  Bytes& Rom() { return rig->device->State().rom; }
  void Arm(sim::Fault fault) { rig->device->State().faults.push_back(fault); }
  // The ROM operations the last run started (CD-ROM face: one a call).
  std::vector<RomOp> Ops(uint8_t op) const {
    std::vector<RomOp> ops;
    for (const auto& e : rig->device->Trace()) {
      if (e.kind == sim::RequestKind::AccessRom && e.op == op) {
        ops.push_back({e.op, e.address, e.length});
      }
    }
    return ops;
  }
  bool AnyRomAccess() const {
    for (const auto& e : rig->device->Trace()) {
      if (e.kind == sim::RequestKind::AccessRom) return true;
    }
    return false;
  }

  test::ScratchDir dir;
  std::unique_ptr<sim::SimRig> rig;
};

// --- MAKE -------------------------------------------------------------------

const std::string kMakeHead = "    CheckParameter, FUNCTION_MAKE_BIN_FILE \n" + kBlank31 +
                              "Make - ROM Bin file            \n\n";

TEST_F(ImageTest, MakeWithoutAnImage) {
  const Bytes hwfw = test::Pattern(20000, 1), desc = test::Pattern(5000, 2);
  test::WriteFile("hwfw.bin", hwfw);
  test::WriteFile("desc.bin", desc);
  const std::string out = Run({"MAKE", "hwfw.bin", "desc.bin"});
  EXPECT_EQ(out, kMakeHead + "    RomFileLength 20000\n    DescFileLength 5000\n");
  const Bytes kesh = test::ReadFile("KESH_ROM_FILE.bin");
  ASSERT_EQ(kesh.size(), 49152u);
  EXPECT_EQ(Le32(kesh, 32), 0u);
  EXPECT_EQ(kesh, Kesh(hwfw, desc, {}));
  EXPECT_FALSE(test::FileExists("KESH_ROM_FILE.bin.tmp"));
  EXPECT_EQ(test::ReadText(kLog), out.substr(out.find(kBlank31)));
  EXPECT_FALSE(rig->host->Called("CreateFile")) << "MAKE needs no device";
}

TEST_F(ImageTest, MakeWithAMissingImageIsMakeWithoutOne) {
  const Bytes hwfw = test::Pattern(100, 1), desc = test::Pattern(200, 2);
  test::WriteFile("hwfw.bin", hwfw);
  test::WriteFile("desc.bin", desc);
  const std::string out = Run({"MAKE", "hwfw.bin", "desc.bin", "no-such.iso"});
  EXPECT_EQ(out, kMakeHead + "    RomFileLength 100\n    DescFileLength 200\n");
  EXPECT_EQ(test::ReadFile("KESH_ROM_FILE.bin"), Kesh(hwfw, desc, {}));
}

TEST_F(ImageTest, MakeWithAnImage) {
  const Bytes hwfw = test::Pattern(3000, 1), desc = test::Pattern(12288, 2),
              image = test::Pattern(10001, 3);
  test::WriteFile("hwfw.bin", hwfw);
  test::WriteFile("desc.bin", desc);
  test::WriteFile("image.iso", image);
  const std::string out = Run({"m", "hwfw.bin", "desc.bin", "image.iso"});
  EXPECT_EQ(out, kMakeHead +
                     "    RomFileLength 3000\n    ImgFileLength 10001\n    DescFileLength 12288\n");
  const Bytes kesh = test::ReadFile("KESH_ROM_FILE.bin");
  ASSERT_EQ(kesh.size(), 49152u + 10001u);
  EXPECT_EQ(Le32(kesh, 32), 10001u);
  EXPECT_EQ(kesh, Kesh(hwfw, desc, image));
  // A DESC file of at most 12288 bytes leaves the misc region all 0xFF.
  EXPECT_EQ(Slice(kesh, 45056, 49152), Bytes(4096, 0xFF));
}

TEST_F(ImageTest, MakeHwFwLimit) {
  const Bytes full = test::Pattern(32512, 1), desc = test::Pattern(64, 2);
  test::WriteFile("full.bin", full);
  test::WriteFile("desc.bin", desc);
  std::string out = Run({"MAKE", "full.bin", "desc.bin"});
  EXPECT_THAT(out, Not(HasSubstr("!!!")));
  const Bytes kesh = test::ReadFile("KESH_ROM_FILE.bin");
  EXPECT_EQ(kesh, Kesh(full, desc, {}));
  // No padding between the HW/FW data and the DESC data.
  EXPECT_EQ(Slice(kesh, 256, 32768), full);
  EXPECT_EQ(Slice(kesh, 32768, 32768 + 64), desc);

  test::WriteFile("long.bin", test::Pattern(32513, 1));
  out = Run({"MAKE", "long.bin", "desc.bin"});
  EXPECT_EQ(out, kMakeHead +
                     "    RomFileLength 32513\n"
                     "    HW/FW Data Length exceed Default 32kB size !!!\n"
                     "    ZembRomProgram fail !!!\n");
}

TEST_F(ImageTest, MakeDescOf4096BytesPadsTo48kB) {
  const Bytes hwfw = test::Pattern(1000, 1), desc = test::Pattern(4096, 2);
  test::WriteFile("hwfw.bin", hwfw);
  test::WriteFile("desc.bin", desc);
  Run({"MAKE", "hwfw.bin", "desc.bin"});
  const Bytes kesh = test::ReadFile("KESH_ROM_FILE.bin");
  ASSERT_EQ(kesh.size(), 49152u);
  EXPECT_EQ(Slice(kesh, 32768, 36864), desc);
  EXPECT_EQ(Slice(kesh, 36864, 49152), Bytes(49152 - 36864, 0xFF));
}

TEST_F(ImageTest, MakeDescMayFillTheMiscRegionButNoMore) {
  const Bytes hwfw = test::Pattern(10, 1), desc = test::Pattern(16384, 2);
  test::WriteFile("hwfw.bin", hwfw);
  test::WriteFile("desc.bin", desc);
  test::WriteFile("image.iso", test::Pattern(5000, 3));
  Run({"MAKE", "hwfw.bin", "desc.bin", "image.iso"});
  const Bytes kesh = test::ReadFile("KESH_ROM_FILE.bin");
  EXPECT_EQ(kesh, Kesh(hwfw, desc, test::Pattern(5000, 3)));

  test::WriteFile("long.bin", test::Pattern(16385, 2));
  const std::string out = Run({"MAKE", "hwfw.bin", "long.bin", "image.iso"});
  EXPECT_EQ(out, kMakeHead +
                     "    RomFileLength 10\n"
                     "    Desc File Length 16385 exceed 16384 size !!!\n"
                     "    ZembRomProgram fail !!!\n");
  EXPECT_EQ(test::ReadFile("KESH_ROM_FILE.bin"), kesh) << "nothing written";
}

// Each failure leaves the operator's previous Kesh file as it was, and no
// temporary file behind.
TEST_F(ImageTest, FailedMakeKeepsThePreviousKeshFile) {
  const Bytes old = test::Pattern(777, 9);
  test::WriteFile("KESH_ROM_FILE.bin", old);
  test::WriteFile("hwfw.bin", test::Pattern(100, 1));
  test::WriteFile("long.bin", test::Pattern(32513, 1));
  test::WriteFile("desc.bin", test::Pattern(100, 2));
  test::WriteFile("longdesc.bin", test::Pattern(16385, 2));
  fs::create_directory("folder");

  struct Case {
    std::vector<std::string> words;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"MAKE", "long.bin", "desc.bin"}, "    HW/FW Data Length exceed Default 32kB size !!!\n"},
      {{"MAKE", "hwfw.bin", "missing.bin"}, "    Cannot open ROM file !!!\n"},
      {{"MAKE", "missing.bin", "desc.bin"}, "    Cannot open ROM file !!!\n"},
      {{"MAKE", "folder", "desc.bin"}, "    Cannot open ROM file !!!\n"},
      {{"MAKE", "hwfw.bin", "folder"}, "    Cannot open ROM file !!!\n"},
      {{"MAKE", "hwfw.bin", "longdesc.bin"}, "    Desc File Length 16385 exceed 16384 size !!!\n"},
  };
  for (const Case& c : cases) {
    const std::string out = Run(c.words);
    EXPECT_THAT(out, HasSubstr(c.line + "    ZembRomProgram fail !!!\n"))
        << c.words[1] << " " << c.words[2];
    EXPECT_EQ(test::ReadFile("KESH_ROM_FILE.bin"), old) << c.words[1] << " " << c.words[2];
    EXPECT_FALSE(test::FileExists("KESH_ROM_FILE.bin.tmp"));
  }
}

TEST_F(ImageTest, MakeOnAFullDiskFailsAndKeepsThePreviousFile) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  const Bytes old = test::Pattern(777, 9);
  test::WriteFile("KESH_ROM_FILE.bin", old);
  test::WriteFile("hwfw.bin", test::Pattern(100, 1));
  test::WriteFile("desc.bin", test::Pattern(100, 2));
  // Every write to the new image fails as on a full disk.
  fs::create_symlink("/dev/full", "KESH_ROM_FILE.bin.tmp");
  const std::string out = Run({"MAKE", "hwfw.bin", "desc.bin"});
  EXPECT_THAT(out, HasSubstr("    DescFileLength 100\n"
                             "    Cannot write KESH_ROM_FILE.bin !!!\n"
                             "    ZembRomProgram fail !!!\n"));
  EXPECT_EQ(test::ReadFile("KESH_ROM_FILE.bin"), old);
}

TEST_F(ImageTest, MakeReplacesThePreviousKeshFile) {
  test::WriteFile("KESH_ROM_FILE.bin", test::Pattern(100000, 9));
  const Bytes hwfw = test::Pattern(10, 1), desc = test::Pattern(10, 2);
  test::WriteFile("hwfw.bin", hwfw);
  test::WriteFile("desc.bin", desc);
  Run({"MAKE", "hwfw.bin", "desc.bin"});
  EXPECT_EQ(test::ReadFile("KESH_ROM_FILE.bin"), Kesh(hwfw, desc, {}));
}

TEST_F(ImageTest, UnreadableInputFailsMake) {
  if (geteuid() == 0) GTEST_SKIP() << "file permissions do not bind root";
  test::WriteFile("hwfw.bin", test::Pattern(10, 1));
  test::WriteFile("desc.bin", test::Pattern(10, 2));
  fs::permissions("desc.bin", fs::perms::none);
  const std::string out = Run({"MAKE", "hwfw.bin", "desc.bin"});
  EXPECT_THAT(out, HasSubstr("    Cannot open ROM file !!!\n"));
  EXPECT_FALSE(test::FileExists("KESH_ROM_FILE.bin"));
}

// --- BURN -------------------------------------------------------------------

const std::string kBurnHead = "    CheckParameter, FUNCTION_BURN_BIN_FILE \n" +
                              DiscoveryLines(sim::Face::Cdrom) + kBlank31 +
                              "Burning - SPI ROM Access        \n\n";

TEST_F(ImageTest, BurnOfExactlyRomSize) {
  const Bytes file = test::Pattern(65536, 4);
  test::WriteFile("kesh.bin", file);
  const std::string out = Run({"BURN", "kesh.bin", "rom.cfg"});
  EXPECT_THAT(out, HasSubstr("    BinFileLength 65536\n"));
  EXPECT_TRUE(out.ends_with("\r    [OffsetStart : OffsetEnd] 61440 : 65536" + kPass)) << out;
  EXPECT_EQ(Rom(), file);
  EXPECT_EQ(Ops(kErase).size(), 16u);
}

TEST_F(ImageTest, BurnOfOneByteMoreThanRomSize) {
  test::WriteFile("kesh.bin", test::Pattern(65537, 4));
  const std::string out = Run({"BURN", "kesh.bin", "rom.cfg"});
  EXPECT_EQ(out, kBurnHead +
                     "    BinFileLength 65537\n"
                     "    Bin File Length exceed ROM size !!!\n" +
                     kFail);
  EXPECT_FALSE(AnyRomAccess());
  EXPECT_EQ(Rom(), Bytes(65536, 0xFF));
}

TEST_F(ImageTest, BurnWithANegativeRomSizeRefusesEveryFile) {
  // Only zero is refused by the configuration reader; -1 must not wrap round
  // into a huge ROM.
  test::WriteConfig("rom.cfg", "SPI", -1, 256);
  test::WriteFile("kesh.bin", test::Pattern(100, 4));
  const std::string out = Run({"BURN", "kesh.bin", "rom.cfg"});
  EXPECT_THAT(out, HasSubstr("    BinFileLength 100\n    Bin File Length exceed ROM size !!!\n"));
  EXPECT_FALSE(AnyRomAccess());
}

TEST_F(ImageTest, BurnOfAnEmptyFile) {
  test::WriteFile("empty.bin", {});
  const std::string out = Run({"BURN", "empty.bin", "rom.cfg"});
  EXPECT_EQ(out, kBurnHead +
                     "    BinFileLength 0\n"
                     "    Erase Bin file ...\n"
                     "\n"
                     "    Write Bin file to ROM\n" +
                     kPass);
  EXPECT_FALSE(AnyRomAccess());
}

TEST_F(ImageTest, BurnOf5000BytesInPages) {
  const Bytes file = test::Pattern(5000, 5);
  test::WriteFile("five.bin", file);
  const std::string out = Run({"BURN", "five.bin", "rom.cfg"});
  EXPECT_EQ(out, kBurnHead +
                     "    BinFileLength 5000\n"
                     "    Erase Bin file ...\n"
                     "\n"
                     "    Write Bin file to ROM\n"
                     "\r    [OffsetStart : OffsetEnd] 0 : 4096"
                     "\r    [OffsetStart : OffsetEnd] 4096 : 5000" +
                     kPass);
  EXPECT_EQ(Ops(kErase), (std::vector<RomOp>{{kErase, 0, 0}, {kErase, 4096, 0}}));
  std::vector<RomOp> writes;
  for (uint32_t at = 0; at < 4096; at += 256) writes.push_back({kWrite, at, 256});
  writes.push_back({kWrite, 4096, 256});
  writes.push_back({kWrite, 4352, 256});
  writes.push_back({kWrite, 4608, 256});
  writes.push_back({kWrite, 4864, 136});
  EXPECT_EQ(Ops(kWrite), writes);
  EXPECT_EQ(Ops(kRead), (std::vector<RomOp>{{kRead, 0, 4096}, {kRead, 4096, 904}}));
  EXPECT_EQ(Slice(Rom(), 0, 5000), file);
  EXPECT_EQ(Slice(Rom(), 5000, 65536), Bytes(65536 - 5000, 0xFF));
  EXPECT_EQ(test::ReadText(kLog), out.substr(out.find(kBlank31)));
}

TEST_F(ImageTest, BurnWhenTheTypeRequestFails) {
  sim::Fault fault;
  fault.kind = sim::RequestKind::RomType;
  Arm(fault);
  test::WriteFile("kesh.bin", test::Pattern(100, 4));
  const std::string out = Run({"BURN", "kesh.bin", "rom.cfg"});
  EXPECT_EQ(out, kBurnHead + "    The device ROM type 255 is not SPI!!!\n" + kFail);
  EXPECT_FALSE(AnyRomAccess());
}

TEST_F(ImageTest, BurnOnAnI2cRomErasesNothing) {
  Plug(sim::RomKind::I2c);
  Rom() = test::Pattern(65536, 6);
  const Bytes file = test::Pattern(9000, 7);
  test::WriteFile("kesh.bin", file);
  const std::string out = Run({"BURN", "kesh.bin", "rom.cfg"});
  EXPECT_THAT(out, HasSubstr("Burning - I2C ROM Access        \n\n"
                             "    BinFileLength 9000\n"
                             "\n"
                             "    Write Bin file to ROM\n"));
  EXPECT_THAT(out, Not(HasSubstr("Erase")));
  EXPECT_TRUE(out.ends_with(kPass));
  EXPECT_TRUE(Ops(kErase).empty());
  EXPECT_EQ(Slice(Rom(), 0, 9000), file);
  EXPECT_EQ(Slice(Rom(), 9000, 65536), Slice(test::Pattern(65536, 6), 9000, 65536));
}

TEST_F(ImageTest, BurnMismatchShowsTheDump) {
  sim::Fault fault;
  fault.type = sim::Fault::Type::CorruptWrite;
  fault.nth = 17;  // the first piece of the second chunk
  Arm(fault);
  const Bytes file = test::Pattern(8192, 8);
  test::WriteFile("kesh.bin", file);
  const std::string out = Run({"BURN", "kesh.bin", "rom.cfg"});
  std::string tx = "    - Tx Data [0000]    :", rx = "    - Rx Data [0000]    :";
  for (int i = 0; i < 10; ++i) {
    char cell[8];
    std::snprintf(cell, sizeof cell, " 0x%02X", file[4096 + i]);
    tx += cell;
    std::snprintf(cell, sizeof cell, " 0x%02X", i == 0 ? file[4096] ^ 1 : file[4096 + i]);
    rx += cell;
  }
  EXPECT_TRUE(
      out.ends_with("\r    [OffsetStart : OffsetEnd] 4096 : 8192"
                    "                            \n"
                    "    Data does not match!!!  \n" +
                    tx + "\n" + rx + "\n\n" + kFail))
      << out;
}

TEST_F(ImageTest, BurnOfAFolderOrAMissingFile) {
  fs::create_directory("folder");
  for (const char* name : {"folder", "missing.bin"}) {
    const std::string out = Run({"BURN", name, "rom.cfg"});
    EXPECT_EQ(out, kBurnHead + "    Cannot open BIN file !!!\n" + kFail) << name;
    EXPECT_FALSE(AnyRomAccess());
  }
}

// --- HWFW -------------------------------------------------------------------

const std::string kModifyHead =
    DiscoveryLines(sim::Face::Cdrom) + kBlank31 + "Modify - SPI ROM Access         \n\n";

TEST_F(ImageTest, HwFwOnADamagedHeaderWritesTheDefaultHeader) {
  // A header that is whole but for byte 2, with an image entry of its own.
  Bytes rom = test::Pattern(65536, 10);
  const Bytes old = Header(0x1234);
  std::copy(old.begin(), old.begin() + 46, rom.begin());
  rom[2] = 0x00;
  Rom() = rom;
  const Bytes hwfw = test::Pattern(5000, 11);
  test::WriteFile("hwfw.bin", hwfw);
  std::string out = Run({"HWFW", "hwfw.bin", "rom.cfg"});
  std::string expected = "    CheckParameter, FUNCTION_PROGRAM_HWFW \n" + kModifyHead +
                         "    Header parameter error, Make a new Header\n"
                         "    Erase ROM Header & HW/FW Data (default 0~32kB) ...\n"
                         "    Write ROM Header 0~256B\n"
                         "\r    [OffsetStart : OffsetEnd] 0 : 255"
                         "\n"
                         "    Write HW/FW Sector 256~32kB\n";
  for (uint32_t at = 256; at < 32768; at += 4096) {
    expected += "\r    [OffsetStart : OffsetEnd] " + std::to_string(at) + " : " +
                std::to_string(std::min<uint32_t>(at + 4096, 32768));
  }
  EXPECT_EQ(out, expected + kPass);
  // Bytes 0-45 are the default header, 46-255 what was read.
  EXPECT_EQ(Slice(Rom(), 0, 46), Slice(Header(0), 0, 46));
  EXPECT_EQ(Slice(Rom(), 46, 256), Slice(rom, 46, 256));
  EXPECT_EQ(Slice(Rom(), 256, 5256), hwfw);
  EXPECT_EQ(Slice(Rom(), 5256, 32768), Bytes(32768 - 5256, 0xFF));
  EXPECT_EQ(Slice(Rom(), 32768, 65536), Slice(rom, 32768, 65536));
  std::vector<RomOp> erases;
  for (uint32_t at = 0; at < 32768; at += 4096) erases.push_back({kErase, at, 0});
  EXPECT_EQ(Ops(kErase), erases);

  // A later IMG sets the image entry again.
  test::WriteFile("image.iso", test::Pattern(300, 12));
  out = Run({"IMG", "image.iso", "rom.cfg"});
  EXPECT_TRUE(out.ends_with(kPass)) << out;
  EXPECT_EQ(Slice(Rom(), 26, 36), (Bytes{0x01, 0x00, 0x00, 0xC0, 0, 0, 0x2C, 0x01, 0, 0}));
}

TEST_F(ImageTest, HwFwTooLongFailsBeforeTouchingTheRom) {
  Rom() = test::Pattern(65536, 10);
  test::WriteFile("hwfw.bin", test::Pattern(32513, 11));
  const std::string out = Run({"HWFW", "hwfw.bin", "rom.cfg"});
  EXPECT_EQ(out, "    CheckParameter, FUNCTION_PROGRAM_HWFW \n" + kModifyHead +
                     "    HW/FW Data Length 32513 exceed Default 32kB size !!!\n" + kFail);
  EXPECT_FALSE(AnyRomAccess());
  EXPECT_EQ(Rom(), test::Pattern(65536, 10));
}

TEST_F(ImageTest, HwFwStepFailuresNameTheStep) {
  Rom() = Kesh({}, {}, {});
  Rom().resize(65536, 0xFF);
  test::WriteFile("hwfw.bin", test::Pattern(100, 11));
  sim::Fault fault;
  fault.kind = sim::RequestKind::AccessRom;  // 1: the header read
  Arm(fault);
  std::string out = Run({"HWFW", "hwfw.bin", "rom.cfg"});
  EXPECT_THAT(out, HasSubstr("                            \n"
                             "    Cannot read ROM!!!      \n"
                             "    - Error Code    : 0x1F  \n"));
  EXPECT_TRUE(out.ends_with("    Check ROM Header fail !!!\n" + kFail)) << out;

  fault.nth = 3;  // 2: the header read of this run, 3: its first erase
  Arm(fault);
  out = Run({"HWFW", "hwfw.bin", "rom.cfg"});
  // The transport's own line stands between the heading and the error block.
  const size_t heading = out.find("    Erase ROM Header & HW/FW Data (default 0~32kB) ...\n");
  ASSERT_NE(heading, std::string::npos) << out;
  EXPECT_NE(out.find("                            \n"
                     "    Cannot erase ROM!!!     \n",
                     heading),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("    Erase ROM Header & HW/FW Sector fail !!!\n" + kFail)) << out;
}

// --- IMG --------------------------------------------------------------------

TEST_F(ImageTest, ImageOnABlankRom) {
  test::WriteFile("image.iso", test::Pattern(100, 12));
  const std::string out = Run({"IMG", "image.iso", "rom.cfg"});
  EXPECT_EQ(out, "    CheckParameter, FUNCTION_PROGRAM_IMG \n" + kModifyHead +
                     "    No HW/FW Sector - error !!!      \n"
                     "    Check ROM Header fail !!!\n" +
                     kFail);
  EXPECT_TRUE(Ops(kErase).empty());
  EXPECT_TRUE(Ops(kWrite).empty());
}

TEST_F(ImageTest, ImageMustEndWithinTheRom) {
  Bytes rom = Kesh(test::Pattern(32512, 1), test::Pattern(12288, 2), {});
  rom.resize(65536, 0x11);
  Rom() = rom;
  test::WriteFile("long.iso", test::Pattern(65536 - 49152 + 1, 12));
  std::string out = Run({"IMG", "long.iso", "rom.cfg"});
  EXPECT_EQ(out, "    CheckParameter, FUNCTION_PROGRAM_IMG \n" + kModifyHead +
                     "    Image Data Length 16385 exceed ROM size !!!\n"
                     "    Erase ISO Image Sector fail !!!\n" +
                     kFail);
  EXPECT_TRUE(Ops(kErase).empty());
  EXPECT_EQ(Rom(), rom);

  const Bytes image = test::Pattern(65536 - 49152, 12);
  test::WriteFile("fits.iso", image);
  out = Run({"IMG", "fits.iso", "rom.cfg"});
  std::string expected = "    CheckParameter, FUNCTION_PROGRAM_IMG \n" + kModifyHead +
                         "    Erase ROM Header ...\n"
                         "    Erase ISO Image ...\n"
                         "    Write ROM Header + Other Data 0~4kB\n"
                         "\r    [OffsetStart : OffsetEnd] 0 : 255"
                         "\n"
                         "    Write ISO Image Sector 48kB~65536B\n";
  for (uint32_t at = 49152; at < 65536; at += 4096) {
    expected +=
        "\r    [OffsetStart : OffsetEnd] " + std::to_string(at) + " : " + std::to_string(at + 4096);
  }
  EXPECT_EQ(out, expected + kPass);
  std::vector<RomOp> erases = {{kErase, 0, 0}};
  for (uint32_t at = 49152; at < 65536; at += 4096) erases.push_back({kErase, at, 0});
  EXPECT_EQ(Ops(kErase), erases);
  Bytes after = rom;
  PutLe32(after, 32, 16384);
  std::copy(image.begin(), image.end(), after.begin() + 49152);
  EXPECT_EQ(Rom(), after);
}

TEST_F(ImageTest, ImageGoesAheadWithAWrongSignature) {
  Bytes rom = Kesh(test::Pattern(32512, 1), test::Pattern(100, 2), {});
  rom.resize(65536, 0xFF);
  rom[0] = 0x00;
  rom[16] = 0x07;  // the descriptor entry is refreshed ...
  rom[17] = 0x5A;  // ... but for its reserved byte
  rom[22] = 0x99;
  rom[26] = 0x00;  // no image entry: it is made
  Rom() = rom;
  test::WriteFile("image.iso", test::Pattern(5000, 12));
  const std::string out = Run({"IMG", "image.iso", "rom.cfg"});
  EXPECT_TRUE(out.ends_with(kPass)) << out;
  EXPECT_EQ(Slice(Rom(), 0, 16), Slice(rom, 0, 16)) << "the signature is left as it was";
  EXPECT_EQ(Slice(Rom(), 16, 26), (Bytes{0x02, 0x5A, 0x00, 0x80, 0, 0, 0x00, 0x30, 0, 0}));
  EXPECT_EQ(Slice(Rom(), 26, 36), (Bytes{0x01, 0x00, 0x00, 0xC0, 0, 0, 0x88, 0x13, 0, 0}));
  EXPECT_EQ(Slice(Rom(), 36, 49152), Slice(rom, 36, 49152));
}

// --- DESC -------------------------------------------------------------------

TEST_F(ImageTest, DescOfAWholeSector) {
  Bytes rom = test::Pattern(65536, 13);
  Rom() = rom;
  const Bytes desc = test::Pattern(12288, 14);
  test::WriteFile("desc.bin", desc);
  const std::string out = Run({"DESC", "desc.bin", "rom.cfg"});
  EXPECT_EQ(out, "    CheckParameter, FUNCTION_PROGRAM_DESC \n" + kModifyHead +
                     "    Erase Desc sector ...\n"
                     "\r    [OffsetStart : OffsetEnd] 32768 : 36864"
                     "\r    [OffsetStart : OffsetEnd] 36864 : 40960"
                     "\r    [OffsetStart : OffsetEnd] 40960 : 45056" +
                     kPass);
  EXPECT_EQ(Ops(kErase),
            (std::vector<RomOp>{{kErase, 32768, 0}, {kErase, 36864, 0}, {kErase, 40960, 0}}));
  EXPECT_EQ(Ops(kWrite).size(), 48u);
  std::copy(desc.begin(), desc.end(), rom.begin() + 32768);
  EXPECT_EQ(Rom(), rom) << "the header and the misc sector are not touched";
}

TEST_F(ImageTest, DescTooLong) {
  Rom() = test::Pattern(65536, 13);
  test::WriteFile("desc.bin", test::Pattern(12289, 14));
  const std::string out = Run({"DESC", "desc.bin", "rom.cfg"});
  EXPECT_EQ(out, "    CheckParameter, FUNCTION_PROGRAM_DESC \n" + kModifyHead +
                     "    Desc sector Length 12289 exceed 12288 size !!!\n"
                     "    Erase Desc Sector fail !!!\n" +
                     kFail);
  EXPECT_FALSE(AnyRomAccess());
  EXPECT_EQ(Rom(), test::Pattern(65536, 13));
}

TEST_F(ImageTest, EmptyDesc) {
  Rom() = test::Pattern(65536, 13);
  test::WriteFile("desc.bin", {});
  const std::string out = Run({"DESC", "desc.bin", "rom.cfg"});
  EXPECT_EQ(out, "    CheckParameter, FUNCTION_PROGRAM_DESC \n" + kModifyHead +
                     "    Erase Desc sector ...\n" + kPass);
  EXPECT_FALSE(AnyRomAccess());
  EXPECT_EQ(Rom(), test::Pattern(65536, 13));
}

TEST_F(ImageTest, UpdatesRefuseFolders) {
  fs::create_directory("folder");
  EXPECT_NE(Run({"HWFW", "folder", "rom.cfg"}).find("    Cannot open ROM file !!!\n" + kFail),
            std::string::npos);
  EXPECT_NE(Run({"IMG", "folder", "rom.cfg"}).find("    Cannot open Image file !!!\n" + kFail),
            std::string::npos);
  EXPECT_NE(Run({"DESC", "folder", "rom.cfg"}).find("    Cannot open Desc file !!!\n" + kFail),
            std::string::npos);
  EXPECT_FALSE(AnyRomAccess());
}

// --- files that shrink under the tool ---------------------------------------

TEST(InputFileTest, LengthComesFromTheOpenFileAndShortReadsFail) {
  test::ScratchDir dir;
  test::WriteFile("data.bin", test::Pattern(10000, 1));
  InputFile file;
  ASSERT_TRUE(file.Open("data.bin"));
  EXPECT_EQ(file.Length(), 10000u);
  Bytes chunk(4096);
  EXPECT_TRUE(file.Read(chunk.data(), 4096));
  EXPECT_EQ(chunk, Slice(test::Pattern(10000, 1), 0, 4096));
  fs::resize_file("data.bin", 5000);
  EXPECT_FALSE(file.Read(chunk.data(), 4096)) << "only 904 bytes are left";

  fs::create_directory("folder");
  EXPECT_FALSE(file.Open("folder"));
  EXPECT_FALSE(file.Open("missing"));
}

TEST(InputFileTest, PaddedReadsFillPastTheEnd) {
  test::ScratchDir dir;
  test::WriteFile("data.bin", {1, 2, 3});
  InputFile file;
  ASSERT_TRUE(file.Open("data.bin"));
  Bytes chunk(6, 0);
  EXPECT_TRUE(file.ReadPadded(chunk.data(), 6, 0xFF));
  EXPECT_EQ(chunk, (Bytes{1, 2, 3, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(file.ReadPadded(chunk.data(), 2, 0xFF));
  EXPECT_EQ(chunk[0], 0xFF);
}

// A ROM in memory that truncates a file when it is first written to.
class ShrinkingRom : public RomAccessTable {
 public:
  ShrinkingRom(uint8_t type, std::string file, uint64_t size)
      : type_(type), file_(std::move(file)), size_(size), rom(65536, 0xFF) {}
  int ReadRom(const RomParameter&, uint8_t* d, uint32_t a, uint32_t n) override {
    std::copy(rom.begin() + a, rom.begin() + a + n, d);
    return 1;
  }
  uint8_t GetRomType() override { return type_; }
  int EraseChip() override { return 1; }
  void GetFirmwareVersion(uint32_t[2]) override {}
  void GetSideSignature(uint32_t*) override {}
  bool ReadFirmwareVersion(uint32_t[2]) override { return false; }
  bool ReadSideSignature(uint32_t*) override { return false; }
  int WriteRom(const RomParameter&, const uint8_t* s, uint32_t a, uint32_t n) override {
    if (!shrunk_) fs::resize_file(file_, size_);
    shrunk_ = true;
    std::copy(s, s + n, rom.begin() + a);
    ++writes;
    return 1;
  }
  int EraseSector(const RomParameter&, uint32_t a) override {
    std::fill(rom.begin() + a, rom.begin() + a + 4096, 0xFF);
    return 1;
  }

 private:
  uint8_t type_;
  std::string file_;
  uint64_t size_;
  bool shrunk_ = false;

 public:
  Bytes rom;
  int writes = 0;
};

// The tool's console on a machine with nothing plugged in, and the SPI
// parameters of a 64 KiB ROM with the given page.
class ShrinkingFileTest : public ::testing::Test {
 protected:
  static RomProgramParameters SpiParameters(uint16_t pageSize) {
    RomProgramParameters p;
    p.RomType = 1;
    p.Rom.RomSize = 65536;
    p.Rom.PageSize = pageSize;
    p.Rom.AddressSize = 3;
    return p;
  }
  test::ScratchDir dir;
  sim::SimRig rig{sim::SimMachine{}};
  Console console{*rig.host};
};

TEST_F(ShrinkingFileTest, BurnFailsOnAShortRead) {
  test::WriteFile("kesh.bin", test::Pattern(8192, 1));
  ShrinkingRom rom(1, "kesh.bin", 5000);
  RomProgramParameters p = SpiParameters(4096);
  p.BinPath = "kesh.bin";
  EXPECT_EQ(BurnBinFile(console, rom, p), 0);
  EXPECT_TRUE(
      rig.host->Stdout().ends_with("\r    [OffsetStart : OffsetEnd] 0 : 4096"
                                   "    Cannot read BIN file !!!\n"))
      << rig.host->Stdout();
  EXPECT_EQ(rom.writes, 1) << "the second chunk is not written";
}

TEST_F(ShrinkingFileTest, HwFwFailsOnAShortRead) {
  test::WriteFile("hwfw.bin", test::Pattern(10000, 1));
  ShrinkingRom rom(1, "hwfw.bin", 100);
  RomProgramParameters p = SpiParameters(256);
  p.HwFwPath = "hwfw.bin";
  EXPECT_EQ(ProgramHwFw(console, rom, p), 0);
  EXPECT_TRUE(
      rig.host->Stdout().ends_with("    Cannot read HW/FW file !!!\n"
                                   "    Write HW/FW Sector fail !!!\n"))
      << rig.host->Stdout();
}

// --- the whole round on every face and ROM kind -----------------------------

class ImageFlowTest : public ::testing::TestWithParam<std::tuple<sim::Face, sim::RomKind>> {
 protected:
  static constexpr uint32_t kSize = 131072;
  void SetUp() override {
    face = std::get<0>(GetParam());
    spi = std::get<1>(GetParam()) == sim::RomKind::Spi;
    sim::DeviceState state = StateFor(face, std::get<1>(GetParam()), kSize);
    state.rom = test::Pattern(kSize, 99);
    rig = std::make_unique<sim::SimRig>(state);
    test::WriteConfig("rom.cfg", spi ? "SPI" : "I2C", kSize, spi ? 256 : 64);
  }
  // Runs the tool and checks that the run log holds what the functions
  // printed: everything but the parameter check and discovery lines.
  std::string Run(std::vector<std::string> words) {
    words.insert(words.begin(), "ZembRomProgram");
    fs::remove(kLog);
    const std::string out = test::RunTool(RunRomProgram, *rig->host, words);
    const size_t functionText = out.find(kBlank31);
    EXPECT_NE(functionText, std::string::npos) << out;
    if (functionText != std::string::npos) {
      EXPECT_EQ(test::ReadText(kLog), out.substr(functionText));
    }
    EXPECT_EQ(rig->host->OpenHandles(), 0);
    EXPECT_EQ(rig->host->ComDepth(), 0);
    return out;
  }
  Bytes& Rom() { return rig->device->State().rom; }
  // Every byte outside [from, to) is as in `before`.
  void ExpectUnchangedOutside(const Bytes& before, size_t from, size_t to) {
    ASSERT_EQ(Rom().size(), before.size());
    EXPECT_EQ(Slice(Rom(), 0, from), Slice(before, 0, from));
    EXPECT_EQ(Slice(Rom(), to, Rom().size()), Slice(before, to, before.size()));
  }
  // An erased sector's tail past the written data is 0xFF on SPI; an I2C
  // ROM keeps what was there.
  Bytes Tail(const Bytes& before, size_t from, size_t sectorEnd) {
    return spi ? Bytes(sectorEnd - from, 0xFF) : Slice(before, from, sectorEnd);
  }

  test::ScratchDir dir;
  std::unique_ptr<sim::SimRig> rig;
  sim::Face face = sim::Face::Cdrom;
  bool spi = true;
};

TEST_P(ImageFlowTest, MakeBurnThenUpdateEachRegion) {
  const Bytes hwfw = test::Pattern(20000, 1), desc = test::Pattern(5000, 2),
              image = test::Pattern(30000, 3);
  test::WriteFile("hwfw.bin", hwfw);
  test::WriteFile("desc.bin", desc);
  test::WriteFile("image.iso", image);
  std::string out = Run({"MAKE", "hwfw.bin", "desc.bin", "image.iso"});
  EXPECT_THAT(out, Not(HasSubstr("!!!")));
  const Bytes kesh = test::ReadFile("KESH_ROM_FILE.bin");
  ASSERT_EQ(kesh, Kesh(hwfw, desc, image));

  out = Run({"BURN", "KESH_ROM_FILE.bin", "rom.cfg"});
  EXPECT_TRUE(out.ends_with(kPass)) << out;
  EXPECT_THAT(out, HasSubstr(std::string("Burning - ") + (spi ? "SPI" : "I2C") + " ROM Access"));
  EXPECT_EQ(out.find("Erase") != std::string::npos, spi);
  EXPECT_EQ(Slice(Rom(), 0, kesh.size()), kesh);

  // HWFW: the header and HW/FW data only, the file padded with 0xFF.
  Bytes before = Rom();
  const Bytes hwfw2 = test::Pattern(7000, 4);
  test::WriteFile("hwfw2.bin", hwfw2);
  out = Run({"HWFW", "hwfw2.bin", "rom.cfg"});
  EXPECT_TRUE(out.ends_with(kPass)) << out;
  EXPECT_EQ(out.find("Erase") != std::string::npos, spi);
  EXPECT_EQ(Slice(Rom(), 0, 256), Slice(before, 0, 256)) << "a valid header stays as it was";
  EXPECT_EQ(Slice(Rom(), 256, 7256), hwfw2);
  EXPECT_EQ(Slice(Rom(), 7256, 32768), Bytes(32768 - 7256, 0xFF));
  ExpectUnchangedOutside(before, 256, 32768);

  // IMG: the image entry and the image; the rest of the first sector is
  // put back as it was.
  before = Rom();
  const Bytes image2 = test::Pattern(10000, 5);
  test::WriteFile("image2.iso", image2);
  out = Run({"IMG", "image2.iso", "rom.cfg"});
  EXPECT_TRUE(out.ends_with(kPass)) << out;
  EXPECT_EQ(out.find("Erase") != std::string::npos, spi);
  EXPECT_THAT(out, HasSubstr("    Write ISO Image Sector 48kB~59152B\n"));
  EXPECT_EQ(Le32(Rom(), 32), 10000u) << "the image entry holds the new length";
  EXPECT_EQ(Slice(Rom(), 26, 32), (Bytes{0x01, 0x00, 0x00, 0xC0, 0x00, 0x00}));
  EXPECT_EQ(Slice(Rom(), 0, 32), Slice(before, 0, 32));
  EXPECT_EQ(Slice(Rom(), 36, 49152), Slice(before, 36, 49152));
  EXPECT_EQ(Slice(Rom(), 49152, 59152), image2);
  EXPECT_EQ(Slice(Rom(), 59152, 61440), Tail(before, 59152, 61440));
  ExpectUnchangedOutside(before, 32, 61440);

  // DESC: the descriptor sector only; the misc sector is kept.
  before = Rom();
  const Bytes desc2 = test::Pattern(7000, 6);
  test::WriteFile("desc2.bin", desc2);
  out = Run({"DESC", "desc2.bin", "rom.cfg"});
  EXPECT_TRUE(out.ends_with(kPass)) << out;
  EXPECT_EQ(out.find("Erase") != std::string::npos, spi);
  EXPECT_EQ(Slice(Rom(), 32768, 39768), desc2);
  EXPECT_EQ(Slice(Rom(), 39768, 40960), Tail(before, 39768, 40960));
  ExpectUnchangedOutside(before, 32768, 40960);
  EXPECT_EQ(Le32(Rom(), 32), 10000u);
}

INSTANTIATE_TEST_SUITE_P(
    FacesAndRoms, ImageFlowTest,
    ::testing::Combine(::testing::Values(sim::Face::Own, sim::Face::Cdrom, sim::Face::Xu),
                       ::testing::Values(sim::RomKind::Spi, sim::RomKind::I2c)),
    [](const auto& info) {
      return FaceName(std::get<0>(info.param)) +
             (std::get<1>(info.param) == sim::RomKind::Spi ? "Spi" : "I2c");
    });

}  // namespace
}  // namespace zemb
