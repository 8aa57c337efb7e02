// Several simulated units on one machine. The unlisted unit lives in
// ./ZembSimDevice/ itself, as it always has; a named unit lives in
// ./ZembSimDevice/NAME/, with its own device.txt, rom.bin and locks.
//
// The order a machine shows them in (each face's device list, and so which
// unit a tool that takes the first one reaches): the unlisted unit first,
// then the named units in name order (byte order: digits, then upper case,
// then lower case).
#pragma once

#include <string>
#include <vector>

namespace zemb::sim {

constexpr size_t kMaxUnitNameLength = 32;

// The instance part of the unlisted unit's device paths; no named unit may
// take it, so every unit's paths stay its own.
constexpr const char* kUnlistedInstance = "zemb0001";

// Empty when `name` may name a unit; otherwise why not, for a message.
// A name is 1 to 32 letters, digits, '-' or '_', is not a name Windows keeps
// for a device (CON, NUL, COM1, ...) and is not the unlisted unit's instance.
std::string UnitNameProblem(const std::string& name);

// Two names that differ only in letter case would share a folder on Windows
// and a device path (Windows compares those without case): one of them is
// refused while the other is plugged.
bool SameUnitName(const std::string& a, const std::string& b);

// The state folder of a unit: kSimFolder for the unlisted one (empty name).
std::string UnitFolder(const std::string& name);

// The named units plugged under kSimFolder, in name order: folders with a
// valid name holding a device.txt. Symbolic links are passed over.
std::vector<std::string> PluggedUnitNames();

// Every plugged unit in machine order: "" (the unlisted one) when plugged,
// then the named ones.
std::vector<std::string> PluggedUnits();

// How a unit is named in messages: "the device" or "unit NAME".
std::string UnitText(const std::string& name);

}  // namespace zemb::sim
