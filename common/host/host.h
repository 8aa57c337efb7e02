// The host seam: every operating-system service the Zemb tools use, in the
// vocabulary of the Windows API but with portable types. Discovery, the
// transports and the console reporting are written once over this interface;
// win32/ passes each call to Windows, linux/ answers it through the Linux
// kernel's interfaces (SG_IO, the UVC extension unit), sim/ answers it from a
// model of a machine with the device plugged in.
//
// Conventions for every member:
//  - Calls block until done; nothing here is asynchronous.
//  - A member that can fail says how it reports it. Win32 error codes are
//    kept raw (GetLastError()) so the tools can print the code and its text;
//    COM calls return the HRESULT unchanged.
//  - Objects handed out through std::unique_ptr are released (COM Release)
//    when the pointer is destroyed, so every path releases what it got.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zemb {

struct Guid {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};

  friend bool operator==(const Guid&, const Guid&) = default;
};

// Text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidToString(const Guid& guid);

using HResult = int32_t;
constexpr HResult kHrOk = 0;                                           // S_OK
constexpr HResult kHrFalse = 1;                                        // S_FALSE
constexpr HResult kHrNotImpl = static_cast<HResult>(0x80004001u);      // E_NOTIMPL
constexpr HResult kHrNoInterface = static_cast<HResult>(0x80004002u);  // E_NOINTERFACE
constexpr HResult kHrPointer = static_cast<HResult>(0x80004003u);      // E_POINTER
constexpr HResult kHrFail = static_cast<HResult>(0x80004005u);         // E_FAIL
constexpr HResult kHrUnexpected = static_cast<HResult>(0x8000FFFFu);   // E_UNEXPECTED
constexpr HResult kHrNotFound = static_cast<HResult>(0x80070490u);     // HRESULT of ERROR_NOT_FOUND
constexpr HResult kHrSetNotFound = static_cast<HResult>(0x80070492u);  // ERROR_SET_NOT_FOUND
inline bool Succeeded(HResult hr) {
  return hr >= 0;
}

// Win32 error codes the portable code produces or looks for.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorSemTimeout = 121;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorNoMoreItems = 259;  // 0x103
constexpr uint32_t kErrorIoDevice = 1117;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorRevisionMismatch = 1306;
constexpr uint32_t kErrorTimeout = 1460;

// Device and list handles are pointer-sized; all bits set means none.
using DeviceHandle = std::uintptr_t;
using DevInfoList = std::uintptr_t;
constexpr DeviceHandle kInvalidHandle = ~static_cast<std::uintptr_t>(0);
constexpr DevInfoList kInvalidDevInfoList = ~static_cast<std::uintptr_t>(0);

struct LocalTime {
  uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Console text attributes (SetConsoleTextAttribute).
constexpr uint16_t kColorGreen = 10;  // FOREGROUND_GREEN | FOREGROUND_INTENSITY
constexpr uint16_t kColorRed = 12;    // FOREGROUND_RED | FOREGROUND_INTENSITY
constexpr uint16_t kColorNormal = 7;  // FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_BLUE

// --- Kernel streaming and DirectShow objects, released on destruction -------

// IKsControl of one topology node.
class KsControl {
 public:
  virtual ~KsControl() = default;
  // IKsControl::KsProperty. `property` is the raw KSP_NODE (32 bytes);
  // `data` may be null with length 0. Returns the driver's HRESULT; on
  // success *bytesReturned holds the count the driver reported.
  virtual HResult KsProperty(const void* property, uint32_t propertyLength, void* data,
                             uint32_t dataLength, uint32_t* bytesReturned) = 0;
};

// IKsTopologyInfo of a capture filter (only the members discovery needs).
class KsTopologyInfo {
 public:
  virtual ~KsTopologyInfo() = default;
  virtual HResult get_NumNodes(uint32_t* count) = 0;
  virtual HResult get_NodeType(uint32_t index, Guid* nodeType) = 0;
  // CreateNodeInstance(index, IID_IKsControl).
  virtual HResult CreateNodeInstance(uint32_t index, std::unique_ptr<KsControl>* control) = 0;
};

// IBaseFilter bound from a video input moniker.
class VideoFilter {
 public:
  virtual ~VideoFilter() = default;
  // QueryInterface(IID_IKsTopologyInfo).
  virtual HResult QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>* topology) = 0;
};

// IPropertyBag of a moniker; only string properties are read.
class PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  // IPropertyBag::Read into a VARIANT (VariantInit before, VariantClear
  // after, both inside). Fails when the property is absent or not a string.
  virtual HResult ReadString(std::wstring_view name, std::wstring* value) = 0;
};

