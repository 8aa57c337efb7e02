// ZembIoAccess: its number syntax and command line, the usage text, and the
// whole run against a simulated machine on either of the device's faces.
#include "ioaccess/ioaccess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// --- numbers ----------------------------------------------------------------

struct HexCase {
  const char* text;
  uint32_t width;
  bool ok;
  uint64_t value;
};

class ParseHexNumberTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(ParseHexNumberTest, ReadsHexadecimalOfBoundedWidth) {
  const HexCase& c = GetParam();
  uint8_t destination[8];
  std::memset(destination, 0xA5, sizeof destination);
  int result = ParseHexNumber(c.text, destination, c.width);
  ASSERT_EQ(result != 0, c.ok);
  uint8_t expected[8];
  std::memset(expected, 0xA5, sizeof expected);
  if (c.ok) {
    switch (c.width) {
      case 1: {
        auto v = static_cast<uint8_t>(c.value);
        std::memcpy(expected, &v, 1);
        break;
      }
      case 2: {
        auto v = static_cast<uint16_t>(c.value);
        std::memcpy(expected, &v, 2);
        break;
      }
      case 4: {
        auto v = static_cast<uint32_t>(c.value);
        std::memcpy(expected, &v, 4);
        break;
      }
      default:
        std::memcpy(expected, &c.value, 8);
    }
  }
  // Nothing beyond the width is touched, and nothing at all on failure.
  EXPECT_EQ(0, std::memcmp(destination, expected, sizeof expected));
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParseHexNumberTest,
    ::testing::Values(
        HexCase{"2", 1, true, 2}, HexCase{"10", 1, true, 0x10}, HexCase{"0301", 4, true, 0x301},
        HexCase{"0x0301", 4, true, 0x301}, HexCase{"0X0301", 4, true, 0x301},
        HexCase{"0xFF", 1, true, 0xFF}, HexCase{"ff", 1, true, 0xFF}, HexCase{"0x", 1, true, 0},
        HexCase{"", 1, true, 0}, HexCase{"0x178", 1, false, 0}, HexCase{"0x0078", 1, false, 0},
        HexCase{"12345678", 4, true, 0x12345678}, HexCase{"0xFFFFFFFF", 4, true, 0xFFFFFFFF},
        HexCase{"123456789", 4, false, 0}, HexCase{"BEEF", 2, true, 0xBEEF},
        HexCase{"FFFFFFFFFFFFFFFF", 8, true, 0xFFFFFFFFFFFFFFFF}, HexCase{"1G", 1, false, 0},
        HexCase{"0x0x1", 1, false, 0}, HexCase{"-1", 1, false, 0}, HexCase{" 1", 1, false, 0},
        HexCase{"1", 3, false, 0}, HexCase{"1", 0, false, 0}));

TEST(ParseHexNumber, RefusesMissingTextOrDestination) {
  uint8_t byte = 0;
  EXPECT_EQ(0, ParseHexNumber(nullptr, &byte, 1));
  EXPECT_EQ(0, ParseHexNumber("1", nullptr, 1));
}

// --- command line -----------------------------------------------------------

IoRequest Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "ZembIoAccess.exe");
  std::vector<const char*> argv;
  for (const auto& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);
  IoRequest request;
  ParseIoArguments(static_cast<int>(words.size()), argv.data(), request);
  return request;
}

TEST(ParseIoArguments, ReadsAnI2cReadInAnyLetterCase) {
  IoRequest r = Parse({"i2c", "r", "78", "2", "301", "1"});
  EXPECT_EQ(r.Operation, IO_OPERATION_I2C_READ);
  EXPECT_EQ(r.I2cAddress, 0x78);
  EXPECT_EQ(r.RegAddressSize, 2);
  EXPECT_EQ(r.RegAddress, 0x301u);
  EXPECT_EQ(r.DataSize, 1);
  EXPECT_EQ(Parse({"I2C", "READ", "10", "1", "0", "1"}).I2cAddress, 0x10);
}

TEST(ParseIoArguments, ReadsTheGpioForms) {
  IoRequest dir = Parse({"Gpio", "set_dir", "ff"});
  EXPECT_EQ(dir.Operation, IO_OPERATION_GPIO_SET_DIR);
  EXPECT_EQ(dir.Data[0], 0xFF);
  IoRequest set = Parse({"GPIO", "SET", "0X5a"});
  EXPECT_EQ(set.Operation, IO_OPERATION_GPIO_SET);
  EXPECT_EQ(set.Data[0], 0x5A);
  EXPECT_EQ(Parse({"gpio", "get"}).Operation, IO_OPERATION_GPIO_GET);
}

