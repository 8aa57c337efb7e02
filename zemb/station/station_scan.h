// Which units sit in which USB ports, looked at a few times a second through
// the host seam: the device lists are walked without opening anything, and
// only a path not seen before is opened once to make sure it is a unit.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/device/discovery.h"
#include "zemb/zemb.h"

namespace zemb {

struct PluggedUnit {
  std::string key;  // the port, or "path:" and the device path when the host knows no port
  std::string port;
  std::string id;  // UnitId(port, devicePath)
  DevicePath face = DevicePath::None;
  std::string devicePath;
  std::string plug;  // Host::DevicePlug: which plugging of the unit this is
};

class PlugScanner {
 public:
  explicit PlugScanner(HostFactory makeHost) : makeHost_(makeHost) {}
  // The units plugged now, one per port (a unit seen on several faces is
  // taken on the first, as discovery takes it). False when no host could be
  // made.
  bool Scan(std::vector<PluggedUnit>* units);

 private:
  HostFactory makeHost_;
  std::unique_ptr<Host> host_;
  // Paths opened once: whether each is a unit, while it stays listed.
  std::map<std::string, bool> known_;
};

}  // namespace zemb
