// The shared readers: one table of words each, because every tool's
// command line and the simulated device's files rely on the same answers.
#include <gtest/gtest.h>

#include "common/base/bytes.h"
#include "common/base/numbers.h"

namespace zemb {
namespace {

TEST(NumbersTest, ParseNumberTakesWholeUnsignedWordsOnly) {
  struct Case {
    const char* word;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", 10, true, 0},
      {"4096", 0xFFFFFFFF, true, 4096},
      {"0x1000", 0xFFFFFFFF, true, 4096},
      {"0XfF", 0xFF, true, 255},
      {"0x100", 0xFF, false, 0},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, false, 0},
      {"0x10000000000000000", UINT64_MAX, false, 0},
      {"", 10, false, 0},
      {"0x", 10, false, 0},
      {"-1", 10, false, 0},
      {"+1", 10, false, 0},
      {" 1", 10, false, 0},
      {"1 ", 10, false, 0},
      {"12k", 100, false, 0},
      {"0x1g", 100, false, 0},
      {"1a", 100, false, 0},
  };
  for (const Case& c : cases) {
    uint64_t value = 7;
    EXPECT_EQ(ParseNumber(c.word, c.max, &value), c.ok) << c.word;
    EXPECT_EQ(value, c.ok ? c.value : 7) << c.word;
  }
}

TEST(NumbersTest, HexDigitsAndHexText) {
  EXPECT_EQ(HexDigit('0'), 0);
  EXPECT_EQ(HexDigit('a'), 10);
  EXPECT_EQ(HexDigit('F'), 15);
  EXPECT_EQ(HexDigit('g'), -1);
  EXPECT_EQ(HexDigit('\xC1'), -1);
  EXPECT_EQ(HexText(0xAB, 2), "0xAB");
  EXPECT_EQ(HexText(0x1, 8), "0x00000001");
  EXPECT_EQ(HexText(0x12345, 2), "0x12345");
}

TEST(BytesTest, EachWidthAndOrderRoundTrips) {
  uint8_t b[8] = {};
  PutLe16(b, 0x1234);
  EXPECT_EQ(b[0], 0x34);
  EXPECT_EQ(GetLe16(b), 0x1234);
  PutBe16(b, 0x1234);
  EXPECT_EQ(b[0], 0x12);
  EXPECT_EQ(GetBe16(b), 0x1234);
  PutLe32(b, 0x89ABCDEF);
  EXPECT_EQ(b[0], 0xEF);
  EXPECT_EQ(GetLe32(b), 0x89ABCDEFu);
  PutBe32(b, 0x89ABCDEF);
  EXPECT_EQ(b[0], 0x89);
  EXPECT_EQ(GetBe32(b), 0x89ABCDEFu);
  PutLe64(b, 0x0102030405060708ull);
  EXPECT_EQ(b[0], 0x08);
  EXPECT_EQ(b[7], 0x01);
  EXPECT_EQ(GetLe64(b), 0x0102030405060708ull);
  PutBe64(b, 0x0102030405060708ull);
  EXPECT_EQ(b[0], 0x01);
  EXPECT_EQ(GetBe64(b), 0x0102030405060708ull);
}

}  // namespace
}  // namespace zemb
