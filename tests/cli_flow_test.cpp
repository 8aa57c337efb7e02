// The built programs end to end: zembsim plugs a device into the current
// directory, the tools find it there, and what they did is in zembsim's
// dump afterwards. These run in real time, so they stay small.
#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace zemb {
namespace {

std::string RunProgram(const std::string& program, const std::string& words,
                       int* status = nullptr) {
  std::string output;
  int code = test::RunCommand(std::string("'") + program + "' " + words, &output);
  if (status != nullptr) *status = code;
  return output;
}

class CliFlowTest : public ::testing::Test {
 protected:
  void SetUp() override { test::WriteConfig("spi.cfg", "SPI", 65536, 256); }
  test::ScratchDir dir;
};

TEST_F(CliFlowTest, WithoutAPluggedDeviceNothingIsFound) {
  int status = -1;
  EXPECT_EQ(RunProgram(ZEMB_ROMPROGRAM, "PRINT spi.cfg 0", &status),
            "    CheckParameter, FUNCTION_PRINT_ADDRESS \n"
            "    Cannot find device for ROM access test!!!\n");
  EXPECT_EQ(status, 0);
}

TEST_F(CliFlowTest, EachFaceIsFoundWithItsLine) {
  struct Case {
    const char* face;
    const char* line;
  };
  for (const Case& c :
       {Case{"cdrom", "=> GetNorvaCDROMHandle [INFO] Find Kesh device\n"},
        Case{"xu", "  Found device: Zemb USB Camera ["}, Case{"own", "Print - SPI ROM Access"}}) {
    int status = -1;
    RunProgram(ZEMB_ZEMBSIM, std::string("plug --face ") + c.face + " --size 65536", &status);
    ASSERT_EQ(status, 0);
    std::string out = RunProgram(ZEMB_ROMPROGRAM, "PRINT spi.cfg 0");
    EXPECT_NE(out.find(c.line), std::string::npos) << c.face << "\n" << out;
    EXPECT_NE(out.find("ROM:0 ~ 1023 Bytes\n"), std::string::npos) << out;
    RunProgram(ZEMB_ZEMBSIM, "unplug");
  }
}

TEST_F(CliFlowTest, PrintShowsLoadedBytesAndEraseClearsThem) {
  std::vector<uint8_t> image = test::Pattern(8192, 4);
  const uint8_t head[] = {0xef, 0xbe, 0xff, 0xff, 0x01, 0x00, 0x64, 0x00};
  std::copy(std::begin(head), std::end(head), image.begin());
  test::WriteFile("image.bin", image);
  int status = -1;
  RunProgram(ZEMB_ZEMBSIM, "plug --face own --rom spi --size 65536", &status);
  ASSERT_EQ(status, 0);
  RunProgram(ZEMB_ZEMBSIM, "load image.bin", &status);
  ASSERT_EQ(status, 0);

  std::string out = RunProgram(ZEMB_ROMPROGRAM, "PRINT spi.cfg 0");
  size_t at = out.find("ROM:0 ~ 1023 Bytes\n");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.substr(at + 19, 24), "ef be ff ff 01 00 64 00 ");
  size_t lines = 0;
  for (size_t i = at + 19; i < out.size(); ++i) lines += out[i] == '\n';
  EXPECT_EQ(lines, 64u);
  EXPECT_NE(RunProgram(ZEMB_ROMPROGRAM, "PRINT spi.cfg 4096").find("ROM:4096 ~ 5119 Bytes\n"),
            std::string::npos);

