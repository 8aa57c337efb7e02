// Every unit a station can reach, on every face it shows, for the tools that
// choose among several units or work on all of them at once.
#pragma once

#include <string>
#include <vector>

#include "common/base/console.h"
#include "common/device/discovery.h"

namespace zemb {

struct UnitEntry {
  std::string id;  // UnitId(port, devicePath)
  DevicePath face = DevicePath::None;
  std::string devicePath;
  // The USB port the unit sits in (Host::DevicePort); empty when unknown.
  std::string port;
  // The serial number of the unit's misc record; empty when the record could
  // not be read or holds none.
  std::string serial;
  // Another run held the unit, so its record was not asked for.
  bool busy = false;
};

// The units in discovery order: own-driver members (only when
// `ownDriverPath` is given, as for FindDevice), then CD-ROM drives of vendor
// Norva, then cameras with the device's extension unit. Each unit's misc
// record is read under its lock, with the geometry its ROM type implies (a
// unit another run holds is listed without it). Each unit is released
// before the next is opened, so nothing stays open. Nothing is printed.
// `notes`, when given, receives the devices that did not answer and may be
// units (FoundDevice::notes), each once.
std::vector<UnitEntry> ListUnits(Host& host, OwnDriverPath ownDriverPath,
                                 std::vector<std::string>* notes = nullptr);

// A short name for a unit, eight hexadecimal digits: from its USB port where
// the host knows it (the same socket keeps its ID across re-plugs and
// reboots, and both faces of one unit share it), else from the device path.
std::string UnitId(const std::string& port, const std::string& devicePath);

// The unit on `face` whose device path is `devicePath`, found as FindDevice
// finds the first; nothing else is opened.
FoundDevice FindUnitAt(Host& host, Console* console, OwnDriverPath ownDriverPath, DevicePath face,
                       const std::string& devicePath);

// "own", "cdrom", "xu" (the words zemb shows), "none".
const char* FaceName(DevicePath face);
// The face in words, as `zemb info` describes it; "none" for none.
const char* FaceWords(DevicePath face);

}  // namespace zemb
