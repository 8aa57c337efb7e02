// The simulated device, driven with request bytes written out by hand: what
// each face accepts, answers and refuses, how ROM operations take time, and
// what the armed faults do.
#include "sim/sim_device.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace zemb::sim {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32At(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class SimDeviceTest : public ::testing::Test {
 protected:
  SimDevice& Make(RomKind kind = RomKind::Spi, uint32_t size = 1u << 20) {
    DeviceState s = DefaultDeviceState(kind, size);
    s.ownFace = s.cdromFace = s.xuFace = true;
    s.faults = faults_;
    s.timing = timing_;
    dev_ = std::make_unique<SimDevice>(std::move(s), clock_);
    return *dev_;
  }

  // --- own driver: a VendorRequest head, then the data stage ---------------
  struct Reply {
    IoctlResult result;
    Bytes buffer;
  };
  Reply Own(const Bytes& head, const Bytes& data = {}, uint32_t capacity = 4096) {
    Bytes buf(16 + capacity, 0);
    std::copy(head.begin(), head.end(), buf.begin());
    std::copy(data.begin(), data.end(), buf.begin() + 16);
    const auto n = static_cast<uint32_t>(buf.size());
    IoctlResult r = dev_->OwnDriverIoctl(kOwnDriverIoctl, buf.data(), n, buf.data(), n);
    return {r, buf};
  }
  Reply OwnAccessRom(const Bytes& block) {
    return Own({0x40, 0xCA, 0, 0, 0, 0, 0x0C, 0, 0, 0, 0, 0, 0x0C, 0, 0, 0}, block, 12);
  }
  bool OwnFinished(uint8_t op) {
    Reply r = Own({0xC0, 0xCC, 0, 0, op, 0, 0x02, 0, 0, 0, 0, 0, 0x02, 0, 0, 0}, {}, 12);
    EXPECT_TRUE(r.result.ok) << dev_->Trace().back().note;
    return (r.buffer[16] & 1) != 0;
  }

  // --- CD-ROM: SCSI_PASS_THROUGH of 44 bytes, 252 sense bytes, data at 296 --
  Reply Scsi(uint8_t dataIn, uint32_t transfer, const Bytes& cdb, const Bytes& dataOut = {}) {
    Bytes buf(296 + transfer, 0);
    const Bytes header = {44, 0, 0, 0, 0, 0, 16, 252, dataIn, 0, 0, 0};
    std::copy(header.begin(), header.end(), buf.begin());
    for (int i = 0; i < 4; ++i) buf[12 + i] = static_cast<uint8_t>(transfer >> (8 * i));
    buf[16] = 5;                     // TimeOutValue
    buf[20] = 0x28, buf[21] = 0x01;  // DataBufferOffset 296
    buf[24] = 44;                    // SenseInfoOffset
    std::copy(cdb.begin(), cdb.end(), buf.begin() + 28);
    std::copy(dataOut.begin(), dataOut.end(), buf.begin() + 296);
    const auto n = static_cast<uint32_t>(buf.size());
    IoctlResult r = dev_->CdromIoctl(kIoctlScsiPassThrough, buf.data(), n, buf.data(), n, 44);
    return {r, buf};
  }
  bool ScsiIdle() {
    Reply r = Scsi(1, 2, {0xCC, 'Z', 'E', 'M', 'B', 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0});
    EXPECT_TRUE(r.result.ok);
    EXPECT_EQ(r.buffer[2], 0);
    return (r.buffer[296] & 1) != 0;
  }

  // --- extension unit: KSP_NODE with the unit's property set ---------------
  static Bytes Ksp(uint32_t id, uint32_t flags, uint32_t node = 2) {
    Bytes p = {0x5B, 0x12, 0x6D, 0xC6, 0x80, 0x04, 0x44, 0x08,
               0x8C, 0x26, 0xB8, 0x36, 0x3A, 0x84, 0xDE, 0x63};
    for (uint32_t v : {id, flags, node, 0u}) {
      for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    return p;
  }
  HResult Xu(uint32_t id, bool write, Bytes* value, uint32_t* returned = nullptr) {
    const Bytes p = Ksp(id, write ? 0x10000002 : 0x10000001);
    uint32_t n = 0;
    HResult hr =
        dev_->XuKsProperty(p.data(), 32, value->data(), static_cast<uint32_t>(value->size()), &n);
    if (returned) *returned = n;
    return hr;
  }
  static Bytes Block(const Bytes& head) {
    Bytes b(30, 0);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
  }
  bool XuFinished(uint8_t op) {
    Bytes b = Block({0xCC, 0, 0, op, 0, 0x02, 0});
    EXPECT_EQ(Xu(1, true, &b), kHrOk);
    EXPECT_EQ(Xu(1, false, &b), kHrOk);
    return (b[7] & 1) != 0;
  }

  VirtualClock clock_;
  std::vector<Fault> faults_;
  Timing timing_;
  std::unique_ptr<SimDevice> dev_;
};

// --- own driver ---------------------------------------------------------------

