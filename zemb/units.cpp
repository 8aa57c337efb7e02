// zemb list, and the units --device and --all name.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/base/text.h"
#include "common/device/unit_list.h"
#include "zemb/zemb_run.h"

namespace zemb {

namespace {

constexpr const char* kSerialPrefix = "serial:";

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && SameDevicePath(a, b);
}

UnitTarget TargetOf(const UnitEntry& entry) {
  return {entry.face, entry.devicePath, entry.id, entry.port, entry.serial};
}

// The entries an ID names: the listed ID or device path (one entry), or
// serial:N (every entry whose record holds N).
std::vector<const UnitEntry*> Named(const std::vector<UnitEntry>& units, const std::string& id) {
  std::vector<const UnitEntry*> named;
  const bool bySerial = id.rfind(kSerialPrefix, 0) == 0;
  const std::string serial = bySerial ? id.substr(std::string(kSerialPrefix).size()) : "";
  for (const UnitEntry& u : units) {
    const bool match = bySerial ? !u.serial.empty() && SameText(u.serial, serial)
                                : SameText(u.id, id) || SameDevicePath(u.devicePath, id);
    if (match) named.push_back(&u);
  }
  return named;
}

// A unit may show on more than one face, and working on it from two
// workers at once would interleave two writes on one ROM. An entry is
// surely another unit than every entry of the earlier faces when its serial
// number and theirs are all known and differ; otherwise it runs in the wave
// of its face, after those faces' units are done. Running a unit twice is
// harmless: a second write finds every sector equal, a second provisioning
// finds the unit's own values.
void AssignWaves(ZembRun& run, std::vector<UnitTarget>* targets) {
  for (UnitTarget& t : *targets) {
    bool surelyOther = true;
    for (const UnitTarget& u : *targets) {
      if (u.face >= t.face) continue;
      surelyOther =
          surelyOther && !t.serial.empty() && !u.serial.empty() && !SameText(t.serial, u.serial);
    }
    t.wave = surelyOther ? 0 : static_cast<int>(t.face);
    if (t.wave != 0) {
      run.Note(
          "%s (%s face) may be a unit also seen on another face; it runs after the units "
          "of the faces before it",
          t.id.c_str(), FaceName(t.face));
    }
  }
}

}  // namespace

int ChooseUnits(ZembRun& run, std::vector<UnitTarget>* targets) {
  targets->clear();
  const std::vector<UnitEntry> units = ListUnits(run.host, GetDriverDeviceHandle);
  if (units.empty()) {
    return run.NoDeviceError();
  }
  if (run.options.all) {
    for (const UnitEntry& u : units) targets->push_back(TargetOf(u));
    AssignWaves(run, targets);
    return 0;
  }
  for (const std::string& id : run.options.devices) {
    const std::vector<const UnitEntry*> named = Named(units, id);
    if (named.empty()) {
      return run.Error(kExitNoDevice, "no unit is %s ('zemb list' shows the units found)",
                       id.c_str());
    }
    // One unit may show on several faces with its one serial number; it is
    // taken on the first, as discovery would. Two entries on one face are
    // two units.
    bool twoOnOneFace = false;
    for (size_t i = 0; i < named.size(); ++i) {
      for (size_t k = i + 1; k < named.size(); ++k) {
        twoOnOneFace = twoOnOneFace || named[i]->face == named[k]->face;
      }
    }
    if (twoOnOneFace) {
      std::string which;
      for (const UnitEntry* u : named) {
        which +=
            Format("%s%s (%s face)", which.empty() ? "" : ", ", u->id.c_str(), FaceName(u->face));
      }
      return run.Error(kExitUsage, "%s is ambiguous: %u units carry it (%s); name one by its ID",
                       id.c_str(), static_cast<unsigned>(named.size()), which.c_str());
    }
    for (const UnitTarget& t : *targets) {
      if (SameDevicePath(t.devicePath, named.front()->devicePath)) {
        return run.Error(kExitUsage, "--device names the unit %s twice", t.id.c_str());
      }
    }
    targets->push_back(TargetOf(*named.front()));
  }
  AssignWaves(run, targets);
  return 0;
}

int ZembList(ZembRun& run) {
  std::vector<UnitEntry> units = ListUnits(run.host, GetDriverDeviceHandle);
  if (!run.options.devices.empty()) {
    std::vector<UnitEntry> chosen;
    for (const std::string& id : run.options.devices) {
      const std::vector<const UnitEntry*> named = Named(units, id);
      if (named.empty()) {
        return run.Error(kExitNoDevice, "no unit is %s ('zemb list' shows the units found)",
                         id.c_str());
      }
      for (const UnitEntry* u : named) chosen.push_back(*u);
    }
    units = std::move(chosen);
  }
  if (run.options.json) {
    nlohmann::ordered_json j = nlohmann::ordered_json::array();
    for (const UnitEntry& u : units) {
      j.push_back({{"id", u.id},
                   {"face", FaceName(u.face)},
                   {"port", u.port.empty() ? nlohmann::ordered_json(nullptr)
                                           : nlohmann::ordered_json(u.port)},
                   {"device_path", u.devicePath},
                   {"serial", u.serial.empty() ? nlohmann::ordered_json(nullptr)
                                               : nlohmann::ordered_json(u.serial)}});
    }
    run.Out("%s\n",
            j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  } else {
    for (const UnitEntry& u : units) {
      // The serial number last, so a line splits at blanks into its fields
      // (neither a port nor a device path holds one); "-" for a port the
      // host cannot tell.
      run.Out("%s  %-5s  %-8s  %s%s%s\n", u.id.c_str(), FaceName(u.face),
              u.port.empty() ? "-" : u.port.c_str(), u.devicePath.c_str(),
              u.serial.empty() ? "" : "  ", u.serial.c_str());
    }
  }
  if (units.empty()) {
    return run.NoDeviceError();
  }
  return kExitOk;
}

}  // namespace zemb