class VideoMoniker {
 public:
  virtual ~VideoMoniker() = default;
  // BindToStorage(no context, no left moniker, IID_IPropertyBag).
  virtual HResult BindToStorage(std::unique_ptr<PropertyBag>* bag) = 0;
  // BindToObject(no context, no left moniker, IID_IBaseFilter).
  virtual HResult BindToObject(std::unique_ptr<VideoFilter>* filter) = 0;
};

class MonikerEnumerator {
 public:
  virtual ~MonikerEnumerator() = default;
  // IEnumMoniker::Next(1, ...): kHrOk with one moniker, kHrFalse at the end.
  virtual HResult Next(std::unique_ptr<VideoMoniker>* moniker) = 0;
};

class SystemDeviceEnumerator {
 public:
  virtual ~SystemDeviceEnumerator() = default;
  // ICreateDevEnum::CreateClassEnumerator(category, &enum, flags). kHrFalse
  // (and no enumerator) when the category is empty.
  virtual HResult CreateClassEnumerator(const Guid& category,
                                        std::unique_ptr<MonikerEnumerator>* enumerator,
                                        uint32_t flags) = 0;
};

// --- Commands through the system's shell ------------------------------------

using ShellEnvironment = std::vector<std::pair<std::string, std::string>>;

struct ShellResult {
  bool started = false;   // false: it could not be started; `error` says why
  bool timedOut = false;  // killed at its time limit
  int exitStatus = -1;    // its exit status, when it ended by itself
  std::string output;     // the last kShellOutputKept bytes it wrote
  std::string error;
};
constexpr size_t kShellOutputKept = 2048;

// The system's own way (common/host/shell_posix.cpp, shell_win32.cpp);
// what Host::RunShellCommand does unless a host says otherwise.
ShellResult RunSystemShell(const std::string& command, const ShellEnvironment& environment,
                           uint32_t timeoutMs);

// --- The host ---------------------------------------------------------------

// A unit held for one run; destroying it lets the next run have the unit.
class DeviceLock {
 public:
  virtual ~DeviceLock() = default;
};

class Host {
 public:
  virtual ~Host() = default;

  // SetupDiGetClassDevsA(class, no enumerator, no window,
  // DIGCF_PRESENT | DIGCF_DEVICEINTERFACE). kInvalidDevInfoList on failure.
  virtual DevInfoList GetClassDevs(const Guid& interfaceClass) = 0;

  // Member `index` of the list: SetupDiEnumDeviceInterfaces, then
  // SetupDiGetDeviceInterfaceDetailA (size query, then the detail). Returns
  // false when the enumeration call fails, with the last error set
  // (kErrorNoMoreItems past the end). Returns true when the member exists;
  // *devicePath is then its path, or empty when the detail could not be had.
  virtual bool GetDeviceInterfacePath(DevInfoList list, const Guid& interfaceClass, uint32_t index,
                                      std::string* devicePath) = 0;

  // SetupDiDestroyDeviceInfoList.
  virtual void DestroyDeviceInfoList(DevInfoList list) = 0;

  // CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
  // FILE_SHARE_WRITE, no security, OPEN_EXISTING, 0, no template).
  // kInvalidHandle on failure, with the last error set.
  virtual DeviceHandle CreateFile(const std::string& path) = 0;

  // CreateFileA(path, no access, FILE_SHARE_READ | FILE_SHARE_WRITE, no
  // security, OPEN_EXISTING, 0, no template): a handle for the queries that
  // need no access rights (the storage property query), which neither the
  // device's ACL, nor a policy that denies write access to CD and DVD
  // drives, nor another program holding the device refuses. kInvalidHandle
  // on failure, with the last error set. A host without such a mode opens
  // as CreateFile does.
  virtual DeviceHandle OpenDeviceForQuery(const std::string& path) { return CreateFile(path); }

