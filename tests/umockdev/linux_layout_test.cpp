// The Linux host's byte work: the pass-through packet in and out of SG_IO
// terms, what counts as a failed SG_IO, and the extension units in a
// camera's USB descriptors.
#include "common/host/linux/linux_layout.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/host/system_messages.h"
#include "common/host/win32/scsi_layout.h"

namespace zemb::linux_layout {
namespace {

namespace sl = scsi_layout;

// A portable packet: header, 32 bytes of sense, then `dataLength` bytes.
std::vector<uint8_t> Packet(uint8_t dataIn, uint32_t dataLength) {
  std::vector<uint8_t> p(44 + 32 + dataLength, 0);
  sl::Put16(&p[0], 44);
  p[6] = 16;
  p[7] = 32;
  p[8] = dataIn;
  sl::Put32(&p[12], dataLength);
  sl::Put32(&p[16], 5);
  sl::Put32(&p[20], 44 + 32);
  sl::Put32(&p[24], 44);
  for (int i = 0; i < 16; ++i) p[28 + i] = static_cast<uint8_t>(0xC0 + i);
  return p;
}

TEST(LinuxLayout, ReadsThePacketForSgIo) {
  auto p = Packet(kDataOut, 8);
  for (int i = 0; i < 8; ++i) p[76 + i] = static_cast<uint8_t>(i + 1);
  PassThrough t;
  ASSERT_EQ(ReadPassThrough(p, static_cast<uint32_t>(p.size()), &t), kErrorSuccess);
  EXPECT_EQ(t.dataIn, kDataOut);
  EXPECT_EQ(t.cdbLength, 16);
  EXPECT_EQ(t.cdb[0], 0xC0);
  EXPECT_EQ(t.cdb[15], 0xCF);
  EXPECT_EQ(t.timeoutMs, 5000u);
  EXPECT_EQ(t.senseOffset, 44u);
  EXPECT_EQ(t.senseLength, 32u);
  EXPECT_EQ(t.dataOffset, 76u);
  EXPECT_EQ(t.dataLength, 8u);
}

TEST(LinuxLayout, RefusesWhatWindowsRefuses) {
  struct Case {
    const char* what;
    void (*spoil)(std::vector<uint8_t>&);
    uint32_t error;
  };
  const Case cases[] = {
      {"64-bit header", [](std::vector<uint8_t>& p) { sl::Put16(&p[0], 56); },
       kErrorRevisionMismatch},
      {"CDB of 17 bytes", [](std::vector<uint8_t>& p) { p[6] = 17; }, kErrorInvalidParameter},
      {"no CDB", [](std::vector<uint8_t>& p) { p[6] = 0; }, kErrorInvalidParameter},
      {"DataIn 3", [](std::vector<uint8_t>& p) { p[8] = 3; }, kErrorInvalidParameter},
      {"data past the buffer", [](std::vector<uint8_t>& p) { sl::Put32(&p[12], 9); },
       kErrorInvalidParameter},
      {"data inside the header", [](std::vector<uint8_t>& p) { sl::Put32(&p[20], 40); },
       kErrorInvalidParameter},
      {"sense past the buffer", [](std::vector<uint8_t>& p) { sl::Put32(&p[24], 80); },
       kErrorInvalidParameter},
      {"short buffer", [](std::vector<uint8_t>& p) { p.resize(40); }, kErrorInvalidParameter},
  };
  for (const Case& c : cases) {
    auto p = Packet(kDataIn, 8);
    c.spoil(p);
    PassThrough t;
    EXPECT_EQ(ReadPassThrough(p, static_cast<uint32_t>(p.size()), &t), c.error) << c.what;
  }
}

TEST(LinuxLayout, WritesTheAnswerBackIntoTheSameBuffer) {
  auto p = Packet(kDataIn, 8);
  PassThrough t;
  ASSERT_EQ(ReadPassThrough(p, static_cast<uint32_t>(p.size()), &t), kErrorSuccess);
  const uint8_t data[8] = {9, 8, 7, 6, 5, 4, 3, 2};
  const uint8_t sense[32] = {0x70, 0, 0x05};
  // Good status, 6 of 8 bytes moved.
  SgAnswer good;
  good.resid = 2;
  EXPECT_EQ(WritePassThroughAnswer(t, p, good, sense, data, p), 76u + 6u);
  EXPECT_EQ(p[2], 0);
  EXPECT_EQ(p[7], 0);
  EXPECT_EQ(sl::Get32(&p[12]), 6u);
  EXPECT_EQ(0, std::memcmp(&p[76], data, 6));
  EXPECT_EQ(p[28], 0xC0) << "the CDB is kept";

  // CHECK CONDITION: status and sense come back, no data.
  p = Packet(kDataIn, 8);
  SgAnswer check;
  check.status = 0x02;
  check.senseWritten = 18;
  check.driverStatus = 0x08;
  check.resid = 8;
  EXPECT_EQ(SgTransportError(check), kErrorSuccess) << "a SCSI status is the device's answer";
  WritePassThroughAnswer(t, p, check, sense, data, p);
  EXPECT_EQ(p[2], 0x02);
  EXPECT_EQ(p[7], 18);
  EXPECT_EQ(p[46], 0x05);
  EXPECT_EQ(sl::Get32(&p[12]), 0u);
}

TEST(LinuxLayout, AdapterAndDriverFailuresFailTheCall) {
  struct Case {
    uint16_t host, driver;
    uint32_t error;
  };
  const Case cases[] = {
      {0x00, 0x00, kErrorSuccess},
      {0x00, 0x08, kErrorSuccess},
      {0x03, 0x00, kErrorSemTimeout},
      {0x01, 0x00, kErrorDeviceNotConnected},
      {0x04, 0x00, kErrorDeviceNotConnected},
      {0x07, 0x00, kErrorIoDevice},
      {0x00, 0x06, kErrorSemTimeout},
      {0x00, 0x04 | 0x08, kErrorIoDevice},
  };
  for (const Case& c : cases) {
    SgAnswer a;
    a.hostStatus = c.host;
    a.driverStatus = c.driver;
    EXPECT_EQ(SgTransportError(a), c.error) << c.host << " " << c.driver;
  }
}

TEST(LinuxLayout, ErrnoInWindowsTerms) {
  EXPECT_EQ(Win32ErrorFromErrno(EIO), kErrorIoDevice);
  EXPECT_EQ(Win32ErrorFromErrno(ENODEV), kErrorDeviceNotConnected);
  EXPECT_EQ(Win32ErrorFromErrno(ENXIO), kErrorDeviceNotConnected);
  EXPECT_EQ(Win32ErrorFromErrno(EACCES), kErrorAccessDenied);
  EXPECT_EQ(Win32ErrorFromErrno(EPERM), kErrorAccessDenied);
  EXPECT_EQ(Win32ErrorFromErrno(ETIMEDOUT), kErrorTimeout);
  EXPECT_EQ(Win32ErrorFromErrno(EPIPE), kErrorGenFailure);
  EXPECT_EQ(Win32ErrorFromErrno(EAGAIN), 170u);  // a held node, opened with O_NONBLOCK
}

TEST(LinuxLayout, FindsTheExtensionUnitsOfTheVideoControlInterface) {
  const std::vector<uint8_t> d = {
      18,   1,    0,    2,    0xEF, 2,    1,    64,   0x8A, 0x2E, 0x02, 0x5A,
      0,    1,    1,    2,    0,    1,                      // device
      9,    2,    0,    0,    3,    1,    0,    0x80, 250,  // configuration
      9,    4,    0,    0,    1,    0x0E, 0x01, 0,    0,    // VideoControl 0
      26,   0x24, 0x06, 4,                                  // extension unit 4
      0x5B, 0x12, 0x6D, 0xC6, 0x80, 0x04, 0x44, 0x08, 0x8C, 0x26, 0xB8, 0x36,
      0x3A, 0x84, 0xDE, 0x63, 2,    1,    2,    1,    3,    0,  //
      9,    4,    1,    0,    0,    0x0E, 0x02, 0,    0,        // VideoStreaming 1
      26,   0x24, 0x06, 7,  // not a VideoControl interface: not a unit
      1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,
      13,   14,   15,   16,   2,    1,    2,    1,    3,    0,    9,    4,
      2,    0,    1,    0x0E, 0x01, 0,    0,  // a second VideoControl interface
      26,   0x24, 0x06, 9,                    //
      1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,
      13,   14,   15,   16,   2,    1,    2,    1,    3,    0,    30,   0x24  // cut short: ignored
  };
  auto units = ExtensionUnits(d, 0, 1);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].unitId, 4);
  EXPECT_EQ(GuidToString(units[0].code), "{C66D125B-0480-0844-8C26-B8363A84DE63}");
  units = ExtensionUnits(d, -1, 1);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[1].unitId, 9);
  EXPECT_TRUE(ExtensionUnits(d, 0, 2).empty()) << "no configuration 2";
  EXPECT_TRUE(ExtensionUnits(std::vector<uint8_t>{0, 0, 0}, -1, 1).empty());
}