TEST(ParseIoArguments, TakesAsManyWriteValuesAsTheSizeAsksUpTo16) {
  IoRequest none = Parse({"I2C", "W", "78", "2", "10", "0", "55"});
  EXPECT_EQ(none.Operation, IO_OPERATION_I2C_WRITE);
  EXPECT_EQ(none.DataSize, 0);
  EXPECT_EQ(none.Data[0], 0);

  IoRequest one = Parse({"I2C", "W", "78", "2", "10", "1", "11", "22"});
  EXPECT_EQ(one.Operation, IO_OPERATION_I2C_WRITE);
  EXPECT_EQ(one.Data[0], 0x11);
  EXPECT_EQ(one.Data[1], 0);

  std::vector<std::string> words = {"I2C", "WRITE", "78", "2", "10", "14"};
  for (int i = 0; i < 20; ++i) words.push_back(std::to_string(i + 1));  // hex 1..20
  IoRequest twenty = Parse(words);
  IoRequest sixteen = Parse(std::vector<std::string>(words.begin(), words.begin() + 6 + 16));
  for (const IoRequest& r : {twenty, sixteen}) {
    EXPECT_EQ(r.Operation, IO_OPERATION_I2C_WRITE);
    EXPECT_EQ(r.DataSize, 0x14);
    for (int i = 0; i < 16; ++i) {
      uint8_t expected = 0;
      ASSERT_TRUE(ParseHexNumber(std::to_string(i + 1).c_str(), &expected, 1));
      EXPECT_EQ(r.Data[i], expected) << i;
    }
  }
  EXPECT_EQ(Parse(std::vector<std::string>(words.begin(), words.begin() + 6 + 15)).Operation,
            IO_OPERATION_NONE);
}

// Command lines that are not valid: the usage text and no device access.
const std::vector<std::vector<std::string>> kInvalidCommandLines = {
    {},
    {"GPIO"},
    {"I2C"},
    {"SPI", "GET"},
    {"I2C", "X", "78", "2", "301", "1"},
    {"I2C", "R", "78", "2", "301"},
    {"I2C", "R", "78", "2", "301", "1", "5"},
    {"I2C", "W", "78", "2", "301", "1"},
    {"I2C", "W", "78", "2", "1002", "2", "ff"},
    {"I2C", "W", "78", "2", "1002", "2", "ff", "zz"},
    {"I2C", "R", "0x178", "2", "301", "1"},
    {"I2C", "R", "0x0078", "2", "301", "1"},
    {"I2C", "R", "78", "2", "123456789", "1"},
    {"I2C", "R", "78", "2", "301", "100"},
    {"GPIO", "GET", "1"},
    {"GPIO", "SET"},
    {"GPIO", "SET", "0xG1"},
    {"GPIO", "SET", "1", "2"},
    {"GPIO", "SET_DIRX", "1"},
    {"GPIO", "SET_DI", "1"},
};

TEST(ParseIoArguments, RefusesWhatIsNotACommand) {
  for (const auto& words : kInvalidCommandLines) {
    EXPECT_EQ(Parse(words).Operation, IO_OPERATION_NONE) << ::testing::PrintToString(words);
  }
}

// --- runs -------------------------------------------------------------------

std::string Padded(const std::string& text) {
  return text + std::string(76 - text.size(), ' ') + "\n";
}

