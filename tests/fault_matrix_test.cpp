// Every device function of the three tools, on every face it runs on, with a
// device fault injected at each point of the run in turn.
//
// For each function and face a healthy run is made first; its trace gives
// the number of device requests, of ROM operations started, of ROM writes
// and of extension-unit reads. Then each of them is made to go wrong, one
// per run: the nth request fails (FailRequest, kind Any), the nth ROM
// operation never finishes (StallOp), the nth ROM write stores a flipped
// bit (CorruptWrite), the nth extension-unit read comes back a byte short
// (ShortRead), the nth command on the CD-ROM face is refused with CHECK
// CONDITION while the pass-through succeeds (RefuseCommand). Long functions are sampled: every
// point among the first and the last 40, every 7th in between. The ROM functions run on an SPI part
// and on an I2C part, which is written without erasing.
//
// Every case must end with the function's failure text and the tool's fail
// line, never with a pass banner; within the wait limits in virtual time;
// and with the ROM holding what the output says: chunks the output shows as
// verified hold the new bytes, and nothing outside the sectors the function
// erases or writes has changed. A failed discovery request makes the run
// end with "Cannot find device" and nothing touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "common/device/discovery.h"
#include "common/device/rom_access.h"
#include "ioaccess/ioaccess.h"
#include "rommisc/rommisc.h"
#include "romprogram/romprogram.h"
#include "sim/sim_host.h"
#include "tests/fault_points.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

using sim::Face;
using sim::Fault;
using sim::RequestKind;
using sim::TraceEntry;
using test::FaultName;
using test::FaultType;
using test::MakeFault;
using test::Points;
using test::Sample;
using test::StatusWriteFailedAndReadAnswered;

constexpr uint32_t kRomSize = 65536;
constexpr uint32_t kSector = 4096;
constexpr uint32_t kInputLength = 5000;  // two chunks, the second one short

enum class Tool { Program, Misc, Io };

struct Range {
  uint32_t begin;
  uint32_t end;  // exclusive
};

struct Function {
  const char* name;
  Tool tool;
  std::vector<std::string> words;  // after the program name
  std::vector<Range> footprint;    // where the function may change the ROM
  // What the header write's progress line "0 : 255" stands for.
  uint32_t headerWriteLength = 0;
  bool banner = true;  // Burn Pass / Burn Fail, Succee / Fail
};

uint32_t SectorsOf(uint32_t length) {
  return (length + kSector - 1) / kSector * kSector;
}

const std::vector<Function>& Functions() {
  static const std::vector<Function> functions = {
      {"BURN", Tool::Program, {"BURN", "input.bin", "rom.cfg"}, {{0, SectorsOf(kInputLength)}}},
      {"HWFW", Tool::Program, {"HWFW", "input.bin", "rom.cfg"}, {{0, 0x8000}}, 256},
      {"IMG",
       Tool::Program,
       {"IMG", "input.bin", "rom.cfg"},
       {{0, kSector}, {0xC000, 0xC000 + SectorsOf(kInputLength)}},
       kSector},
      // DESC stops short of the misc sector at 0xB000.
      {"DESC",
       Tool::Program,
       {"DESC", "input.bin", "rom.cfg"},
       {{0x8000, 0x8000 + SectorsOf(kInputLength)}}},
      {"PRINT", Tool::Program, {"PRINT", "rom.cfg", "4096"}, {}, 0, false},
      {"ERASE", Tool::Program, {"ERASE", "rom.cfg"}, {{0, kRomSize}}, 0, false},
      {"MAC",
       Tool::Misc,
       {"MAC", "11-22-33-44-55-66", "AA-BB-CC-DD-EE-FF", "rom.cfg"},
       {{0xB000, 0xC000}}},
      {"SER", Tool::Misc, {"SER", "20000130041415", "rom.cfg"}, {{0xB000, 0xC000}}},
      {"I2C_READ", Tool::Io, {"I2C", "R", "0x78", "2", "0x0301", "2"}, {}},
      {"I2C_WRITE", Tool::Io, {"I2C", "W", "0x78", "2", "0x1002", "2", "0xff", "0xff"}, {}},
      {"GPIO_GET", Tool::Io, {"GPIO", "GET"}, {}},
      {"GPIO_SET", Tool::Io, {"GPIO", "SET", "0xA5"}, {}},
      {"GPIO_SET_DIR", Tool::Io, {"GPIO", "SET_DIR", "0x0F"}, {}},
  };
  return functions;
}

struct Combo {
  size_t function;
  Face face;
  FaultType fault;
  sim::RomKind rom = sim::RomKind::Spi;
};