// A camera with two configurations: the sysfs descriptors hold both, and
// only the active one's units exist.
TEST(LinuxLayout, TakesTheUnitsOfTheActiveConfigurationOnly) {
  auto configuration = [](uint8_t value, uint8_t unitId) {
    std::vector<uint8_t> c = {9,  2,    9 + 9 + 26, 0,     1, value, 0,    0x80, 250,  //
                              9,  4,    0,          0,     1, 0x0E,  0x01, 0,    0,    //
                              26, 0x24, 0x06,       unitId};
    for (int i = 0; i < 16; ++i) c.push_back(static_cast<uint8_t>(unitId + i));
    c.insert(c.end(), {2, 1, 2, 1, 3, 0});
    return c;
  };
  std::vector<uint8_t> d = {18, 1, 0, 2, 0xEF, 2, 1, 64, 0x8A, 0x2E, 0x02, 0x5A, 0, 1, 1, 2, 0, 2};
  for (const auto& [value, unitId] : {std::pair<uint8_t, uint8_t>{1, 7}, {2, 4}}) {
    const auto c = configuration(value, unitId);
    d.insert(d.end(), c.begin(), c.end());
  }
  for (const auto& [active, unitId] : {std::pair<int, uint8_t>{1, 7}, {2, 4}}) {
    const auto units = ExtensionUnits(d, 0, active);
    ASSERT_EQ(units.size(), 1u) << "configuration " << active;
    EXPECT_EQ(units[0].unitId, unitId) << "configuration " << active;
  }
  EXPECT_EQ(ExtensionUnits(d, 0, -1).size(), 2u) << "the active configuration unknown";
}

