// The ROM access operations on each transport: the exact bytes they send,
// their waits, and what they leave behind when a request fails.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/device/cdrom/pass_through.h"
#include "common/device/discovery.h"
#include "common/device/requests.h"
#include "common/device/rom_access.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// A simulated machine that also keeps the raw bytes of every IOCTL.
class RecordingHost : public sim::SimHost {
 public:
  using SimHost::SimHost;
  struct Io {
    uint32_t code;
    Bytes in;
    uint32_t outLength;
  };
  bool DeviceIoControl(DeviceHandle handle, uint32_t code, const void* in, uint32_t inLength,
                       void* out, uint32_t outLength, uint32_t* returned) override {
    const auto* p = static_cast<const uint8_t*>(in);
    ios.push_back({code, Bytes(p, p + inLength), outLength});
    return SimHost::DeviceIoControl(handle, code, in, inLength, out, outLength, returned);
  }
  std::vector<Io> ios;
};

enum class Face { Own, Cdrom, Xu };

struct Bench {
  explicit Bench(Face face, sim::RomKind kind = sim::RomKind::Spi, uint32_t size = 65536) {
    sim::DeviceState state = sim::DefaultDeviceState(kind, size);
    state.ownFace = face == Face::Own;
    state.cdromFace = face == Face::Cdrom;
    state.xuFace = face == Face::Xu;
    device = std::make_unique<sim::SimDevice>(state, clock);
    host = std::make_unique<RecordingHost>(sim::MachineFor(state), device.get(), clock,
                                           sim::ConsoleMode::Capture);
    console = std::make_unique<Console>(*host);
    found = FindDevice(*host, nullptr, GetDriverDeviceHandle);
    table = BindRomAccessTable(*console, found);
    rom.PageSize = 256;
    rom.AddressSize = 3;
    rom.RomSize = static_cast<int32_t>(size);
    Reset();
  }
  ~Bench() {
    table.reset();
    ReleaseDevice(*host, &found);
  }
  void Reset() {
    host->ios.clear();
    device->ClearTrace();
    host->ClearConsole();
  }
  void Arm(sim::Fault::Type type, sim::RequestKind kind, uint32_t nth = 1, uint8_t op = 0) {
    sim::Fault fault;
    fault.type = type;
    fault.kind = kind;
    fault.nth = nth;
    fault.op = op;
    device->State().faults.push_back(fault);
  }
  size_t Count(sim::RequestKind kind) const {
    const auto& t = device->Trace();
    return static_cast<size_t>(std::count_if(
        t.begin(), t.end(), [&](const sim::TraceEntry& e) { return e.kind == kind; }));
  }
  sim::VirtualClock clock;
  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<RecordingHost> host;
  std::unique_ptr<Console> console;
  FoundDevice found;
  std::unique_ptr<RomAccessTable> table;
  RomParameter rom;
};

// --- own driver -------------------------------------------------------------