std::string ExpectedUsage() {
  std::string u;
  u += Padded("Command Syntax:");
  u += "    ZembIoAccess.exe I2C {R/W} {IIC Addr}" + std::string(7, '\t') + std::string(8, ' ') +
       "\n";
  u += Padded("                   {Reg Address size} {Reg Address} {DataSize} {Data}");
  u += Padded("");
  u += Padded("{R/W} :");
  u += "    READ (R)        - READ  data." + std::string(19, ' ') + std::string(5, '\t') +
       std::string(4, ' ') + "\n";
  u += Padded("    WRITE (W)       - WRITE data.");
  u += Padded("") + Padded("");
  u += "    ZembIoAccess.exe GPIO {SET_DIR/SET/GET} {Data}" + std::string(5, '\t') +
       std::string(8, ' ') + "\n";
  u += Padded("");
  u += Padded("{SET_DIR/SET/GET} :");
  u += "    SET_DIR         - SET GPIO Direction." + std::string(19, ' ') + std::string(3, '\t') +
       std::string(4, ' ') + "\n";
  u += Padded("    SET             - SET GPIO data.");
  u += Padded("    GET             - GET GPIO data.");
  u += Padded("") + Padded("");
  u += Padded("Example:");
  u += Padded("    ZembIoAccess.exe  I2C R 0x78 2 0x0301 1");
  u += Padded("    ZembIoAccess.exe  I2C W 0x78 2 0x1002 2 0xff 0xff");
  u += Padded("    ZembIoAccess.exe  GPIO SET_DIR 0xFF");
  u += Padded("    ZembIoAccess.exe  GPIO SET 0xFF");
  u += Padded("    ZembIoAccess.exe  GPIO GET");
  u += Padded("");
  return u;
}

constexpr const char* kPass = "                \n    Succee      \n";
constexpr const char* kFail = "    Fail        \n";
constexpr const char* kFailLine = "    ZembIoAccess fail !!!\n";
constexpr const char* kXuErrorLine = "\nERROR:  to set XU_CONTROL_UnableVENDOR_ACCESS. (Error 0x";

std::string RunIo(sim::SimRig& rig, std::vector<std::string> words) {
  words.insert(words.begin(), "ZembIoAccess.exe");
  return test::RunTool(RunIoAccess, *rig.host, words);
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<sim::TraceEntry> IoTrace(const sim::SimRig& rig) {
  std::vector<sim::TraceEntry> io;
  for (const auto& t : rig.device->Trace()) {
    if (t.kind == sim::RequestKind::IoAccess) io.push_back(t);
  }
  return io;
}

TEST(IoAccessRun, PrintsTheUsageTextAndTouchesNothingForAnInvalidCommandLine) {
  for (const auto& words : kInvalidCommandLines) {
    sim::SimRig rig(sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024));
    EXPECT_EQ(RunIo(rig, words), ExpectedUsage()) << ::testing::PrintToString(words);
    EXPECT_TRUE(rig.host->Calls().empty());
    EXPECT_TRUE(rig.device->Trace().empty());
    EXPECT_TRUE(rig.host->Colors().empty());
  }
}

TEST(IoAccessRun, SaysSoAndNothingElseWithoutADevice) {
  sim::SimRig rig{sim::SimMachine{}};
  EXPECT_EQ(RunIo(rig, {"GPIO", "GET"}), " \tCannot find device for test!!!\n");
  EXPECT_EQ(rig.host->Stderr(), "");
  EXPECT_TRUE(rig.host->Colors().empty());
  EXPECT_EQ(rig.host->ComDepth(), 0);
}

TEST(IoAccessRun, NeverStartsComWhenTheCdRomFaceIsThere) {
  sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024);
  state.cdromFace = true;
  state.xuFace = true;
  sim::SimRig rig(state);
  EXPECT_EQ(RunIo(rig, {"GPIO", "GET"}), std::string("Data:0x0 \n") + kPass);
  EXPECT_FALSE(rig.host->Called("CoInitializeEx"));
  EXPECT_FALSE(rig.host->Called("CoCreateInstance"));
  EXPECT_FALSE(rig.host->Called("SetupDiGetClassDevs {7141D015"));  // no own-driver path
  EXPECT_EQ(rig.host->ComDepth(), 0);
  EXPECT_EQ(rig.host->OpenHandles(), 0);
}

// The same runs on either face of the device.
class IoAccessFaceTest : public ::testing::TestWithParam<sim::Face> {
 protected:
  IoAccessFaceTest() : rig_(State()) {}

  static sim::DeviceState State() {
    sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024);
    state.cdromFace = GetParam() == sim::Face::Cdrom;
    state.xuFace = GetParam() == sim::Face::Xu;
    return state;
  }

  std::vector<uint8_t>& Registers(uint8_t address) {
    return rig_.device->State().i2c.at(address).registers;
  }

  void ExpectReleased() {
    EXPECT_EQ(rig_.host->ComDepth(), 0);
    EXPECT_EQ(rig_.host->OpenHandles(), 0);
    EXPECT_EQ(rig_.host->LiveComObjects(), 0);
  }

  sim::SimRig rig_;
};

