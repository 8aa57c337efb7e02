// zembsim's commands, shared by the files that hold them.
//
// Exit status: 0 done, 1 the command could not be carried out, 2 the words
// were wrong (the usage text is on standard error).
#pragma once

#include <string>
#include <vector>

#include "sim/sim_device.h"

namespace zemb::sim {

using Args = std::vector<std::string>;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The unit a command works on: the unlisted one (no --unit, name empty) in
// ./ZembSimDevice/, or a named one in ./ZembSimDevice/NAME/.
struct UnitPlace {
  std::string name;
  std::string folder;
};

struct Command {
  const char* name;
  const char* synopsis;  // the words after "zembsim"
  const char* summary;
  const char* details;
  int (*run)(const Command& self, const UnitPlace& unit, const Args& args);
};

int Usage(const Command& c, const std::string& why);
int Failed(const Command& c, const std::string& why);

// Whether the unit's device.txt is there.
bool Plugged(const UnitPlace& unit);
// Loads the unit, or says why not (and *status is then the exit status).
bool Load(const Command& c, const UnitPlace& unit, DeviceState* state, int* status);
bool Save(const Command& c, const UnitPlace& unit, const DeviceState& state, int* status);

// The faces as zembsim names them: "own cdrom", or "none".
std::string FacesText(const DeviceState& s);

int RunPlug(const Command& c, const UnitPlace& unit, const Args& args);
int RunUnplug(const Command& c, const UnitPlace& unit, const Args& args);
int RunStatus(const Command& c, const UnitPlace& unit, const Args& args);
int RunDump(const Command& c, const UnitPlace& unit, const Args& args);
int RunLoad(const Command& c, const UnitPlace& unit, const Args& args);
int RunGpio(const Command& c, const UnitPlace& unit, const Args& args);
int RunI2c(const Command& c, const UnitPlace& unit, const Args& args);
int RunFault(const Command& c, const UnitPlace& unit, const Args& args);

}  // namespace zemb::sim
