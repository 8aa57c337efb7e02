// The ROM layout: region addresses, the header and its entries as bytes,
// and the three header checks, against bytes written out by hand.
#include "common/rom/rom_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

// The default header with image length 0, byte by byte.
const std::vector<uint8_t> kDefaultHeader46 = {
    0xEF, 0xBE, 0xFF, 0xFF, 0x01, 0x00,                          // signature, markers, format
    0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x00,  // HW/FW: 0, 0x7F00
    0x02, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00,  // descriptor: 0x8000, 0x3000
    0x01, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // image: 0xC000, 0
    0x03, 0x00, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,  // misc: 0xB000, 0x1000
};

struct ConsoleRig {
  sim::SimRig rig{sim::SimMachine{}};
  Console console{*rig.host};
  const std::string& Out() const { return rig.host->Stdout(); }
};

TEST(RomLayout, RegionsFollowEachOther) {
  EXPECT_EQ(kHeaderAddress + kHeaderSize, kHwFwAddress);
  EXPECT_EQ(kHwFwAddress + kHwFwSize, kDescAddress);
  EXPECT_EQ(kDescAddress + kDescSize, kMiscAddress);
  EXPECT_EQ(kMiscAddress + kMiscSize, kImageAddress);
  EXPECT_EQ(kHwFwSize, 32512u);
  EXPECT_EQ(kDescAddress, 32768u);
  EXPECT_EQ(kMiscAddress, 45056u);
  EXPECT_EQ(kImageAddress, 49152u);
  EXPECT_EQ(kKeshDescSpan, 16384u);
  EXPECT_EQ(kRomSectorSize, 4096u);
}

TEST(RomLayout, RegionEntryBytes) {
  const auto bytes = EncodeRegionEntry({0x64, 0x5A, 0x12345678, 0x9ABCDEF0});
  const std::array<uint8_t, 10> expected = {0x64, 0x5A, 0x78, 0x56, 0x34,
                                            0x12, 0xF0, 0xDE, 0xBC, 0x9A};
  EXPECT_EQ(bytes, expected);
  const RegionEntry back = DecodeRegionEntry(bytes.data());
  EXPECT_EQ(back.RegionType, 0x64);
  EXPECT_EQ(back.Reserved, 0x5A);
  EXPECT_EQ(back.RegionStart, 0x12345678u);
  EXPECT_EQ(back.RegionLength, 0x9ABCDEF0u);
}

TEST(RomLayout, DefaultHeaderBytes) {
  const auto header = EncodeRomHeader(DefaultRomHeader());
  std::vector<uint8_t> expected = kDefaultHeader46;
  expected.resize(256, 0x00);
  EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.end()), expected);

  // The image entry carries the image's length.
  const auto withImage = EncodeRomHeader(DefaultRomHeader(0x0102A3B4));
  expected[32] = 0xB4;
  expected[33] = 0xA3;
  expected[34] = 0x02;
  expected[35] = 0x01;
  EXPECT_EQ(std::vector<uint8_t>(withImage.begin(), withImage.end()), expected);
}

TEST(RomLayout, HeaderValidity) {
  std::vector<uint8_t> header = kDefaultHeader46;
  EXPECT_TRUE(IsRomHeaderValid(header));
  for (size_t at : {0, 1, 2, 3, 6}) {
    std::vector<uint8_t> broken = header;
    broken[at] = 0x00;
    EXPECT_FALSE(IsRomHeaderValid(broken)) << at;
  }
  // FormatWord and the other entries are not part of the check.
  header[4] = 0x07;
  header[16] = 0x00;
  header[26] = 0x00;
  EXPECT_TRUE(IsRomHeaderValid(header));
}

TEST(RomLayout, FullCheckReplacesADamagedHeaderOnly) {
  // Signature 0xBEEF but byte 2 is 0x00.
  std::vector<uint8_t> sector = test::Pattern(4096, 7);
  sector[0] = 0xEF;
  sector[1] = 0xBE;
  sector[2] = 0x00;
  const std::vector<uint8_t> before = sector;
  ConsoleRig c;
  EXPECT_TRUE(CheckFullRomHeader(c.console, sector));
  EXPECT_EQ(c.Out(), "    Header parameter error, Make a new Header\n");
  EXPECT_TRUE(std::equal(kDefaultHeader46.begin(), kDefaultHeader46.end(), sector.begin()));
  EXPECT_TRUE(std::equal(sector.begin() + 46, sector.end(), before.begin() + 46));
}