TEST_F(SimDeviceTest, OwnDriverAnswersQueriesInPlace) {
  Make();
  Reply type = Own({0xC0, 0xC9, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0x01, 0, 0, 0}, {}, 1);
  ASSERT_TRUE(type.result.ok);
  EXPECT_EQ(type.buffer[16], 0x01);
  Reply fw = Own({0xC0, 0xC4, 0, 0, 0, 0, 0x08, 0, 0, 0, 0, 0, 0x08, 0, 0, 0}, {}, 8);
  ASSERT_TRUE(fw.result.ok);
  EXPECT_EQ(Bytes(fw.buffer.begin() + 16, fw.buffer.end()),
            (Bytes{0x01, 0x04, 0x02, 0x00, 0x09, 0x12, 0x26, 0x20}));
  Reply side = Own({0xC3, 0xC2, 0, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0x04, 0, 0, 0}, {}, 4);
  ASSERT_TRUE(side.result.ok);
  EXPECT_EQ(Bytes(side.buffer.begin() + 16, side.buffer.end()), (Bytes{0x44, 0x49, 0x53, 0x50}));
  EXPECT_EQ(clock_.NowUs(), 3u * 125);

  Make(RomKind::I2c, 65536);
  type = Own({0xC0, 0xC9, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0x01, 0, 0, 0}, {}, 1);
  ASSERT_TRUE(type.result.ok);
  EXPECT_EQ(type.buffer[16], 0x00);
}

TEST_F(SimDeviceTest, OwnDriverRefusesWhatTheDriverOrFirmwareWould) {
  struct Case {
    const char* what;
    Bytes head;
    uint32_t capacity;
    uint32_t error;
  };
  const Case cases[] = {
      {"side signature to recipient device",
       {0xC0, 0xC2, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 4, 0, 0, 0},
       4,
       kErrorGenFailure},
      {"data length field differs",
       {0xC0, 0xC9, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 2, 0, 0, 0},
       1,
       kErrorInvalidParameter},
      {"data stage beyond the buffer",
       {0xC0, 0xC4, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 8, 0, 0, 0},
       4,
       kErrorInvalidParameter},
      {"ROM type with the wrong length",
       {0xC0, 0xC9, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 2, 0, 0, 0},
       2,
       kErrorGenFailure},
      {"wValue not 0", {0xC0, 0xC9, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0}, 1, kErrorGenFailure},
      {"unknown request",
       {0xC0, 0xC7, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0},
       1,
       kErrorGenFailure},
      {"status of nothing started",
       {0xC0, 0xCC, 0, 0, 0xFD, 0, 2, 0, 0, 0, 0, 0, 2, 0, 0, 0},
       2,
       kErrorGenFailure},
      {"ROM data with no read",
       {0xC0, 0xCB, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 4, 0, 0, 0},
       4,
       kErrorGenFailure},
      {"IO access has no own-driver form",
       {0xC0, 0xD4, 0, 0, 0xD6, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0},
       1,
       kErrorGenFailure},
  };
  for (const Case& c : cases) {
    Make();
    Reply r = Own(c.head, {}, c.capacity);
    EXPECT_FALSE(r.result.ok) << c.what;
    EXPECT_EQ(r.result.error, c.error) << c.what;
    ASSERT_EQ(dev_->Trace().size(), 1u);
    EXPECT_TRUE(dev_->Trace()[0].failed) << c.what;
    EXPECT_FALSE(dev_->Trace()[0].note.empty()) << c.what;
  }
  Make();
  Bytes buf(17, 0);
  EXPECT_EQ(dev_->OwnDriverIoctl(0x4E20E004, buf.data(), 17, buf.data(), 17).error,
            kErrorInvalidFunction);
}

TEST_F(SimDeviceTest, OwnDriverEraseTakesItsTimeThenWriteAndReadBack) {
  Make();
  // Sector erase at 0x1000 (AddressSize 3).
  ASSERT_TRUE(OwnAccessRom({0xFD, 0x03, 0, 0, 0x00, 0x10, 0, 0, 0, 0, 0, 0}).result.ok);
  EXPECT_FALSE(OwnFinished(0xFD));
  // A second operation while the erase runs is refused.
  EXPECT_EQ(OwnAccessRom({0x01, 0x03, 0, 1, 0, 0, 0, 0, 4, 0, 0, 0}).result.error,
            kErrorGenFailure);
  clock_.AdvanceUs(45000);
  EXPECT_TRUE(OwnFinished(0xFD));

  // Program 4 bytes at 0x1000 twice: NOR programming only clears bits.
  for (const Bytes& data : {Bytes{0xF0, 0x12, 0x34, 0x56}, Bytes{0x0F, 0xFF, 0xFF, 0xFF}}) {
    ASSERT_TRUE(Own({0x40, 0xCB, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 4, 0, 0, 0}, data, 4096).result.ok);
    ASSERT_TRUE(OwnAccessRom({0x02, 0x03, 0x00, 0x01, 0x00, 0x10, 0, 0, 4, 0, 0, 0}).result.ok);
    EXPECT_FALSE(OwnFinished(0x02));
    clock_.AdvanceUs(700);
    EXPECT_TRUE(OwnFinished(0x02));
  }
  ASSERT_TRUE(OwnAccessRom({0x01, 0x03, 0x00, 0x01, 0x00, 0x10, 0, 0, 4, 0, 0, 0}).result.ok);
  clock_.AdvanceUs(300);
  ASSERT_TRUE(OwnFinished(0x01));
  Reply data = Own({0xC0, 0xCB, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 4, 0, 0, 0}, {}, 4096);
  ASSERT_TRUE(data.result.ok);
  EXPECT_EQ(Bytes(data.buffer.begin() + 16, data.buffer.begin() + 20),
            (Bytes{0x00, 0x12, 0x34, 0x56}));
  // The data stage must be fetched with the length that was read.
  EXPECT_FALSE(Own({0xC0, 0xCB, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 8, 0, 0, 0}, {}, 4096).result.ok);
}

