// ReadRomConfig on any file content: it must never read or write out of
// bounds, and what it accepts must be a usable geometry.
#include <cstdio>
#include <cstring>

#include "common/base/console.h"
#include "common/rom/rom_config.h"
#include "fuzz/fuzz_support.h"
#include "sim/sim_host.h"

namespace {

// A text field is always terminated within its 20 bytes.
bool Terminated(const char (&field)[20]) {
  return std::memchr(field, 0, sizeof field) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zemb;
  fuzz::EnterScratchDirectory();
  std::FILE* file = std::fopen("fuzz.cfg", "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  sim::VirtualClock clock;
  sim::SimHost host(sim::SimMachine{}, nullptr, clock, sim::ConsoleMode::Capture);
  Console console(host);
  uint8_t romType = kRomTypeUnset;
  RomParameter rom;
  const int result = ReadRomConfig(console, "fuzz.cfg", &romType, &rom);

  ZEMB_FUZZ_CHECK(result == 0 || result == 1);
  ZEMB_FUZZ_CHECK(Terminated(rom.RomTypeName) && Terminated(rom.ExtraText1) &&
                  Terminated(rom.ExtraText2));
  ZEMB_FUZZ_CHECK(romType == kRomTypeUnset || romType == kRomTypeSpi || romType == kRomTypeI2c);
  if (result == 1) {
    ZEMB_FUZZ_CHECK(romType != kRomTypeUnset);
    ZEMB_FUZZ_CHECK(rom.RomSize != 0 && rom.PageSize != 0 && rom.AddressSize != 0);
    ZEMB_FUZZ_CHECK(host.Stdout().empty());
  } else {
    // Every refusal tells the operator why.
    ZEMB_FUZZ_CHECK(host.Stdout().find("!!!") != std::string::npos);
  }
  return 0;
}
