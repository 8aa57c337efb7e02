#include "common/device/unit_list.h"

#include <algorithm>
#include <array>
#include <memory>

#include "common/base/text.h"
#include "common/device/rom_access.h"
#include "common/rom/misc_record.h"
#include "common/rom/rom_layout.h"

namespace zemb {

namespace {

struct SeenPaths {
  std::vector<std::string> paths;
};

bool NotSeen(const std::string& devicePath, const void* context) {
  for (const std::string& seen : static_cast<const SeenPaths*>(context)->paths) {
    if (SameDevicePath(seen, devicePath)) return false;
  }
  return true;
}

bool IsPath(const std::string& devicePath, const void* context) {
  return SameDevicePath(devicePath, *static_cast<const std::string*>(context));
}

DeviceChooser OnFace(DevicePath face) {
  DeviceChooser chooser;
  chooser.own = face == DevicePath::OwnDriver;
  chooser.cdrom = face == DevicePath::CdRom;
  chooser.xu = face == DevicePath::ExtensionUnit;
  return chooser;
}

// The serial number in the unit's misc record, read with the geometry every
// part of the ROM type has (SPI NOR with three address bytes, an I2C EEPROM
// large enough for the record with two); empty when there is none.
std::string SerialOf(Host& host, FoundDevice& device) {
  SilentConsole quiet(host);
  std::unique_ptr<RomAccessTable> table = BindRomAccessTable(quiet, device);
  if (table == nullptr) return "";
  RomParameter rom;
  switch (table->GetRomType()) {
    case kRomTypeSpi:
      rom.AddressSize = 3;
      rom.PageSize = 256;
      break;
    case kRomTypeI2c:
      rom.AddressSize = 2;
      rom.PageSize = 128;
      break;
    default:
      return "";
  }
  rom.RomSize = static_cast<int32_t>(kMiscAddress + kMiscRecordSize);
  std::array<uint8_t, kMiscRecordSize> record{};
  if (!table->ReadRom(rom, record.data(), kMiscAddress, kMiscRecordSize)) return "";
  return ValidSerial(record.data() + kMiscSerialOffset).value_or("");
}

// What zemb calls each face, and how it describes it; in DevicePath's order.
struct FaceText {
  const char* name;
  const char* words;
};
constexpr FaceText kFaceTexts[] = {
    {"none", "none"},
    {"own", "the maker's driver"},
    {"cdrom", "CD-ROM drive with vendor commands"},
    {"xu", "camera with the device's extension unit"},
};
static_assert(std::size(kFaceTexts) == static_cast<size_t>(DevicePath::ExtensionUnit) + 1);

const FaceText& FaceTextOf(DevicePath face) {
  const auto index = static_cast<size_t>(face);
  return index < std::size(kFaceTexts) ? kFaceTexts[index] : kFaceTexts[0];
}

}  // namespace

const char* FaceName(DevicePath face) {
  return FaceTextOf(face).name;
}

const char* FaceWords(DevicePath face) {
  return FaceTextOf(face).words;
}

std::string UnitId(const std::string& port, const std::string& devicePath) {
  // FNV-1a over the port, or the path, in one letter case, as Windows
  // compares paths. A port is hashed with a prefix no path starts with.
  const std::string key = port.empty() ? devicePath : "port:" + port;
  uint32_t hash = 2166136261u;
  for (char c : key) {
    hash ^= static_cast<uint8_t>(UpperCase(c));
    hash *= 16777619u;
  }
  return Format("%08x", hash);
}

FoundDevice FindUnitAt(Host& host, Console* console, OwnDriverPath ownDriverPath, DevicePath face,
                       const std::string& devicePath) {
  DeviceChooser chooser = OnFace(face);
  chooser.accept = IsPath;
  chooser.context = &devicePath;
  return FindDevice(host, console, ownDriverPath, chooser);
}

std::vector<UnitEntry> ListUnits(Host& host, OwnDriverPath ownDriverPath,
                                 std::vector<std::string>* notes) {
  std::vector<UnitEntry> units;
  std::vector<std::string> failed;
  for (DevicePath face : {DevicePath::OwnDriver, DevicePath::CdRom, DevicePath::ExtensionUnit}) {
    if (face == DevicePath::OwnDriver && ownDriverPath == nullptr) continue;
    SeenPaths seen;
    DeviceChooser chooser = OnFace(face);
    chooser.accept = NotSeen;
    chooser.context = &seen;
    // Each pass finds the first unit on the face not listed yet.
    for (;;) {
      FoundDevice found = FindDevice(host, nullptr, ownDriverPath, chooser);
      for (std::string& note : found.notes) {
        if (std::find(failed.begin(), failed.end(), note) == failed.end()) {
          failed.push_back(std::move(note));
        }
      }
      if (found.path == DevicePath::None) break;
      UnitEntry entry;
      entry.face = found.path;
      entry.devicePath = found.devicePath;
      entry.port = host.DevicePort(found.devicePath);
      entry.id = UnitId(entry.port, found.devicePath);
      bool busy = false;
      found.lock = host.TryLockDevice(found.devicePath, &busy);
      if (found.lock != nullptr) {
        entry.serial = SerialOf(host, found);
      } else {
        entry.busy = busy;
      }
      ReleaseDevice(host, &found);
      seen.paths.push_back(entry.devicePath);
      units.push_back(std::move(entry));
    }
  }
  if (notes != nullptr) {
    // A device that failed once and answered on a later pass is listed.
    for (const std::string& note : failed) {
      bool listed = false;
      for (const UnitEntry& u : units) {
        listed = listed || (note.size() > u.devicePath.size() &&
                            SameDevicePath(note.substr(0, u.devicePath.size()), u.devicePath) &&
                            note.compare(u.devicePath.size(), 2, ": ") == 0);
      }
      if (!listed) notes->push_back(note);
    }
  }
  return units;
}

}  // namespace zemb