  // DeviceIoControl without overlapped I/O; blocks until the driver completes
  // the request. `in` and `out` may be the same buffer (the request is read
  // before the answer is written). Returns false on failure with the last
  // error set; *bytesReturned is the count the driver reported.
  virtual bool DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in,
                               uint32_t inLength, void* out, uint32_t outLength,
                               uint32_t* bytesReturned) = 0;

  virtual void CloseHandle(DeviceHandle handle) = 0;

  // Takes the machine-wide lock named after `devicePath` (the path discovery
  // found the unit on) without waiting: two runs that interleave their
  // requests on one unit undo each other's read-modify-write. Returns the
  // held lock, or null with *busy true when another run holds it (the caller
  // polls with Sleep, so its time limit runs on the host tick), or null with
  // *busy false and the last error set when the lock cannot be made at all.
  // Another process's run that ended without releasing (killed) never keeps
  // the lock. Runs on different units never wait for each other; a host that
  // knows which paths lead to one unit may lock them as one.
  virtual std::unique_ptr<DeviceLock> TryLockDevice(const std::string& devicePath, bool* busy) = 0;

  // The USB port the unit behind `devicePath` sits in, the same for every
  // face of one unit and for as long as it stays in that socket (across
  // re-plugs and reboots): the location path of its USB device on Windows,
  // the sysfs port path such as "1-1.3" on Linux, the port a simulated unit
  // was plugged into. Empty when the host cannot tell. Never blocks on the
  // device itself.
  virtual std::string DevicePort(const std::string& devicePath) {
    (void)devicePath;
    return {};
  }

  // Which plugging of the unit behind `devicePath` this is: it changes each
  // time a unit is plugged, so a unit pulled out and plugged back (or
  // replaced) between two looks is told from one that stayed, even on the
  // same path and port: the USB device's address on Linux (handed out anew
  // at each enumeration), the plugging zembsim noted for a simulated unit.
  // Empty when the host cannot tell. Never blocks on the device itself.
  virtual std::string DevicePlug(const std::string& devicePath) {
    (void)devicePath;
    return {};
  }

  // Whether the devices this host shows may no longer be the machine's. A
  // host that takes its picture of the machine when it is made (the
  // simulated one) says so once a unit came or went, and a new host then
  // shows the machine as it is; hosts whose lists are always the machine's
  // own (Windows, Linux) never do. Cheap enough to ask a few times a
  // second; never blocks on a device.
  virtual bool DevicesChanged() { return false; }

  // Runs `command` through the system's shell (cmd.exe /c on Windows,
  // /bin/sh -c elsewhere) with `environment` added to this process's, its
  // standard input empty and its standard output and error read together.
  // Waits until it ends or `timeoutMs` has passed; then it is killed with
  // everything it started. Never throws.
  virtual ShellResult RunShellCommand(const std::string& command,
                                      const ShellEnvironment& environment, uint32_t timeoutMs) {
    return RunSystemShell(command, environment, timeoutMs);
  }

  // CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) and CoUninitialize.
  virtual HResult CoInitializeApartment() = 0;
  virtual void CoUninitialize() = 0;

  // CoCreateInstance(CLSID_SystemDeviceEnum, no outer, CLSCTX_INPROC_SERVER,
  // IID_ICreateDevEnum).
  virtual HResult CreateSystemDeviceEnumerator(
      std::unique_ptr<SystemDeviceEnumerator>* enumerator) = 0;

  // Sleep(ms). Tick is a millisecond count that only moves forward
  // (GetTickCount64); time limits are measured on it.
  virtual void Sleep(uint32_t milliseconds) = 0;
  virtual uint64_t TickCountMs() = 0;

  virtual uint32_t GetLastError() = 0;
  virtual void SetLastError(uint32_t error) = 0;

  // FormatMessageW(FROM_SYSTEM | ALLOCATE_BUFFER, code, language 0x400), as
  // UTF-8. False when the system has no text for the code.
  virtual bool FormatSystemMessage(uint32_t error, std::string* text) = 0;

  virtual LocalTime GetLocalTime() = 0;

  // CreateDirectoryW of a UTF-8 name; an existing directory or a failure is
  // not reported.
  virtual void CreateDirectory(const std::string& path) = 0;

  // Console: standard output and standard error, narrow and wide, and the
  // text attribute of standard output. Narrow text is UTF-8: ASCII goes out
  // byte for byte; on Windows other text reaches a console as UTF-16 and a
  // file or a pipe in the ANSI code page. Wide text is converted to the
  // console's encoding. Write errors are ignored.
  virtual void WriteStdout(std::string_view text) = 0;
  virtual void WriteStderr(std::string_view text) = 0;
  virtual void WriteStdoutWide(std::wstring_view text) = 0;
  virtual void SetTextAttribute(uint16_t attribute) = 0;

  // True when standard error is an interactive console, where a progress
  // line may be redrawn in place; false for a file or a pipe.
  virtual bool StderrIsTerminal() = 0;

  // Interrupt requests (Ctrl-C, Ctrl-Break; SIGINT). Until CatchInterrupts
  // is called an interrupt ends the process as usual; after it, the process
  // goes on and InterruptRequested reports true from the next call on, so
  // a long job can stop at a point of its choosing. Neither call blocks.
  virtual void CatchInterrupts() = 0;
  virtual bool InterruptRequested() = 0;
};

// The host of this build: the real Windows host in the win32 build, the
// simulated machine (device state in ./ZembSimDevice/) in the sim build.
// Only main() calls it.
std::unique_ptr<Host> MakeHost();

}  // namespace zemb
