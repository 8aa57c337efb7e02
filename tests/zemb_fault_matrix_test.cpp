// zemb write and zemb read on every face and both ROM kinds, with a device
// fault injected at each point of the run in turn (sampled as the tools'
// matrix does): the nth request fails, the nth ROM operation never
// finishes, the nth ROM write stores a flipped bit, the nth extension-unit
// read or CD-ROM data read comes back short with success, the nth CD-ROM
// command is refused with CHECK
// CONDITION.
//
// No case may exit 0 unless the fault did no harm: the extension unit's
// rules make a failed status-request write whose read still answered a
// success, and a flipped bit programmed over a bit that is already 0 leaves
// the right byte; the ROM then equals the healthy run's. Every other case
// exits 1 (when discovery itself failed, with the device that did not
// answer named); within the wait limits in virtual time; with the ROM as the
// message says: what it calls written and verified holds the image, what it
// calls as it was holds the old bytes, and nothing outside the file's range
// changed. A failed read leaves the existing output file as it was. Every
// line on standard error is in zemb's form.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "common/device/discovery.h"
#include "common/device/rom_access.h"
#include "sim/sim_host.h"
#include "tests/fault_points.h"
#include "tests/test_support.h"
#include "tests/zemb_tests.h"
#include "zemb/zemb.h"

