// zemb's command line on any words, run against a small simulated device:
// the parser's result is one zemb can act on, a refused command line or
// file never reaches the device, and no run ends in a status zemb does not
// have.
#include "fuzz/fuzz_support.h"
#include "sim/sim_host.h"
#include "zemb/zemb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  fuzz::EnterScratchDirectory();
  fuzz::Words words(data, size, "zemb");

  ZembOptions options;
  std::string error;
  if (ParseZembArguments(words.Argc(), words.Argv(), &options, &error)) {
    ZEMB_FUZZ_CHECK(options.command != ZembCommand::None);
    const bool rom = options.command == ZembCommand::Read ||
                     options.command == ZembCommand::Verify ||
                     options.command == ZembCommand::Write;
    if (rom) ZEMB_FUZZ_CHECK(!options.file.empty() && !options.config.empty());
    ZEMB_FUZZ_CHECK(!options.length || *options.length > 0);
    ZEMB_FUZZ_CHECK(!(options.all && !options.devices.empty()));
  } else {
    ZEMB_FUZZ_CHECK(!error.empty());
  }

  sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 65536);
  sim::SimRig rig(state);
  const int status = RunZemb(words.Argc(), words.Argv(), *rig.host);
  ZEMB_FUZZ_CHECK(status >= kExitOk && status <= kExitNoDevice);
  if (status == kExitUsage) ZEMB_FUZZ_CHECK(rig.device->Trace().empty());
  ZEMB_FUZZ_CHECK(rig.host->OpenHandles() == 0);
  return 0;
}