TEST(LinuxLayout, UsbPortIsTheLastUsbDeviceOnThePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.3/1-1.3:1.0/host6/target6:0:0/6:0:0:0/"
       "scsi_generic/sg2",
       "1-1.3"},
      {"/sys/devices/pci0000:00/0000:00:14.0/usb3/3-2/3-2.4.1/3-2.4.1:1.0/video4linux/video5",
       "3-2.4.1"},
      {"../../devices/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/scsi_generic/sg0", "1-1"},
      {"/sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/scsi_generic/sg0", ""},
      {"/sys/devices/usb2", ""},
      {"/sys/devices/platform/x-1./y", ""},
  };
  for (const auto& [path, port] : cases) EXPECT_EQ(UsbPortOf(path), port) << path;
}

// What uvcvideo makes of the camera's own error code after a stall.
TEST(LinuxLayout, StalledControlErrorsSayWhatTheDeviceMeant) {
  const std::pair<int, uint32_t> cases[] = {
      {EBUSY, 21},     // not ready: ERROR_NOT_READY
      {EACCES, 5023},  // wrong state: ERROR_INVALID_STATE, not access denied
      {EREMOTE, 21},   // power
      {ERANGE, kErrorInvalidParameter},
      {EIO, kErrorIoDevice},
      {EINVAL, kErrorInvalidParameter},
      {EPIPE, kErrorGenFailure},
      {ENODEV, kErrorDeviceNotConnected},
  };
  for (const auto& [error, code] : cases) {
    EXPECT_EQ(Win32ErrorFromUvcErrno(error), code) << error;
    std::string text;
    EXPECT_TRUE(WindowsSystemMessage(code, &text)) << code;
  }
}

TEST(LinuxLayout, StorageDescriptorCarriesTheVendor) {
  const auto d = StorageDescriptor(5, "Norva   ", "Kesh CD-ROM     ", "1.00");
  const uint32_t size = sl::Get32(&d[4]);
  ASSERT_EQ(size, d.size());
  const uint32_t vendor = sl::Get32(&d[12]);
  ASSERT_LT(vendor, size);
  EXPECT_STREQ(reinterpret_cast<const char*>(&d[vendor]), "Norva   ");
  EXPECT_STREQ(reinterpret_cast<const char*>(&d[sl::Get32(&d[16])]), "Kesh CD-ROM     ");
  EXPECT_EQ(d[8], 5);
}

}  // namespace
}  // namespace zemb::linux_layout
