// The verdict banner, the verify dump and the system error block.
#include "common/device/reporting.h"

#include <gtest/gtest.h>

#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

struct Reporter {
  sim::SimRig rig{sim::SimMachine{}};
  Console console{*rig.host};
  const std::string& Out() { return rig.host->Stdout(); }
  // The attributes set at each offset of the output.
  std::vector<sim::SimHost::ColorMark> Colors() { return rig.host->Colors(); }
};

TEST(DumpMismatch, EqualBlocksPrintNothing) {
  Reporter r;
  std::vector<uint8_t> a = test::Pattern(4096);
  DumpMismatch(r.console, a.data(), a.data(), 4096);
  EXPECT_EQ(r.Out(), "");
  EXPECT_TRUE(r.Colors().empty());
}

TEST(DumpMismatch, LastGroupHoldsTheRemainder) {
  Reporter r;
  std::vector<uint8_t> tx(25), rx(25);
  for (int i = 0; i < 25; ++i) tx[i] = rx[i] = static_cast<uint8_t>(i);
  rx[24] = 0xAA;
  DumpMismatch(r.console, tx.data(), rx.data(), 25);
  EXPECT_EQ(r.Out(),
            "    - Tx Data [0020]    : 0x14 0x15 0x16 0x17 0x18\n"
            "    - Rx Data [0020]    : 0x14 0x15 0x16 0x17 0xAA\n\n");
  // Only the differing Rx byte is red, and colour 7 follows it at once.
  auto colors = r.Colors();
  ASSERT_EQ(colors.size(), 2u);
  EXPECT_EQ(colors[0].attribute, kColorRed);
  EXPECT_EQ(r.Out().substr(colors[0].offset, 5), " 0xAA");
  EXPECT_EQ(colors[1].attribute, kColorNormal);
  EXPECT_EQ(colors[1].offset, colors[0].offset + 5);
}

TEST(DumpMismatch, OffsetsAtBothEndsOfASector) {
  Reporter r;
  std::vector<uint8_t> tx(4096, 0x11), rx(4096, 0x11);
  rx[0] = 0x10;
  rx[4095] = 0x12;
  DumpMismatch(r.console, tx.data(), rx.data(), 4096);
  EXPECT_EQ(r.Out(),
            "    - Tx Data [0000]    : 0x11 0x11 0x11 0x11 0x11 0x11 0x11 0x11 0x11 0x11\n"
            "    - Rx Data [0000]    : 0x10 0x11 0x11 0x11 0x11 0x11 0x11 0x11 0x11 0x11\n\n"
            "    - Tx Data [4090]    : 0x11 0x11 0x11 0x11 0x11 0x11\n"
            "    - Rx Data [4090]    : 0x11 0x11 0x11 0x11 0x11 0x12\n\n");
}

TEST(ReportSystemError, ShowsCodeAndSystemText) {
  Reporter r;
  r.rig.host->SetLastError(kErrorGenFailure);
  ReportSystemError(r.console, kCannotReadRom);
  EXPECT_EQ(r.Out(),
            "                            \n"
            "    Cannot read ROM!!!      \n"
            "    - Error Code    : 0x1F  \n"
            "    - Error Message : A device attached to the system is not functioning.\n    \n");
}

TEST(ReportSystemError, CodeWithoutSystemTextStillReadsClearly) {
  Reporter r;
  r.rig.host->SetLastError(0xE000BEEF);
  ReportSystemError(r.console, kCannotWriteRom);
  EXPECT_EQ(r.Out(),
            "                            \n"
            "    Cannot write ROM!!!     \n"
            "    - Error Code    : 0xE000BEEF  \n"
            "    - Error Message : No system text is known for this error code.\n    \n");
}

TEST(ShowBurnResult, BannersAndColours) {
  struct Case {
    bool passed;
    BannerStyle style;
    std::string text;
    uint16_t color;
  };
  for (const Case& c :
       {Case{true, BannerStyle::Burn, "                \n    Burn Pass   \n", kColorGreen},
        Case{false, BannerStyle::Burn, "    Burn Fail\n", kColorRed},
        Case{true, BannerStyle::IoAccess, "                \n    Succee      \n", kColorGreen},
        Case{false, BannerStyle::IoAccess, "    Fail        \n", kColorRed}}) {
    Reporter r;
    ShowBurnResult(r.console, c.passed, c.style);
    EXPECT_EQ(r.Out(), c.text);
    auto colors = r.Colors();
    ASSERT_EQ(colors.size(), 2u);
    EXPECT_EQ(colors[0].attribute, c.color);
    EXPECT_EQ(colors[0].offset, 0u);
    EXPECT_EQ(colors[1].attribute, kColorNormal);
    EXPECT_EQ(colors[1].offset, c.text.size());
  }
}

TEST(RunLog, GetsTheSameTextButNoColour) {
  test::ScratchDir dir;
  Reporter r;
  ASSERT_TRUE(r.console.OpenLog("run.log"));
  std::vector<uint8_t> tx = {1, 2, 3}, rx = {1, 9, 3};
  r.console.WriteAndLog("    Write Bin file to ROM\n");
  ReportMismatch(r.console, tx.data(), rx.data(), 3);
  ShowBurnResult(r.console, false);
  r.console.Print("console only\n");
  r.console.CloseLog();
  EXPECT_EQ(test::ReadText("run.log") + "console only\n", r.Out());
}

}  // namespace
}  // namespace zemb
