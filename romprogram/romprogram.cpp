#include "romprogram/romprogram.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/base/numbers.h"
#include "common/base/text.h"
#include "common/device/discovery.h"
#include "common/device/reporting.h"
#include "common/rom/rom_config.h"

namespace zemb {

void ParseRomProgramArguments(int argc, const char* const* argv, RomProgramParameters& p) {
  p.RomType = kRomTypeUnset;
  p.Function = FUNCTION_UNKNOWN;
  if (argc < 2 || argv[1] == nullptr) return;
  const char* word = argv[1];
  auto is = [word](const char* keyword, const char* letter) {
    return EqualsIgnoreCase(word, keyword) || EqualsIgnoreCase(word, letter);
  };
  auto device = [&p](uint8_t function) {
    p.Function = function;
    p.NeedDevice = 1;
  };
  // The four functions that write one file to the device ROM.
  struct FileFunction {
    const char* keyword;
    const char* letter;
    uint8_t function;
    const char* RomProgramParameters::*file;
  };
  static const FileFunction kFileFunctions[] = {
      {"BURN", "B", FUNCTION_BURN_BIN_FILE, &RomProgramParameters::BinPath},
      {"HWFW", "H", FUNCTION_PROGRAM_HWFW, &RomProgramParameters::HwFwPath},
      {"IMG", "I", FUNCTION_PROGRAM_IMG, &RomProgramParameters::ImagePath},
      {"DESC", "D", FUNCTION_PROGRAM_DESC, &RomProgramParameters::DescPath},
  };
  for (const FileFunction& f : kFileFunctions) {
    if (!is(f.keyword, f.letter)) continue;
    if (argc == 4) {
      p.*f.file = argv[2];
      p.ConfigPath = argv[3];
      device(f.function);
    }
    return;
  }
  if (is("MAKE", "M")) {
    // The image file is optional.
    if (argc == 4 || argc == 5) {
      p.HwFwPath = argv[2];
      p.DescPath = argv[3];
      if (argc == 5) p.ImagePath = argv[4];
      p.Function = FUNCTION_MAKE_BIN_FILE;
    }
  } else if (is("PRINT", "P")) {
    if (argc == 4) {
      p.ConfigPath = argv[2];
      // Read as atoi reads it: an address copied from a script may carry a
      // line end or a form feed before its digits; a value beyond 32 bits
      // is held at the nearer limit and refused by the range check.
      ReadDecimalPrefix(argv[3], true, &p.StartAddress);
      device(FUNCTION_PRINT_ADDRESS);
    }
  } else if (is("ERASE", "E")) {
    if (argc == 3) {
      p.ConfigPath = argv[2];
      device(FUNCTION_ERASE_SPICHIP);
    }
  } else if (is("VER", "V")) {
    if (argc == 2) p.ShowVersion = 1;
  }
}

int CheckParameter(Console& console, RomProgramParameters& p) {
  auto readConfig = [&]() { return ReadRomConfig(console, p.ConfigPath, &p.RomType, &p.Rom) == 1; };
  switch (p.Function) {
    case FUNCTION_MAKE_BIN_FILE:
      console.Write("    CheckParameter, FUNCTION_MAKE_BIN_FILE \n");
      return p.HwFwPath != nullptr && p.DescPath != nullptr;
    case FUNCTION_BURN_BIN_FILE:
      console.Write("    CheckParameter, FUNCTION_BURN_BIN_FILE \n");
      return p.BinPath != nullptr && readConfig();
    case FUNCTION_PROGRAM_HWFW:
      console.Write("    CheckParameter, FUNCTION_PROGRAM_HWFW \n");
      return p.HwFwPath != nullptr && readConfig();
    case FUNCTION_PROGRAM_IMG:
      console.Write("    CheckParameter, FUNCTION_PROGRAM_IMG \n");
      return p.ImagePath != nullptr && readConfig();
    case FUNCTION_PRINT_ADDRESS: {
      console.Write("    CheckParameter, FUNCTION_PRINT_ADDRESS \n");
      if (!readConfig()) return 0;
      // A negative address would wrap around the unsigned range check.
      if (p.StartAddress < 0) {
        console.Print("    Start Address %d is negative !!!\n", p.StartAddress);
        return 0;
      }
      uint64_t end = static_cast<uint64_t>(static_cast<uint32_t>(p.StartAddress)) + 4096;
      if (end > static_cast<uint32_t>(p.Rom.RomSize)) {
        console.Print("    Start Address exceed ROM Size %d size !!!\n", p.Rom.RomSize);
        return 0;
      }
      return 1;
    }
    case FUNCTION_ERASE_SPICHIP:
      console.Write("    CheckParameter, FUNCTION_ERASE_SPICHIP \n");
      if (readConfig() && p.RomType == kRomTypeSpi) {
        // Erased sector by sector, a negative size would run over 4 GiB of
        // addresses; refused on every face, before the device is touched.
        if (p.Rom.RomSize < 0) {
          console.Print("    ROM Size %d is negative !!!\n", p.Rom.RomSize);
          return 0;
        }
        return 1;
      }
      console.Write("    The device ROM is not SPI !!!\n");
      return 0;
    case FUNCTION_PROGRAM_DESC:
      console.Write("    CheckParameter, FUNCTION_PROGRAM_DESC \n");
      return p.DescPath != nullptr && readConfig();
    default:
      console.Write("    CheckParameter, FUNCTION_UNKNOWN \n");
      return 0;
  }
}

void PrintUsage(Console& console) {
  static const char* const kLines[] = {
      "Command Syntax:",
      "    ZembRomProgram.exe {Function} {Files} {ROM Config} [Address]",
      "",
      "",
      "Function:",
      "    MAKE            - Make KESH BIN file,",
      "                      include Header + HW/FW + DESC + Image.",
      "    BURN            - Burn KESH BIN file to ROM.",
      "    HWFW            - Update HW/FW sector to ROM.",
      "    IMG             - Update Image sector to ROM.",
      "    DESC            - Update Descriptor sector to ROM.",
      "    PRINT           - Print the ROM data.",
      "    ERASE           - ERASE the ROM chip. (only for SPI ROM)",
      "",
      "",
      "Files:",
      "    IMG File        - Image ISO file",
      "    Kesh File       - Kesh Binary File",
      "    HW/FW File      - HW/FW Binary File",
      "    ROM Config      - ROM configuration information",
      "    DESC File       - Descriptor Binary File",
      "",
      "",
      "Example:",
      "    ZembRomProgram.exe MAKE   {HW/FW File} {DESC File} {IMG File}",
      "    ZembRomProgram.exe BURN   {Kesh  File} {ROM Config}",
      "",
      "    ZembRomProgram.exe HWFW   {HW/FW File} {ROM Config}",
      "    ZembRomProgram.exe IMG    {IMG   File} {ROM Config}",
      "    ZembRomProgram.exe DESC   {Desc  File} {ROM Config}",
      "",
      "    ZembRomProgram.exe PRINT  {ROM Config} {Start Address}",
      "    ZembRomProgram.exe ERASE  {ROM Config}",
  };
  for (const char* line : kLines) WritePadded(console, line);
}

std::string RunLogPath(const LocalTime& t) {
#if defined(_WIN32)
  const char* format = ".\\%s\\%02u%02u_%02u%02u.log";
#else
  const char* format = "./%s/%02u%02u_%02u%02u.log";
#endif
  return Format(format, kLogFolder, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day),
                static_cast<unsigned>(t.hour), static_cast<unsigned>(t.minute));
}

