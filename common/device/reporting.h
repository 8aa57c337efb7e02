// The reporting pieces every tool shares: the verdict banner, the verify
// dump and the system error block. In ZembRomProgram they also go to the
// run log (Console::PrintAndLog); the other tools have no log open.
#pragma once

#include <cstdint>
#include <string>

#include "common/base/console.h"

namespace zemb {

enum class BannerStyle {
  Burn,      // "Burn Pass" / "Burn Fail" (the ROM tools)
  IoAccess,  // "Succee" / "Fail" (ZembIoAccess)
};

void ShowBurnResult(Console& console, bool passed, BannerStyle style = BannerStyle::Burn);

// The run's closing line when it failed: "    <tool> fail !!!", also to the
// run log while one is open.
void ShowToolFail(Console& console, const char* tool);

// "    \n<tool> version:<version>\n\n", the VER function of the ROM tools.
void ShowToolVersion(Console& console, const char* tool, const char* version);

// Tx/Rx lines for each 10-byte group of the block that holds a difference;
// differing Rx bytes in red.
void DumpMismatch(Console& console, const uint8_t* written, const uint8_t* read, uint32_t length);

// Blank line, the reason line, then the thread's last error code and its
// system text.
void ReportSystemError(Console& console, const char* reason);

// A unit found but refused to be opened for reading and writing (the last
// error): the error block, the device and what to do, then the tool's fail
// line.
void ReportRefusedDevice(Console& console, const char* tool, const std::string& devicePath,
                         const char* advice);

// Headlines of the error block.
inline constexpr const char* kCannotReadRom = "    Cannot read ROM!!!      \n";
inline constexpr const char* kCannotWriteRom = "    Cannot write ROM!!!     \n";
inline constexpr const char* kCannotEraseRom = "    Cannot erase ROM!!!     \n";

// The lines a failed verify prints before the dump.
void ReportMismatch(Console& console, const uint8_t* written, const uint8_t* read, uint32_t length);

}  // namespace zemb