TEST_P(IoAccessFaceTest, SetsAndGetsTheGpioPort) {
  EXPECT_EQ(RunIo(rig_, {"GPIO", "SET_DIR", "0xFF"}), kPass);
  EXPECT_EQ(rig_.device->State().gpioDirection, 0xFF);
  EXPECT_EQ(RunIo(rig_, {"GPIO", "SET", "0x5A"}), kPass);
  EXPECT_EQ(rig_.device->State().gpioData, 0x5A);
  EXPECT_EQ(rig_.device->State().gpioDirection, 0xFF);

  std::string out = RunIo(rig_, {"GPIO", "GET"});
  EXPECT_EQ(out, std::string("Data:0x5a \n") + kPass);
  const auto& colors = rig_.host->Colors();
  ASSERT_EQ(colors.size(), 2u);
  EXPECT_EQ(colors[0].offset, std::string("Data:0x5a \n").size());
  EXPECT_EQ(colors[0].attribute, kColorGreen);
  EXPECT_EQ(colors[1].offset, out.size());
  EXPECT_EQ(colors[1].attribute, kColorNormal);
  EXPECT_EQ(rig_.host->Stderr(), "");
  ExpectReleased();
}

TEST_P(IoAccessFaceTest, WritesAndReadsBackI2cRegisters) {
  EXPECT_EQ(RunIo(rig_, {"I2C", "W", "0x78", "2", "0x1002", "2", "0xff", "0xff"}), kPass);
  EXPECT_EQ(Registers(0x78)[0x1002], 0xFF);
  EXPECT_EQ(Registers(0x78)[0x1003], 0xFF);
  EXPECT_EQ(Registers(0x78)[0x1004], 0x00);
  EXPECT_EQ(RunIo(rig_, {"I2C", "R", "0x78", "2", "0x1002", "2"}),
            std::string("Data[0]:0xff \nData[1]:0xff \n") + kPass);
  ExpectReleased();
}

TEST_P(IoAccessFaceTest, ReadsAtMost16Bytes) {
  auto& regs = Registers(0x78);
  for (int i = 0; i < 32; ++i) regs[0x0300 + i] = static_cast<uint8_t>(0x05 + 0x10 * i);
  const std::string expected =
      "Data[0]:0x5 \nData[1]:0x15 \nData[2]:0x25 \nData[3]:0x35 \nData[4]:0x45 \n"
      "Data[5]:0x55 \nData[6]:0x65 \nData[7]:0x75 \nData[8]:0x85 \nData[9]:0x95 \n"
      "Data[10]:0xa5 \nData[11]:0xb5 \nData[12]:0xc5 \nData[13]:0xd5 \nData[14]:0xe5 \n"
      "Data[15]:0xf5 \n";
  EXPECT_EQ(RunIo(rig_, {"I2C", "R", "0x78", "2", "0x0300", "20"}), expected + kPass);
  auto io = IoTrace(rig_);
  ASSERT_EQ(io.size(), 1u);
  EXPECT_EQ(io[0].length, 16u);
  EXPECT_EQ(io[0].address, 0x300u);
}

TEST_P(IoAccessFaceTest, WritesTheFirst16Of20Values) {
  std::vector<std::string> words = {"I2C", "W", "78", "2", "0x40", "0x14"};
  for (int i = 0; i < 20; ++i) words.push_back(std::to_string(i + 1));
  EXPECT_EQ(RunIo(rig_, words), kPass);
  const auto& regs = Registers(0x78);
  const uint8_t expected[16] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                                0x09, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(regs[0x40 + i], expected[i]) << i;
  EXPECT_EQ(regs[0x50], 0x00);
}

TEST_P(IoAccessFaceTest, SendsAWriteOfNoBytes) {
  EXPECT_EQ(RunIo(rig_, {"I2C", "W", "78", "2", "0x20", "0", "0x55"}), kPass);
  EXPECT_EQ(Registers(0x78)[0x20], 0x00);
  auto io = IoTrace(rig_);
  ASSERT_EQ(io.size(), 1u);
  EXPECT_EQ(io[0].op, 0xD1);
  EXPECT_EQ(io[0].length, 0u);
  EXPECT_EQ(io[0].wireLength, GetParam() == sim::Face::Cdrom ? 296u : 30u);
}

