// The host of the tools' sim builds: the machine zembsim plugged into the
// current directory, every unit kept in its own folder.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "sim/sim_host.h"
#include "sim/sim_units.h"
#include "sim/unit_lock.h"

namespace zemb::sim {

namespace {

uint32_t Win32ErrorOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case ENOENT:
      return kErrorDeviceNotConnected;
    default:
      return kErrorGenFailure;
  }
}

class HeldRunLock final : public DeviceLock {
 public:
  explicit HeldRunLock(std::unique_ptr<UnitFileLock> lock) : lock_(std::move(lock)) {}

 private:
  std::unique_ptr<UnitFileLock> lock_;
};

// Which file the session last saw under a name: zembsim replaces its files
// whole (a new file renamed over the old), the session writes rom.bin in
// place; either shows as a change here, so nothing is read again unless
// something changed.
struct FileId {
  bool exists = false;
  uint64_t size = 0, inode = 0;
  int64_t modified = 0, modifiedNs = 0, changed = 0;
  bool operator==(const FileId&) const = default;
};

FileId FileIdOf(const std::string& path) {
  FileId id;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return id;
  id.exists = true;
  id.size = static_cast<uint64_t>(st.st_size);
  id.inode = static_cast<uint64_t>(st.st_ino);
  id.modified = static_cast<int64_t>(st.st_mtime);
  id.changed = static_cast<int64_t>(st.st_ctime);
#if !defined(_WIN32)
  id.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_nsec);
#endif
  return id;
}

bool ReadSmallFile(const std::string& path, std::string* text) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  text->clear();
  char chunk[4096];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

std::vector<std::string> ArmedFaults(const DeviceState& state) {
  std::vector<std::string> armed;
  for (const Fault& f : state.faults) {
    if (!f.fired) armed.push_back(FaultToText(f));
  }
  return armed;
}

// What device.txt holds of the state besides the unit's make-up, which no
// request changes: compared after each request, so the text is built and
// written only when one of them did change.
struct SmallState {
  uint8_t gpioData = 0, gpioDirection = 0;
  std::map<uint8_t, std::vector<uint8_t>> i2c;
  std::vector<std::string> armed;

  static bool Same(const SmallState& kept, const DeviceState& s) {
    if (s.gpioData != kept.gpioData || s.gpioDirection != kept.gpioDirection ||
        s.i2c.size() != kept.i2c.size() || ArmedFaults(s) != kept.armed) {
      return false;
    }
    for (const auto& [address, device] : s.i2c) {
      auto it = kept.i2c.find(address);
      if (it == kept.i2c.end() || it->second != device.registers) return false;
    }
    return true;
  }
  static SmallState Of(const DeviceState& s) {
    SmallState kept;
    kept.gpioData = s.gpioData;
    kept.gpioDirection = s.gpioDirection;
    for (const auto& [address, device] : s.i2c) kept.i2c[address] = device.registers;
    kept.armed = ArmedFaults(s);
    return kept;
  }
};

// One plugged unit as a session keeps it: its folder, its device, and what
// its files held when last read or written.
struct KeptUnit {
  std::string name;
  std::string folder;
  std::unique_ptr<SimDevice> device;
  std::unique_ptr<UnitFileLock> stateLock;  // held from before a request to after it
  std::string text;                         // device.txt as last read or written
  FileId textId;                            // and the file it was in
  FileId rom;                               // rom.bin as last read or written
  SmallState small;                         // what `text` says of GPIO, I2C, faults
  bool unplugged = false;
};

// A plugged unit as a glance at the folder shows it. A file system may give
// a new device.txt the inode the last one freed, within the same second, so
// a unit pulled out and a new one plugged under the same name between two
// glances shows by its plugging (DeviceState::plug), which zembsim writes
// near the top of device.txt each time it plugs a unit.
struct PlugMark {
  std::string name;
  uint64_t inode = 0;
  int64_t changed = 0;
  std::string plug;
  bool operator==(const PlugMark&) const = default;
};

// The plug line of device.txt, among its first lines; empty when none.
std::string PlugLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  for (int n = 0; n < 3 && std::getline(in, line); ++n) {
    if (line.rfind("plug =", 0) == 0) return line;
  }
  return "";
}

