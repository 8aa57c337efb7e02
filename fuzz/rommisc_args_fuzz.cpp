// ZembRomMisc's command line: ParseMiscArguments and CheckMiscParameters on
// any words.
#include "common/base/console.h"
#include "fuzz/fuzz_support.h"
#include "rommisc/rommisc.h"
#include "sim/sim_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  fuzz::EnterScratchDirectory();
  fuzz::Words words(data, size, "ZembRomMisc");

  RomMiscParameters params;
  ParseMiscArguments(words.Argc(), words.Argv(), params);
  ZEMB_FUZZ_CHECK(params.Function == 0 || params.Function == FUNCTION_MAC ||
                  params.Function == FUNCTION_SER);
  ZEMB_FUZZ_CHECK(params.NeedDevice == (params.Function != 0 ? 1u : 0u));

  sim::VirtualClock clock;
  sim::SimHost host(sim::SimMachine{}, nullptr, clock, sim::ConsoleMode::Capture);
  Console console(host);
  if (CheckMiscParameters(console, params)) {
    ZEMB_FUZZ_CHECK(params.Function != 0);
    ZEMB_FUZZ_CHECK(params.RomType == kRomTypeSpi || params.RomType == kRomTypeI2c);
    ZEMB_FUZZ_CHECK(params.Rom.PageSize != 0);
    if (params.Function == FUNCTION_SER) {
      for (uint16_t unit : params.SerialNumber) {
        ZEMB_FUZZ_CHECK((unit >= '0' && unit <= '9') || (unit >= 'A' && unit <= 'F'));
      }
    }
  } else {
    PrintUsage(console, params);
  }
  return 0;
}