TEST_F(SimDeviceTest, RomOperationsOutsideWhatTheChipDoesAreRefused) {
  struct Case {
    const char* what;
    RomKind kind;
    Bytes block;
  };
  const Case cases[] = {
      {"sector erase not on 4096", RomKind::Spi, {0xFD, 3, 0, 0, 0x00, 0x08, 0, 0, 0, 0, 0, 0}},
      {"sector erase beyond the ROM",
       RomKind::Spi,
       {0xFD, 3, 0, 0, 0x00, 0x00, 0x10, 0, 0, 0, 0, 0}},
      {"read running past the end", RomKind::Spi, {0x01, 3, 0, 1, 0xFC, 0xFF, 0x0F, 0, 8, 0, 0, 0}},
      {"read of more than 4096", RomKind::Spi, {0x01, 3, 0, 1, 0, 0, 0, 0, 0x01, 0x10, 0, 0}},
      {"address size 0", RomKind::Spi, {0x01, 0, 0, 1, 0, 0, 0, 0, 4, 0, 0, 0}},
      {"address beyond 2 address bytes", RomKind::Spi, {0x01, 2, 0, 1, 0, 0, 0x01, 0, 4, 0, 0, 0}},
      {"unknown operation", RomKind::Spi, {0x03, 3, 0, 1, 0, 0, 0, 0, 4, 0, 0, 0}},
      {"chip erase of an EEPROM", RomKind::I2c, {0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"sector erase of an EEPROM", RomKind::I2c, {0xFD, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    Make(c.kind, 1u << 20);
    EXPECT_EQ(OwnAccessRom(c.block).result.error, kErrorGenFailure) << c.what;
    EXPECT_TRUE(dev_->Trace().back().failed) << c.what;
  }

  // A write needs its data staged first, with the same length, within PageSize.
  Make();
  EXPECT_FALSE(OwnAccessRom({0x02, 3, 0, 1, 0, 0, 0, 0, 4, 0, 0, 0}).result.ok);
  ASSERT_TRUE(Own({0x40, 0xCB, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 4, 0, 0, 0}, {1, 2, 3, 4}).result.ok);
  EXPECT_FALSE(OwnAccessRom({0x02, 3, 0, 1, 0, 0, 0, 0, 3, 0, 0, 0}).result.ok);
  EXPECT_FALSE(OwnAccessRom({0x02, 3, 2, 0, 0, 0, 0, 0, 4, 0, 0, 0}).result.ok);
  EXPECT_TRUE(OwnAccessRom({0x02, 3, 4, 0, 0, 0, 0, 0, 4, 0, 0, 0}).result.ok);
  EXPECT_EQ(dev_->State().rom[0], 1);
}

TEST_F(SimDeviceTest, EepromWritesOverwriteWithoutErase) {
  timing_.controlTransferUs = 0;  // so that polling does not move the clock
  Make(RomKind::I2c, 65536);
  for (const Bytes& data : {Bytes{0xF0, 0x0F}, Bytes{0x0F, 0xF0}}) {
    ASSERT_TRUE(Own({0x40, 0xCB, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 2, 0, 0, 0}, data).result.ok);
    ASSERT_TRUE(OwnAccessRom({0x02, 2, 64, 0, 0x3F, 0x00, 0, 0, 2, 0, 0, 0}).result.ok);
    // Two bytes at 0x3F straddle two 64-byte EEPROM pages: two write cycles.
    clock_.AdvanceUs(2 * 5000 - 1);
    EXPECT_FALSE(OwnFinished(0x02));
    clock_.AdvanceUs(1);
    EXPECT_TRUE(OwnFinished(0x02));
  }
  EXPECT_EQ(dev_->State().rom[0x3F], 0x0F);
  EXPECT_EQ(dev_->State().rom[0x40], 0xF0);
}

TEST_F(SimDeviceTest, ChipEraseTimeFollowsTheChipSize) {
  timing_.controlTransferUs = 0;
  Make(RomKind::Spi, 4u << 20);
  dev_->State().rom[12345] = 0;
  ASSERT_TRUE(OwnAccessRom({0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).result.ok);
  clock_.AdvanceUs(4 * 2000000 - 1);
  EXPECT_FALSE(OwnFinished(0xFF));
  clock_.AdvanceUs(1);
  EXPECT_TRUE(OwnFinished(0xFF));
  EXPECT_EQ(dev_->State().rom[12345], 0xFF);
}

// --- CD-ROM face --------------------------------------------------------------

TEST_F(SimDeviceTest, StorageQueryGivesHeaderThenDescriptor) {
  Make();
  const Bytes query(12, 0);  // StorageDeviceProperty, PropertyStandardQuery
  Bytes header(8, 0);
  IoctlResult r = dev_->CdromIoctl(kIoctlStorageQueryProperty, query.data(), 12, header.data(), 8);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytesReturned, 8u);
  EXPECT_EQ(Le32At(header, 0), 40u);
  const uint32_t size = Le32At(header, 4);
  ASSERT_GT(size, 40u);

  Bytes d(size, 0);
  r = dev_->CdromIoctl(kIoctlStorageQueryProperty, query.data(), 12, d.data(), size);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(d[8], 5);            // CD-ROM
  EXPECT_EQ(d[10], 1);           // removable
  EXPECT_EQ(Le32At(d, 28), 7u);  // USB
  const uint32_t vendor = Le32At(d, 12);
  ASSERT_LT(vendor, size);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[vendor])), "Norva   ");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[Le32At(d, 16)])).substr(0, 4), "Kesh");
  EXPECT_EQ(dev_->CdromIoctl(kIoctlStorageQueryProperty, query.data(), 12, d.data(), 4).error,
            kErrorInsufficientBuffer);
}