std::vector<PlugMark> PlugMarks() {
  std::vector<PlugMark> marks;
  for (const std::string& name : PluggedUnits()) {
    struct stat st {};
    const std::string path = UnitFolder(name) + "/device.txt";
    if (::stat(path.c_str(), &st) != 0) continue;
    marks.push_back({name, static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_ctime),
                     PlugLine(path)});
  }
  return marks;
}

std::vector<SimDevice*> DevicesOf(const std::vector<KeptUnit>& units) {
  std::vector<SimDevice*> devices;
  for (const KeptUnit& unit : units) devices.push_back(unit.device.get());
  return devices;
}

// The machine zembsim plugged into the current directory, each unit kept
// in its folder the way a device keeps its state: every request sees what
// zembsim changed since the one before (a fault armed, a GPIO value set,
// the unit unplugged), and what a request changed is on disk before its
// answer returns (the ROM written in place, device.txt replaced), so a run
// killed half way leaves the ROM half written, as a real one would. A
// session touches only the folder of the unit a request goes to, so
// sessions in several threads of one process, each on its own unit, never
// share anything but the files' locks.
class SimSession : public SimHost {
 public:
  SimSession(std::unique_ptr<RealClock> clock, std::vector<KeptUnit> units, SimMachine machine,
             std::vector<PlugMark> plugged)
      : SimHost(std::move(machine), DevicesOf(units), *clock, ConsoleMode::Process),
        clock_(std::move(clock)),
        units_(std::move(units)),
        plugged_(std::move(plugged)) {
    // Nobody reads a process's call log, and a station's host lives for days.
    SetCallLog(false);
  }

  // Units plugged or unplugged since this session was made: the folders'
  // names and their device.txt files, looked at without reading them.
  bool DevicesChanged() override { return PlugMarks() != plugged_; }

  std::unique_ptr<DeviceLock> TryLockDevice(const std::string& devicePath, bool* busy) override {
    *busy = false;
    size_t index = 0;
    if (!UnitOnPath(devicePath, &index) || index >= units_.size()) {
      SetLastError(kErrorDeviceNotConnected);
      return nullptr;
    }
    // One lock for the unit, whichever face a run found it on.
    std::unique_ptr<UnitFileLock> lock;
    int error = 0;
    switch (UnitFileLock::Take(units_[index].folder + "/" + kRunLockName, false, &lock, &error)) {
      case UnitFileLock::Result::Acquired:
        return std::make_unique<HeldRunLock>(std::move(lock));
      case UnitFileLock::Result::Busy:
        *busy = true;
        return nullptr;
      case UnitFileLock::Result::Failed:
        break;
    }
    SetLastError(Win32ErrorOf(error));
    return nullptr;
  }

  uint32_t BeforeDeviceRequest(size_t unit, Face face) override {
    active_ = unit;
    KeptUnit& u = units_[unit];
    // A removed device stays removed for the handles opened on it.
    if (u.unplugged) return kErrorDeviceNotConnected;
    int error = 0;
    if (UnitFileLock::Take(u.folder + "/" + kStateLockName, true, &u.stateLock, &error) !=
        UnitFileLock::Result::Acquired) {
      if (error == ENOENT) return Unplugged(u);
      return Fail(u,
                  "the device state cannot be locked: " + std::generic_category().message(error));
    }
    const std::string textPath = u.folder + "/device.txt";
    const FileId textId = FileIdOf(textPath);
    const FileId rom = FileIdOf(u.folder + "/rom.bin");
    if (!textId.exists) return Unplugged(u);
    if (!(textId == u.textId) || !(rom == u.rom)) {
      std::string text;
      if (!ReadSmallFile(textPath, &text)) return Unplugged(u);
      if (text != u.text || !(rom == u.rom)) {
        DeviceState state;
        std::string why;
        if (!LoadDeviceState(u.folder, &state, &why)) {
          if (why.empty()) return Unplugged(u);
          return Fail(u, "the plugged device cannot be read: " + why);
        }
        const bool rearmed = ArmedFaults(state) != ArmedFaults(u.device->State());
        u.device->State() = std::move(state);
        if (rearmed) u.device->RestartFaultCounts();
        size_t begin = 0, end = 0;
        u.device->TakeRomChange(&begin, &end);  // the file holds the ROM now
        u.small = SmallState::Of(u.device->State());
        u.text = std::move(text);
        u.rom = rom;
      }
      u.textId = textId;
    }
    const DeviceState& s = u.device->State();
    const bool present = face == Face::Own     ? s.ownFace
                         : face == Face::Cdrom ? s.cdromFace
                                               : s.xuFace;
    if (!present) return Unplugged(u);
    return kErrorSuccess;
  }