  out = RunProgram(ZEMB_ROMPROGRAM, "ERASE spi.cfg");
  EXPECT_NE(out.find("    Erase chip ...\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("fail"), std::string::npos) << out;
  RunProgram(ZEMB_ZEMBSIM, "dump after.bin", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(test::ReadFile("after.bin"), std::vector<uint8_t>(65536, 0xFF));

  // The run log holds the functions' text as the console showed it.
  std::string log;
  ASSERT_EQ(test::RunCommand("cat Log_ZembRomProgram/*.log", &log), 0);
  EXPECT_NE(log.find("Erase - SPI ROM Access          \n\n    Erase chip ...\n"),
            std::string::npos);
  EXPECT_NE(log.find("ROM:4096 ~ 5119 Bytes\n"), std::string::npos);
  EXPECT_EQ(log.find("CheckParameter"), std::string::npos);
}

// A command the device refuses on the CD-ROM face fails the run, with the
// error the guide explains; the armed fault is listed until it fires.
TEST_F(CliFlowTest, ARefusedCommandFailsThePrint) {
  int status = -1;
  RunProgram(ZEMB_ZEMBSIM, "plug --face cdrom --size 65536", &status);
  ASSERT_EQ(status, 0);
  std::string out = RunProgram(ZEMB_ZEMBSIM, "fault refuse access-rom 1", &status);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(RunProgram(ZEMB_ZEMBSIM, "fault list").find("refuse access-rom 1"), std::string::npos);
  out = RunProgram(ZEMB_ROMPROGRAM, "PRINT spi.cfg 0");
  EXPECT_NE(out.find("ACCESS_ROM READ DATA ERROR !\n"
                     "                            \n"
                     "    Cannot read ROM!!!      \n"
                     "    - Error Code    : 0x45D  \n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("ROM:0 ~ 1023 Bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("    ZembRomProgram fail !!!\n"), std::string::npos) << out;
  EXPECT_NE(RunProgram(ZEMB_ROMPROGRAM, "PRINT spi.cfg 0").find("ROM:0 ~ 1023 Bytes"),
            std::string::npos);
}

// dump writes a regular file or a new name and nothing else; load reads only
// a regular file and refuses a FIFO at once instead of waiting for a writer.
// `timeout` turns a hang into a failure.
TEST_F(CliFlowTest, DumpAndLoadTouchOnlyRegularFiles) {
  int status = -1;
  RunProgram(ZEMB_ZEMBSIM, "plug --face cdrom --size 65536", &status);
  ASSERT_EQ(status, 0);
  std::string setup;
  ASSERT_EQ(test::RunCommand("mkfifo pipe && mkdir folder && ln -s /dev/null null-link && "
                             "ln -s kept.bin file-link && echo notes > kept.bin",
                             &setup),
            0)
      << setup;
  for (const char* target :
       {"/dev/null", "/dev/full", "pipe", "folder", "null-link", "file-link"}) {
    std::string out;
    status =
        test::RunCommand(std::string("timeout 20 '") + ZEMB_ZEMBSIM + "' dump " + target, &out);
    EXPECT_EQ(status, 1) << target << "\n" << out;
    EXPECT_NE(
        out.find(std::string("zembsim dump: cannot write ") + target + ": not a regular file"),
        std::string::npos)
        << out;
  }
  std::string kind;
  test::RunCommand("stat -c %F /dev/null pipe null-link file-link folder", &kind);
  EXPECT_EQ(kind, "character special file\nfifo\nsymbolic link\nsymbolic link\ndirectory\n");
  EXPECT_EQ(test::ReadText("kept.bin"), "notes\n");

  // A regular file and a new name are written.
  RunProgram(ZEMB_ZEMBSIM, "dump kept.bin", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(test::ReadFile("kept.bin"), std::vector<uint8_t>(65536, 0xFF));
  RunProgram(ZEMB_ZEMBSIM, "dump new.bin", &status);
  EXPECT_EQ(status, 0);

  for (const char* source : {"pipe", "/dev/zero", "folder"}) {
    std::string out;
    status =
        test::RunCommand(std::string("timeout 20 '") + ZEMB_ZEMBSIM + "' load " + source, &out);
    EXPECT_EQ(status, 1) << source << "\n" << out;
    EXPECT_NE(out.find(std::string("zembsim load: cannot open ") + source), std::string::npos)
        << out;
  }
}

TEST_F(CliFlowTest, RedirectedOutputCarriesNoColourCodes) {
  int status = -1;
  RunProgram(ZEMB_ZEMBSIM, "plug --face cdrom --size 65536", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(RunProgram(ZEMB_IOACCESS, "GPIO GET"),
            "Data:0x0 \n                \n    Succee      \n");
  test::WriteFile("k.bin", test::Pattern(5000));
  std::string out = RunProgram(ZEMB_ROMPROGRAM, "BURN k.bin spi.cfg");
  EXPECT_NE(out.find("                \n    Burn Pass   \n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\033'), std::string::npos);
}

}  // namespace
}  // namespace zemb
