// The device folder on disk and the zembsim command that keeps it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/sim_device.h"

namespace zemb::sim {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "zembsim-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(SimStateTest, SaveThenLoadKeepsEverythingButFiredFaults) {
  TempDir dir;
  const std::string folder = (dir.path() / kSimFolder).string();
  DeviceState s = DefaultDeviceState(RomKind::I2c, 8192);
  s.ownFace = true;
  s.cdromFace = false;
  s.xuFace = true;
  s.rom[0] = 0x00;
  s.rom[8191] = 0x12;
  s.firmwareVersion[0] = 0x11223344;
  s.firmwareVersion[1] = 0x55667788;
  s.sideSignature = 0xCAFEF00D;
  s.gpioData = 0xA5;
  s.gpioDirection = 0x3C;
  s.xuNodeId = 7;
  s.timing.sectorEraseUs = 1;
  s.timing.scsiCommandUs = 0;
  for (int i = 0; i < 40; ++i) s.i2c[0x78].registers[0x1000 + i] = static_cast<uint8_t>(i + 1);
  s.i2c[0x50].registers[255] = 0xFF;  // the very last register
  s.i2c[0x22].registers.assign(3, 0x07);
  Fault fail;
  fail.type = Fault::Type::FailRequest;
  fail.kind = RequestKind::XuWrite;
  fail.nth = 4;
  fail.error = kErrorIoDevice;
  Fault fired;
  fired.type = Fault::Type::CorruptWrite;
  fired.fired = true;
  Fault stall;
  stall.type = Fault::Type::StallOp;
  stall.op = 0xFD;
  stall.nth = 2;
  s.faults = {fail, fired, stall};

  std::string error;
  ASSERT_TRUE(SaveDeviceState(folder, s, &error)) << error;
  DeviceState t;
  ASSERT_TRUE(LoadDeviceState(folder, &t, &error)) << error;
  EXPECT_EQ(t.ownFace, true);
  EXPECT_EQ(t.cdromFace, false);
  EXPECT_EQ(t.xuFace, true);
  EXPECT_EQ(t.romKind, RomKind::I2c);
  EXPECT_EQ(t.rom, s.rom);
  EXPECT_EQ(t.firmwareVersion[0], 0x11223344u);
  EXPECT_EQ(t.firmwareVersion[1], 0x55667788u);
  EXPECT_EQ(t.sideSignature, 0xCAFEF00Du);
  EXPECT_EQ(t.gpioData, 0xA5);
  EXPECT_EQ(t.gpioDirection, 0x3C);
  EXPECT_EQ(t.xuNodeId, 7u);
  EXPECT_EQ(t.timing.sectorEraseUs, 1u);
  EXPECT_EQ(t.timing.scsiCommandUs, 0u);
  EXPECT_EQ(t.timing.pageProgramUs, s.timing.pageProgramUs);
  ASSERT_EQ(t.i2c.size(), 3u);
  for (const auto& [address, device] : s.i2c) {
    EXPECT_EQ(t.i2c[address].registers, device.registers) << int(address);
  }
  ASSERT_EQ(t.faults.size(), 2u);
  EXPECT_EQ(FaultToText(t.faults[0]), "fail xu-write 4 1117");
  EXPECT_EQ(FaultToText(t.faults[1]), "stall 0xFD 2");
  EXPECT_FALSE(fs::exists(fs::path(folder) / "rom.bin.tmp"));
  EXPECT_FALSE(fs::exists(fs::path(folder) / "device.txt.tmp"));
}

TEST(SimStateTest, NothingPluggedIsNotAnError) {
  TempDir dir;
  DeviceState s;
  std::string error = "stale";
  EXPECT_FALSE(LoadDeviceState((dir.path() / kSimFolder).string(), &s, &error));
  EXPECT_TRUE(error.empty());
}

