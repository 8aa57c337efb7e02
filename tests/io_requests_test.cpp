// The IO_ACCESS forms byte by byte, and the IO access table of each face
// against a simulated device.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "common/device/discovery.h"
#include "common/device/io_access_table.h"
#include "common/device/requests.h"
#include "sim/sim_host.h"

namespace zemb {
namespace {

using Bytes = std::vector<uint8_t>;

template <size_t N>
Bytes ToBytes(const std::array<uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

struct FieldCase {
  uint32_t regAddress;
  uint8_t size;
  Bytes field;
};

class RegisterAddressFieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(RegisterAddressFieldTest, FollowsTheSize) {
  const FieldCase& c = GetParam();
  EXPECT_EQ(ToBytes(RegisterAddressField(c.regAddress, c.size)), c.field);
}

INSTANTIATE_TEST_SUITE_P(Fields, RegisterAddressFieldTest,
                         ::testing::Values(FieldCase{0x0301, 2, {0x03, 0x01, 0x00, 0x00}},
                                           FieldCase{0x0301, 1, {0x03, 0x01, 0x00, 0x00}},
                                           FieldCase{0x0301, 4, {0x00, 0x00, 0x03, 0x01}},
                                           FieldCase{0x1002, 4, {0x00, 0x00, 0x10, 0x02}},
                                           FieldCase{0x12345678, 4, {0x12, 0x34, 0x56, 0x78}},
                                           FieldCase{0x12345678, 5, {0x12, 0x34, 0x56, 0x78}},
                                           // Below 4, only the low 16 bits travel.
                                           FieldCase{0x12345678, 3, {0x56, 0x78, 0x00, 0x00}},
                                           FieldCase{0x12345678, 0, {0x56, 0x78, 0x00, 0x00}}));

TEST(IoAccessCdb, CarriesTheI2cTargetAndTheSubCommand) {
  EXPECT_EQ(
      ToBytes(CdbIoAccess(I2C_WRITE, 0x78, 2, 0x1002, 2)),
      (Bytes{0xD4, 'Z', 'E', 'M', 'B', 0x78, 0x02, 0x10, 0x02, 0x00, 0x00, 0x02, 0xD1, 0, 0, 0}));
  EXPECT_EQ(
      ToBytes(CdbIoAccess(I2C_READ, 0x50, 4, 0x0301, 16)),
      (Bytes{0xD4, 'Z', 'E', 'M', 'B', 0x50, 0x04, 0x00, 0x00, 0x03, 0x01, 0x10, 0xD0, 0, 0, 0}));
  EXPECT_EQ(ToBytes(CdbIoAccess(GPIO_SET_DIR, 0, 0, 0, 0)),
            (Bytes{0xD4, 'Z', 'E', 'M', 'B', 0, 0, 0, 0, 0, 0, 0, 0xD8, 0, 0, 0}));
}

TEST(IoAccessPassThrough, HeaderOfAWriteOfNoBytes) {
  std::array<uint8_t, kPassThroughBufferSize> buffer;
  buffer.fill(0xEE);
  FillPassThrough(buffer, kScsiDataOut, 0, CdbIoAccess(I2C_WRITE, 0x78, 2, 0x20, 0));
  const Bytes header = {44, 0, 0, 0, 0, 0, 16, 252, 0, 0, 0,  0, 0, 0,
                        0,  0, 5, 0, 0, 0, 40, 1,   0, 0, 44, 0, 0, 0};
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 28), header);
  EXPECT_EQ(buffer[28], 0xD4);
  for (size_t i = 44; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0) << i;
}

TEST(IoAccessXuBlock, A16ByteWriteFillsOffsets14To29) {
  uint8_t data[16];
  for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(0xB0 + i);
  Bytes expected = {0xD4, 0, 0, 0xD1, 0, 23, 0, 0x78, 0x02, 0x10, 0x02, 0x00, 0x00, 0x10};
  for (int i = 0; i < 16; ++i) expected.push_back(static_cast<uint8_t>(0xB0 + i));
  EXPECT_EQ(ToBytes(XuIoAccessI2c(I2C_WRITE, 0x78, 2, 0x1002, 16, data)), expected);
}

TEST(IoAccessXuBlock, BytesBeyondTheLengthAreZero) {
  const uint8_t data[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                            0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01};
  const Bytes expected = {0xD4, 0, 0, 0xD1, 0, 23, 0, 0x78, 4, 0, 0, 0x03, 0x01, 2, 0x11,
                          0x22, 0, 0, 0,    0, 0,  0, 0,    0, 0, 0, 0,    0,    0, 0};
  EXPECT_EQ(ToBytes(XuIoAccessI2c(I2C_WRITE, 0x78, 4, 0x0301, 2, data)), expected);
}

TEST(IoAccessXuBlock, GpioFormsCarryTheValueAtOffset7) {
  const Bytes set = {0xD4, 0, 0, 0xD7, 0, 1, 0, 0x5A, 0, 0, 0, 0, 0, 0, 0,
                     0,    0, 0, 0,    0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ToBytes(XuIoAccessGpio(GPIO_SET, 0x5A)), set);
  const Bytes get = {0xD4, 0, 0, 0xD6, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                     0,    0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ToBytes(XuIoAccessGpio(GPIO_GET, 0)), get);
}

// --- the table on each face --------------------------------------------------

class IoAccessTableTest : public ::testing::TestWithParam<sim::Face> {
 protected:
  IoAccessTableTest() : rig_(State()), console_(*rig_.host) {
    device_ = FindDevice(*rig_.host, nullptr, nullptr);
    table_ = BindIoAccessTable(console_, device_);
    rig_.device->ClearTrace();
  }
  ~IoAccessTableTest() override {
    table_.reset();
    ReleaseDevice(*rig_.host, &device_);
  }

