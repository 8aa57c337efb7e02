// One run's device session: it finds the device on its paths, holds the
// unit against other runs, binds the access table of the face it was found
// on, and lets go of everything in the one order that is safe: the table
// (which refers to the handle or the extension unit's control), then the
// handle, the control and COM, then the unit's hold. The session owns what
// it found, the extension unit's context included, so nothing a table refers
// to can end before the table does.
#pragma once

#include <memory>
#include <string>

#include "common/base/console.h"
#include "common/device/discovery.h"

namespace zemb {

enum class SessionOpen {
  Opened,    // found, held, and the table bound
  NoDevice,  // no path yields a device with this kind of table
  InUse,     // found, but another run holds the unit or it cannot be locked
  Refused,   // none found, but a unit refused to be opened: its error is the
             // last error, RefusedPath() names it
};

// `Table` is the kind of access table the tool works through: the ROM
// access table or the IO table.
template <typename Table>
class DeviceSession {
 public:
  // The table for the face of the device found; null where that face has no
  // table of this kind.
  using Binder = std::unique_ptr<Table> (*)(Console& console, FoundDevice& device);

  // `console` carries the tables' lines and the hold's lines.
  DeviceSession(Console& console, Binder bind) : console_(console), bind_(bind) {}
  ~DeviceSession() { Release(); }
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Discovery prints on `discoveryConsole` (null: silent); `ownDriverPath`
  // is path 1, null to leave it out. Anything but Opened has already
  // released what was found, with the hold's line printed for InUse.
  SessionOpen Open(Console* discoveryConsole, OwnDriverPath ownDriverPath) {
    return Open(FindDevice(console_.GetHost(), discoveryConsole, ownDriverPath));
  }

  // The same for a device the caller found itself (one chosen unit of
  // several, say); the session owns it from here on.
  SessionOpen Open(FoundDevice found) {
    Host& host = console_.GetHost();
    Release();
    device_ = std::move(found);
    if (device_.path != DevicePath::None) table_ = bind_(console_, device_);
    if (table_ == nullptr) {
      refusedPath_ = device_.refusedPath;
      const uint32_t refused = device_.path == DevicePath::None ? device_.refusedError : 0;
      Release();
      if (refused != 0) {
        host.SetLastError(refused);
        return SessionOpen::Refused;
      }
      return SessionOpen::NoDevice;
    }
    // One run at a time on a unit: another run's requests between this
    // run's read and write of a sector would undo one of them.
    if (!HoldDevice(host, console_, &device_)) {
      Release();
      return SessionOpen::InUse;
    }
    return SessionOpen::Opened;
  }

  // Only while the session is open.
  Table& GetTable() { return *table_; }
  const FoundDevice& Device() const { return device_; }
  // After Refused: the path of the unit that refused.
  const std::string& RefusedPath() const { return refusedPath_; }

  // Lets go of everything, in order; a session already released (or never
  // opened) makes no host call.
  void Release() {
    table_.reset();
    ReleaseDevice(console_.GetHost(), &device_);
  }

 private:
  Console& console_;
  Binder bind_;
  FoundDevice device_;
  std::unique_ptr<Table> table_;
  std::string refusedPath_;
};

}  // namespace zemb
