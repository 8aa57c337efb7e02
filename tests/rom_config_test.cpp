#include "common/rom/rom_config.h"

#include <gtest/gtest.h>

#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

// One ReadRomConfig call with the tool's console on a machine with nothing
// plugged in: what it returned, filled in and printed.
struct ConfigRead {
  int result = -1;
  uint8_t romType = kRomTypeUnset;
  RomParameter rom;
  std::string out, err;
};

ConfigRead ReadConfig(const char* path) {
  sim::SimRig rig{sim::SimMachine{}};
  Console console(*rig.host);
  ConfigRead read;
  read.result = ReadRomConfig(console, path, &read.romType, &read.rom);
  read.out = rig.host->Stdout();
  read.err = rig.host->Stderr();
  return read;
}

struct ConfigCase {
  const char* name;
  std::string text;
  int result;
  uint8_t romType;
  const char* typeName;
  int32_t romSize;
  uint16_t pageSize;
  uint8_t addressSize;
  std::string output;
};

class ReadRomConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ReadRomConfigTest, ReadsAndChecks) {
  const ConfigCase& c = GetParam();
  test::ScratchDir dir;
  test::WriteText("rom.cfg", c.text);
  const ConfigRead read = ReadConfig("rom.cfg");
  EXPECT_EQ(read.result, c.result);
  EXPECT_EQ(read.romType, c.romType);
  EXPECT_STREQ(read.rom.RomTypeName, c.typeName);
  EXPECT_EQ(read.rom.RomSize, c.romSize);
  EXPECT_EQ(read.rom.PageSize, c.pageSize);
  EXPECT_EQ(read.rom.AddressSize, c.addressSize);
  EXPECT_EQ(read.out, c.output);
  EXPECT_EQ(read.err, "");
}

const std::string kParamError = "    ->RomSize     ";

