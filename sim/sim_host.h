// A model of a Windows machine with (or without) a Zemb device plugged in,
// behind the Host seam. Tests build the machine they need: own-driver
// members that open or not, CD-ROM drives of any vendor, video devices with
// or without their properties, topology nodes of any type. The tools'
// sim builds get the machine that zembsim plugged into ./ZembSimDevice/.
//
// A machine may hold several units: every member, drive and camera that
// reaches one names it by its index among the host's units.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/host/host.h"
#include "sim/sim_device.h"

namespace zemb::sim {

extern const Guid kOwnDriverInterfaceClass;  // {7141D015-0587-42DF-974E-69853664D13F}
extern const Guid kCdromInterfaceClass;      // GUID_DEVINTERFACE_CDROM
extern const Guid kVideoInputCategory;       // CLSID_VideoInputDeviceCategory
extern const Guid kNodeTypeDevSpecific;      // KSNODETYPE_DEV_SPECIFIC
extern const Guid kNodeTypeOther;            // a node type discovery passes over

struct SimOwnMember {
  std::string path;
  bool openable = true;
  bool device = true;  // reaches a plugged unit's own-driver face
  size_t unit = 0;     // which unit, when `device`
};

struct SimCdrom {
  std::string path;
  std::string vendorId = "Norva";
  std::string productId = "Kesh CD-ROM";
  bool device = false;  // a plugged unit's CD-ROM face
  bool openable = true;
  size_t unit = 0;  // which unit, when `device`
};

struct SimVideoNode {
  Guid type;
  bool extensionUnit = false;  // answers the device's property set
};

struct SimVideoDevice {
  std::optional<std::wstring> friendlyName;
  std::optional<std::wstring> devicePath;
  bool storageFails = false;  // BindToStorage fails
  bool filterFails = false;   // BindToObject fails
  bool noTopology = false;    // the filter has no IKsTopologyInfo
  std::vector<SimVideoNode> nodes;
  bool device = false;  // a plugged unit's extension unit
  size_t unit = 0;      // which unit, when `device`
};

struct SimMachine {
  std::vector<SimOwnMember> ownMembers;
  std::vector<SimCdrom> cdroms;
  std::vector<SimVideoDevice> videos;
  bool ownClassFails = false;          // SetupDiGetClassDevsA fails for the own class
  bool deviceEnumeratorFails = false;  // CoCreateInstance of the system enumerator fails
};

// The machine zembsim's device shows: one member, drive or camera per face.
SimMachine MachineFor(const DeviceState& state);

// Adds what unit number `unit` shows to `machine`, after what is there: one
// member, drive or camera per face of `state`, on device paths that carry
// `name` as their instance (the unlisted unit's, name empty, as MachineFor
// gives them). The paths stay the same for as long as the unit is plugged.
void PlugUnit(SimMachine* machine, size_t unit, const std::string& name, const DeviceState& state);

enum class ConsoleMode {
  Capture,  // text kept in the host for tests
  Process,  // text written to this process's standard output and error
};

class SimHost : public Host {
 public:
  // `device` may be null: a machine with nothing plugged in.
  SimHost(SimMachine machine, SimDevice* device, Clock& clock, ConsoleMode mode);
  // A machine with several units; the machine's entries name them by index.
  SimHost(SimMachine machine, std::vector<SimDevice*> units, Clock& clock, ConsoleMode mode);
  ~SimHost() override;

  DevInfoList GetClassDevs(const Guid& interfaceClass) override;
  bool GetDeviceInterfacePath(DevInfoList list, const Guid& interfaceClass, uint32_t index,
                              std::string* devicePath) override;
  void DestroyDeviceInfoList(DevInfoList list) override;
  DeviceHandle CreateFile(const std::string& path) override;
  bool DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
                       void* out, uint32_t outLength, uint32_t* bytesReturned) override;
  void CloseHandle(DeviceHandle handle) override;
  // Only one holder per simulated unit at a time, across every host over it
  // (in any thread); the unit is the one whose member, drive or camera has
  // `devicePath`, or the only one. A machine without a unit there has
  // nothing to lock. Nothing on disk.
  std::unique_ptr<DeviceLock> TryLockDevice(const std::string& devicePath, bool* busy) override;
  // The port the unit on `devicePath` was plugged into (DeviceState::port).
  std::string DevicePort(const std::string& devicePath) override;
  // The plugging zembsim noted for it (DeviceState::plug).
  std::string DevicePlug(const std::string& devicePath) override;
  HResult CoInitializeApartment() override;
  void CoUninitialize() override;
  HResult CreateSystemDeviceEnumerator(
      std::unique_ptr<SystemDeviceEnumerator>* enumerator) override;
  void Sleep(uint32_t milliseconds) override;
  uint64_t TickCountMs() override;
  uint32_t GetLastError() override { return lastError_; }
  void SetLastError(uint32_t error) override { lastError_ = error; }
  bool FormatSystemMessage(uint32_t error, std::string* text) override;
  LocalTime GetLocalTime() override;
  void CreateDirectory(const std::string& path) override;
  void WriteStdout(std::string_view text) override;
  void WriteStderr(std::string_view text) override;
  void WriteStdoutWide(std::wstring_view text) override;
  void SetTextAttribute(uint16_t attribute) override;
  bool StderrIsTerminal() override;
  void CatchInterrupts() override;
  bool InterruptRequested() override;