TEST(OwnDriverTransport, SendsTheVendorRequestsByteForByte) {
  Bench b(Face::Own);
  ASSERT_NE(b.table, nullptr);
  uint8_t data[16] = {};
  uint32_t words[2] = {};
  uint32_t signature = 0;
  struct Case {
    const char* name;
    std::function<void()> run;
    size_t bufferSize;
    std::string head;  // the first request
  };
  std::vector<Case> cases = {
      {"sector erase", [&] { b.table->EraseSector(b.rom, 0x3000); }, 28,
       "40 CA 0000 0000 0C00 00000000 0C000000 FD 03 0000 00300000 0000 0000"},
      {"chip erase", [&] { b.table->EraseChip(); }, 28,
       "40 CA 0000 0000 0C00 00000000 0C000000 FF 00 0000 00000000 0000 0000"},
      {"read", [&] { b.table->ReadRom(b.rom, data, 0x1000, 16); }, 4112,
       "40 CA 0000 0000 0C00 00000000 0C000000 01 03 0001 00100000 1000 0000"},
      {"write", [&] { b.table->WriteRom(b.rom, data, 0x2000, 16); }, 4112,
       "40 CB 0000 0000 1000 00000000 10000000"},
      {"rom type", [&] { b.table->GetRomType(); }, 17, "C0 C9 0000 0000 0100 00000000 01000000"},
      {"firmware version", [&] { b.table->GetFirmwareVersion(words); }, 24,
       "C0 C4 0000 0000 0800 00000000 08000000"},
      {"side signature", [&] { b.table->GetSideSignature(&signature); }, 20,
       "C3 C2 0000 0000 0400 00000000 04000000"},
  };
  for (const Case& c : cases) {
    b.Reset();
    c.run();
    ASSERT_FALSE(b.host->ios.empty()) << c.name;
    const auto& first = b.host->ios.front();
    EXPECT_EQ(first.code, 0x4E20E000u) << c.name;
    EXPECT_EQ(first.in.size(), c.bufferSize) << c.name;
    EXPECT_EQ(first.outLength, c.bufferSize) << c.name;
    Bytes head = Hex(c.head);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), first.in.begin())) << c.name;
    // Every request of one operation uses the operation's buffer size.
    for (const auto& io : b.host->ios) EXPECT_EQ(io.in.size(), c.bufferSize) << c.name;
    EXPECT_EQ(b.console->GetHost().GetLastError(), 0u) << c.name;
  }
  // The status request names the operation waited for.
  b.Reset();
  b.table->EraseSector(b.rom, 0);
  ASSERT_GE(b.host->ios.size(), 2u);
  Bytes status = Hex("C0 CC 0000 FD00 0200 00000000 02000000");
  EXPECT_TRUE(std::equal(status.begin(), status.end(), b.host->ios[1].in.begin()));
}

TEST(OwnDriverTransport, SideSignatureSentAsRecipientDeviceIsRefused) {
  Bench b(Face::Own);
  Bytes request = Hex("C0 C2 0000 0000 0400 00000000 04000000 00000000");
  uint32_t returned = 0;
  EXPECT_FALSE(b.host->DeviceIoControl(b.found.handle, 0x4E20E000, request.data(), 20,
                                       request.data(), 20, &returned));
  uint32_t signature = 0x12345678;
  b.table->GetSideSignature(&signature);
  EXPECT_EQ(signature, b.device->State().sideSignature);
}

TEST(OwnDriverTransport, WriteLongerThanThePageSendsNothing) {
  Bench b(Face::Own);
  Bytes data = test::Pattern(257);
  EXPECT_EQ(b.table->WriteRom(b.rom, data.data(), 0, 257), 0);
  EXPECT_TRUE(b.host->ios.empty());
  EXPECT_NE(b.table->WriteRom(b.rom, data.data(), 0, 256), 0);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 256, b.device->State().rom.begin()));
}

TEST(OwnDriverTransport, ZeroLengthReadAndWriteStillTalkToTheDevice) {
  Bench b(Face::Own);
  uint8_t byte = 0x77;
  EXPECT_NE(b.table->WriteRom(b.rom, &byte, 0, 0), 0);
  ASSERT_GE(b.host->ios.size(), 3u);
  EXPECT_EQ(b.host->ios[0].in[1], 0xCB);  // ROM_DATA with an empty data stage
  EXPECT_EQ(b.host->ios[0].in[6], 0);
  EXPECT_EQ(b.host->ios[1].in[1], 0xCA);  // then the block with length 0
  EXPECT_EQ(b.host->ios[1].in[16], 0x02);
  EXPECT_EQ(b.host->ios[2].in[1], 0xCC);
  b.Reset();
  EXPECT_NE(b.table->ReadRom(b.rom, &byte, 0, 0), 0);
  EXPECT_EQ(byte, 0x77);
  ASSERT_GE(b.host->ios.size(), 3u);
  EXPECT_EQ(b.host->ios.front().in[16], 0x01);
  EXPECT_EQ(b.host->ios.back().in[1], 0xCB);
}

