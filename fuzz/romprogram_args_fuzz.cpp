// ZembRomProgram's command line: ParseRomProgramArguments and CheckParameter
// on any words. The configuration paths they name are the scratch
// directory's files, or names that do not exist.
#include <cstring>

#include "common/base/console.h"
#include "fuzz/fuzz_support.h"
#include "romprogram/romprogram.h"
#include "sim/sim_host.h"

namespace {

// A path the parser keeps must be one of the words it was given.
bool FromArgv(const char* path, int argc, const char* const* argv) {
  if (path == nullptr) return true;
  for (int i = 1; i < argc; ++i) {
    if (path == argv[i]) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  fuzz::EnterScratchDirectory();
  fuzz::Words words(data, size, "ZembRomProgram");
  const int argc = words.Argc();
  const char* const* argv = words.Argv();

  RomProgramParameters params;
  ParseRomProgramArguments(argc, argv, params);
  ZEMB_FUZZ_CHECK(params.Function <= FUNCTION_PROGRAM_DESC);
  ZEMB_FUZZ_CHECK(!(params.ShowVersion && params.Function != FUNCTION_UNKNOWN));
  ZEMB_FUZZ_CHECK(
      params.NeedDevice ==
      (params.Function != FUNCTION_UNKNOWN && params.Function != FUNCTION_MAKE_BIN_FILE ? 1u : 0u));
  for (const char* path :
       {params.ConfigPath, params.BinPath, params.DescPath, params.ImagePath, params.HwFwPath}) {
    ZEMB_FUZZ_CHECK(FromArgv(path, argc, argv));
  }

  sim::VirtualClock clock;
  sim::SimHost host(sim::SimMachine{}, nullptr, clock, sim::ConsoleMode::Capture);
  Console console(host);
  const int checked = CheckParameter(console, params);
  if (checked && params.Function != FUNCTION_MAKE_BIN_FILE) {
    // Every device function goes on with a geometry the reader accepted.
    ZEMB_FUZZ_CHECK(params.RomType == kRomTypeSpi || params.RomType == kRomTypeI2c);
    ZEMB_FUZZ_CHECK(params.Rom.RomSize != 0 && params.Rom.PageSize != 0 &&
                    params.Rom.AddressSize != 0);
  }
  if (checked && params.Function == FUNCTION_PRINT_ADDRESS) {
    ZEMB_FUZZ_CHECK(params.StartAddress >= 0);
    ZEMB_FUZZ_CHECK(static_cast<int64_t>(params.StartAddress) + 4096 <= params.Rom.RomSize);
  }
  if (!checked) PrintUsage(console);
  return 0;
}
