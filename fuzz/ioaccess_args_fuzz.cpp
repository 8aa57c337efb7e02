// ZembIoAccess's command line: ParseIoArguments on any words, then the
// dispatch of what it accepted against a table that checks what reaches
// the transport.
#include <cstring>

#include "common/base/console.h"
#include "fuzz/fuzz_support.h"
#include "ioaccess/ioaccess.h"
#include "sim/sim_host.h"

namespace {

using namespace zemb;

// Stands in for a transport: refuses nothing, answers reads with a pattern,
// and checks that no operation is handed more than the 16 bytes one
// IO_ACCESS command moves.
class CheckingTable final : public IoAccessTable {
 public:
  int I2cRead(uint8_t, uint8_t, uint32_t, uint8_t length, uint8_t* destination) override {
    ZEMB_FUZZ_CHECK(length <= kIoMaxLength);
    ++calls;
    for (uint8_t i = 0; i < length; ++i) destination[i] = static_cast<uint8_t>(0xA0 + i);
    return 1;
  }
  int I2cWrite(uint8_t, uint8_t, uint32_t, uint8_t length, const uint8_t* source) override {
    ZEMB_FUZZ_CHECK(length <= kIoMaxLength);
    ++calls;
    std::memcpy(written, source, length);
    return 1;
  }
  int GpioGet(uint8_t* value) override {
    ++calls;
    *value = 0x5A;
    return 1;
  }
  int GpioSet(const uint8_t*) override { return ++calls; }
  int GpioSetDirection(const uint8_t*) override { return ++calls; }

  int calls = 0;
  uint8_t written[kIoMaxLength] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Words words(data, size, "ZembIoAccess");
  IoRequest request;
  ParseIoArguments(words.Argc(), words.Argv(), request);
  ZEMB_FUZZ_CHECK(request.Operation <= IO_OPERATION_GPIO_SET);

  sim::VirtualClock clock;
  sim::SimHost host(sim::SimMachine{}, nullptr, clock, sim::ConsoleMode::Capture);
  Console console(host);
  if (request.Operation == IO_OPERATION_NONE) {
    PrintIoUsage(console);
    return 0;
  }
  CheckingTable table;
  const IoRequest parsed = request;
  ZEMB_FUZZ_CHECK(DispatchIoRequest(console, table, request) == 1);
  ZEMB_FUZZ_CHECK(table.calls == 1);
  if (request.Operation == IO_OPERATION_I2C_WRITE) {
    // The values written are the ones the command line gave.
    ZEMB_FUZZ_CHECK(std::memcmp(table.written, parsed.Data, request.DataSize) == 0);
  }
  return 0;
}