const char* FaceName(Face face) {
  return face == Face::Own ? "own" : face == Face::Cdrom ? "cdrom" : "xu";
}

// The ROM kind as the case names show it; SPI, the usual part, unmarked.
const char* RomName(sim::RomKind rom) {
  return rom == sim::RomKind::I2c ? " (I2C)" : "";
}

bool IsIoWrite(const Function& f) {
  return f.tool == Tool::Io && std::string(f.name) != "I2C_READ" &&
         std::string(f.name) != "GPIO_GET";
}

// The combinations that have something to inject: IO has no ROM operations
// or writes; the extension unit and the CD-ROM face have reads that can
// come back short, and the IO writes read nothing there; PRINT and ERASE
// write nothing.
std::vector<Combo> Combos() {
  std::vector<Combo> combos;
  for (size_t i = 0; i < Functions().size(); ++i) {
    const Function& f = Functions()[i];
    const std::vector<Face> faces = f.tool == Tool::Io
                                        ? std::vector<Face>{Face::Cdrom, Face::Xu}
                                        : std::vector<Face>{Face::Own, Face::Cdrom, Face::Xu};
    const bool writes =
        f.tool != Tool::Io && std::string(f.name) != "PRINT" && std::string(f.name) != "ERASE";
    // The ROM functions run on an I2C part too, where nothing is erased;
    // ERASE is for SPI parts only.
    std::vector<sim::RomKind> roms = {sim::RomKind::Spi};
    if (f.tool != Tool::Io && std::string(f.name) != "ERASE") roms.push_back(sim::RomKind::I2c);
    for (sim::RomKind rom : roms) {
      for (Face face : faces) {
        combos.push_back({i, face, FaultType::Fail, rom});
        if (f.tool != Tool::Io) combos.push_back({i, face, FaultType::Stall, rom});
        if (writes) combos.push_back({i, face, FaultType::Corrupt, rom});
        if (face != Face::Own && !IsIoWrite(f)) {
          combos.push_back({i, face, FaultType::ShortRead, rom});
        }
        if (face == Face::Cdrom) combos.push_back({i, face, FaultType::Refuse, rom});
      }
    }
  }
  return combos;
}

// A programmed ROM: a valid header, data everywhere else, and a misc record.
std::vector<uint8_t> ProgrammedRom() {
  std::vector<uint8_t> rom = test::Pattern(kRomSize, 7);
  const uint8_t header[46] = {
      0xEF, 0xBE, 0xFF, 0xFF, 0x01, 0x00,                          // signature, markers, format
      0x64, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x00,  // HW/FW
      0x02, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00,  // descriptor
      0x01, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,  // image, 4096 bytes
      0x03, 0x00, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,  // misc
  };
  std::copy(std::begin(header), std::end(header), rom.begin());
  std::fill(rom.begin() + 46, rom.begin() + 256, 0x00);
  const char record[] = "\x01\x02\x03\x04\x05\x06\x0A\x0B\x0C\x0D\x0E\x0F";
  std::copy(record, record + 12, rom.begin() + 0xB000);
  const char serial[] = "12345678ABCDEF";
  for (int i = 0; i < 14; ++i) {
    rom[0xB00C + 2 * i] = static_cast<uint8_t>(serial[i]);
    rom[0xB00C + 2 * i + 1] = 0;
  }
  return rom;
}

const char* const kOldRecordLine =
    "    Misc record before this run: P-side MAC 01-02-03-04-05-06, S-side MAC "
    "0A-0B-0C-0D-0E-0F, serial number 12345678ABCDEF\n";

sim::DeviceState Device(Face face, std::vector<Fault> faults,
                        sim::RomKind rom = sim::RomKind::Spi) {
  sim::DeviceState state = sim::DefaultDeviceState(rom, kRomSize);
  state.ownFace = face == Face::Own;
  state.cdromFace = face == Face::Cdrom;
  state.xuFace = face == Face::Xu;
  state.rom = ProgrammedRom();
  state.gpioData = 0x3C;
  state.gpioDirection = 0xC3;
  state.i2c[0x78].registers[0x0301] = 0x12;
  state.i2c[0x78].registers[0x0302] = 0x34;
  // A small, fast part: the sector erase polls a few times instead of 45,
  // which keeps the number of cases down without changing what is asked.
  state.timing.sectorEraseUs = 3000;
  state.faults = std::move(faults);
  return state;
}

struct Outcome {
  std::string out;
  sim::DeviceState state;
  std::vector<TraceEntry> trace;
  uint64_t elapsedUs = 0;
};

