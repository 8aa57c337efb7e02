// zemb: reads a unit's ROM out, checks it against a file, shows what the
// device is, and writes only what changed. Unlike the three operator tools
// it speaks through its exit status, so scripts need not read its text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/host/host.h"

namespace zemb {

inline constexpr const char* kZembVersion = "1.0.0";

// Exit status.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the device, or the verification, failed
constexpr int kExitUsage = 2;   // bad command line, configuration, file or ledger; nothing written
constexpr int kExitNoDevice = 3;  // no device found

enum class ZembCommand { None, Help, Version, Info, Read, Verify, Write, Provision };

struct ZembOptions {
  ZembCommand command = ZembCommand::None;
  // The command whose help was asked for (None: the overview).
  ZembCommand helpFor = ZembCommand::None;
  std::string file;
  std::string config;
  std::optional<uint32_t> start;
  std::optional<uint32_t> length;
  bool json = false;
  bool overwriteMisc = false;
  bool full = false;
  // provision
  std::string ledger;
  std::string serialFrom;
  std::string macFrom;
  std::optional<uint32_t> count;
};

// Parses the words after the program name. False with *error set (one
// sentence, no prefix) when the command line is not one zemb takes.
bool ParseZembArguments(int argc, const char* const* argv, ZembOptions* options,
                        std::string* error);

// A number as the command line takes it: decimal, or hexadecimal after 0x,
// at most 32 bits. False for anything else (a sign, a blank, a suffix).
bool ParseZembNumber(const char* text, uint32_t* value);

// The help of a command, or the overview for ZembCommand::None.
std::string ZembHelp(ZembCommand command);

// The whole run: its exit status.
int RunZemb(int argc, const char* const* argv, Host& host);

}  // namespace zemb
