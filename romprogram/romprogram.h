// ZembRomProgram: composes Kesh ROM image files and burns, updates, prints
// and erases the device ROM, one function per run.
#pragma once

#include <cstdint>

#include "common/base/console.h"
#include "common/device/rom_access.h"
#include "common/host/host.h"
#include "common/rom/rom_parameter.h"

namespace zemb {

// RomProgramParameters::Function: what the command line asks the run to do.
enum RomProgramFunction : uint8_t {
  FUNCTION_UNKNOWN,  // the command line is not valid
  FUNCTION_MAKE_BIN_FILE,
  FUNCTION_BURN_BIN_FILE,
  FUNCTION_PROGRAM_HWFW,
  FUNCTION_PROGRAM_IMG,
  FUNCTION_PRINT_ADDRESS,
  FUNCTION_ERASE_SPICHIP,
  FUNCTION_PROGRAM_DESC,
};

inline constexpr const char* kRomProgramTool = "ZembRomProgram";
inline constexpr const char* kRomProgramVersion = "2.4.01";
inline constexpr const char* kKeshFileName = "KESH_ROM_FILE.bin";
inline constexpr const char* kLogFolder = "Log_ZembRomProgram";

struct RomProgramParameters {
  uint32_t ShowVersion = 0;
  uint32_t NeedDevice = 0;
  uint8_t Function = FUNCTION_UNKNOWN;
  uint8_t RomType = kRomTypeUnset;
  const char* ConfigPath = nullptr;
  const char* BinPath = nullptr;
  int32_t StartAddress = 0;
  const char* DescPath = nullptr;
  uint32_t DescStart = 0;
  uint32_t DescLength = 0;
  const char* ImagePath = nullptr;
  uint32_t ImageStart = 0;
  uint32_t ImageLength = 0;
  const char* HwFwPath = nullptr;
  uint32_t HwFwLength = 0;
  RomParameter Rom;
};

void ParseRomProgramArguments(int argc, const char* const* argv, RomProgramParameters& params);
int CheckParameter(Console& console, RomProgramParameters& params);
void PrintUsage(Console& console);

// The run log's name for a local time: Log_ZembRomProgram\MMDD_HHMM.log.
std::string RunLogPath(const LocalTime& time);

// The whole run; always 0, the verdict is in the text.
int RunRomProgram(int argc, const char* const* argv, Host& host);

// The functions. Each returns non-zero for success and 0 for failure.
int MakeBinFile(Console& console, RomProgramParameters& params);
int BurnBinFile(Console& console, RomAccessTable& rom, RomProgramParameters& params);
int ProgramHwFw(Console& console, RomAccessTable& rom, RomProgramParameters& params);
int ProgramImage(Console& console, RomAccessTable& rom, RomProgramParameters& params);
int PrintAddress(Console& console, RomAccessTable& rom, RomProgramParameters& params);
int EraseSpiChip(Console& console, RomAccessTable& rom, RomProgramParameters& params);
int ProgramDesc(Console& console, RomAccessTable& rom, RomProgramParameters& params);

}  // namespace zemb
