// The 64-bit rebuild of the portable pass-through packet: what the driver
// sees and what the portable code gets back.
#include "common/host/win32/scsi_layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace zemb::scsi_layout {
namespace {

constexpr uint32_t kSense = 44, kSenseLength = 252, kData = 296;

// The packet as the portable code builds it: header, sense area, data area.
std::vector<uint8_t> Portable(uint8_t dataIn, uint32_t transfer) {
  std::vector<uint8_t> p(kData + transfer);
  Put16(&p[0], 44);
  p[kCdbLengthOffset] = 16;
  p[kSenseInfoLengthOffset] = kSenseLength;
  p[kDataInOffset] = dataIn;
  Put32(&p[kDataTransferLengthOffset], transfer);
  Put32(&p[kTimeOutValueOffset], 5);
  Put32(&p[kX86DataBufferOffsetOffset], kData);
  Put32(&p[kX86SenseInfoOffsetOffset], kSense);
  for (uint32_t i = 0; i < 16; ++i) p[kX86CdbOffset + i] = static_cast<uint8_t>(0xC0 + i);
  for (uint32_t i = 0; i < transfer; ++i) p[kData + i] = static_cast<uint8_t>(i * 7);
  return p;
}

uint64_t Get64(const uint8_t* p) {
  return Get32(p) | (uint64_t{Get32(p + 4)} << 32);
}

TEST(ScsiLayoutTest, WriteRequestReachesTheDriverInTheNativeLayout) {
  const std::vector<uint8_t> portable = Portable(0, 256);
  X64Packet packet;
  ASSERT_EQ(ToX64(portable, static_cast<uint32_t>(portable.size()), &packet), kErrorSuccess);

  const uint8_t* n = packet.bytes.get();
  const uint32_t dataOffset = 312;  // 56 + 252, rounded up to 8
  EXPECT_EQ(packet.size, dataOffset + 256);
  EXPECT_EQ(Get16(n + kLengthOffset), 56);
  EXPECT_EQ(n[kCdbLengthOffset], 16);
  EXPECT_EQ(n[kSenseInfoLengthOffset], kSenseLength);
  EXPECT_EQ(n[kDataInOffset], 0);
  EXPECT_EQ(Get32(n + kDataTransferLengthOffset), 256u);
  EXPECT_EQ(Get32(n + kTimeOutValueOffset), 5u);
  EXPECT_EQ(Get64(n + kX64DataBufferOffsetOffset), dataOffset);
  EXPECT_EQ(Get32(n + kX64SenseInfoOffsetOffset), 56u);
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(n[kX64CdbOffset + i], 0xC0 + i) << i;
  for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(n[dataOffset + i], portable[kData + i]) << i;
}

TEST(ScsiLayoutTest, ReadAnswerComesBackInThePortableLayout) {
  std::vector<uint8_t> buffer = Portable(1, 4096);  // request and answer in one buffer
  const std::vector<uint8_t> request = buffer;
  X64Packet packet;
  ASSERT_EQ(ToX64(buffer, static_cast<uint32_t>(buffer.size()), &packet), kErrorSuccess);

  // What a driver does: status, sense, a shorter transfer, the data.
  uint8_t* n = packet.bytes.get();
  n[kScsiStatusOffset] = 2;
  n[kSenseInfoLengthOffset] = 18;
  for (uint32_t i = 0; i < 18; ++i) n[56 + i] = static_cast<uint8_t>(0x70 + i);
  Put32(n + kDataTransferLengthOffset, 100);
  for (uint32_t i = 0; i < 100; ++i) n[312 + i] = static_cast<uint8_t>(0xA0 ^ i);

  EXPECT_EQ(FromX64(packet, 312 + 100, buffer), kData + 100);
  EXPECT_EQ(Get16(&buffer[0]), 44);
  EXPECT_EQ(buffer[kScsiStatusOffset], 2);
  EXPECT_EQ(buffer[kSenseInfoLengthOffset], 18);
  EXPECT_EQ(Get32(&buffer[kDataTransferLengthOffset]), 100u);
  EXPECT_EQ(Get32(&buffer[kX86DataBufferOffsetOffset]), kData);
  EXPECT_EQ(Get32(&buffer[kX86SenseInfoOffsetOffset]), kSense);
  for (uint32_t i = 0; i < 16; ++i)
    EXPECT_EQ(buffer[kX86CdbOffset + i], request[kX86CdbOffset + i]);
  for (uint32_t i = 0; i < 18; ++i) EXPECT_EQ(buffer[kSense + i], 0x70 + i) << i;
  for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(buffer[kData + i], 0xA0 ^ i) << i;
}

TEST(ScsiLayoutTest, ByteCountIsTranslatedForCommandsWithoutData) {
  const std::vector<uint8_t> portable = Portable(2, 0);
  X64Packet packet;
  ASSERT_EQ(ToX64(portable, kData, &packet), kErrorSuccess);
  std::vector<uint8_t> answer(kData);
  EXPECT_EQ(FromX64(packet, 56, answer), 44u);            // header only
  EXPECT_EQ(FromX64(packet, 56 + 18, answer), 44u + 18);  // part of the sense area
  EXPECT_EQ(FromX64(packet, 312, answer), kData);         // sense area and padding
}

TEST(ScsiLayoutTest, RefusesPacketsItCannotTranslateSafely) {
  X64Packet packet;
  std::vector<uint8_t> p = Portable(1, 16);
  const auto size = static_cast<uint32_t>(p.size());
  EXPECT_EQ(ToX64(std::span(p).first(43), size, &packet), kErrorInvalidParameter);
  EXPECT_EQ(ToX64(p, 43, &packet), kErrorInvalidParameter);

  Put16(&p[0], 56);
  EXPECT_EQ(ToX64(p, size, &packet), kErrorRevisionMismatch);
  Put16(&p[0], 44);

  p[kCdbLengthOffset] = 17;
  EXPECT_EQ(ToX64(p, size, &packet), kErrorInvalidParameter);
  p[kCdbLengthOffset] = 16;

  Put32(&p[kDataTransferLengthOffset], 17);  // one byte past both buffers
  EXPECT_EQ(ToX64(p, size, &packet), kErrorInvalidParameter);
  Put32(&p[kDataTransferLengthOffset], 16);
  EXPECT_EQ(ToX64(p, size - 1, &packet), kErrorInvalidParameter);  // past the answer

  Put32(&p[kX86DataBufferOffsetOffset], 0xFFFFFFF8u);  // wraps in 32 bits
  EXPECT_EQ(ToX64(p, size, &packet), kErrorInvalidParameter);
  Put32(&p[kX86DataBufferOffsetOffset], kData);

  Put32(&p[kX86SenseInfoOffsetOffset], 8);  // sense written back over the header
  EXPECT_EQ(ToX64(p, size, &packet), kErrorInvalidParameter);
  Put32(&p[kX86SenseInfoOffsetOffset], kSense);

  EXPECT_EQ(ToX64(p, size, &packet), kErrorSuccess);
}

}  // namespace
}  // namespace zemb::scsi_layout