TEST(OwnDriverTransport, AFinishedOperationCostsExactlyOnePause) {
  Bench b(Face::Own);
  b.device->State().timing.chipEraseUsPerMiB = 0;
  b.device->State().timing.sectorEraseUs = 0;
  b.device->State().timing.controlTransferUs = 0;
  EXPECT_NE(b.table->EraseChip(), 0);
  EXPECT_EQ(b.host->TotalSleepMs(), 1000u);
  EXPECT_EQ(b.Count(sim::RequestKind::RomStatus), 1u);
  uint32_t before = b.host->TotalSleepMs();
  EXPECT_NE(b.table->EraseSector(b.rom, 4096), 0);
  EXPECT_EQ(b.host->TotalSleepMs() - before, 1u);
}

TEST(OwnDriverTransport, FailedDataFetchLeavesTheDestinationAlone) {
  Bench b(Face::Own);
  b.Arm(sim::Fault::Type::FailRequest, sim::RequestKind::RomData);
  Bytes destination(64, 0xAB);
  EXPECT_EQ(b.table->ReadRom(b.rom, destination.data(), 0, 64), 0);
  EXPECT_EQ(destination, Bytes(64, 0xAB));
  EXPECT_EQ(b.console->GetHost().GetLastError(), kErrorGenFailure);
}

TEST(OwnDriverTransport, FailingQueriesGiveZerosOrKeepTheWord) {
  Bench b(Face::Own);
  b.Arm(sim::Fault::Type::FailRequest, sim::RequestKind::FirmwareVersion);
  b.Arm(sim::Fault::Type::FailRequest, sim::RequestKind::SideSignature);
  b.Arm(sim::Fault::Type::FailRequest, sim::RequestKind::RomType);
  uint32_t words[2] = {7, 7};
  b.table->GetFirmwareVersion(words);
  EXPECT_EQ(words[0], 0u);
  EXPECT_EQ(words[1], 0u);
  uint32_t signature = 0xCAFE;
  b.table->GetSideSignature(&signature);
  EXPECT_EQ(signature, 0xCAFEu);
  EXPECT_EQ(b.table->GetRomType(), 0xFF);
  // A healthy device answers.
  b.table->GetFirmwareVersion(words);
  EXPECT_EQ(words[0], b.device->State().firmwareVersion[0]);
  EXPECT_EQ(words[1], b.device->State().firmwareVersion[1]);
  EXPECT_EQ(b.table->GetRomType(), 1);
}

struct StallCase {
  Face face;
  uint8_t op;
  uint32_t limitMs;
};

class StalledDeviceTest : public ::testing::TestWithParam<StallCase> {};

TEST_P(StalledDeviceTest, WaitGivesUpAtItsLimitWithTimeout) {
  const StallCase& c = GetParam();
  Bench b(c.face);
  b.Arm(sim::Fault::Type::StallOp, sim::RequestKind::Any, 1, c.op);
  uint64_t start = b.host->TickCountMs();
  uint8_t data[256] = {};
  int result = c.op == kOpChipErase     ? b.table->EraseChip()
               : c.op == kOpSectorErase ? b.table->EraseSector(b.rom, 0)
               : c.op == kOpRead        ? b.table->ReadRom(b.rom, data, 0, 256)
                                        : b.table->WriteRom(b.rom, data, 0, 256);
  uint64_t elapsed = b.host->TickCountMs() - start;
  EXPECT_EQ(result, 0);
  EXPECT_EQ(b.console->GetHost().GetLastError(), kErrorTimeout);
  EXPECT_GE(elapsed, c.limitMs);
  EXPECT_LT(elapsed, c.limitMs + 2000);
}

INSTANTIATE_TEST_SUITE_P(
    Ops, StalledDeviceTest,
    ::testing::Values(StallCase{Face::Own, 0xFF, 600000}, StallCase{Face::Own, 0xFD, 10000},
                      StallCase{Face::Own, 0x01, 10000}, StallCase{Face::Own, 0x02, 10000},
                      StallCase{Face::Cdrom, 0xFF, 600000}, StallCase{Face::Cdrom, 0xFD, 10000},
                      StallCase{Face::Xu, 0xFD, 10000}, StallCase{Face::Xu, 0x01, 10000},
                      StallCase{Face::Xu, 0x02, 10000}));