  // --- for tests ---
  // Standard error reads as a terminal (capture mode only).
  void SetStderrTerminal(bool terminal) { stderrTerminal_ = terminal; }
  // An interrupt arrives just before the `checks`-th InterruptRequested call
  // after CatchInterrupts (1: the first call sees it).
  void ScheduleInterrupt(uint32_t checks) { interruptAtCheck_ = checks; }
  SimMachine& Machine() { return machine_; }
  SimDevice* Device() { return Unit(0); }  // the first unit
  SimDevice* Unit(size_t index) { return index < units_.size() ? units_[index] : nullptr; }
  size_t UnitCount() const { return units_.size(); }
  const std::string& Stdout() const { return stdout_; }
  const std::string& Stderr() const { return stderr_; }
  struct ColorMark {
    size_t offset;  // position in Stdout() where the colour was set
    uint16_t attribute;
  };
  const std::vector<ColorMark>& Colors() const { return colors_; }
  // Host calls in order, one line each ("CoInitializeEx", "CreateFile <path>", ...).
  const std::vector<std::string>& Calls() const { return calls_; }
  // Whether calls are logged (the default). A host that runs many requests
  // and never looks at Calls() turns the log off: it would otherwise grow
  // with every request and cost a formatted line each.
  void SetCallLog(bool keep) { logCalls_ = keep; }
  bool LogsCalls() const { return logCalls_; }
  bool Called(std::string_view prefix) const;
  int ComDepth() const { return comDepth_; }  // CoInitialize minus CoUninitialize
  int OpenHandles() const { return static_cast<int>(handles_.size()); }
  int LiveComObjects() const { return liveComObjects_; }
  uint32_t TotalSleepMs() const { return totalSleepMs_; }
  void SetLocalTime(const LocalTime& time) { fixedTime_ = time; }
  void ClearConsole();

  // Around every request that reaches unit `unit` on `face`, in pairs (an
  // After always belongs to the Before just made): a tool run's session
  // sees what zembsim changed before it and keeps what the request changed
  // after it, before the answer returns. Non-zero is the Win32 error the
  // request then fails with. The in-process machine keeps everything in
  // memory and never fails here.
  virtual uint32_t BeforeDeviceRequest(size_t /*unit*/, Face /*face*/) { return kErrorSuccess; }
  virtual uint32_t AfterDeviceRequest() { return kErrorSuccess; }
  // Which unit the machine shows on `devicePath` (on a machine of one unit,
  // that unit whatever the path, as hand-made machines name paths freely);
  // false when none does.
  bool UnitOnPath(const std::string& devicePath, size_t* unit) const;

  // Used by the COM objects of this host.
  void Record(std::string call) {
    if (logCalls_) calls_.push_back(std::move(call));
  }
  int& LiveComObjectsRef() { return liveComObjects_; }

 private:
  struct Target {
    bool cdrom = false;
    size_t index = 0;
  };
  template <typename Request>
  IoctlResult DeviceRequest(size_t unit, Face face, Request request);
  SimMachine machine_;
  std::vector<SimDevice*> units_;
  Clock& clock_;
  ConsoleMode mode_;
  uint32_t lastError_ = 0;
  std::map<DevInfoList, Guid> lists_;
  std::map<DeviceHandle, Target> handles_;
  uintptr_t nextHandle_ = 0x100;
  int comDepth_ = 0;
  int liveComObjects_ = 0;
  uint32_t totalSleepMs_ = 0;
  std::optional<LocalTime> fixedTime_;
  std::string stdout_, stderr_;
  std::vector<ColorMark> colors_;
  std::vector<std::string> calls_;
  bool logCalls_ = true;
  std::vector<uint8_t> request_;  // reused: no allocation per request
  bool ansiColor_ = false;
  bool stderrTerminal_ = false;
  bool catchingInterrupts_ = false;
  uint32_t interruptChecks_ = 0;
  uint32_t interruptAtCheck_ = 0;
};

// A whole simulated machine for tests: a virtual clock, the device, and the
// host over them.
struct SimRig {
  explicit SimRig(DeviceState state);
  SimRig(DeviceState state, SimMachine machine);
  explicit SimRig(SimMachine machine);  // nothing plugged in
  VirtualClock clock;
  std::unique_ptr<SimDevice> device;
  std::unique_ptr<SimHost> host;
};

// The same with several units, plugged in the order given (that is the
// machine's order); a unit named "" shows on the unlisted unit's paths.
struct SimUnitsRig {
  struct Plugged {
    std::string name;
    DeviceState state;
  };
  explicit SimUnitsRig(std::vector<Plugged> plugged);
  SimDevice& Unit(size_t index) { return *units[index]; }
  VirtualClock clock;
  std::vector<std::unique_ptr<SimDevice>> units;
  std::unique_ptr<SimHost> host;
};

}  // namespace zemb::sim