TEST_P(IoAccessFaceTest, SendsTheRegisterAddressAsItsSizeSays) {
  // The 16-bit form and the 32-bit form reach the same register.
  EXPECT_EQ(RunIo(rig_, {"I2C", "W", "0x78", "2", "0x0301", "1", "0x11"}), kPass);
  EXPECT_EQ(Registers(0x78)[0x301], 0x11);
  EXPECT_EQ(RunIo(rig_, {"I2C", "W", "0x78", "4", "0x1002", "1", "0x22"}), kPass);
  EXPECT_EQ(Registers(0x78)[0x1002], 0x22);
  EXPECT_EQ(RunIo(rig_, {"I2C", "W", "0x50", "1", "0x7F", "1", "0x33"}), kPass);
  EXPECT_EQ(Registers(0x50)[0x7F], 0x33);
  auto io = IoTrace(rig_);
  ASSERT_EQ(io.size(), 3u);
  EXPECT_EQ(io[0].address, 0x301u);
  EXPECT_EQ(io[1].address, 0x1002u);
  EXPECT_EQ(io[2].address, 0x7Fu);
}

INSTANTIATE_TEST_SUITE_P(Faces, IoAccessFaceTest,
                         ::testing::Values(sim::Face::Cdrom, sim::Face::Xu), [](const auto& info) {
                           return info.param == sim::Face::Cdrom ? "cdrom" : "xu";
                         });

// --- the CD-ROM face ---------------------------------------------------------

class IoAccessCdRomTest : public ::testing::Test {
 protected:
  IoAccessCdRomTest() : rig_(sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024)) {}
  sim::SimRig rig_;
};

TEST_F(IoAccessCdRomTest, GetsTheGpioByteInOneByteCommand) {
  rig_.device->State().gpioData = 0xC3;
  EXPECT_EQ(RunIo(rig_, {"GPIO", "GET"}), std::string("Data:0xc3 \n") + kPass);
  auto io = IoTrace(rig_);
  ASSERT_EQ(io.size(), 1u);
  EXPECT_EQ(io[0].op, 0xD6);
  EXPECT_FALSE(io[0].toDevice);
  EXPECT_EQ(io[0].length, 1u);
  EXPECT_EQ(io[0].wireLength, 297u);
}

TEST_F(IoAccessCdRomTest, FailsWhenThePassThroughFails) {
  rig_.device->State().faults.push_back(test::FailNth(sim::RequestKind::IoAccess));
  EXPECT_EQ(RunIo(rig_, {"GPIO", "SET", "0x5A"}), std::string(kFail) + kFailLine);
  EXPECT_EQ(rig_.device->State().gpioData, 0x00);
  const auto& colors = rig_.host->Colors();
  ASSERT_EQ(colors.size(), 2u);
  EXPECT_EQ(colors[0].attribute, kColorRed);
  EXPECT_EQ(colors[1].attribute, kColorNormal);
  EXPECT_EQ(colors[1].offset, std::string(kFail).size());  // the fail line comes after
  EXPECT_EQ(rig_.host->Stderr(), "");
  EXPECT_EQ(rig_.host->OpenHandles(), 0);
}

TEST_F(IoAccessCdRomTest, FailedReadPrintsNoData) {
  sim::Fault fault;
  fault.kind = sim::RequestKind::IoAccess;
  rig_.device->State().faults.push_back(fault);
  EXPECT_EQ(RunIo(rig_, {"I2C", "R", "0x78", "2", "0", "2"}), std::string(kFail) + kFailLine);
}

TEST_F(IoAccessCdRomTest, ACommandTheDeviceRefusesFails) {
  // No device at 0x33: the pass-through succeeds and the drive answers
  // CHECK CONDITION. The tool used to take that as done and print the
  // zeroed data area as what it read.
  EXPECT_EQ(RunIo(rig_, {"I2C", "W", "0x33", "1", "0", "1", "5"}), std::string(kFail) + kFailLine);
  EXPECT_EQ(RunIo(rig_, {"I2C", "R", "0x33", "1", "0", "2"}), std::string(kFail) + kFailLine);
  for (const auto& t : IoTrace(rig_)) EXPECT_EQ(t.note.rfind("CHECK CONDITION", 0), 0u);

  // Every operation, refused by the device at its one command.
  const std::vector<std::vector<std::string>> runs = {
      {"I2C", "R", "0x78", "2", "0", "2"},
      {"I2C", "W", "0x78", "2", "0", "1", "5"},
      {"GPIO", "GET"},
      {"GPIO", "SET", "0x5A"},
      {"GPIO", "SET_DIR", "0x0F"},
  };
  for (const auto& words : runs) {
    sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024);
    sim::Fault fault;
    fault.type = sim::Fault::Type::RefuseCommand;
    fault.kind = sim::RequestKind::IoAccess;
    state.faults = {fault};
    sim::SimRig rig(state);
    EXPECT_EQ(RunIo(rig, words), std::string(kFail) + kFailLine) << words[0] << " " << words[1];
    EXPECT_TRUE(rig.device->State().faults[0].fired);
    EXPECT_EQ(rig.device->State().gpioData, 0x00);
    EXPECT_EQ(rig.device->State().gpioDirection, 0x00);
    EXPECT_EQ(rig.device->State().i2c.at(0x78).registers[0], 0x00);
  }
}