TEST(SimStateTest, DamagedFilesAreReportedNotTrusted) {
  const std::string good =
      "faces = cdrom\nrom.kind = spi\nrom.size = 4096\n"
      "i2c.0x50 = 16\ni2c.0x50.0x0004 = 01 02\n";
  struct Case {
    const char* what;
    std::string text;
    size_t romBytes;
  };
  const Case cases[] = {
      {"line without =", good + "gpio.data 5\n", 4096},
      {"unknown key", good + "colour = red\n", 4096},
      {"key twice", good + "rom.kind = i2c\n", 4096},
      {"size not a sector multiple", "faces = cdrom\nrom.kind = spi\nrom.size = 5000\n", 5000},
      {"number with trailing junk", good + "gpio.data = 5x\n", 4096},
      {"byte too large", good + "gpio.data = 256\n", 4096},
      {"number with a sign", good + "gpio.data = +5\n", 4096},
      {"I2C address after a tab", good + "i2c.\t96 = 16\n", 4096},
      {"register address with a sign", good + "i2c.0x50.+4 = 01\n", 4096},
      {"unknown face", "faces = usb\nrom.kind = spi\nrom.size = 4096\n", 4096},
      {"no rom.kind", "faces = cdrom\nrom.size = 4096\n", 4096},
      {"registers before their device", good + "i2c.0x60.0x0000 = 01\n", 4096},
      {"registers past the end", good + "i2c.0x50.0x000F = 01 02\n", 4096},
      {"register not hex", good + "i2c.0x50.0x0000 = 1G\n", 4096},
      {"fault with unknown kind", good + "fault = fail everything 1\n", 4096},
      {"fault counted from 0", good + "fault = corrupt 0\n", 4096},
      {"rom.bin shorter", good, 4000},
      {"rom.bin longer", good, 8192},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path folder = dir.path() / kSimFolder;
    fs::create_directory(folder);
    WriteFile(folder / "device.txt", c.text);
    WriteFile(folder / "rom.bin", std::string(c.romBytes, '\xFF'));
    DeviceState s;
    s.xuNodeId = 99;
    std::string error;
    EXPECT_FALSE(LoadDeviceState(folder.string(), &s, &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
    EXPECT_EQ(s.xuNodeId, 99u) << c.what;
  }
  TempDir dir;
  const fs::path folder = dir.path() / kSimFolder;
  fs::create_directory(folder);
  WriteFile(folder / "device.txt", good);
  DeviceState s;
  std::string error;
  EXPECT_FALSE(LoadDeviceState(folder.string(), &s, &error));
  EXPECT_NE(error.find("rom.bin"), std::string::npos) << error;
}

TEST(SimStateTest, FailedSaveLeavesThePreviousStateWhole) {
  TempDir dir;
  const std::string folder = (dir.path() / kSimFolder).string();
  DeviceState s = DefaultDeviceState(RomKind::Spi, 4096);
  std::string error;
  ASSERT_TRUE(SaveDeviceState(folder, s, &error)) << error;
  // A directory where the temporary text file goes makes the next save fail.
  fs::create_directory(fs::path(folder) / "device.txt.tmp");
  DeviceState changed = DefaultDeviceState(RomKind::Spi, 8192);
  changed.rom[0] = 0;
  EXPECT_FALSE(SaveDeviceState(folder, changed, &error));
  EXPECT_FALSE(error.empty());
  DeviceState t;
  ASSERT_TRUE(LoadDeviceState(folder, &t, &error)) << error;
  EXPECT_EQ(t.rom, s.rom);
}

// --- zembsim ------------------------------------------------------------------

#ifdef ZEMB_ZEMBSIM
class ZembsimTest : public ::testing::Test {
 protected:
  int Run(const std::string& words) {
    const std::string command =
        "cd '" + dir_.path().string() + "' && '" ZEMB_ZEMBSIM "' " + words + " >out.txt 2>err.txt";
    const int status = std::system(command.c_str());
    out_ = ReadFile(dir_.path() / "out.txt");
    err_ = ReadFile(dir_.path() / "err.txt");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  fs::path Folder() const { return dir_.path() / kSimFolder; }

  TempDir dir_;
  std::string out_, err_;
};

TEST_F(ZembsimTest, PlugLoadStatusDump) {
  ASSERT_EQ(Run("plug --face own --face xu --rom spi --size 65536 --side-signature 0x12345678"), 0)
      << err_;
  EXPECT_EQ(Run("plug"), 1);  // one device at a time
  EXPECT_NE(err_.find("already"), std::string::npos);

  // Header at 0 and a misc record at 0xB000.
  std::string image(0xB028, '\xFF');
  const std::string header("\xEF\xBE\xFF\xFF\x01\x00\x64\x00\x00\x00\x00\x00\x00\x7F\x00\x00", 16);
  image.replace(0, header.size(), header);
  const std::string misc = "\x11\x22\x33\x44\x55\x66\xAA\xBB\xCC\xDD\xEE\xFF";
  image.replace(0xB000, misc.size(), misc);
  const std::string serial = "20000130041415";
  for (size_t i = 0; i < serial.size(); ++i) {
    image[0xB00C + 2 * i] = serial[i];
    image[0xB00D + 2 * i] = 0;
  }
  WriteFile(dir_.path() / "image.bin", image);
  ASSERT_EQ(Run("load image.bin"), 0) << err_;

  ASSERT_EQ(Run("status"), 0) << err_;
  for (const char* expected : {"own xu", "SPI, 65536 bytes", "0x12345678", "0xBEEF (valid)",
                               "type 0x64, start 0x00000000, length 0x00007F00",
                               "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "20000130041415"}) {
    EXPECT_NE(out_.find(expected), std::string::npos) << expected << "\n" << out_;
  }

  ASSERT_EQ(Run("dump rom.out"), 0) << err_;
  const std::string rom = ReadFile(dir_.path() / "rom.out");
  ASSERT_EQ(rom.size(), 65536u);
  EXPECT_EQ(rom.substr(0, image.size()), image);
  // The rest of the last sector the file covered was erased with it.
  EXPECT_EQ(rom.substr(image.size()), std::string(65536 - image.size(), '\xFF'));

  // A file larger than the ROM is refused and changes nothing.
  WriteFile(dir_.path() / "big.bin", std::string(65537, '\0'));
  EXPECT_EQ(Run("load big.bin"), 1);
  ASSERT_EQ(Run("dump rom2.out"), 0);
  EXPECT_EQ(ReadFile(dir_.path() / "rom2.out"), rom);

  ASSERT_EQ(Run("unplug"), 0) << err_;
  EXPECT_FALSE(fs::exists(Folder()));
  EXPECT_EQ(Run("status"), 1);
}

TEST_F(ZembsimTest, BadWordsGetTheUsageAndChangeNothing) {
  const char* bad[] = {
      "",
      "frobnicate",
      "plug --face usb",
      "plug --size 4097",
      "plug --size 0",
      "plug --size 268439552",
      "plug --rom flash",
      "plug --fw-version 1",
      "plug extra",
      "status now",
      "dump",
      "load a b",
      "gpio --data 256",
      "i2c 0x78 --set 10=XYZ",
      "i2c 0x78 --show 0",
      "fault stall",
      "fault fail access-rom 0",
      "fault corrupt 1 2",
  };
  for (const char* words : bad) {
    EXPECT_EQ(Run(words), 2) << words;
    EXPECT_NE(err_.find("usage"), std::string::npos) << words;
    EXPECT_FALSE(fs::exists(Folder())) << words;
  }
  for (const char* name : {"plug", "unplug", "status", "dump", "load", "gpio", "i2c", "fault"}) {
    EXPECT_EQ(Run(std::string(name) + " --help"), 0) << name;
    EXPECT_EQ(out_.rfind(std::string("usage: zembsim ") + name, 0), 0u) << name;
  }
}

TEST_F(ZembsimTest, ChangesBetweenRunsReachTheSavedDevice) {
  ASSERT_EQ(Run("plug --rom i2c --size 65536"), 0) << err_;
  ASSERT_EQ(Run("gpio --data 0x5A --dir 0x0F"), 0) << err_;
  ASSERT_EQ(Run("i2c 0x78 --set 0x0301=A1B2"), 0) << err_;
  ASSERT_EQ(Run("i2c 0x78 --show 0x0300 4"), 0) << err_;
  EXPECT_NE(out_.find("00 A1 B2 00"), std::string::npos) << out_;
  EXPECT_EQ(Run("i2c 0x33 --set 0=01"), 1);
  ASSERT_EQ(Run("fault fail io-access 2 1117"), 0) << err_;
  ASSERT_EQ(Run("fault short-read"), 0) << err_;

  DeviceState s;
  std::string error;
  ASSERT_TRUE(LoadDeviceState(Folder().string(), &s, &error)) << error;
  EXPECT_EQ(s.romKind, RomKind::I2c);
  EXPECT_TRUE(s.cdromFace);
  EXPECT_EQ(s.gpioData, 0x5A);
  EXPECT_EQ(s.gpioDirection, 0x0F);
  EXPECT_EQ(s.i2c[0x78].registers[0x0301], 0xA1);
  EXPECT_EQ(s.i2c[0x78].registers[0x0302], 0xB2);
  ASSERT_EQ(s.faults.size(), 2u);
  EXPECT_EQ(FaultToText(s.faults[0]), "fail io-access 2 1117");
  EXPECT_EQ(FaultToText(s.faults[1]), "short-read 1");

  ASSERT_EQ(Run("fault clear"), 0);
  ASSERT_TRUE(LoadDeviceState(Folder().string(), &s, &error)) << error;
  EXPECT_TRUE(s.faults.empty());
}
#endif

}  // namespace
}  // namespace zemb::sim
