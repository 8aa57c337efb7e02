// zembsim: plugs simulated Zemb devices into the current directory, shows
// them and changes them, between tool runs or between two requests of one.
// The device lives in ./ZembSimDevice/, and each further unit plugged with
// --unit NAME in ./ZembSimDevice/NAME/; every change is made on a loaded
// copy and saved whole, so a refused or failed command leaves the unit as
// it was.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_units.h"
#include "sim/unit_lock.h"
#include "sim/zembsim.h"

namespace zemb::sim {

// The words after "zembsim", with where --unit goes.
std::string Synopsis(const Command& c) {
  return std::string(c.name) + " [--unit NAME]" + (c.synopsis + std::strlen(c.name));
}

int Usage(const Command& c, const std::string& why) {
  std::fprintf(stderr, "zembsim %s: %s\nusage: zembsim %s\n(zembsim %s --help tells more)\n",
               c.name, why.c_str(), Synopsis(c).c_str(), c.name);
  return kExitUsage;
}

int Failed(const Command& c, const std::string& why) {
  std::fprintf(stderr, "zembsim %s: %s\n", c.name, why.c_str());
  return kExitFailed;
}

bool Plugged(const UnitPlace& unit) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::path(unit.folder) / "device.txt", ec);
}

bool Load(const Command& c, const UnitPlace& unit, DeviceState* state, int* status) {
  std::string error;
  if (LoadDeviceState(unit.folder, state, &error)) return true;
  if (unit.name.empty()) {
    *status =
        Failed(c, error.empty() ? std::string("no device is plugged here (zembsim plug)")
                                : "the device in ./" + unit.folder + " cannot be read: " + error);
  } else {
    *status = Failed(
        c, error.empty()
               ? "no unit " + unit.name + " is plugged here (zembsim plug --unit " + unit.name + ")"
               : "unit " + unit.name + " in ./" + unit.folder + " cannot be read: " + error);
  }
  return false;
}

bool Save(const Command& c, const UnitPlace& unit, const DeviceState& state, int* status) {
  std::string error;
  if (SaveDeviceState(unit.folder, state, &error)) return true;
  *status = Failed(c, error);
  return false;
}

std::string FacesText(const DeviceState& s) {
  std::string faces;
  if (s.ownFace) faces += " own";
  if (s.cdromFace) faces += " cdrom";
  if (s.xuFace) faces += " xu";
  return faces.empty() ? "none" : faces.substr(1);
}

