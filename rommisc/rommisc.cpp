// ZembRomMisc's command line, its checks and conversions, the usage and
// version texts, and the main flow.
#include "rommisc/rommisc.h"

#include <cstring>
#include <memory>
#include <string>

#include "common/base/numbers.h"
#include "common/base/text.h"
#include "common/device/discovery.h"
#include "common/device/reporting.h"
#include "common/rom/rom_config.h"

namespace zemb {

namespace {

// One function's usage block; the two differ only in their syntax,
// function and example lines.
void PrintFunctionUsage(Console& console, const char* syntax, const char* function,
                        const char* example) {
  const char* const lines[] = {
      "Command Syntax:",
      syntax,
      "",
      "",
      "Function:",
      function,
      "",
      "",
      "Files:",
      "    ROM Config      - ROM configuration information",
      "",
      "",
      "Example:",
      example,
  };
  for (const char* line : lines) WritePadded(console, line);
}

void PrintMacUsage(Console& console) {
  PrintFunctionUsage(console,
                     "    ZembRomMisc.exe {Function} {Addr1 P_side} {Addr2 S_side} {ROM Config}",
                     "    MAC             - Program Mac Address for both side",
                     "    ZembRomMisc.exe MAC 11-22-33-44-55-66 AA-BB-CC-DD-EE-FF {ROM Config}");
}

void PrintSerialUsage(Console& console) {
  PrintFunctionUsage(console,
                     "    ZembRomMisc.exe {Function} {Serial number(14 Digitals)} {ROM Config}",
                     "    SER             - Program Serial Number",
                     "    ZembRomMisc.exe SER 20000130041415 {ROM Config}");
}

}  // namespace

void ParseMiscArguments(int argc, const char* const* argv, RomMiscParameters& p) {
  p.RomType = kRomTypeUnset;
  p.Function = 0;
  if (argc < 2 || argv[1] == nullptr) return;
  const char* word = argv[1];
  if (EqualsIgnoreCase(word, "MAC")) {
    if (argc == 5) {
      p.Function = FUNCTION_MAC;
      p.NeedDevice = 1;
      p.MacTextP = argv[2];
      p.MacTextS = argv[3];
      p.ConfigPath = argv[4];
    }
  } else if (EqualsIgnoreCase(word, "SER")) {
    if (argc == 4) {
      p.Function = FUNCTION_SER;
      p.NeedDevice = 1;
      p.SerialText = argv[2];
      p.ConfigPath = argv[3];
    }
  } else if (EqualsIgnoreCase(word, "VER") || EqualsIgnoreCase(word, "V")) {
    if (argc == 2) {
      p.NeedDevice = 0;
      p.ShowVersion = 1;
    }
  }
}

int CheckMiscParameters(Console& console, RomMiscParameters& p) {
  // The configuration comes first, so its messages show even when the MAC
  // or serial text is wrong as well.
  switch (p.Function) {
    case FUNCTION_MAC:
      if (ReadRomConfig(console, p.ConfigPath, &p.RomType, &p.Rom) != 1) return 0;
      if (!ParseMacAddress(p.MacTextP, p.PSideMac)) return 0;
      return ParseMacAddress(p.MacTextS, p.SSideMac);
    case FUNCTION_SER:
      if (ReadRomConfig(console, p.ConfigPath, &p.RomType, &p.Rom) != 1) return 0;
      return ParseSerialNumber(p.SerialText, p.SerialNumber);
    default:
      return 0;
  }
}

int HexDigitValue(char c) {
  const int digit = HexDigit(c);
  return digit < 0 ? 0 : digit;
}

uint32_t HexTextValue(const char* text) {
  uint32_t value = 0;
  for (; *text != 0; ++text) value = value * 16 + static_cast<uint32_t>(HexDigitValue(*text));
  return value;
}

int ParseMacAddress(const char* text, uint8_t mac[kMacLength]) {
  if (text == nullptr) return 0;
  const size_t length = std::strlen(text);
  if (length < 11 || length > 17) return 0;
  std::memset(mac, 0, kMacLength);
  char group[3] = {};
  int digits = 0;
  int stored = 0;
  // The end of the text closes the last group as a hyphen would.
  for (size_t i = 0; i <= length; ++i) {
    const char c = text[i];
    if (c == '-' || c == 0) {
      if (digits == 0 || stored == kMacLength) return 0;
      group[digits] = 0;
      mac[stored++] = static_cast<uint8_t>(HexTextValue(group));
      digits = 0;
    } else {
      if (HexDigit(c) < 0 || digits == 2) return 0;
      group[digits++] = UpperCase(c);
    }
  }
  return stored == kMacLength ? 1 : 0;
}

int ParseSerialNumber(const char* text, uint16_t serial[kSerialLength]) {
  if (text == nullptr || std::strlen(text) != kSerialLength) return 0;
  for (int i = 0; i < kSerialLength; ++i) {
    const char c = UpperCase(text[i]);
    if (HexDigit(c) < 0) return 0;
    serial[i] = static_cast<uint8_t>(c);
  }
  return 1;
}

void PrintUsage(Console& console, const RomMiscParameters& p) {
  if (p.Function == FUNCTION_MAC || p.Function == 0) PrintMacUsage(console);
  if (p.Function == FUNCTION_SER || p.Function == 0) PrintSerialUsage(console);
}

int RunRomMisc(int argc, const char* const* argv, Host& host) {
  Console console(host);
  RomMiscParameters params;
  ParseMiscArguments(argc, argv, params);
  if (params.ShowVersion) {
    ShowToolVersion(console, kRomMiscTool, kRomMiscVersion);
    return 0;
  }
  if (!CheckMiscParameters(console, params)) {
    PrintUsage(console, params);
    return 0;
  }

  RomSession session(console, BindRomAccessTable);
  if (!OpenRomToolSession(session, console, kRomMiscTool)) return 0;
  const int result = params.Function == FUNCTION_MAC
                         ? ProgramMacAddresses(console, session.GetTable(), params)
                         : ProgramSerialNumber(console, session.GetTable(), params);
  ShowBurnResult(console, result != 0);
  session.Release();
  if (result == 0) ShowToolFail(console, kRomMiscTool);
  return 0;
}

}  // namespace zemb
