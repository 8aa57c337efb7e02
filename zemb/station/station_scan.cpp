#include "zemb/station/station_scan.h"

#include <set>

#include "common/device/unit_list.h"

namespace zemb {

namespace {

struct Listed {
  std::vector<std::string> paths;
};

// Takes no member: only notes its path, so nothing is opened.
bool NotePath(const std::string& devicePath, const void* context) {
  const_cast<Listed*>(static_cast<const Listed*>(context))->paths.push_back(devicePath);
  return false;
}

}  // namespace

bool PlugScanner::Scan(std::vector<PluggedUnit>* units) {
  units->clear();
  if (host_ == nullptr || host_->DevicesChanged()) {
    host_.reset();
    host_ = makeHost_();
    known_.clear();
    if (host_ == nullptr) return false;
  }
  std::set<std::string> listedNow;
  std::set<std::string> keys;
  for (DevicePath face : {DevicePath::OwnDriver, DevicePath::CdRom, DevicePath::ExtensionUnit}) {
    Listed listed;
    DeviceChooser chooser;
    chooser.own = face == DevicePath::OwnDriver;
    chooser.cdrom = face == DevicePath::CdRom;
    chooser.xu = face == DevicePath::ExtensionUnit;
    chooser.accept = NotePath;
    chooser.context = &listed;
    FoundDevice none = FindDevice(*host_, nullptr, GetDriverDeviceHandle, chooser);
    ReleaseDevice(*host_, &none);
    for (const std::string& path : listed.paths) {
      listedNow.insert(path);
      auto it = known_.find(path);
      if (it == known_.end()) {
        // A path seen for the first time: a drive of another vendor, or a
        // camera without the extension unit, is no unit.
        FoundDevice found = FindUnitAt(*host_, nullptr, GetDriverDeviceHandle, face, path);
        const bool unit = found.path != DevicePath::None;
        ReleaseDevice(*host_, &found);
        it = known_.emplace(path, unit).first;
      }
      if (!it->second) continue;
      PluggedUnit u;
      u.port = host_->DevicePort(path);
      u.key = u.port.empty() ? "path:" + path : u.port;
      if (!keys.insert(u.key).second) continue;  // the same unit on a later face
      u.id = UnitId(u.port, path);
      u.face = face;
      u.devicePath = path;
      u.plug = host_->DevicePlug(path);
      units->push_back(std::move(u));
    }
  }
  for (auto it = known_.begin(); it != known_.end();) {
    it = listedNow.count(it->first) != 0 ? std::next(it) : known_.erase(it);
  }
  return true;
}

}  // namespace zemb
