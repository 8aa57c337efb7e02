#include "common/device/reporting.h"

#include <algorithm>
#include <string>

namespace zemb {

void ShowBurnResult(Console& console, bool passed, BannerStyle style) {
  if (passed) {
    console.SetColor(kColorGreen);
    console.WriteAndLog("                \n");
    console.WriteAndLog(style == BannerStyle::Burn ? "    Burn Pass   \n" : "    Succee      \n");
  } else {
    console.SetColor(kColorRed);
    console.WriteAndLog(style == BannerStyle::Burn ? "    Burn Fail\n" : "    Fail        \n");
  }
  console.SetColor(kColorNormal);
}

void ShowToolFail(Console& console, const char* tool) {
  console.WriteAndLog(Format("    %s fail !!!\n", tool));
}

void ShowToolVersion(Console& console, const char* tool, const char* version) {
  console.Print("    \n%s version:%s\n\n", tool, version);
}

void DumpMismatch(Console& console, const uint8_t* written, const uint8_t* read, uint32_t length) {
  for (uint32_t at = 0; at < length; at += 10) {
    uint32_t n = std::min<uint32_t>(10, length - at);
    if (std::equal(written + at, written + at + n, read + at)) continue;
    std::string tx = Format("    - Tx Data [%04u]    :", static_cast<unsigned>(at));
    for (uint32_t i = 0; i < n; ++i) tx += Format(" 0x%02X", written[at + i]);
    tx += "\n";
    console.WriteAndLog(tx);
    console.PrintAndLog("    - Rx Data [%04u]    :", static_cast<unsigned>(at));
    for (uint32_t i = 0; i < n; ++i) {
      bool differs = read[at + i] != written[at + i];
      if (differs) console.SetColor(kColorRed);
      console.PrintAndLog(" 0x%02X", read[at + i]);
      if (differs) console.SetColor(kColorNormal);
    }
    console.WriteAndLog("\n\n");
  }
}

void ReportSystemError(Console& console, const char* reason) {
  Host& host = console.GetHost();
  uint32_t error = host.GetLastError();
  std::string text;
  if (!host.FormatSystemMessage(error, &text)) {
    text = "No system text is known for this error code.\n";
  }
  console.WriteAndLog("                            \n");
  console.WriteAndLog(reason);
  console.PrintAndLog("    - Error Code    : 0x%X  \n", static_cast<unsigned>(error));
  console.PrintAndLog("    - Error Message : %s    \n", text.c_str());
}

void ReportRefusedDevice(Console& console, const char* tool, const std::string& devicePath,
                         const char* advice) {
  ReportSystemError(console, "    Cannot open device!!!      \n");
  console.PrintAndLog("    - Device        : %s\n", devicePath.c_str());
  console.PrintAndLog("    - What to do    : %s\n", advice);
  ShowToolFail(console, tool);
}

void ReportMismatch(Console& console, const uint8_t* written, const uint8_t* read,
                    uint32_t length) {
  console.WriteAndLog("                            \n");
  console.WriteAndLog("    Data does not match!!!  \n");
  DumpMismatch(console, written, read, length);
}

}  // namespace zemb