namespace {

// Runs the checked function; the device functions work on the session's
// table. Non-zero for success.
int RunFunction(Console& console, RomSession& session, RomProgramParameters& params) {
  if (params.Function == FUNCTION_MAKE_BIN_FILE) return MakeBinFile(console, params);
  struct DeviceFunction {
    uint8_t function;
    int (*run)(Console& console, RomAccessTable& rom, RomProgramParameters& params);
    bool banner;  // the functions that write the ROM end with the verdict banner
  };
  static const DeviceFunction kFunctions[] = {
      {FUNCTION_BURN_BIN_FILE, BurnBinFile, true},   {FUNCTION_PROGRAM_HWFW, ProgramHwFw, true},
      {FUNCTION_PROGRAM_IMG, ProgramImage, true},    {FUNCTION_PROGRAM_DESC, ProgramDesc, true},
      {FUNCTION_PRINT_ADDRESS, PrintAddress, false}, {FUNCTION_ERASE_SPICHIP, EraseSpiChip, false},
  };
  for (const DeviceFunction& f : kFunctions) {
    if (f.function != params.Function) continue;
    const int result = f.run(console, session.GetTable(), params);
    if (f.banner) ShowBurnResult(console, result != 0);
    return result;
  }
  return 0;
}

}  // namespace

int RunRomProgram(int argc, const char* const* argv, Host& host) {
  Console console(host);
  RomProgramParameters params;
  ParseRomProgramArguments(argc, argv, params);
  if (params.ShowVersion) {
    ShowToolVersion(console, kRomProgramTool, kRomProgramVersion);
    return 0;
  }
  if (!CheckParameter(console, params)) {
    PrintUsage(console);
    return 0;
  }

  host.CreateDirectory(kLogFolder);
  // Appending keeps the log of an earlier run in the same minute.
  const std::string logPath = RunLogPath(host.GetLocalTime());
  if (!console.OpenLog(logPath)) {
    // The run goes on without its log (a file where the folder belongs, a
    // read-only directory); the operator has to know that none is kept.
    console.Print("    Cannot create run log %s !!!\n", logPath.c_str());
  }

  RomSession session(console, BindRomAccessTable);
  if (params.NeedDevice && !OpenRomToolSession(session, console, kRomProgramTool)) {
    console.CloseLog();
    return 0;
  }
  const int result = RunFunction(console, session, params);
  if (result == 0) ShowToolFail(console, kRomProgramTool);
  console.CloseLog();
  session.Release();
  return 0;
}

}  // namespace zemb