// --- CD-ROM -----------------------------------------------------------------

TEST(CdRomTransport, PassThroughHeaderAndCdbByteForByte) {
  Bench b(Face::Cdrom);
  EXPECT_NE(b.table->EraseSector(b.rom, 0x3000), 0);
  ASSERT_GE(b.host->ios.size(), 2u);
  const auto& erase = b.host->ios[0];
  EXPECT_EQ(erase.code, 0x4D004u);
  EXPECT_EQ(erase.in.size(), 296u);
  EXPECT_EQ(erase.outLength, 296u);
  Bytes header =
      Hex("2C00 00 00 00 00 10 FC 02 000000 00000000 05000000 28010000 2C000000"
          "CA 5A454D42 FD 00 0000 00003000 0000 00");
  EXPECT_EQ(Bytes(erase.in.begin(), erase.in.begin() + 44), header);
  EXPECT_EQ(Bytes(erase.in.begin() + 44, erase.in.end()), Bytes(252, 0));
  const auto& status = b.host->ios[1];
  EXPECT_EQ(status.in.size(), 298u);
  Bytes statusCdb = Hex("CC 5A454D42 FF 00 0000 00000000 0002 00");
  EXPECT_TRUE(std::equal(statusCdb.begin(), statusCdb.end(), status.in.begin() + 28));
  EXPECT_EQ(status.in[8], 1);
  EXPECT_EQ(status.in[12], 2);
}

TEST(CdRomTransport, ReadsAndWritesAreOneCommandEach) {
  Bench b(Face::Cdrom);
  Bytes data = test::Pattern(256);
  EXPECT_NE(b.table->WriteRom(b.rom, data.data(), 0xB000, 256), 0);
  ASSERT_EQ(b.host->ios.size(), 1u);
  EXPECT_EQ(b.host->ios[0].in.size(), 296u + 256u);
  EXPECT_EQ(b.host->ios[0].in[8], 0);  // data out
  EXPECT_TRUE(std::equal(data.begin(), data.end(), b.host->ios[0].in.begin() + 296));
  Bytes address = Hex("00 00 B0 00");
  EXPECT_TRUE(std::equal(address.begin(), address.end(), b.host->ios[0].in.begin() + 28 + 9));

  b.Reset();
  EXPECT_EQ(b.table->WriteRom(b.rom, data.data(), 0, 257), 0);
  EXPECT_TRUE(b.host->ios.empty());
  EXPECT_EQ(b.host->Stdout(), "") << "a refused write prints nothing";

  Bytes back(4096, 0);
  EXPECT_NE(b.table->ReadRom(b.rom, back.data(), 0xB000 - 3840, 4096), 0);
  ASSERT_EQ(b.host->ios.size(), 1u);
  const auto& read = b.host->ios[0];
  EXPECT_EQ(read.in.size(), 4392u);
  EXPECT_EQ(read.in[8], 1);
  EXPECT_EQ(GetLe32(&read.in[12]), 4096u);
  EXPECT_EQ(read.in[28 + 13], 0x10);
  EXPECT_EQ(read.in[28 + 14], 0x00);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 3840));
}