// --- the extension unit ------------------------------------------------------

class IoAccessXuTest : public ::testing::Test {
 protected:
  IoAccessXuTest() : rig_(State()) {}
  static sim::DeviceState State() {
    sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024);
    state.cdromFace = false;
    state.xuFace = true;
    return state;
  }
  sim::SimRig rig_;
};

TEST_F(IoAccessXuTest, FailsOnAnI2cAddressWithNoDevice) {
  EXPECT_EQ(RunIo(rig_, {"I2C", "W", "0x33", "1", "0", "1", "5"}), std::string(kFail) + kFailLine);
  EXPECT_EQ(Count(rig_.host->Stderr(), kXuErrorLine), 1u);
  EXPECT_EQ(rig_.host->Colors().front().attribute, kColorRed);

  std::string out = RunIo(rig_, {"I2C", "R", "0x33", "1", "0", "2"});
  EXPECT_EQ(out, std::string(kFail) + kFailLine);
  EXPECT_THAT(rig_.host->Stderr(), HasSubstr(kXuErrorLine));
  EXPECT_EQ(rig_.host->ComDepth(), 0);
}

TEST_F(IoAccessXuTest, ReadsEachAnswerWithAWriteThenARead) {
  rig_.device->State().gpioData = 0x81;
  EXPECT_EQ(RunIo(rig_, {"GPIO", "GET"}), std::string("Data:0x81 \n") + kPass);
  std::vector<sim::TraceEntry> requests;
  for (const auto& t : rig_.device->Trace()) {
    if (t.kind == sim::RequestKind::IoAccess || t.kind == sim::RequestKind::XuRead) {
      requests.push_back(t);
    }
  }
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0].toDevice);
  EXPECT_EQ(requests[0].op, 0xD6);
  EXPECT_FALSE(requests[1].toDevice);
  EXPECT_EQ(requests[1].wireLength, 30u);
}

TEST_F(IoAccessXuTest, AFailedWriteBeforeAGoodReadStillSucceeds) {
  // The second control write fails; the read after it still finds the
  // answer the unit holds, and the read decides.
  sim::Fault fault;
  fault.kind = sim::RequestKind::XuWrite;
  fault.nth = 2;
  rig_.device->State().faults.push_back(fault);
  auto& regs = rig_.device->State().i2c.at(0x78).registers;
  regs[0x1002] = 0x12;
  regs[0x1003] = 0x34;
  const std::string data = "Data[0]:0x12 \nData[1]:0x34 \n";
  EXPECT_EQ(RunIo(rig_, {"I2C", "R", "0x78", "2", "0x1002", "2"}), data + kPass);
  EXPECT_EQ(rig_.host->Stderr(), "");

  EXPECT_EQ(RunIo(rig_, {"I2C", "R", "0x78", "2", "0x1002", "2"}), data + kPass);
  EXPECT_EQ(Count(rig_.host->Stderr(), kXuErrorLine), 1u);
  EXPECT_THAT(rig_.host->Stdout(), Not(HasSubstr(kFailLine)));
}

TEST_F(IoAccessXuTest, FailsWhenTheReadComesBackShort) {
  sim::Fault fault;
  fault.type = sim::Fault::Type::ShortRead;
  rig_.device->State().gpioData = 0x81;
  rig_.device->State().faults.push_back(fault);
  EXPECT_EQ(RunIo(rig_, {"GPIO", "GET"}), std::string(kFail) + kFailLine);
  EXPECT_THAT(rig_.host->Stderr(), HasSubstr("(Error 0x80004005)"));
}

}  // namespace
}  // namespace zemb