Outcome RunFunction(const Function& f, Face face, sim::RomKind rom, std::vector<Fault> faults) {
  sim::SimRig rig(Device(face, std::move(faults), rom));
  std::vector<std::string> words = f.words;
  const char* program = f.tool == Tool::Program ? "ZembRomProgram"
                        : f.tool == Tool::Misc  ? "ZembRomMisc"
                                                : "ZembIoAccess";
  words.insert(words.begin(), program);
  test::ToolMain tool = f.tool == Tool::Program ? RunRomProgram
                        : f.tool == Tool::Misc  ? RunRomMisc
                                                : RunIoAccess;
  Outcome o;
  o.out = test::RunTool(tool, *rig.host, words);
  o.state = rig.device->State();
  o.trace = rig.device->Trace();
  o.elapsedUs = rig.clock.NowUs();
  return o;
}

// The requests discovery makes on this face before the function starts.
size_t DiscoveryRequests(const Function& f, Face face) {
  sim::SimRig rig(Device(face, {}));
  FoundDevice found =
      FindDevice(*rig.host, nullptr, f.tool == Tool::Io ? nullptr : GetDriverDeviceHandle);
  EXPECT_NE(found.path, DevicePath::None);
  ReleaseDevice(*rig.host, &found);
  return rig.device->Trace().size();
}

const char* FailLine(Tool tool) {
  return tool == Tool::Program ? "    ZembRomProgram fail !!!\n"
         : tool == Tool::Misc  ? "    ZembRomMisc fail !!!\n"
                               : "    ZembIoAccess fail !!!\n";
}

std::string FailureTail(const Function& f) {
  std::string tail;
  if (f.banner) tail = f.tool == Tool::Io ? "    Fail        \n" : "    Burn Fail\n";
  return tail + FailLine(f.tool);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool InFootprint(const Function& f, uint32_t address) {
  for (const Range& r : f.footprint) {
    if (address >= r.begin && address < r.end) return true;
  }
  return false;
}

// The chunks the output shows as written: every progress line but the
// last was followed by the next one, so its chunk passed the read-back.
std::vector<Range> VerifiedChunks(const Function& f, const std::string& out) {
  static const std::regex kProgress(R"(\[OffsetStart : OffsetEnd\] (\d+) : (\d+))");
  std::vector<Range> chunks;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), kProgress);
       it != std::sregex_iterator(); ++it) {
    uint32_t begin = static_cast<uint32_t>(std::stoul((*it)[1]));
    uint32_t end = static_cast<uint32_t>(std::stoul((*it)[2]));
    if (begin == 0 && end == 255) end = f.headerWriteLength;
    chunks.push_back({begin, end});
  }
  if (!chunks.empty()) chunks.pop_back();
  return chunks;
}

class FaultMatrixTest : public ::testing::TestWithParam<Combo> {
 protected:
  void SetUp() override {
    test::WriteConfig("rom.cfg", GetParam().rom == sim::RomKind::I2c ? "I2C" : "SPI", kRomSize,
                      256);
    test::WriteFile("input.bin", test::Pattern(kInputLength, 3));
  }
  test::ScratchDir dir;
};