INSTANTIATE_TEST_SUITE_P(
    Files, ReadRomConfigTest,
    ::testing::Values(
        ConfigCase{"LowerCaseSpi", "TYPE spi N a V b SIZE 65536 PAGE 256 ADDR 3", 1, 1, "spi",
                   65536, 256, 3, ""},
        ConfigCase{"MixedCaseI2c", "TYPE I2c\nN a\nV b\nSIZE 32768\nPAGE 64\nADDR 2\n", 1, 0, "I2c",
                   32768, 64, 2, ""},
        ConfigCase{"KeysAreArbitraryAndOneLineWorks", "A SPI B x C y D 65536 E 256 F 3", 1, 1,
                   "SPI", 65536, 256, 3, ""},
        ConfigCase{"TabsAndBlankLines", "\n\tA\tSPI\n\n B x\r\n C y D\t65536 E 256 F 3 extra words",
                   1, 1, "SPI", 65536, 256, 3, ""},
        ConfigCase{"UnknownType", "T NAND N a V b S 65536 P 256 A 3", 0, kRomTypeUnset, "NAND",
                   65536, 256, 3,
                   "    NAND ROM Config Wrong !!!\n    Get ROM Parameter fail !!!\n"},
        // A size its field cannot hold is refused, not cut to what passes.
        ConfigCase{"PageSize65537IsRefused", "T SPI N a V b S 65536 P 65537 A 3", 0, kRomTypeUnset,
                   "SPI", 0, 0, 0,
                   "    ROM Config PageSize 65537 is out of range !!!\n"
                   "    Get ROM Parameter fail !!!\n"},
        ConfigCase{"NegativePageSizeIsRefused", "T SPI N a V b S 65536 P -1 A 3", 0, kRomTypeUnset,
                   "SPI", 0, 0, 0,
                   "    ROM Config PageSize -1 is out of range !!!\n"
                   "    Get ROM Parameter fail !!!\n"},
        ConfigCase{"PageSize65536IsZero", "T SPI N a V b S 65536 P 65536 A 3", 0, 1, "SPI", 65536,
                   0, 3,
                   "    SPI ROM Config Parameter error !!!\n    ->RomSize     65536 \n"
                   "    ->PageSize    0 \n    ->AddressSize 3 \n    Get ROM Parameter fail !!!\n"},
        ConfigCase{"AddressSize259IsRefused", "T SPI N a V b S 65536 P 256 A 259", 0, kRomTypeUnset,
                   "SPI", 0, 0, 0,
                   "    ROM Config AddressSize 259 is out of range !!!\n"
                   "    Get ROM Parameter fail !!!\n"},
        ConfigCase{
            "AddressSize256IsZero", "T SPI N a V b S 65536 P 256 A 256", 0, 1, "SPI", 65536, 256, 0,
            "    SPI ROM Config Parameter error !!!\n    ->RomSize     65536 \n"
            "    ->PageSize    256 \n    ->AddressSize 0 \n    Get ROM Parameter fail !!!\n"},
        ConfigCase{"NegativeSizePassesAndPrintsSigned", "T SPI N a V b S -1 P 0 A 3", 0, 1, "SPI",
                   -1, 0, 3,
                   "    SPI ROM Config Parameter error !!!\n    ->RomSize     -1 \n"
                   "    ->PageSize    0 \n    ->AddressSize 3 \n    Get ROM Parameter fail !!!\n"},
        ConfigCase{
            "HexSizeIsZero", "T SPI N a V b S 0x10000 P 256 A 3", 0, 1, "SPI", 0, 256, 3,
            "    SPI ROM Config Parameter error !!!\n    ->RomSize     0 \n"
            "    ->PageSize    256 \n    ->AddressSize 3 \n    Get ROM Parameter fail !!!\n"},
        ConfigCase{"TrailingLettersAreIgnored", "T SPI N a V b S 4096K P 256 A 3", 1, 1, "SPI",
                   4096, 256, 3, ""},
        ConfigCase{"FourPairsLeaveSizesEmpty", "T SPI N a V b S 65536", 0, 1, "SPI", 65536, 0, 0,
                   "    SPI ROM Config Parameter error !!!\n    ->RomSize     65536 \n"
                   "    ->PageSize    0 \n    ->AddressSize 0 \n    Get ROM Parameter fail !!!\n"},
        ConfigCase{"BothChecksFailOnce", "T NAND N a V b S 0 P 256 A 3", 0, kRomTypeUnset, "NAND",
                   0, 256, 3,
                   "    NAND ROM Config Wrong !!!\n    NAND ROM Config Parameter error !!!\n"
                   "    ->RomSize     0 \n    ->PageSize    256 \n    ->AddressSize 3 \n"
                   "    Get ROM Parameter fail !!!\n"},
        ConfigCase{"EmptyFile", "", 0, kRomTypeUnset, "", 0, 0, 0,
                   "     ROM Config Wrong !!!\n     ROM Config Parameter error !!!\n"
                   "    ->RomSize     0 \n    ->PageSize    0 \n    ->AddressSize 0 \n"
                   "    Get ROM Parameter fail !!!\n"},
        ConfigCase{"NineteenCharacterTextIsKept",
                   "T SPI N 1234567890123456789 V b S 65536 P 256 A 3", 1, 1, "SPI", 65536, 256, 3,
                   ""},
        ConfigCase{"TwentyCharacterTextRejectsTheFile",
                   "T SPI N 12345678901234567890 V b S 65536 P 256 A 3", 0, kRomTypeUnset, "SPI", 0,
                   0, 0,
                   "    ROM Config value 2 is 20 characters long, more than 19 !!!\n"
                   "    Get ROM Parameter fail !!!\n"},
        ConfigCase{"TwelveDigitNumberRejectsTheFile", "T SPI N a V b S 000000065536 P 256 A 3", 0,
                   kRomTypeUnset, "SPI", 0, 0, 0,
                   "    ROM Config value 4 is 12 characters long, more than 11 !!!\n"
                   "    Get ROM Parameter fail !!!\n"},
        ConfigCase{"NumberBeyond32BitsRejectsTheFile", "T SPI N a V b S 4294967297 P 256 A 3", 0,
                   kRomTypeUnset, "SPI", 0, 0, 0,
                   "    ROM Config RomSize 4294967297 is out of range !!!\n"
                   "    Get ROM Parameter fail !!!\n"},
        ConfigCase{"LargestSigned32BitSizeIsAccepted", "T SPI N a V b S 2147483647 P 256 A 3", 1, 1,
                   "SPI", 2147483647, 256, 3, ""},
        ConfigCase{"LongKeyWordsAreSkipped",
                   std::string(10000, 'K') + " SPI N a V b S 65536 P 256 A 3", 1, 1, "SPI", 65536,
                   256, 3, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadRomConfig, MissingFilePrintsOnlyTheOpenLine) {
  test::ScratchDir dir;
  const ConfigRead read = ReadConfig("missing.cfg");
  EXPECT_EQ(read.result, 0);
  EXPECT_EQ(read.out, "    Cannot open Config !!!\n");
  EXPECT_EQ(read.romType, kRomTypeUnset);
}

TEST(ReadRomConfig, DirectoryAndWordOf10000CharactersFailCleanly) {
  test::ScratchDir dir;
  const ConfigRead directory = ReadConfig(".");
  EXPECT_EQ(directory.result, 0);
  EXPECT_EQ(directory.out, "    Cannot open Config !!!\n");

  test::WriteText("long.cfg", "T " + std::string(10000, 'S') + " N a V b S 65536 P 256 A 3");
  const ConfigRead longWord = ReadConfig("long.cfg");
  EXPECT_EQ(longWord.result, 0);
  EXPECT_EQ(longWord.out,
            "    ROM Config value 1 is 10000 characters long, more than 19 !!!\n"
            "    Get ROM Parameter fail !!!\n");
}

TEST(ReadRomConfig, EndlessStreamIsNotReadForEver) {
  // An endless device is refused before anything is read; a regular file
  // longer than any configuration is read no further than the limit.
  test::ScratchDir dir;
  test::WriteText("long.cfg", std::string(1048577, ' '));
  const std::pair<const char*, const char*> cases[] = {
      {"/dev/zero", "    Cannot open Config !!!\n"},
      {"long.cfg",
       "    ROM Config is longer than 1048576 bytes !!!\n    Get ROM Parameter fail !!!\n"},
  };
  for (const auto& [path, text] : cases) {
    const ConfigRead read = ReadConfig(path);
    EXPECT_EQ(read.result, 0) << path;
    EXPECT_EQ(read.out, text) << path;
  }
}

TEST(ReadRomConfig, BinaryContentNeverCrashes) {
  test::ScratchDir dir;
  test::WriteFile("binary.cfg", test::Pattern(3000, 7));
  const ConfigRead read = ReadConfig("binary.cfg");
  EXPECT_EQ(read.result, 0);
  EXPECT_NE(read.out.find("    Get ROM Parameter fail !!!\n"), std::string::npos);
}

}  // namespace
}  // namespace zemb