namespace {

const Command kCommands[] = {
    {"plug",
     "plug [--face own|cdrom|xu]... [--rom spi|i2c] [--size BYTES] [--fw-version W0 W1] "
     "[--side-signature W] [--port P] [--keep]",
     "plug a new device in here",
     "Plugs a new device into ./ZembSimDevice/: an erased ROM, two I2C register files\n"
     "(0x50 with 256 registers, 0x78 with 65536), GPIO 0. --face may be given more than\n"
     "once; without it the device shows as a CD-ROM drive. The ROM is SPI of 1048576\n"
     "bytes unless --rom and --size say otherwise; the size is a positive multiple of\n"
     "4096 up to 256 MiB. Refused when a device is already plugged.\n"
     "With --unit NAME the device is a unit of its own in ./ZembSimDevice/NAME/,\n"
     "beside the others: NAME is 1 to 32 letters, digits, - or _.\n"
     "--port P puts it into USB port P (a word: letters, digits, - _ . : #); a named\n"
     "unit goes into the port of its name unless told. One port holds one unit.\n"
     "A unit plugged again is a new unit with an erased ROM, unless --keep brings\n"
     "back the one 'zembsim unplug --keep' took out, as it was (only --port goes\n"
     "with --keep).\n",
     RunPlug},
    {"unplug", "unplug [--keep]", "remove the device from here",
     "Removes ./ZembSimDevice/ with the ROM in it; with --unit NAME only that unit's\n"
     "./ZembSimDevice/NAME/. With --keep (and --unit) the unit is out but keeps its\n"
     "state for 'zembsim plug --keep'.\n",
     RunUnplug},
    {"status", "status", "show the device",
     "Shows the faces, the ROM kind and size, the ROM header at address 0, the misc\n"
     "record at 0xB000 (MAC addresses and serial number), GPIO, I2C devices and the\n"
     "faults not yet fired.\n",
     RunStatus},
    {"dump", "dump FILE", "copy the whole ROM into FILE",
     "Writes the whole ROM to FILE, replacing it only once the copy is complete.\n", RunDump},
    {"load", "load FILE", "put FILE into the ROM from address 0",
     "Puts FILE into the ROM from address 0 as an external programmer would: on an SPI\n"
     "ROM the 4096-byte sectors the file covers are erased first (so the rest of the\n"
     "last one reads 0xFF), an I2C EEPROM is overwritten. A file larger than the ROM\n"
     "is refused and nothing changes.\n",
     RunLoad},
    {"gpio", "gpio [--data B] [--dir B]", "show or set the GPIO port",
     "Shows the GPIO data and direction bytes; --data and --dir set them first.\n", RunGpio},
    {"i2c", "i2c [ADDR [--add COUNT] [--set REG=HEX]... [--show REG COUNT] | ADDR --remove]",
     "show or change the I2C devices",
     "Without ADDR lists the I2C devices. ADDR is the address byte the tools send\n"
     "(0x78 as 0x78). --add makes a device of COUNT registers, --set writes the bytes\n"
     "HEX (e.g. 0102FF) from register REG on, wrapping at the device's size, --show\n"
     "prints COUNT registers from REG, --remove takes the device off the bus.\n",
     RunI2c},
    {"fault",
     "fault fail KIND N [ERROR] | stall OP [N] | corrupt [N] | short-read [N] | refuse KIND N | "
     "clear | list",
     "arm a fault for the next tool runs",
     "Arms a fault; it fires once, in the first tool run that gets that far. Counts N\n"
     "start at 1 in every tool run, and again when faults are armed or cleared while\n"
     "a run is going on; N defaults to 1.\n"
     "  fail KIND N [ERROR]  the Nth request of KIND fails with the Win32 ERROR\n"
     "                       (default 31); on the extension unit as its HRESULT.\n"
     "                       KIND: access-rom rom-status rom-data rom-type\n"
     "                       firmware-version side-signature io-access storage-query\n"
     "                       xu-read xu-write any\n"
     "  stall OP [N]         the Nth ROM operation OP (0xFF, 0xFD, 0x01, 0x02; 0 = any)\n"
     "                       never finishes\n"
     "  corrupt [N]          the Nth ROM write stores its first byte with bit 0 flipped\n"
     "  short-read [N]       the Nth extension-unit read returns one byte short\n"
     "  refuse KIND N        the CD-ROM face answers the Nth request of KIND with\n"
     "                       CHECK CONDITION and does not carry it out\n"
     "  clear | list         disarm all faults, or list the armed ones\n",
     RunFault},
};

void PrintOverview(FILE* to) {
  std::fprintf(to,
               "usage: zembsim COMMAND [--unit NAME] [WORDS]\n"
               "Keeps a simulated Zemb device in ./%s for the tools to find.\n\n",
               kSimFolder);
  for (const Command& c : kCommands) std::fprintf(to, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(to,
               "\nzembsim COMMAND --help shows the words of one command.\n"
               "--unit NAME works on unit NAME in ./%s/NAME/ instead, one of several\n"
               "units on the machine. The tools take the first unit they find: the one\n"
               "without a name, then the named ones in name order.\n",
               kSimFolder);
}

// Takes --unit NAME out of `args`; false (with the exit status) when it is
// given wrong.
bool TakeUnit(const Command& c, Args* args, UnitPlace* unit, int* status) {
  bool given = false;
  for (size_t i = 0; i < args->size();) {
    if ((*args)[i] != "--unit") {
      ++i;
      continue;
    }
    if (given) {
      *status = Usage(c, "--unit is given twice");
      return false;
    }
    if (i + 1 >= args->size()) {
      *status = Usage(c, "--unit needs a unit name");
      return false;
    }
    const std::string name = (*args)[i + 1];
    if (const std::string problem = UnitNameProblem(name); !problem.empty()) {
      *status = Usage(c, "bad unit name \"" + name + "\": " + problem);
      return false;
    }
    unit->name = name;
    given = true;
    args->erase(args->begin() + static_cast<std::ptrdiff_t>(i),
                args->begin() + static_cast<std::ptrdiff_t>(i) + 2);
  }
  unit->folder = UnitFolder(unit->name);
  return true;
}

}  // namespace
}  // namespace zemb::sim

int main(int argc, char** argv) {
  using namespace zemb::sim;
  if (argc < 2) {
    PrintOverview(stderr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintOverview(stdout);
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (name != c.name) continue;
    Args args(argv + 2, argv + argc);
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
      std::printf("usage: zembsim %s\n\n%s", Synopsis(c).c_str(), c.details);
      return kExitOk;
    }
    UnitPlace unit;
    int status = kExitOk;
    if (!TakeUnit(c, &args, &unit, &status)) return status;
    // A tool run may be between two requests: the command goes between
    // them, never into the middle of one.
    std::unique_ptr<UnitFileLock> stateLock;
    int lockError = 0;
    std::error_code ec;
    if (std::filesystem::is_directory(unit.folder, ec)) {
      UnitFileLock::Take(unit.folder + "/" + kStateLockName, true, &stateLock, &lockError);
    }
    return c.run(c, unit, args);
  }
  std::fprintf(stderr, "zembsim: unknown command \"%s\"\n", name.c_str());
  PrintOverview(stderr);
  return kExitUsage;
}