TEST_P(FaultMatrixTest, EveryFaultEndsInAVisibleFailure) {
  const Combo& c = GetParam();
  const Function& f = Functions()[c.function];

  const Outcome healthy = RunFunction(f, c.face, c.rom, {});
  ASSERT_EQ(healthy.out.find(FailLine(f.tool)), std::string::npos) << healthy.out;
  for (const TraceEntry& t : healthy.trace) ASSERT_FALSE(t.failed) << t.note;
  const sim::DeviceState before = Device(c.face, {}, c.rom);
  const size_t discovery =
      c.fault == FaultType::Fail || c.fault == FaultType::Refuse ? DiscoveryRequests(f, c.face) : 0;
  const size_t count = Points(healthy.trace, c.fault);
  ASSERT_GT(count, 0u);
  const uint64_t limitMs = f.name == std::string("ERASE") && c.face != Face::Xu
                               ? kChipEraseTimeLimitMs
                               : kOperationTimeLimitMs;
  const uint64_t boundUs = healthy.elapsedUs + (limitMs + 1000) * 1000;

  const std::vector<uint32_t> points = Sample(count);
  size_t succeeded = 0;
  for (uint32_t nth : points) {
    SCOPED_TRACE(std::string(f.name) + " on " + FaceName(c.face) + RomName(c.rom) + ", " +
                 FaultName(c.fault) + " at " + std::to_string(nth) + " of " +
                 std::to_string(count));
    const uint32_t at = c.fault == FaultType::Refuse ? nth + static_cast<uint32_t>(discovery) : nth;
    const Outcome o = RunFunction(f, c.face, c.rom, {MakeFault(c.fault, at)});
    ASSERT_TRUE(o.state.faults[0].fired);
    EXPECT_LE(o.elapsedUs, boundUs);

    if (c.fault == FaultType::Fail && nth <= discovery) {
      // Discovery sees no device on this face, and there is no other.
      EXPECT_TRUE(EndsWith(o.out, f.tool == Tool::Io
                                      ? " \tCannot find device for test!!!\n"
                                      : "    Cannot find device for ROM access test!!!\n"))
          << o.out;
      EXPECT_EQ(o.state.rom, before.rom);
      continue;
    }
    if (c.fault == FaultType::Fail && StatusWriteFailedAndReadAnswered(o.trace)) {
      // Reported as success by the extension unit's rules, and rightly:
      // the operation did finish, so the ROM is as the healthy run left it.
      EXPECT_EQ(o.out.find(FailLine(f.tool)), std::string::npos) << o.out;
      EXPECT_EQ(o.state.rom, healthy.state.rom);
      ++succeeded;
      continue;
    }

    EXPECT_TRUE(EndsWith(o.out, FailureTail(f))) << o.out;
    EXPECT_EQ(o.out.find("    Burn Pass   "), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("    Succee      "), std::string::npos) << o.out;
    if (f.tool != Tool::Io) {
      // The function says why before the verdict.
      const std::string body =
          o.out.substr(0, o.out.size() - std::min(o.out.size(), FailureTail(f).size()));
      EXPECT_NE(body.find("!!!"), std::string::npos) << o.out;
    }

    // Nothing outside the function's sectors changes.
    for (uint32_t a = 0; a < kRomSize; ++a) {
      if (!InFootprint(f, a) && o.state.rom[a] != before.rom[a]) {
        ADD_FAILURE() << "ROM address " << a << " changed outside the function's sectors";
        break;
      }
    }
    // What the output shows as written is there.
    for (const Range& r : VerifiedChunks(f, o.out)) {
      EXPECT_TRUE(std::equal(o.state.rom.begin() + r.begin, o.state.rom.begin() + r.end,
                             healthy.state.rom.begin() + r.begin))
          << "chunk " << r.begin << " : " << r.end << " shown as written does not hold the data";
    }
    // A run that stopped before any erase or write left the ROM alone.
    if (o.out.find("Erase") == std::string::npos &&
        o.out.find("[OffsetStart") == std::string::npos) {
      EXPECT_EQ(o.state.rom, before.rom);
    }
    if (f.tool == Tool::Misc) {
      // Once the record in the ROM is no longer what it was, the operator
      // has been shown what it held, to program it again.
      const bool shown = o.out.find("Misc record before this run") != std::string::npos;
      if (shown) {
        EXPECT_NE(o.out.find(kOldRecordLine), std::string::npos) << o.out;
      }
      if (!std::equal(o.state.rom.begin() + 0xB000, o.state.rom.begin() + 0xB028,
                      before.rom.begin() + 0xB000)) {
        EXPECT_TRUE(shown) << o.out;
      }
    }
    if (f.tool == Tool::Io) {
      EXPECT_EQ(o.state.gpioData, before.gpioData);
      EXPECT_EQ(o.state.gpioDirection, before.gpioDirection);
      EXPECT_EQ(o.state.i2c.at(0x78).registers, before.i2c.at(0x78).registers);
    }
  }
  std::printf(
      "fault matrix %s on %s%s, %s: %zu cases of %zu points (%zu succeed by the transport's "
      "rules)\n",
      f.name, FaceName(c.face), RomName(c.rom), FaultName(c.fault), points.size(), count,
      succeeded);
  // Which cases may report success. On the CD-ROM face none may: a failed
  // request fails the IOCTL itself, a refused command fails on its SCSI
  // status, a stalled read or write times the command out, a stalled erase
  // keeps the status busy until the wait gives up, a corrupted write is
  // caught by the read-back. So the list of CD-ROM cases expected to
  // succeed is empty, as it is for the own driver; on the
  // extension unit it holds exactly the failed status-request writes whose
  // read still answered (StatusWriteFailedAndReadAnswered).
  if (succeeded > 0) {
    EXPECT_EQ(c.face, Face::Xu);
  }
}

std::string ComboName(const ::testing::TestParamInfo<Combo>& info) {
  return std::string(Functions()[info.param.function].name) + "_" + FaceName(info.param.face) +
         (info.param.rom == sim::RomKind::I2c ? "_i2c" : "") + "_" + FaultName(info.param.fault);
}

INSTANTIATE_TEST_SUITE_P(Functions, FaultMatrixTest, ::testing::ValuesIn(Combos()), ComboName);

}  // namespace
}  // namespace zemb
