// zemb list, and the units --device and --all name.
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
  return {entry.face, entry.devicePath, entry.id, entry.serial};
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

// Every unit once: a unit may show on more than one face, and writing it on
// two at once would interleave two writes on one ROM. A later face's entry
// is left out when an earlier face holds its serial number, or, having
// none, when an earlier face has units at all (it may be one of them).
std::vector<UnitTarget> EveryUnit(ZembRun& run, const std::vector<UnitEntry>& units) {
  std::vector<UnitTarget> targets;
  for (const UnitEntry& u : units) {
    bool earlierFace = false, sameSerial = false;
    for (const UnitTarget& t : targets) {
      if (t.face == u.face) continue;
      earlierFace = true;
      sameSerial = sameSerial || (!u.serial.empty() && SameText(t.serial, u.serial));
    }
    if (sameSerial || (u.serial.empty() && earlierFace)) {
      run.Note("left out %s (%s face, %s): %s; name it with --device to write it", u.id.c_str(),
               FaceName(u.face), u.devicePath.c_str(),
               sameSerial ? "its serial number is on a unit already taken on another face"
                          : "it may be a unit already taken on another face");
      continue;
    }
    targets.push_back(TargetOf(u));
  }
  return targets;
}

}  // namespace

int ChooseUnits(ZembRun& run, std::vector<UnitTarget>* targets) {
  targets->clear();
  const std::vector<UnitEntry> units = ListUnits(run.host, GetDriverDeviceHandle);
  if (units.empty()) {
    return run.NoDeviceError();
  }
  if (run.options.all) {
    *targets = EveryUnit(run, units);
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
      return run.Error(kExitUsage, "%s is ambiguous: %zu units carry it (%s); name one by its ID",
                       id.c_str(), named.size(), which.c_str());
    }
    for (const UnitTarget& t : *targets) {
      if (SameDevicePath(t.devicePath, named.front()->devicePath)) {
        return run.Error(kExitUsage, "--device names the unit %s twice", t.id.c_str());
      }
    }
    targets->push_back(TargetOf(*named.front()));
  }
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
    std::string j = "[";
    for (size_t i = 0; i < units.size(); ++i) {
      const UnitEntry& u = units[i];
      j += Format("%s{\"id\": %s, \"face\": %s, \"device_path\": %s, \"serial\": %s}",
                  i == 0 ? "" : ", ", JsonString(u.id).c_str(),
                  JsonString(FaceName(u.face)).c_str(), JsonString(u.devicePath).c_str(),
                  u.serial.empty() ? "null" : JsonString(u.serial).c_str());
    }
    run.Out("%s]\n", j.c_str());
  } else {
    for (const UnitEntry& u : units) {
      // The serial number last, so a line splits at blanks into its fields
      // (a device path holds none).
      run.Out("%s  %-5s  %s%s%s\n", u.id.c_str(), FaceName(u.face), u.devicePath.c_str(),
              u.serial.empty() ? "" : "  ", u.serial.c_str());
    }
  }
  if (units.empty()) {
    return run.NoDeviceError();
  }
  return kExitOk;
}

}  // namespace zemb