  uint32_t AfterDeviceRequest() override {
    KeptUnit& u = units_[active_];
    if (u.stateLock == nullptr) return kErrorDeviceNotConnected;
    std::string why;
    size_t begin = 0, end = 0;
    if (u.device->TakeRomChange(&begin, &end)) {
      if (!WriteRomThrough(u.folder, u.device->State(), begin, end, &why)) return Fail(u, why);
      u.rom = FileIdOf(u.folder + "/rom.bin");
    }
    if (!SmallState::Same(u.small, u.device->State())) {
      std::string text = DeviceStateText(u.device->State());
      if (text != u.text) {
        if (!SaveDeviceText(u.folder, text, &why)) return Fail(u, why);
        u.text = std::move(text);
        u.textId = FileIdOf(u.folder + "/device.txt");
      }
      u.small = SmallState::Of(u.device->State());
    }
    u.stateLock.reset();
    return kErrorSuccess;
  }

 private:
  // What Windows reports on the handle of a device that was pulled out.
  static uint32_t Unplugged(KeptUnit& u) {
    u.unplugged = true;
    u.stateLock.reset();
    return kErrorDeviceNotConnected;
  }

  // A state that cannot be kept fails the request: the tool must not report
  // success for a change the next run will not see.
  static uint32_t Fail(KeptUnit& u, const std::string& why) {
    u.stateLock.reset();
    if (u.name.empty()) {
      std::fprintf(stderr, "zembsim: %s\n", why.c_str());
    } else {
      std::fprintf(stderr, "zembsim: unit %s: %s\n", u.name.c_str(), why.c_str());
    }
    return kErrorGenFailure;
  }

  std::unique_ptr<RealClock> clock_;
  std::vector<KeptUnit> units_;
  std::vector<PlugMark> plugged_;
  size_t active_ = 0;  // the unit of the request between Before and After
};

// Loads one plugged unit for a new session, or says why it is left out.
bool LoadUnit(const std::string& name, DeviceState* state) {
  const std::string folder = UnitFolder(name);
  // Not half way through a zembsim command; a folder that cannot take the
  // lock is still read, and its first request says what is wrong.
  std::unique_ptr<UnitFileLock> stateLock;
  int lockError = 0;
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) {
    UnitFileLock::Take(folder + "/" + kStateLockName, true, &stateLock, &lockError);
  }
  std::string error;
  if (LoadDeviceState(folder, state, &error)) return true;
  if (!error.empty()) {
    if (name.empty()) {
      std::fprintf(stderr, "zembsim: the plugged device cannot be read (%s); it is left out\n",
                   error.c_str());
    } else {
      std::fprintf(stderr, "zembsim: unit %s cannot be read (%s); it is left out\n", name.c_str(),
                   error.c_str());
    }
  }
  return false;
}

}  // namespace

}  // namespace zemb::sim

namespace zemb {

std::unique_ptr<Host> MakeHost() {
  using namespace sim;
  auto clock = std::make_unique<RealClock>();
  std::vector<PlugMark> plugged = PlugMarks();
  SimMachine machine;
  std::vector<KeptUnit> units;
  for (const std::string& name : PluggedUnits()) {
    DeviceState state;
    if (!LoadUnit(name, &state)) continue;
    PlugUnit(&machine, units.size(), name, state);
    KeptUnit unit;
    unit.name = name;
    unit.folder = UnitFolder(name);
    unit.device = std::make_unique<SimDevice>(std::move(state), *clock);
    units.push_back(std::move(unit));
  }
  return std::make_unique<SimSession>(std::move(clock), std::move(units), std::move(machine),
                                      std::move(plugged));
}

}  // namespace zemb