TEST(CdRomTransport, FailuresPrintTheirLines) {
  struct Case {
    sim::RequestKind kind;
    std::function<int(Bench&)> run;
    std::string out;
  };
  uint8_t data[16] = {};
  std::vector<Case> cases = {
      {sim::RequestKind::AccessRom, [&](Bench& b) { return b.table->EraseChip(); },
       "ACCESS_ROM ERROR !\n"},
      {sim::RequestKind::RomStatus, [&](Bench& b) { return b.table->EraseSector(b.rom, 0); },
       "GET_ROMLD_STATUS ERROR !\n"},
      {sim::RequestKind::AccessRom, [&](Bench& b) { return b.table->ReadRom(b.rom, data, 0, 16); },
       "ACCESS_ROM READ DATA ERROR !\n"},
      {sim::RequestKind::AccessRom, [&](Bench& b) { return b.table->WriteRom(b.rom, data, 0, 16); },
       "ACCESS_ROM WRITE DATA ERROR !\n"},
      {sim::RequestKind::SideSignature,
       [&](Bench& b) {
         uint32_t s = 0;
         b.table->GetSideSignature(&s);
         return 0;
       },
       "GetSideSignature error !\n"},
      {sim::RequestKind::FirmwareVersion,
       [&](Bench& b) {
         uint32_t w[2] = {5, 6};
         b.table->GetFirmwareVersion(w);
         EXPECT_EQ(w[0], 5u);
         return 0;
       },
       "GetFirmwareVersion error !\n"},
      {sim::RequestKind::RomType, [&](Bench& b) { return b.table->GetRomType() == 0xFF ? 0 : 1; },
       ""},
  };
  // A command the device refuses with CHECK CONDITION fails exactly as a
  // failed IOCTL does, with ERROR_IO_DEVICE left for the error block.
  for (sim::Fault::Type type : {sim::Fault::Type::FailRequest, sim::Fault::Type::RefuseCommand}) {
    for (const Case& c : cases) {
      Bench b(Face::Cdrom);
      b.Arm(type, c.kind);
      EXPECT_EQ(c.run(b), 0) << c.out;
      EXPECT_EQ(b.host->Stdout(), c.out);
      EXPECT_EQ(b.host->GetLastError(),
                type == sim::Fault::Type::FailRequest ? kErrorGenFailure : kErrorIoDevice)
          << c.out;
      EXPECT_TRUE(b.device->State().faults[0].fired) << c.out;
    }
  }
}

TEST(CdRomTransport, RefusedReadLeavesTheDestinationAlone) {
  for (uint8_t addressSize : {1, 5}) {
    Bench b(Face::Cdrom);
    b.rom.AddressSize = addressSize;  // 0xB000 does not fit in one byte; 5 is no size at all
    uint8_t data[16];
    std::fill(std::begin(data), std::end(data), 0x5A);
    EXPECT_EQ(b.table->ReadRom(b.rom, data, 0xB000, 16), 0);
    EXPECT_EQ(b.host->Stdout(), "ACCESS_ROM READ DATA ERROR !\n");
    EXPECT_TRUE(std::all_of(std::begin(data), std::end(data), [](uint8_t v) { return v == 0x5A; }));
    ASSERT_EQ(b.device->Trace().size(), 1u);
    EXPECT_EQ(b.device->Trace()[0].note.rfind("CHECK CONDITION", 0), 0u);
  }
}

TEST(CdRomTransport, OnlyAGoodAnswerCountsAsDone) {
  struct Case {
    const char* name;
    uint8_t status;
    Bytes sense;  // as the driver returned it
    bool good;
  };
  const std::vector<Case> cases = {
      {"good", 0x00, {}, true},
      {"check condition", 0x02, Hex("70 00 05 00 00 00 00 0A 00 00 00 00 24 00"), false},
      {"check condition, no sense", 0x02, {}, false},
      {"busy", 0x08, {}, false},
      {"reservation conflict", 0x18, {}, false},
      {"task set full", 0x28, {}, false},
      {"good with an error in fixed sense", 0x00, Hex("70 00 04 00 00 00 00 0A"), false},
      {"good with an error in descriptor sense", 0x00, Hex("72 03 11 00 00 00 00 00"), false},
      {"good with a recovered error", 0x00, Hex("70 00 01 00 00 00 00 0A"), true},
      {"good, sense length left at the area's size", 0x00, Bytes(kSenseLength, 0), true},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, kPassThroughBufferSize> buffer{};
    FillPassThrough(buffer, kScsiDataIn, 1, CdbQuery(GET_ROM_TYPE, 1));
    buffer[2] = c.status;
    buffer[7] = static_cast<uint8_t>(c.sense.size());
    std::copy(c.sense.begin(), c.sense.end(), buffer.begin() + kSenseOffset);
    EXPECT_EQ(PassThroughAnsweredGood(buffer), c.good) << c.name;
  }
}