namespace zemb {
namespace {

using sim::Face;
using sim::RomKind;
using test::FaultType;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kStart = 0x1000;
constexpr uint32_t kLength = 0x6000;

enum class Command { Write, Read };

struct Combo {
  Command command;
  Face face;
  RomKind rom;
  FaultType fault;
};

const char* FaceName(Face face) {
  return face == Face::Own ? "own" : face == Face::Cdrom ? "cdrom" : "xu";
}

std::string ComboName(const ::testing::TestParamInfo<Combo>& info) {
  const Combo& c = info.param;
  return std::string(c.command == Command::Write ? "write_" : "read_") + FaceName(c.face) +
         (c.rom == RomKind::I2c ? "_i2c_" : "_spi_") + test::FaultName(c.fault);
}

std::vector<Combo> Combos() {
  std::vector<Combo> combos;
  for (Command command : {Command::Write, Command::Read}) {
    for (RomKind rom : {RomKind::Spi, RomKind::I2c}) {
      for (Face face : {Face::Own, Face::Cdrom, Face::Xu}) {
        combos.push_back({command, face, rom, FaultType::Fail});
        combos.push_back({command, face, rom, FaultType::Stall});
        if (command == Command::Write) combos.push_back({command, face, rom, FaultType::Corrupt});
        if (face != Face::Own) combos.push_back({command, face, rom, FaultType::ShortRead});
        if (face == Face::Cdrom) combos.push_back({command, face, rom, FaultType::Refuse});
      }
    }
  }
  return combos;
}

Bytes OldRom() {
  return test::Pattern(test::kRomSize, 21);
}

// Six sectors of every kind the write meets: one equal to the ROM, one whose
// bits are only cleared, and four that need an erase on SPI.
Bytes Image() {
  const Bytes old = OldRom();
  Bytes image = test::Pattern(kLength, 22);
  for (uint32_t i = 0; i < 0x1000; ++i) image[i] = old[kStart + i];
  for (uint32_t i = 0x1000; i < 0x2000; ++i) image[i] &= old[kStart + i];
  return image;
}

sim::DeviceState Device(const Combo& c, std::vector<sim::Fault> faults) {
  sim::DeviceState state = sim::DefaultDeviceState(c.rom, test::kRomSize);
  state.ownFace = c.face == Face::Own;
  state.cdromFace = c.face == Face::Cdrom;
  state.xuFace = c.face == Face::Xu;
  state.rom = OldRom();
  state.timing.sectorEraseUs = 3000;  // fewer polls, the same requests
  state.faults = std::move(faults);
  return state;
}

struct Outcome {
  int status = -1;
  std::string err;
  Bytes rom;
  std::vector<sim::TraceEntry> trace;
  uint64_t elapsedUs = 0;
  bool fired = false;
};

Outcome RunZembWith(const Combo& c, std::vector<sim::Fault> faults) {
  sim::SimRig rig(Device(c, std::move(faults)));
  std::vector<std::string> words;
  if (c.command == Command::Write) {
    words = {"write", "image.bin", "--config", "rom.cfg", "--start", "4096"};
  } else {
    words = {"read", "out.bin", "--config", "rom.cfg", "--start", "4096", "--length", "24576"};
  }
  const test::ToolResult r = test::Zemb(*rig.host, words);
  Outcome o;
  o.status = r.status;
  o.err = r.err;
  o.rom = rig.device->State().rom;
  o.trace = rig.device->Trace();
  o.elapsedUs = rig.clock.NowUs();
  o.fired = !rig.device->State().faults.empty() && rig.device->State().faults[0].fired;
  return o;
}

size_t DiscoveryRequests(const Combo& c) {
  sim::SimRig rig(Device(c, {}));
  FoundDevice found = FindDevice(*rig.host, nullptr, GetDriverDeviceHandle);
  EXPECT_NE(found.path, DevicePath::None);
  ReleaseDevice(*rig.host, &found);
  return rig.device->Trace().size();
}

bool Equal(const Bytes& a, const Bytes& b, uint32_t from, uint32_t to, uint32_t bOffset = 0) {
  return std::equal(a.begin() + from, a.begin() + to, b.begin() + (from - bOffset));
}

class ZembFaultMatrixTest : public ::testing::TestWithParam<Combo> {
 protected:
  void SetUp() override {
    test::WriteConfig("rom.cfg", GetParam().rom == RomKind::I2c ? "I2C" : "SPI", test::kRomSize,
                      256);
    test::WriteFile("image.bin", Image());
  }
  test::ScratchDir dir;
};

TEST_P(ZembFaultMatrixTest, NoFaultIsReportedAsSuccess) {
  const Combo& c = GetParam();
  const Bytes old = OldRom();
  const Bytes image = Image();
  const Outcome healthy = RunZembWith(c, {});
  ASSERT_EQ(healthy.status, 0) << healthy.err;
  const size_t discovery =
      c.fault == FaultType::Fail || c.fault == FaultType::Refuse ? DiscoveryRequests(c) : 0;
  const size_t count = test::Points(healthy.trace, c.fault);
  ASSERT_GT(count, 0u);
  const uint64_t boundUs = healthy.elapsedUs + (kOperationTimeLimitMs + 1000) * 1000;
  const Bytes keep = test::Pattern(64, 23);
  static const std::regex kHeld(R"(the ROM holds image\.bin from (0x[0-9A-F]+) to (0x[0-9A-F]+))");
  static const std::regex kAsItWas(R"(from (0x[0-9A-F]+) to (0x[0-9A-F]+) the ROM is as it was)");

  const std::vector<uint32_t> points = test::Sample(count);
  size_t succeeded = 0;
  for (uint32_t nth : points) {
    SCOPED_TRACE(std::string(test::FaultName(c.fault)) + " at " + std::to_string(nth) + " of " +
                 std::to_string(count));
    test::WriteFile("out.bin", keep);
    // A refusal counts commands only: past discovery's queries.
    const uint32_t at = c.fault == FaultType::Refuse ? nth + static_cast<uint32_t>(discovery) : nth;
    const Outcome o = RunZembWith(c, {test::MakeFault(c.fault, at)});
    ASSERT_TRUE(o.fired);
    EXPECT_LE(o.elapsedUs, boundUs);
    // Outside the file's range nothing ever changes.
    EXPECT_TRUE(Equal(o.rom, old, 0, kStart));
    EXPECT_TRUE(Equal(o.rom, old, kStart + kLength, test::kRomSize));
    // Whatever fails, the library's lines reach standard error as zemb's.
    EXPECT_EQ(test::UnformedLines(o.err), std::vector<std::string>{}) << o.err;

    if (c.fault == FaultType::Fail && nth <= discovery) {
      // The unit is there but did not answer: a device failure, with the
      // device and what failed named, never "no device".
      EXPECT_EQ(o.status, 1) << o.err;
      EXPECT_NE(o.err.find("zemb: error: no Zemb device answered"), std::string::npos) << o.err;
      EXPECT_NE(o.err.find("zemb: note: \\\\?\\"), std::string::npos) << o.err;
      EXPECT_EQ(o.rom, old);
      continue;
    }
    if (o.status == 0) {
      // Only where the fault did no harm: the extension unit's answered
      // status read, or a flipped bit that programming a 0 over a 0 hid.
      if (c.fault == FaultType::Fail) {
        EXPECT_TRUE(test::StatusWriteFailedAndReadAnswered(o.trace)) << o.err;
      }
      EXPECT_EQ(o.rom, healthy.rom);
      if (c.command == Command::Read) {
        EXPECT_EQ(test::ReadFile("out.bin"),
                  Bytes(old.begin() + kStart, old.begin() + kStart + kLength));
      }
      ++succeeded;
      continue;
    }
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find("zemb: error: "), std::string::npos) << o.err;
    if (c.command == Command::Read) {
      EXPECT_EQ(o.rom, old);
      EXPECT_EQ(test::ReadFile("out.bin"), keep);
      EXPECT_EQ(test::FilesStartingWith("out.bin."), std::vector<std::string>{});
      continue;
    }
    // What the message calls written holds the image; what it calls as it
    // was holds the old bytes.
    std::smatch m;
    if (o.err.find("zemb: note: the ROM holds") == std::string::npos &&
        o.err.find("zemb: note: nothing of image.bin was written") == std::string::npos) {
      // Stopped before the write began (the ROM type request).
      EXPECT_EQ(o.rom, old) << o.err;
      continue;
    }
    if (std::regex_search(o.err, m, kHeld)) {
      const uint32_t from = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
      const uint32_t to = static_cast<uint32_t>(std::stoul(m[2], nullptr, 16)) + 1;
      EXPECT_TRUE(Equal(o.rom, image, from, to, kStart)) << o.err;
    }
    ASSERT_TRUE(std::regex_search(o.err, m, kAsItWas) ||
                o.err.find("may be erased or partly written") != std::string::npos)
        << o.err;
    if (std::regex_search(o.err, m, kAsItWas)) {
      const uint32_t from = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
      const uint32_t to = static_cast<uint32_t>(std::stoul(m[2], nullptr, 16)) + 1;
      EXPECT_TRUE(Equal(o.rom, old, from, to)) << o.err;
    }
  }
  std::printf(
      "zemb fault matrix %s: %zu cases of %zu points (%zu end in success with the ROM as the "
      "healthy run left it)\n",
      ComboName({c, 0}).c_str(), points.size(), count, succeeded);
  if (succeeded > 0 && c.fault == FaultType::Fail) {
    EXPECT_EQ(c.face, Face::Xu);
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, ZembFaultMatrixTest, ::testing::ValuesIn(Combos()), ComboName);

}  // namespace
}  // namespace zemb
