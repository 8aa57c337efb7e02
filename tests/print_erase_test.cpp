// PRINT and ERASE end to end on each face of the simulated device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

enum class Face { Own, Cdrom, Xu };

sim::DeviceState StateFor(Face face, sim::RomKind kind = sim::RomKind::Spi, uint32_t size = 65536) {
  sim::DeviceState state = sim::DefaultDeviceState(kind, size);
  state.ownFace = face == Face::Own;
  state.cdromFace = face == Face::Cdrom;
  state.xuFace = face == Face::Xu;
  return state;
}

std::string HexLine(const std::vector<uint8_t>& rom, size_t at) {
  std::string line;
  char cell[4];
  for (size_t i = 0; i < 16; ++i) {
    std::snprintf(cell, sizeof cell, "%02x ", rom[at + i]);
    line += cell;
  }
  return line + "\n";
}

std::string DiscoveryLines(Face face) {
  switch (face) {
    case Face::Cdrom:
      return "=> GetNorvaCDROMHandle [INFO] Find Kesh device\n";
    case Face::Xu:
      return "  Found device: Zemb USB Camera "
             "[\\\\?\\usb#vid_2e8a&pid_5a02&mi_00#zemb0001#{65e8773d-8f56-11d0-a3b9-"
             "00a0c9223196}\\global]\n";
    case Face::Own:
      break;
  }
  return "";
}

class PrintEraseTest : public ::testing::TestWithParam<Face> {
 protected:
  void SetUp() override {
    rig = std::make_unique<sim::SimRig>(StateFor(GetParam()));
    test::WriteConfig("spi.cfg", "SPI", 65536, 256);
  }
  std::string Run(std::vector<std::string> words) {
    words.insert(words.begin(), "ZembRomProgram");
    return test::RunTool(RunRomProgram, *rig->host, words);
  }
  std::vector<uint8_t>& Rom() { return rig->device->State().rom; }
  test::ScratchDir dir;
  std::unique_ptr<sim::SimRig> rig;
};

TEST_P(PrintEraseTest, PrintShowsTheKbAtTheAddress) {
  std::vector<uint8_t> image = test::Pattern(65536, 1);
  const uint8_t header[] = {0xef, 0xbe, 0xff, 0xff, 0x01, 0x00, 0x64, 0x00};
  std::copy(std::begin(header), std::end(header), image.begin());
  Rom() = image;

  std::string out = Run({"PRINT", "spi.cfg", "0"});
  std::string expected = "    CheckParameter, FUNCTION_PRINT_ADDRESS \n" +
                         DiscoveryLines(GetParam()) +
                         "                               \n"
                         "Print - SPI ROM Access          \n\n"
                         "ROM:0 ~ 1023 Bytes\n";
  for (size_t at = 0; at < 1024; at += 16) expected += HexLine(image, at);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(out.find("ef be ff ff 01 00 64 00 "), expected.find("ROM:0 ~ 1023 Bytes\n") + 19);

  out = Run({"PRINT", "spi.cfg", "4096"});
  EXPECT_THAT(out, HasSubstr("ROM:4096 ~ 5119 Bytes\n" + HexLine(image, 4096)));
  EXPECT_THAT(out, Not(HasSubstr("fail")));
  EXPECT_EQ(rig->host->OpenHandles(), 0);
  EXPECT_EQ(rig->host->ComDepth(), 0);
  EXPECT_EQ(rig->host->LiveComObjects(), 0);

  // The run log holds what the function printed, as the console shows it.
  std::string log = test::ReadText("Log_ZembRomProgram/1209_1030.log");
  EXPECT_NE(log.find(out.substr(out.find("                               \n"))), std::string::npos);
}

TEST_P(PrintEraseTest, EraseLeavesEveryByteErased) {
  Rom() = test::Pattern(65536, 2);
  std::string out = Run({"ERASE", "spi.cfg"});
  EXPECT_THAT(out, HasSubstr("Erase - SPI ROM Access          \n\n    Erase chip ...\n"));
  EXPECT_THAT(out, Not(HasSubstr("fail")));
  EXPECT_EQ(Rom(), std::vector<uint8_t>(65536, 0xFF));
  if (GetParam() == Face::Xu) {
    // No chip erase on this face: every sector is erased in turn.
    EXPECT_THAT(out, HasSubstr("\r    [OffsetStart : OffsetEnd] 61440 : 65536\n"));
  }
}