TEST(RomLayout, FullCheckKeepsAValidHeader) {
  std::vector<uint8_t> sector = test::Pattern(4096, 8);
  std::copy(kDefaultHeader46.begin(), kDefaultHeader46.end(), sector.begin());
  sector[4] = 0x09;   // FormatWord is not checked
  sector[32] = 0x44;  // image length kept
  const std::vector<uint8_t> before = sector;
  ConsoleRig c;
  EXPECT_FALSE(CheckFullRomHeader(c.console, sector));
  EXPECT_EQ(c.Out(), "");
  EXPECT_EQ(sector, before);
}

TEST(RomLayout, PresenceCheckNeedsTheHwFwEntry) {
  ConsoleRig c;
  std::vector<uint8_t> blank(4096, 0xFF);
  uint32_t start = 7, length = 7;
  EXPECT_FALSE(CheckHwFwPresence(c.console, blank, &start, &length));
  EXPECT_EQ(c.Out(), "    No HW/FW Sector - error !!!      \n");
  EXPECT_EQ(blank, std::vector<uint8_t>(4096, 0xFF));
}

TEST(RomLayout, PresenceCheckIgnoresTheSignatureAndKeepsAPresentEntry) {
  ConsoleRig c;
  std::vector<uint8_t> header = kDefaultHeader46;
  header[0] = 0x00;   // wrong signature
  header[27] = 0x33;  // reserved byte of the image entry
  header[32] = 0x00;
  header[33] = 0x20;  // length 0x2000
  const std::vector<uint8_t> before = header;
  uint32_t start = 0, length = 0;
  EXPECT_TRUE(CheckHwFwPresence(c.console, header, &start, &length));
  EXPECT_EQ(c.Out(), "");
  EXPECT_EQ(start, 0xC000u);
  EXPECT_EQ(length, 0x2000u);
  EXPECT_EQ(header, before);
}

TEST(RomLayout, PresenceCheckRewritesAMissingImageEntry) {
  for (int variant = 0; variant < 2; ++variant) {
    std::vector<uint8_t> header = kDefaultHeader46;
    if (variant == 0) header[26] = 0x05;  // wrong type
    if (variant == 1) header[29] = 0xD0;  // start 0xD000
    header[27] = 0x44;
    header[32] = 0x99;
    ConsoleRig c;
    uint32_t start = 0, length = 7;
    EXPECT_TRUE(CheckHwFwPresence(c.console, header, &start, &length));
    EXPECT_EQ(start, 0xC000u);
    EXPECT_EQ(length, 0u);
    const std::vector<uint8_t> entry(header.begin() + 26, header.begin() + 36);
    EXPECT_EQ(entry, (std::vector<uint8_t>{0x01, 0x00, 0x00, 0xC0, 0x00, 0x00, 0, 0, 0, 0}))
        << variant;
  }
}

TEST(RomLayout, RefreshSetsTheFixedEntriesOnly) {
  std::vector<uint8_t> header = test::Pattern(4096, 9);
  const std::vector<uint8_t> before = header;
  RefreshRomHeader(header);
  auto entry = [&](size_t at) {
    return std::vector<uint8_t>(header.begin() + static_cast<long>(at),
                                header.begin() + static_cast<long>(at) + 10);
  };
  EXPECT_EQ(entry(6), (std::vector<uint8_t>{0x64, before[7], 0, 0, 0, 0, 0x00, 0x7F, 0, 0}));
  EXPECT_EQ(entry(16), (std::vector<uint8_t>{0x02, before[17], 0, 0x80, 0, 0, 0, 0x30, 0, 0}));
  EXPECT_EQ(entry(36), (std::vector<uint8_t>{0x03, before[37], 0, 0xB0, 0, 0, 0, 0x10, 0, 0}));
  for (size_t i = 0; i < header.size(); ++i) {
    const bool fixedField =
        (i >= 6 && i < 26 && i != 7 && i != 17) || (i >= 36 && i < 46 && i != 37);
    if (!fixedField) {
      EXPECT_EQ(header[i], before[i]) << i;
    }
  }

  SetImageEntry(header, 0x00012345);
  EXPECT_EQ(entry(26), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0xC0, 0, 0, 0x45, 0x23, 0x01, 0}));
}

}  // namespace
}  // namespace zemb
