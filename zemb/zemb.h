// zemb: reads a unit's ROM out, checks it against a file, shows what the
// device is, and writes only what changed. Unlike the three operator tools
// it speaks through its exit status, so scripts need not read its text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/host/host.h"

namespace zemb {

inline constexpr const char* kZembVersion = "1.0.0";

// Exit status.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;    // the device, or the verification, failed
constexpr int kExitUsage = 2;     // bad command line, configuration, file or pool; nothing written
constexpr int kExitNoDevice = 3;  // no device found

enum class ZembCommand { None, Help, Version, Info, Read, Verify, Write, Provision, List, Pool };

// What `zemb pool` does.
enum class PoolAction { None, Init, Status, Export, Sync };

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
  bool ignoreMisc = false;  // verify: leave the misc record out
  bool full = false;
  // provision and pool: the pool (--pool, or --ledger), who and
  // where
  std::string pool;
  std::string station;
  std::string operatorName;
  PoolAction poolAction = PoolAction::None;
  std::string serialFrom;
  std::string macFrom;
  std::optional<uint32_t> count;
  // The units to work on (--device, in the order given; each the ID
  // `zemb list` shows, a device path, or serial:NNNNNNNNNNNNNN), or every
  // unit (--all). Neither: the first unit discovery finds.
  std::vector<std::string> devices;
  bool all = false;
};

// Parses the words after the program name. False with *error set (one
// sentence, no prefix) when the command line is not one zemb takes.
bool ParseZembArguments(int argc, const char* const* argv, ZembOptions* options,
                        std::string* error);

// "write" for ZembCommand::Write, and back; "" and None for the others.
const char* ZembCommandName(ZembCommand command);
ZembCommand ZembCommandNamed(const char* word);

// A number as the command line takes it: decimal, or hexadecimal after 0x,
// at most 32 bits. False for anything else (a sign, a blank, a suffix).
bool ParseZembNumber(const char* text, uint32_t* value);

// The help of a command, or the overview for ZembCommand::None.
std::string ZembHelp(ZembCommand command);

// The whole run: its exit status.
int RunZemb(int argc, const char* const* argv, Host& host);

// The same, with the host factory of this build (MakeHost): a run on several
// units gives each unit a worker thread with a host of its own, since a host
// serves one thread. Null, or the single-argument form, works on the units
// one after another on `host`.
using HostFactory = std::unique_ptr<Host> (*)();
int RunZemb(int argc, const char* const* argv, Host& host, HostFactory makeHost);

}  // namespace zemb