TEST_F(SimDeviceTest, CdromEraseIsPolledWhileReadAndWriteFinishInTheCommand) {
  Make();
  ASSERT_TRUE(Scsi(2, 0, {0xCA, 'Z', 'E', 'M', 'B', 0xFD, 0, 0, 0, 0x00, 0x00, 0xB0, 0x00, 0, 0, 0})
                  .result.ok);
  EXPECT_FALSE(ScsiIdle());
  clock_.AdvanceUs(45000);
  EXPECT_TRUE(ScsiIdle());

  const uint64_t before = clock_.NowUs();
  Reply w = Scsi(
      0, 3,
      {0xCA, 'Z', 'E', 'M', 'B', 0x02, 0x03, 0x01, 0x00, 0x00, 0x00, 0xB0, 0xFF, 0x00, 0x03, 0},
      {0xAA, 0xBB, 0xCC});
  ASSERT_TRUE(w.result.ok);
  EXPECT_EQ(w.buffer[2], 0);
  // One SCSI round trip plus two programmed pages (0xB0FF and 0xB100).
  EXPECT_EQ(clock_.NowUs() - before, 250u + 2 * 700);
  EXPECT_TRUE(ScsiIdle());

  Reply r = Scsi(
      1, 3,
      {0xCA, 'Z', 'E', 'M', 'B', 0x01, 0x03, 0x01, 0x00, 0x00, 0x00, 0xB0, 0xFF, 0x00, 0x03, 0});
  ASSERT_TRUE(r.result.ok);
  EXPECT_EQ(Bytes(r.buffer.begin() + 296, r.buffer.end()), (Bytes{0xAA, 0xBB, 0xCC}));

  Reply type = Scsi(1, 1, {0xC9, 'Z', 'E', 'M', 'B', 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(type.result.ok);
  EXPECT_EQ(type.buffer[296], 1);
  Reply fw = Scsi(1, 8, {0xC4, 'Z', 'E', 'M', 'B', 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(fw.result.ok);
  EXPECT_EQ(Le32At(fw.buffer, 296), 0x00020401u);
  EXPECT_EQ(Le32At(fw.buffer, 300), 0x20261209u);
}

TEST_F(SimDeviceTest, PassThroughFormErrorsFailTheCall) {
  const Bytes typeCdb = {0xC9, 'Z', 'E', 'M', 'B', 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Make();
  // DataIn says out for a command that sends data in.
  EXPECT_EQ(Scsi(0, 1, typeCdb).result.error, kErrorIoDevice);
  // Transfer length other than the command's.
  EXPECT_EQ(Scsi(1, 2, typeCdb).result.error, kErrorIoDevice);

  Bytes buf(297, 0);
  const Bytes header = {44, 0, 0, 0, 0, 0, 16,   252,  1, 0, 0,  0, 1, 0,
                        0,  0, 5, 0, 0, 0, 0x28, 0x01, 0, 0, 44, 0, 0, 0};
  std::copy(header.begin(), header.end(), buf.begin());
  std::copy(typeCdb.begin(), typeCdb.end(), buf.begin() + 28);
  // A port driver that takes the 56-byte structure refuses Length 44.
  EXPECT_EQ(dev_->CdromIoctl(kIoctlScsiPassThrough, buf.data(), 297, buf.data(), 297, 56).error,
            kErrorRevisionMismatch);
  // Buffer length other than DataBufferOffset + DataTransferLength.
  Bytes longer = buf;
  longer.resize(300);
  EXPECT_EQ(dev_->CdromIoctl(kIoctlScsiPassThrough, longer.data(), 300, longer.data(), 300).error,
            kErrorInvalidParameter);
  EXPECT_EQ(dev_->CdromIoctl(kIoctlScsiPassThrough, buf.data(), 297, buf.data(), 296).error,
            kErrorInvalidParameter);
  EXPECT_TRUE(dev_->CdromIoctl(kIoctlScsiPassThrough, buf.data(), 297, buf.data(), 297).ok);
  for (const TraceEntry& t : dev_->Trace()) EXPECT_EQ(t.failed, &t != &dev_->Trace().back());
}

TEST_F(SimDeviceTest, CommandsTheFirmwareRejectsAnswerCheckCondition) {
  struct Case {
    const char* name;
    uint8_t dataIn;
    uint32_t transfer;
    Bytes cdb;
    uint8_t senseKey;
  };
  const Case cases[] = {
      {"no signature", 1, 1, {0xC9, 'Z', 'E', 'M', 'X', 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 5},
      {"unknown command",
       1,
       1,
       {0xC8, 'Z', 'E', 'M', 'B', 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       5},
      {"query naming another length",
       1,
       1,
       {0xC9, 'Z', 'E', 'M', 'B', 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       5},
      {"status of another operation",
       1,
       2,
       {0xCC, 'Z', 'E', 'M', 'B', 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0},
       5},
      {"unknown ROM operation",
       1,
       16,
       {0xCA, 'Z', 'E', 'M', 'B', 0x07, 3, 1, 0, 0, 0, 0, 0, 0, 16, 0},
       5},
      {"read with address size 5",
       1,
       16,
       {0xCA, 'Z', 'E', 'M', 'B', 0x01, 5, 1, 0, 0, 0, 0xB0, 0x00, 0, 16, 0},
       5},
      {"read at 0xB000 with one address byte",
       1,
       16,
       {0xCA, 'Z', 'E', 'M', 'B', 0x01, 1, 1, 0, 0, 0, 0xB0, 0x00, 0, 16, 0},
       5},
      {"read beyond the ROM",
       1,
       16,
       {0xCA, 'Z', 'E', 'M', 'B', 0x01, 3, 1, 0, 0, 0x10, 0x00, 0x00, 0, 16, 0},
       5},
      {"write longer than its page",
       0,
       16,
       {0xCA, 'Z', 'E', 'M', 'B', 0x02, 3, 0, 8, 0, 0, 0, 0, 0, 16, 0},
       5},
      {"unknown IO sub-command",
       1,
       1,
       {0xD4, 'Z', 'E', 'M', 'B', 0, 0, 0, 0, 0, 0, 0, 0xD9, 0, 0, 0},
       5},
      {"I2C register size 0",
       1,
       1,
       {0xD4, 'Z', 'E', 'M', 'B', 0x78, 0, 0, 0, 0, 0, 1, 0xD0, 0, 0, 0},
       5},
      {"no I2C device at the address",
       1,
       1,
       {0xD4, 'Z', 'E', 'M', 'B', 0x22, 1, 0, 0x10, 0, 0, 1, 0xD0, 0, 0, 0},
       4},
  };
  for (const Case& c : cases) {
    Make();
    const std::vector<uint8_t> rom = dev_->State().rom;
    Reply r = Scsi(c.dataIn, c.transfer, c.cdb, Bytes(c.dataIn == 0 ? c.transfer : 0, 0));
    ASSERT_TRUE(r.result.ok) << c.name;
    EXPECT_EQ(r.buffer[2], 2) << c.name;             // CHECK CONDITION
    EXPECT_EQ(r.buffer[7], 18) << c.name;            // sense bytes returned
    EXPECT_EQ(r.buffer[44] & 0x7F, 0x70) << c.name;  // fixed-format sense data
    EXPECT_EQ(r.buffer[46] & 0x0F, c.senseKey) << c.name;
    EXPECT_NE(r.buffer[56], 0) << c.name;  // an additional sense code
    if (c.dataIn == 1) {
      EXPECT_EQ(r.buffer[296], 0) << c.name;  // nothing answered
    }
    EXPECT_TRUE(dev_->Trace().back().failed) << c.name;
    EXPECT_EQ(dev_->State().rom, rom) << c.name;
  }
  // An erase of an unaligned address is refused the same way and nothing is erased.
  Make();
  dev_->State().rom[0x800] = 0;
  Reply r = Scsi(2, 0, {0xCA, 'Z', 'E', 'M', 'B', 0xFD, 0, 0, 0, 0, 0, 0x08, 0x00, 0, 0, 0});
  ASSERT_TRUE(r.result.ok);
  EXPECT_EQ(r.buffer[2], 2);
  EXPECT_EQ(dev_->State().rom[0x800], 0);
  EXPECT_TRUE(ScsiIdle());
}

TEST_F(SimDeviceTest, X64PassThroughLayoutIsDecoded) {
  Make();
  dev_->State().rom[0x2000] = 0x5A;
  // 56-byte header: DataBufferOffset is 8 bytes at 24, SenseInfoOffset at 32, Cdb at 36.
  Bytes buf(56 + 32 + 1, 0);
  const Bytes header = {56, 0, 0, 0, 0, 0, 16, 32, 1, 0, 0, 0, 1, 0, 0,  0, 5, 0,
                        0,  0, 0, 0, 0, 0, 88, 0,  0, 0, 0, 0, 0, 0, 56, 0, 0, 0};
  std::copy(header.begin(), header.end(), buf.begin());
  const Bytes cdb = {0xCA, 'Z', 'E', 'M', 'B', 0x01, 3, 0x01, 0x00, 0, 0, 0x20, 0x00, 0, 1, 0};
  std::copy(cdb.begin(), cdb.end(), buf.begin() + 36);
  IoctlResult r = dev_->CdromIoctl(kIoctlScsiPassThrough, buf.data(), 89, buf.data(), 89, 56);
  ASSERT_TRUE(r.ok) << dev_->Trace().back().note;
  EXPECT_EQ(buf[2], 0);
  EXPECT_EQ(buf[88], 0x5A);
  EXPECT_EQ(dev_->Trace().back().address, 0x2000u);
}

TEST_F(SimDeviceTest, CdromIoAccessReachesI2cAndGpio) {
  Make();
  // I2C write of 2 bytes to 0x78, register 0x0301 (size 2: field 03 01 00 00).
  Reply w = Scsi(0, 2, {0xD4, 'Z', 'E', 'M', 'B', 0x78, 2, 0x03, 0x01, 0, 0, 2, 0xD1, 0, 0, 0},
                 {0xDE, 0xAD});
  ASSERT_TRUE(w.result.ok);
  EXPECT_EQ(w.buffer[2], 0);
  EXPECT_EQ(dev_->State().i2c[0x78].registers[0x0301], 0xDE);
  EXPECT_EQ(dev_->State().i2c[0x78].registers[0x0302], 0xAD);
  // Size 4 carries the register as 32 bits, big-endian.
  Reply r = Scsi(1, 2, {0xD4, 'Z', 'E', 'M', 'B', 0x78, 4, 0, 0, 0x03, 0x01, 2, 0xD0, 0, 0, 0});
  ASSERT_TRUE(r.result.ok);
  EXPECT_EQ(r.buffer[296], 0xDE);
  EXPECT_EQ(r.buffer[297], 0xAD);
  // Length 0 still goes to the device and succeeds.
  EXPECT_EQ(Scsi(1, 0, {0xD4, 'Z', 'E', 'M', 'B', 0x78, 2, 0, 0, 0, 0, 0, 0xD0, 0, 0, 0}).buffer[2],
            0);

  ASSERT_TRUE(
      Scsi(0, 1, {0xD4, 'Z', 'E', 'M', 'B', 0, 0, 0, 0, 0, 0, 0, 0xD7, 0, 0, 0}, {0xA5}).result.ok);
  ASSERT_TRUE(
      Scsi(0, 1, {0xD4, 'Z', 'E', 'M', 'B', 0, 0, 0, 0, 0, 0, 0, 0xD8, 0, 0, 0}, {0x0F}).result.ok);
  Reply g = Scsi(1, 1, {0xD4, 'Z', 'E', 'M', 'B', 0, 0, 0, 0, 0, 0, 0, 0xD6, 0, 0, 0});
  ASSERT_TRUE(g.result.ok);
  EXPECT_EQ(g.buffer[296], 0xA5);
  EXPECT_EQ(dev_->State().gpioDirection, 0x0F);

  // Nobody at 0x22: the pass-through succeeds, the status says CHECK CONDITION.
  Reply absent = Scsi(1, 1, {0xD4, 'Z', 'E', 'M', 'B', 0x22, 1, 0, 0x10, 0, 0, 1, 0xD0, 0, 0, 0});
  ASSERT_TRUE(absent.result.ok);
  EXPECT_EQ(absent.buffer[2], 2);
  EXPECT_EQ(absent.buffer[44] & 0x7F, 0x70);
  EXPECT_NE(absent.buffer[46] & 0x0F, 0);
  EXPECT_TRUE(dev_->Trace().back().failed);
}

// --- extension unit -----------------------------------------------------------

TEST_F(SimDeviceTest, ExtensionUnitAnswersOnlyItsSetAndNode) {
  Make();
  const Bytes probe = Ksp(0, 0x10000100);
  EXPECT_EQ(dev_->XuKsProperty(probe.data(), 32, nullptr, 0, nullptr), kHrOk);
  const Bytes otherNode = Ksp(0, 0x10000100, 3);
  EXPECT_EQ(dev_->XuKsProperty(otherNode.data(), 32, nullptr, 0, nullptr), kHrSetNotFound);
  Bytes otherSet = probe;
  otherSet[0] ^= 1;
  EXPECT_EQ(dev_->XuKsProperty(otherSet.data(), 32, nullptr, 0, nullptr), kHrSetNotFound);
  Bytes reserved = probe;
  reserved[28] = 1;  // KSP_NODE's Reserved field
  EXPECT_EQ(dev_->XuKsProperty(reserved.data(), 32, nullptr, 0, nullptr),
            static_cast<HResult>(0x80070057));
  EXPECT_TRUE(dev_->Trace().back().failed);

  Bytes shortBlock(29, 0);
  shortBlock[0] = 0xC9;
  EXPECT_LT(Xu(1, true, &shortBlock), 0);
  Bytes data(255, 0);
  EXPECT_LT(Xu(2, true, &data), 0);
  // Nothing was asked, so there is nothing to read back.
  Bytes block(30, 0);
  EXPECT_EQ(Xu(1, false, &block), static_cast<HResult>(0x8007001F));
}

TEST_F(SimDeviceTest, ExtensionUnitRomReadAndWriteGoThroughBothControls) {
  Make();
  // Erase sector 0xB000, wait.
  Bytes b = Block({0xCA, 0, 0, 0, 0, 12, 0, 0xFD, 3, 0, 0, 0x00, 0xB0, 0, 0, 0, 0, 0, 0});
  ASSERT_EQ(Xu(1, true, &b), kHrOk);
  EXPECT_FALSE(XuFinished(0xFD));
  clock_.AdvanceUs(45000);
  EXPECT_TRUE(XuFinished(0xFD));

  // Write 3 bytes: data control first, then the start.
  Bytes data(256, 0);
  data[0] = 0x11, data[1] = 0x22, data[2] = 0x33, data[3] = 0x44;
  ASSERT_EQ(Xu(2, true, &data), kHrOk);
  b = Block({0xCA, 0, 0, 0, 0, 12, 0, 0x02, 3, 16, 0, 0x00, 0xB0, 0, 0, 3, 0, 0, 0});
  ASSERT_EQ(Xu(1, true, &b), kHrOk);
  clock_.AdvanceUs(700);
  EXPECT_TRUE(XuFinished(0x02));
  // Without new data in the data control the next write is refused.
  EXPECT_LT(Xu(1, true, &b), 0);
  EXPECT_EQ(dev_->State().rom[0xB003], 0xFF);

  b = Block({0xCA, 0, 0, 0, 0, 12, 0, 0x01, 3, 16, 0, 0x00, 0xB0, 0, 0, 4, 0, 0, 0});
  ASSERT_EQ(Xu(1, true, &b), kHrOk);
  Bytes read(256, 0xEE);
  EXPECT_LT(Xu(2, false, &read), 0);  // not finished yet
  clock_.AdvanceUs(300);
  EXPECT_TRUE(XuFinished(0x01));
  ASSERT_EQ(Xu(2, false, &read), kHrOk);
  EXPECT_EQ(Bytes(read.begin(), read.begin() + 4), (Bytes{0x11, 0x22, 0x33, 0xFF}));

  Bytes type = Block({0xC9, 0, 0, 0, 0, 1, 0});
  ASSERT_EQ(Xu(1, true, &type), kHrOk);
  ASSERT_EQ(Xu(1, false, &type), kHrOk);
  EXPECT_EQ(type[7], 1);
  // The data control carries at most 256 bytes per read.
  b = Block({0xCA, 0, 0, 0, 0, 12, 0, 0x01, 3, 0, 1, 0, 0, 0, 0, 0x01, 0x01, 0, 0});
  EXPECT_LT(Xu(1, true, &b), 0);
}

TEST_F(SimDeviceTest, ExtensionUnitIoAccess) {
  Make();
  // I2C write of 16 bytes to 0x50 register 0x10 (size 1), data at 14..29.
  Bytes w = Block({0xD4, 0, 0, 0xD1, 0, 23, 0, 0x50, 1, 0x00, 0x10, 0, 0, 16});
  for (int i = 0; i < 16; ++i) w[14 + i] = static_cast<uint8_t>(0xA0 + i);
  ASSERT_EQ(Xu(1, true, &w), kHrOk);
  EXPECT_EQ(dev_->State().i2c[0x50].registers[0x1F], 0xAF);

  Bytes r = Block({0xD4, 0, 0, 0xD0, 0, 23, 0, 0x50, 1, 0x00, 0x1E, 0, 0, 3});
  ASSERT_EQ(Xu(1, true, &r), kHrOk);
  ASSERT_EQ(Xu(1, false, &r), kHrOk);
  EXPECT_EQ(r[14], 0xAE);
  EXPECT_EQ(r[15], 0xAF);
  EXPECT_EQ(r[16], 0x00);  // 256 registers: 0x20 was never written

  Bytes set = Block({0xD4, 0, 0, 0xD7, 0, 1, 0, 0x3C});
  ASSERT_EQ(Xu(1, true, &set), kHrOk);
  Bytes get = Block({0xD4, 0, 0, 0xD6, 0, 1, 0, 0});
  ASSERT_EQ(Xu(1, true, &get), kHrOk);
  ASSERT_EQ(Xu(1, false, &get), kHrOk);
  EXPECT_EQ(get[7], 0x3C);

  // An absent device NAKs: the control request stalls.
  Bytes absent = Block({0xD4, 0, 0, 0xD0, 0, 23, 0, 0x22, 1, 0, 0, 0, 0, 1});
  EXPECT_EQ(Xu(1, true, &absent), static_cast<HResult>(0x8007001F));
  // More than 16 bytes does not fit the block.
  Bytes tooLong = Block({0xD4, 0, 0, 0xD0, 0, 23, 0, 0x50, 1, 0, 0, 0, 0, 17});
  EXPECT_LT(Xu(1, true, &tooLong), 0);
}

// --- faults -------------------------------------------------------------------

TEST_F(SimDeviceTest, FailRequestHitsTheNthOfItsKindOnce) {
  Fault f;
  f.type = Fault::Type::FailRequest;
  f.kind = RequestKind::RomType;
  f.nth = 2;
  f.error = kErrorIoDevice;
  faults_ = {f};
  Make();
  const Bytes typeHead = {0xC0, 0xC9, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0};
  // Requests of other kinds do not count.
  ASSERT_TRUE(Own({0xC0, 0xC4, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 8, 0, 0, 0}, {}, 8).result.ok);
  EXPECT_TRUE(Own(typeHead, {}, 1).result.ok);
  Reply second = Own(typeHead, {}, 1);
  EXPECT_FALSE(second.result.ok);
  EXPECT_EQ(second.result.error, kErrorIoDevice);
  EXPECT_TRUE(dev_->Trace().back().failed);
  EXPECT_TRUE(Own(typeHead, {}, 1).result.ok);
  EXPECT_TRUE(dev_->State().faults[0].fired);

  // On the extension unit the same fault is the HRESULT of the error.
  faults_ = {f};
  Make();
  Bytes type = Block({0xC9, 0, 0, 0, 0, 1, 0});
  ASSERT_EQ(Xu(1, true, &type), kHrOk);
  EXPECT_EQ(Xu(1, true, &type), static_cast<HResult>(0x8007045D));
}

TEST_F(SimDeviceTest, StalledOperationNeverFinishes) {
  Fault f;
  f.type = Fault::Type::StallOp;
  f.op = 0xFD;
  f.nth = 2;
  faults_ = {f};
  Make();
  const Bytes erase0 = {0xFD, 3, 0, 0, 0x00, 0x00, 0, 0, 0, 0, 0, 0};
  const Bytes erase1 = {0xFD, 3, 0, 0, 0x00, 0x10, 0, 0, 0, 0, 0, 0};
  dev_->State().rom[0x1000] = 0;
  ASSERT_TRUE(OwnAccessRom(erase0).result.ok);
  clock_.AdvanceUs(45000);
  ASSERT_TRUE(OwnFinished(0xFD));
  ASSERT_TRUE(OwnAccessRom(erase1).result.ok);
  clock_.AdvanceUs(3600ull * 1000000);
  EXPECT_FALSE(OwnFinished(0xFD));
  EXPECT_EQ(dev_->State().rom[0x1000], 0);
  EXPECT_FALSE(OwnAccessRom(erase0).result.ok);  // still busy

  // A read that stalls on the CD-ROM face times the command out.
  f.op = 0;
  f.nth = 1;
  faults_ = {f};
  Make();
  const uint64_t before = clock_.NowUs();
  Reply r = Scsi(1, 4, {0xCA, 'Z', 'E', 'M', 'B', 0x01, 3, 1, 0, 0, 0, 0, 0, 0, 4, 0});
  EXPECT_FALSE(r.result.ok);
  EXPECT_EQ(r.result.error, kErrorSemTimeout);
  EXPECT_GE(clock_.NowUs() - before, 5000000u);
  EXPECT_FALSE(ScsiIdle());
}

TEST_F(SimDeviceTest, CorruptWriteFlipsBitZeroOfTheNthWrite) {
  Fault f;
  f.type = Fault::Type::CorruptWrite;
  f.nth = 2;
  faults_ = {f};
  Make();
  for (uint8_t page = 0; page < 3; ++page) {
    Reply w = Scsi(0, 2, {0xCA, 'Z', 'E', 'M', 'B', 0x02, 3, 0x01, 0x00, 0, 0, page, 0x00, 0, 2, 0},
                   {0x42, 0x42});
    ASSERT_TRUE(w.result.ok);
  }
  const std::vector<uint8_t>& rom = dev_->State().rom;
  EXPECT_EQ(rom[0x000], 0x42);
  EXPECT_EQ(rom[0x100], 0x43);
  EXPECT_EQ(rom[0x101], 0x42);
  EXPECT_EQ(rom[0x200], 0x42);
  EXPECT_TRUE(dev_->State().faults[0].fired);
  EXPECT_TRUE(dev_->Trace()[1].failed);
  EXPECT_FALSE(dev_->Trace()[2].failed);
}

TEST_F(SimDeviceTest, ShortReadReportsOneByteLessWithSuccess) {
  Fault f;
  f.type = Fault::Type::ShortRead;
  f.nth = 1;
  faults_ = {f};
  Make();
  Bytes type = Block({0xC9, 0, 0, 0, 0, 1, 0});
  ASSERT_EQ(Xu(1, true, &type), kHrOk);
  uint32_t returned = 0;
  ASSERT_EQ(Xu(1, false, &type, &returned), kHrOk);
  EXPECT_EQ(returned, 29u);
  ASSERT_EQ(Xu(1, false, &type, &returned), kHrOk);
  EXPECT_EQ(returned, 30u);
}

TEST_F(SimDeviceTest, AbsentFaceIsNotReachable) {
  DeviceState s = DefaultDeviceState(RomKind::Spi, 65536);  // CD-ROM face only
  SimDevice d(std::move(s), clock_);
  Bytes buf(17, 0);
  EXPECT_EQ(d.OwnDriverIoctl(kOwnDriverIoctl, buf.data(), 17, buf.data(), 17).error,
            kErrorDeviceNotConnected);
  const Bytes probe = Ksp(0, 0x10000100);
  EXPECT_LT(d.XuKsProperty(probe.data(), 32, nullptr, 0, nullptr), 0);
}

}  // namespace
}  // namespace zemb::sim