  static sim::DeviceState State() {
    sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024);
    state.cdromFace = GetParam() == sim::Face::Cdrom;
    state.xuFace = GetParam() == sim::Face::Xu;
    return state;
  }

  sim::SimRig rig_;
  Console console_;
  FoundDevice device_;
  std::unique_ptr<IoAccessTable> table_;
};

TEST_P(IoAccessTableTest, RefusesMoreThan16BytesWithoutSending) {
  ASSERT_NE(table_, nullptr);
  std::array<uint8_t, 32> buffer{};
  buffer.fill(0x77);
  EXPECT_EQ(table_->I2cRead(0x78, 2, 0, 17, buffer.data()), 0);
  EXPECT_EQ(table_->I2cWrite(0x78, 2, 0, 17, buffer.data()), 0);
  EXPECT_TRUE(rig_.device->Trace().empty());
  for (uint8_t b : buffer) EXPECT_EQ(b, 0x77);
}

TEST_P(IoAccessTableTest, LeavesTheDestinationAloneOnFailure) {
  // The pass-through, or the read that brings the answer back.
  sim::Fault fault;
  fault.kind =
      GetParam() == sim::Face::Cdrom ? sim::RequestKind::IoAccess : sim::RequestKind::XuRead;
  rig_.device->State().faults.push_back(fault);
  rig_.device->State().gpioData = 0x42;
  uint8_t value = 0x99;
  EXPECT_EQ(table_->GpioGet(&value), 0);
  EXPECT_EQ(value, 0x99);
  std::array<uint8_t, 4> buffer{};
  buffer.fill(0x99);
  fault.nth = 2;
  rig_.device->State().faults.push_back(fault);
  EXPECT_EQ(table_->I2cRead(0x78, 2, 0, 4, buffer.data()), 0);
  for (uint8_t b : buffer) EXPECT_EQ(b, 0x99);
}

TEST_P(IoAccessTableTest, ReadsWhatTheDeviceHolds) {
  auto& regs = rig_.device->State().i2c.at(0x50).registers;
  regs[0x10] = 0xAB;
  regs[0x11] = 0xCD;
  std::array<uint8_t, 16> buffer{};
  ASSERT_EQ(table_->I2cRead(0x50, 1, 0x10, 2, buffer.data()), 1);
  EXPECT_EQ(buffer[0], 0xAB);
  EXPECT_EQ(buffer[1], 0xCD);
  EXPECT_EQ(buffer[2], 0x00);
}

INSTANTIATE_TEST_SUITE_P(Faces, IoAccessTableTest,
                         ::testing::Values(sim::Face::Cdrom, sim::Face::Xu), [](const auto& info) {
                           return info.param == sim::Face::Cdrom ? "cdrom" : "xu";
                         });

}  // namespace
}  // namespace zemb
