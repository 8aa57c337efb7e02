#include "romprogram/romprogram.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/device/discovery.h"
#include "common/device/reporting.h"
#include "common/base/text.h"
#include "common/rom/rom_config.h"

namespace zemb {

namespace {

// atoi: optional sign, then decimal digits up to the first other character.
// Digits past what 32 bits hold are ignored instead of overflowing.
int32_t DecimalValue(const char* text) {
  const char* p = text;
  // Every blank atoi skips: a start address copied from a script may carry
  // a line end or a form feed before its digits.
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= 0x100000000LL) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > 2147483647LL) value = 2147483647LL;
  if (value < -2147483648LL) value = -2147483648LL;
  return static_cast<int32_t>(value);
}

}  // namespace

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
  if (is("MAKE", "M")) {
    if (argc == 5) {
      p.HwFwPath = argv[2];
      p.DescPath = argv[3];
      p.ImagePath = argv[4];
      p.Function = FUNCTION_MAKE_BIN_FILE;
    } else if (argc == 4) {
      p.HwFwPath = argv[2];
      p.DescPath = argv[3];
      p.Function = FUNCTION_MAKE_BIN_FILE;
    }
  } else if (is("BURN", "B")) {
    if (argc == 4) {
      p.BinPath = argv[2];
      p.ConfigPath = argv[3];
      device(FUNCTION_BURN_BIN_FILE);
    }
  } else if (is("HWFW", "H")) {
    if (argc == 4) {
      p.HwFwPath = argv[2];
      p.ConfigPath = argv[3];
      device(FUNCTION_PROGRAM_HWFW);
    }
  } else if (is("IMG", "I")) {
    if (argc == 4) {
      p.ImagePath = argv[2];
      p.ConfigPath = argv[3];
      device(FUNCTION_PROGRAM_IMG);
    }
  } else if (is("DESC", "D")) {
    if (argc == 4) {
      p.DescPath = argv[2];
      p.ConfigPath = argv[3];
      device(FUNCTION_PROGRAM_DESC);
    }
  } else if (is("PRINT", "P")) {
    if (argc == 4) {
      p.ConfigPath = argv[2];
      p.StartAddress = DecimalValue(argv[3]);
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

int RunRomProgram(int argc, const char* const* argv, Host& host) {
  Console console(host);
  RomProgramParameters params;
  ParseRomProgramArguments(argc, argv, params);
  if (params.ShowVersion) {
    console.Print("    \nZembRomProgram version:%s\n\n", kRomProgramVersion);
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

  FoundDevice device;
  std::unique_ptr<RomAccessTable> table;
  if (params.NeedDevice) {
    device = FindDevice(host, &console, GetDriverDeviceHandle);
    if (device.path == DevicePath::None) {
      console.Write("    Cannot find device for ROM access test!!!\n");
      console.CloseLog();
      return 0;
    }
    if (!HoldDevice(host, console, &device)) {
      ReleaseDevice(host, &device);
      console.WriteAndLog("    ZembRomProgram fail !!!\n");
      console.CloseLog();
      return 0;
    }
    params.UseOwnDriver = device.path == DevicePath::OwnDriver;
    params.UseCdRom = device.path == DevicePath::CdRom;
    params.UseExtensionUnit = device.path == DevicePath::ExtensionUnit;
    table = BindRomAccessTable(console, device);
  }

  int result = 0;
  switch (params.Function) {
    case FUNCTION_MAKE_BIN_FILE:
      result = MakeBinFile(console, params);
      break;
    case FUNCTION_BURN_BIN_FILE:
      result = BurnBinFile(console, *table, params);
      ShowBurnResult(console, result != 0);
      break;
    case FUNCTION_PROGRAM_HWFW:
      result = ProgramHwFw(console, *table, params);
      ShowBurnResult(console, result != 0);
      break;
    case FUNCTION_PROGRAM_IMG:
      result = ProgramImage(console, *table, params);
      ShowBurnResult(console, result != 0);
      break;
    case FUNCTION_PRINT_ADDRESS:
      result = PrintAddress(console, *table, params);
      break;
    case FUNCTION_ERASE_SPICHIP:
      result = EraseSpiChip(console, *table, params);
      break;
    case FUNCTION_PROGRAM_DESC:
      result = ProgramDesc(console, *table, params);
      ShowBurnResult(console, result != 0);
      break;
    default:
      break;
  }
  if (result == 0) console.WriteAndLog("    ZembRomProgram fail !!!\n");
  console.CloseLog();
  table.reset();
  ReleaseDevice(host, &device);
  return 0;
}

}  // namespace zemb