TEST_P(PrintEraseTest, EraseRefusesANegativeRomSizeBeforeTheDevice) {
  // Taken as unsigned, -4096 would have the extension unit erase sectors
  // over 4 GiB of addresses.
  Rom() = test::Pattern(65536, 2);
  test::WriteConfig("neg.cfg", "SPI", -4096, 256);
  const std::string out = Run({"ERASE", "neg.cfg"});
  EXPECT_THAT(out, HasSubstr("    CheckParameter, FUNCTION_ERASE_SPICHIP \n"
                             "    ROM Size -4096 is negative !!!\n"
                             "Command Syntax:"));
  EXPECT_THAT(out, Not(HasSubstr("Erase chip")));
  EXPECT_TRUE(rig->device->Trace().empty());
  EXPECT_EQ(Rom(), test::Pattern(65536, 2));
}

TEST_P(PrintEraseTest, TypeMismatchFailsWithoutReading) {
  rig = std::make_unique<sim::SimRig>(StateFor(GetParam(), sim::RomKind::I2c));
  std::string out = Run({"PRINT", "spi.cfg", "0"});
  EXPECT_THAT(out, HasSubstr("Print - SPI ROM Access          \n\n"
                             "    The device ROM type 0 is not SPI!!!\n"
                             "    ZembRomProgram fail !!!\n"));
  for (const auto& e : rig->device->Trace()) EXPECT_NE(e.kind, sim::RequestKind::AccessRom);

  // ERASE refuses as well: nothing erased is no success.
  rig->device->State().rom = test::Pattern(65536);
  out = Run({"ERASE", "spi.cfg"});
  EXPECT_THAT(out,
              HasSubstr("    The device ROM type 0 is not SPI!!!\n    ZembRomProgram fail !!!\n"));
  EXPECT_EQ(rig->device->State().rom, test::Pattern(65536));
}

TEST_P(PrintEraseTest, FailedTypeRequestShows255) {
  // The device's counts run over its life: the second run's type request is the second.
  sim::Fault first, second;
  first.kind = second.kind = sim::RequestKind::RomType;
  second.nth = 2;
  rig->device->State().faults = {first, second};
  EXPECT_NE(Run({"ERASE", "spi.cfg"}).find("    The device ROM type 255 is not SPI!!!\n"),
            std::string::npos);
  EXPECT_NE(Run({"PRINT", "spi.cfg", "0"}).find("    The device ROM type 255 is not SPI!!!\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Faces, PrintEraseTest, ::testing::Values(Face::Own, Face::Cdrom, Face::Xu),
                         [](const auto& info) {
                           return info.param == Face::Own     ? "Own"
                                  : info.param == Face::Cdrom ? "Cdrom"
                                                              : "Xu";
                         });

TEST(PrintErase, FailedReadShowsTheErrorBlock) {
  test::ScratchDir dir;
  sim::SimRig rig{StateFor(Face::Own)};
  test::WriteConfig("spi.cfg", "SPI", 65536, 256);
  sim::Fault fault;
  fault.kind = sim::RequestKind::RomData;
  fault.error = kErrorIoDevice;
  rig.device->State().faults = {fault};
  std::string out = test::RunTool(RunRomProgram, *rig.host, {"Z", "PRINT", "spi.cfg", "0"});
  EXPECT_THAT(
      out, HasSubstr("Print - SPI ROM Access          \n\n"
                     "                            \n"
                     "    Cannot read ROM!!!      \n"
                     "    - Error Code    : 0x45D  \n"
                     "    - Error Message : The request could not be performed because of an I/O "
                     "device error.\n    \n"
                     "    ZembRomProgram fail !!!\n"));
}

TEST(PrintErase, StuckChipEraseFailsAtItsTimeLimit) {
  test::ScratchDir dir;
  sim::SimRig rig{StateFor(Face::Own)};
  test::WriteConfig("spi.cfg", "SPI", 65536, 256);
  sim::Fault fault;
  fault.type = sim::Fault::Type::StallOp;
  fault.op = 0xFF;
  rig.device->State().faults = {fault};
  std::string out = test::RunTool(RunRomProgram, *rig.host, {"Z", "ERASE", "spi.cfg"});
  EXPECT_THAT(out, HasSubstr("    Erase chip ...\n"
                             "                            \n"
                             "    Cannot erase ROM!!!     \n"
                             "    - Error Code    : 0x5B4  \n"));
  EXPECT_THAT(out, HasSubstr("    ZembRomProgram fail !!!\n"));
  EXPECT_GE(rig.clock.NowUs(), 600000000u);
  EXPECT_LT(rig.clock.NowUs(), 602000000u);
}

}  // namespace
}  // namespace zemb