TEST(CdRomTransport, AFinishedEraseCostsExactlyOnePause) {
  Bench b(Face::Cdrom);
  b.device->State().timing.sectorEraseUs = 0;
  b.device->State().timing.chipEraseUsPerMiB = 0;
  b.device->State().timing.scsiCommandUs = 0;
  EXPECT_NE(b.table->EraseSector(b.rom, 0), 0);
  EXPECT_EQ(b.host->TotalSleepMs(), 1u);
  EXPECT_NE(b.table->EraseChip(), 0);
  EXPECT_EQ(b.host->TotalSleepMs(), 1001u);
}

// --- extension unit -----------------------------------------------------------

TEST(XuTransport, ReadOf600BytesGoesIn256ByteChunks) {
  Bench b(Face::Xu);
  Bytes image = test::Pattern(65536, 3);
  b.device->State().rom = image;
  const uint32_t a = 0x1234;
  Bytes destination(700, 0xEE);
  EXPECT_NE(b.table->ReadRom(b.rom, destination.data(), a, 600), 0);
  std::vector<std::pair<uint32_t, uint32_t>> starts;
  size_t dataReads = 0;
  for (const auto& e : b.device->Trace()) {
    if (e.kind == sim::RequestKind::AccessRom) starts.push_back({e.address, e.length});
    if (e.kind == sim::RequestKind::RomData && !e.toDevice) ++dataReads;
  }
  EXPECT_EQ(starts,
            (std::vector<std::pair<uint32_t, uint32_t>>{{a, 256}, {a + 256, 256}, {a + 512, 88}}));
  EXPECT_EQ(dataReads, 3u);
  EXPECT_TRUE(std::equal(destination.begin(), destination.begin() + 600, image.begin() + a));
  EXPECT_EQ(Bytes(destination.begin() + 600, destination.end()), Bytes(100, 0xEE));
  EXPECT_EQ(b.host->Stderr(), "");
}

TEST(XuTransport, OnePageWriteIsOneDataWriteOneStartOneWait) {
  Bench b(Face::Xu);
  Bytes data = test::Pattern(256);
  EXPECT_NE(b.table->WriteRom(b.rom, data.data(), 0x2000, 256), 0);
  EXPECT_EQ(b.Count(sim::RequestKind::AccessRom), 1u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), b.device->State().rom.begin() + 0x2000));
  EXPECT_EQ(b.table->WriteRom(b.rom, data.data(), 0, 257), 0);
}

TEST(XuTransport, ShortStatusReadCountsAsFailed) {
  Bench b(Face::Xu);
  b.Arm(sim::Fault::Type::ShortRead, sim::RequestKind::Any);
  EXPECT_EQ(b.table->EraseSector(b.rom, 0), 0);
  EXPECT_EQ(b.host->Stderr(),
            "\nERROR:  to set XU_CONTROL_UnableVENDOR_ACCESS. (Error 0x80004005)\n");
}

TEST(XuTransport, FailedEraseStartSendsNoStatusRequest) {
  Bench b(Face::Xu);
  b.Arm(sim::Fault::Type::FailRequest, sim::RequestKind::XuWrite);
  EXPECT_EQ(b.table->EraseSector(b.rom, 0), 0);
  EXPECT_EQ(b.Count(sim::RequestKind::RomStatus), 0u);
  EXPECT_NE(b.host->Stderr().find("XU_CONTROL_UnableVENDOR_ACCESS"), std::string::npos);
}

TEST(XuTransport, ChipEraseAndQueriesSendNothing) {
  Bench b(Face::Xu);
  size_t calls = b.host->Calls().size();
  EXPECT_EQ(b.table->EraseChip(), 1);
  uint32_t words[2] = {3, 4};
  b.table->GetFirmwareVersion(words);
  uint32_t signature = 9;
  b.table->GetSideSignature(&signature);
  EXPECT_EQ(words[0], 3u);
  EXPECT_EQ(words[1], 4u);
  EXPECT_EQ(signature, 9u);
  EXPECT_EQ(b.host->Calls().size(), calls) << "no property request at all";
  EXPECT_TRUE(b.device->Trace().empty());
  EXPECT_EQ(b.table->GetRomType(), 1);
}

}  // namespace
}  // namespace zemb
