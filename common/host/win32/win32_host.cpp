// The real Windows host: each member of Host is the Windows call of the same
// name, with the portable types converted at the edge. Error codes and
// HRESULTs pass through untouched; the only translation with logic in it is
// the 64-bit SCSI pass-through packet (scsi_layout.h).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Other headers after windows.h, which they rely on.
#include <dshow.h>
#include <ks.h>
#include <ksproxy.h>  // IKsControl; KSNODETYPE_DEV_SPECIFIC is compared above the seam
#include <ntddscsi.h>
#include <setupapi.h>

// Host has members of these names; the A/W macros would rename them.
#undef CreateFile
#undef CreateDirectory

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "common/host/host.h"
#include "common/host/win32/scsi_layout.h"
#include "common/host/win32/win32_pause.h"

// mingw-w64 has no vidcap.h. The vtable order is that of the Windows SDK and
// must not change: a COM call through a wrong slot is a silent crash. It is
// declared at global scope, as the SDK does: in an anonymous namespace,
// where nothing in this file implements it, GCC proves that no object of
// the type can exist and turns every call through it into a jump to
// nowhere.
struct IKsTopologyInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Category(DWORD index, GUID* category) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD index,
                                                       KSTOPOLOGY_CONNECTION* info) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeName(DWORD nodeId, WCHAR* name, DWORD bufferSize,
                                                 DWORD* nameLength) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD nodeId, GUID* nodeType) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD nodeId, REFIID iid, void** object) = 0;
};

namespace zemb {
namespace {

// Defined here rather than taken from a library so the value cannot depend on
// which import library happens to carry it.
constexpr GUID kIidIKsTopologyInfo = {
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID kIidIKsControl = {
    0x28F54685, 0x06FD, 0x11D2, {0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

// --- Layouts the portable code builds byte by byte --------------------------

static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(sizeof(KSP_NODE) == 32);
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);
static_assert(sizeof(HANDLE) == sizeof(DeviceHandle) && sizeof(HDEVINFO) == sizeof(DevInfoList));

namespace sl = scsi_layout;
static_assert(offsetof(SCSI_PASS_THROUGH, Length) == sl::kLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == sl::kScsiStatusOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, PathId) == sl::kPathIdOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, TargetId) == sl::kTargetIdOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, Lun) == sl::kLunOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == sl::kCdbLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == sl::kSenseInfoLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == sl::kDataInOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == sl::kDataTransferLengthOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == sl::kTimeOutValueOffset);
static_assert(sizeof(SCSI_PASS_THROUGH::Cdb) == sl::kCdbSize);

#ifdef _WIN64
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
static_assert(sizeof(SCSI_PASS_THROUGH) == sl::kX64HeaderSize);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == sl::kX64DataBufferOffsetOffset);
static_assert(sizeof(SCSI_PASS_THROUGH::DataBufferOffset) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == sl::kX64SenseInfoOffsetOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == sl::kX64CdbOffset);
#else
// The portable packet is this structure byte for byte, so it goes through
// unchanged.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
static_assert(sizeof(SCSI_PASS_THROUGH) == sl::kX86HeaderSize);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == sl::kX86DataBufferOffsetOffset);
static_assert(sizeof(SCSI_PASS_THROUGH::DataBufferOffset) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == sl::kX86SenseInfoOffsetOffset);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == sl::kX86CdbOffset);
#endif

GUID ToGuid(const Guid& g) {
  GUID out;
  out.Data1 = g.Data1;
  out.Data2 = g.Data2;
  out.Data3 = g.Data3;
  std::memcpy(out.Data4, g.Data4, sizeof out.Data4);
  return out;
}

Guid FromGuid(const GUID& g) {
  Guid out;
  out.Data1 = g.Data1;
  out.Data2 = g.Data2;
  out.Data3 = g.Data3;
  std::memcpy(out.Data4, g.Data4, sizeof out.Data4);
  return out;
}

HANDLE ToHandle(DeviceHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
HDEVINFO ToDevInfo(DevInfoList list) {
  return reinterpret_cast<HDEVINFO>(list);
}

// Members that report no failure of their own leave the thread's last error
// as they found it: the portable code prints it after a failed device
// request, possibly with console output and colour changes in between.
class KeepLastError {
 public:
  KeepLastError() : error_(::GetLastError()) {}
  ~KeepLastError() { ::SetLastError(error_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD error_;
};

// Owns one COM reference.
template <typename T>
class ComRef {
 public:
  explicit ComRef(T* object = nullptr) : object_(object) {}
  ~ComRef() {
    if (object_ != nullptr) object_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* get() const { return object_; }
  T* operator->() const { return object_; }

 private:
  T* object_;
};

// Hands a COM out-pointer over to a wrapper. The HRESULT stays the call's own,
// with one exception: a plain S_OK without an object becomes E_POINTER, so
// that S_OK always comes with an object. A broken callee that returns an
// object with a failure still has it released.
template <typename Wrapper, typename Interface, typename Base>
HResult Adopt(HRESULT hr, Interface* raw, std::unique_ptr<Base>* out) {
  if (raw == nullptr) return hr == S_OK ? kHrPointer : hr;
  auto wrapper = std::make_unique<Wrapper>(raw);
  if (SUCCEEDED(hr)) *out = std::move(wrapper);
  return hr;
}

// --- COM wrappers -----------------------------------------------------------

class Win32KsControl final : public KsControl {
 public:
  explicit Win32KsControl(IKsControl* control) : control_(control) {}

  HResult KsProperty(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength,
                     uint32_t* bytesReturned) override {
    if (property == nullptr) return kHrPointer;
    ULONG returned = 0;
    HRESULT hr = control_->KsProperty(static_cast<PKSPROPERTY>(const_cast<void*>(property)),
                                      propertyLength, data, dataLength, &returned);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return hr;
  }

 private:
  ComRef<IKsControl> control_;
};

class Win32KsTopologyInfo final : public KsTopologyInfo {
 public:
  explicit Win32KsTopologyInfo(IKsTopologyInfo* topology) : topology_(topology) {}

  HResult get_NumNodes(uint32_t* count) override {
    if (count == nullptr) return kHrPointer;
    DWORD n = 0;
    HRESULT hr = topology_->get_NumNodes(&n);
    if (SUCCEEDED(hr)) *count = n;
    return hr;
  }

  HResult get_NodeType(uint32_t index, Guid* nodeType) override {
    if (nodeType == nullptr) return kHrPointer;
    GUID type = {};
    HRESULT hr = topology_->get_NodeType(index, &type);
    if (SUCCEEDED(hr)) *nodeType = FromGuid(type);
    return hr;
  }

  HResult CreateNodeInstance(uint32_t index, std::unique_ptr<KsControl>* control) override {
    if (control == nullptr) return kHrPointer;
    control->reset();
    void* raw = nullptr;
    HRESULT hr = topology_->CreateNodeInstance(index, kIidIKsControl, &raw);
    return Adopt<Win32KsControl>(hr, static_cast<IKsControl*>(raw), control);
  }

 private:
  ComRef<IKsTopologyInfo> topology_;
};

class Win32VideoFilter final : public VideoFilter {
 public:
  explicit Win32VideoFilter(IBaseFilter* filter) : filter_(filter) {}

  HResult QueryTopologyInfo(std::unique_ptr<KsTopologyInfo>* topology) override {
    if (topology == nullptr) return kHrPointer;
    topology->reset();
    void* raw = nullptr;
    HRESULT hr = filter_->QueryInterface(kIidIKsTopologyInfo, &raw);
    return Adopt<Win32KsTopologyInfo>(hr, static_cast<IKsTopologyInfo*>(raw), topology);
  }

 private:
  ComRef<IBaseFilter> filter_;
};

class Win32PropertyBag final : public PropertyBag {
 public:
  explicit Win32PropertyBag(IPropertyBag* bag) : bag_(bag) {}

  // A property that is there but not a string fails with
  // DISP_E_TYPEMISMATCH.
  HResult ReadString(std::wstring_view name, std::wstring* value) override {
    if (value == nullptr) return kHrPointer;
    const std::wstring terminated(name);
    VARIANT variant;
    VariantInit(&variant);
    HRESULT hr = bag_->Read(terminated.c_str(), &variant, nullptr);
    if (SUCCEEDED(hr)) {
      if (variant.vt != VT_BSTR) {
        hr = DISP_E_TYPEMISMATCH;
      } else if (variant.bstrVal == nullptr) {
        value->clear();
      } else {
        value->assign(variant.bstrVal, SysStringLen(variant.bstrVal));
      }
    }
    VariantClear(&variant);
    return hr;
  }

 private:
  ComRef<IPropertyBag> bag_;
};

class Win32VideoMoniker final : public VideoMoniker {
 public:
  explicit Win32VideoMoniker(IMoniker* moniker) : moniker_(moniker) {}

  HResult BindToStorage(std::unique_ptr<PropertyBag>* bag) override {
    if (bag == nullptr) return kHrPointer;
    bag->reset();
    void* raw = nullptr;
    HRESULT hr = moniker_->BindToStorage(nullptr, nullptr, IID_IPropertyBag, &raw);
    return Adopt<Win32PropertyBag>(hr, static_cast<IPropertyBag*>(raw), bag);
  }

  HResult BindToObject(std::unique_ptr<VideoFilter>* filter) override {
    if (filter == nullptr) return kHrPointer;
    filter->reset();
    void* raw = nullptr;
    HRESULT hr = moniker_->BindToObject(nullptr, nullptr, IID_IBaseFilter, &raw);
    return Adopt<Win32VideoFilter>(hr, static_cast<IBaseFilter*>(raw), filter);
  }

 private:
  ComRef<IMoniker> moniker_;
};

class Win32MonikerEnumerator final : public MonikerEnumerator {
 public:
  explicit Win32MonikerEnumerator(IEnumMoniker* enumerator) : enumerator_(enumerator) {}

  HResult Next(std::unique_ptr<VideoMoniker>* moniker) override {
    if (moniker == nullptr) return kHrPointer;
    moniker->reset();
    IMoniker* raw = nullptr;
    ULONG fetched = 0;
    HRESULT hr = enumerator_->Next(1, &raw, &fetched);
    return Adopt<Win32VideoMoniker>(hr, raw, moniker);
  }

 private:
  ComRef<IEnumMoniker> enumerator_;
};

class Win32SystemDeviceEnumerator final : public SystemDeviceEnumerator {
 public:
  explicit Win32SystemDeviceEnumerator(ICreateDevEnum* devEnum) : devEnum_(devEnum) {}

  HResult CreateClassEnumerator(const Guid& category,
                                std::unique_ptr<MonikerEnumerator>* enumerator,
                                uint32_t flags) override {
    if (enumerator == nullptr) return kHrPointer;
    enumerator->reset();
    IEnumMoniker* raw = nullptr;
    HRESULT hr = devEnum_->CreateClassEnumerator(ToGuid(category), &raw, flags);
    return Adopt<Win32MonikerEnumerator>(hr, raw, enumerator);
  }

 private:
  ComRef<ICreateDevEnum> devEnum_;
};

// --- The unit lock ----------------------------------------------------------

// A named mutex held by this thread; the system releases it (the next owner
// sees WAIT_ABANDONED) if the run is killed.
class Win32DeviceLock final : public DeviceLock {
 public:
  explicit Win32DeviceLock(HANDLE mutex) : mutex_(mutex) {}
  ~Win32DeviceLock() override {
    KeepLastError keep;
    ReleaseMutex(mutex_);
    ::CloseHandle(mutex_);
  }
  Win32DeviceLock(const Win32DeviceLock&) = delete;
  Win32DeviceLock& operator=(const Win32DeviceLock&) = delete;

 private:
  HANDLE mutex_;
};

// The unit is one for the whole machine, so the name lives in the global
// namespace ("Global" and a backslash): a run from another logon session (a remote desktop, a
// service running a test script) must wait for it too. Mutexes, unlike file mappings, may be
// created there without SeCreateGlobalPrivilege. A backslash may not follow the namespace and
// device paths ignore letter case, so the path is folded to one spelling; a path too long for an
// object name keeps its head and a hash of the whole.
std::string DeviceLockName(const std::string& devicePath) {
  std::string tail;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : devicePath) {
    const char folded = c == '\\' ? '#' : (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    tail += folded;
    hash = (hash ^ static_cast<uint8_t>(folded)) * 1099511628211ull;
  }
  constexpr size_t kMaxTail = 200;  // object names end at MAX_PATH
  if (tail.size() > kMaxTail) {
    char hex[20];
    std::snprintf(hex, sizeof hex, ".%016llx", static_cast<unsigned long long>(hash));
    tail = tail.substr(0, kMaxTail - 17) + hex;
  }
  return "Global\\ZembUnit." + tail;
}

// --- The host ---------------------------------------------------------------

class Win32Host final : public Host {
 public:
  Win32Host() = default;
  Win32Host(const Win32Host&) = delete;
  Win32Host& operator=(const Win32Host&) = delete;

  DevInfoList GetClassDevs(const Guid& interfaceClass) override {
    const GUID guid = ToGuid(interfaceClass);
    HDEVINFO list =
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return reinterpret_cast<DevInfoList>(list);
  }

  bool GetDeviceInterfacePath(DevInfoList list, const Guid& interfaceClass, uint32_t index,
                              std::string* devicePath) override {
    if (devicePath != nullptr) devicePath->clear();
    const GUID guid = ToGuid(interfaceClass);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(ToDevInfo(list), nullptr, &guid, index, &data)) {
      return false;
    }
    if (devicePath == nullptr) return true;

    // The size query fails by design (ERROR_INSUFFICIENT_BUFFER); only the
    // size matters. Without one there is no detail to ask for.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(ToDevInfo(list), &data, nullptr, 0, &required, nullptr);
    if (required == 0) return true;
    // Never smaller than the fixed part the system writes cbSize into.
    const DWORD size = required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                           ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                           : required;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]());
    if (!buffer) return true;
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (SetupDiGetDeviceInterfaceDetailA(ToDevInfo(list), &data, detail, size, nullptr, nullptr)) {
      // Bounded by the buffer even if the system left no terminator.
      const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
      const char* path = detail->DevicePath;
      devicePath->assign(path, strnlen(path, size - pathOffset));
    }
    return true;
  }

  void DestroyDeviceInfoList(DevInfoList list) override {
    if (list == kInvalidDevInfoList) return;
    SetupDiDestroyDeviceInfoList(ToDevInfo(list));
  }

  DeviceHandle CreateFile(const std::string& path) override {
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    return reinterpret_cast<DeviceHandle>(handle);
  }

  bool DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
                       void* out, uint32_t outLength, uint32_t* bytesReturned) override {
#ifdef _WIN64
    if (controlCode == IOCTL_SCSI_PASS_THROUGH) {
      return ScsiPassThroughX64(handle, in, inLength, out, outLength, bytesReturned);
    }
#endif
    DWORD returned = 0;
    BOOL ok = ::DeviceIoControl(ToHandle(handle), controlCode, const_cast<void*>(in), inLength, out,
                                outLength, &returned, nullptr);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok != FALSE;
  }

  // The invalid value is never closed: it doubles as the current-process
  // pseudo-handle, and a debugger breaks on closing a bad handle.
  void CloseHandle(DeviceHandle handle) override {
    if (handle == kInvalidHandle || handle == 0) return;
    ::CloseHandle(ToHandle(handle));
  }

  std::unique_ptr<DeviceLock> TryLockDevice(const std::string& devicePath, bool* busy) override {
    *busy = false;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, DeviceLockName(devicePath).c_str());
    if (mutex == nullptr) {
      // The mutex exists, made by another user whose run holds the unit.
      *busy = ::GetLastError() == ERROR_ACCESS_DENIED;
      return nullptr;
    }
    const DWORD waited = WaitForSingleObject(mutex, 0);
    // An abandoned mutex is owned now: its last run was killed mid-way,
    // which leaves the unit to this one as a clean release would.
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      return std::make_unique<Win32DeviceLock>(mutex);
    }
    KeepLastError keep;
    ::CloseHandle(mutex);
    *busy = waited == WAIT_TIMEOUT;
    return nullptr;
  }

  HResult CoInitializeApartment() override {
    return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  }

  void CoUninitialize() override {
    ::CoUninitialize();
  }

  HResult CreateSystemDeviceEnumerator(
      std::unique_ptr<SystemDeviceEnumerator>* enumerator) override {
    if (enumerator == nullptr) return kHrPointer;
    enumerator->reset();
    void* raw = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ICreateDevEnum, &raw);
    return Adopt<Win32SystemDeviceEnumerator>(hr, static_cast<ICreateDevEnum*>(raw), enumerator);
  }

  void Sleep(uint32_t milliseconds) override {
    KeepLastError keep;
    pause_.Pause(milliseconds);
  }

  uint64_t TickCountMs() override {
    return GetTickCount64();
  }

  uint32_t GetLastError() override {
    return ::GetLastError();
  }
  void SetLastError(uint32_t error) override {
    ::SetLastError(error);
  }

  // Inserts are left as they stand: the text is printed, never formatted,
  // and without the flag a message with inserts would read arguments that
  // were never passed.
  bool FormatSystemMessage(uint32_t error, std::string* text) override {
    KeepLastError keep;
    char* buffer = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0x400, reinterpret_cast<char*>(&buffer), 0, nullptr);
    bool found = length != 0 && buffer != nullptr;
    if (found && text != nullptr) text->assign(buffer, length);
    if (buffer != nullptr) LocalFree(buffer);
    return found;
  }

  LocalTime GetLocalTime() override {
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    LocalTime t;
    t.year = now.wYear;
    t.month = now.wMonth;
    t.day = now.wDay;
    t.hour = now.wHour;
    t.minute = now.wMinute;
    t.second = now.wSecond;
    return t;
  }

  void CreateDirectory(const std::string& path) override {
    KeepLastError keep;
    CreateDirectoryA(path.c_str(), nullptr);
  }

  // Narrow text goes through stdio in text mode, flushed at once so that it
  // stays in order with standard error, with wide text written past stdio and
  // with colour changes.
  void WriteStdout(std::string_view text) override {
    KeepLastError keep;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  void WriteStderr(std::string_view text) override {
    KeepLastError keep;
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  // On a console the text goes out as UTF-16, whatever its code page; when
  // standard output is a file or a pipe it is written as UTF-8, which keeps
  // every character (the narrow text is ASCII) and reads back anywhere.
  void WriteStdoutWide(std::wstring_view text) override {
    KeepLastError keep;
    if (text.empty()) return;
    std::fflush(stdout);
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (console != nullptr && console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
      WriteConsoleWide(console, text);
      return;
    }
    const int length = static_cast<int>(text.size() > 0x7FFFFFF ? 0x7FFFFFF : text.size());
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), bytes, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
  }

  // Fails harmlessly (and changes no text) when standard output is not a
  // console.
  void SetTextAttribute(uint16_t attribute) override {
    KeepLastError keep;
    std::fflush(stdout);
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), attribute);
  }

  bool StderrIsTerminal() override {
    KeepLastError keep;
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  }

  void CatchInterrupts() override {
    KeepLastError keep;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  }

  bool InterruptRequested() override {
    return interrupted_ != 0;
  }

 private:
  // Runs on a thread of its own that the system starts for the event.
  static BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    interrupted_ = 1;
    return TRUE;
  }
  static inline volatile LONG interrupted_ = 0;

  // Older consoles refuse very long writes, so the text goes in pieces that
  // never split a surrogate pair.
  static void WriteConsoleWide(HANDLE console, std::wstring_view text) {
    constexpr size_t kPiece = 8192;
    while (!text.empty()) {
      size_t n = text.size() < kPiece ? text.size() : kPiece;
      if (n < text.size() && n > 1 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
      DWORD written = 0;
      if (!WriteConsoleW(console, text.data(), static_cast<DWORD>(n), &written, nullptr) ||
          written == 0) {
        return;
      }
      text.remove_prefix(written < n ? written : n);
    }
  }

#ifdef _WIN64
  // A 64-bit process must hand Windows the 64-bit SCSI_PASS_THROUGH, so the
  // portable packet is rebuilt in that layout, sent as one buffer for input
  // and output (some drivers, and Wine, read the request from the output
  // buffer), and the answer is written back in the portable layout.
  bool ScsiPassThroughX64(DeviceHandle handle, const void* in, uint32_t inLength, void* out,
                          uint32_t outLength, uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (in == nullptr || out == nullptr) {
      ::SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    scsi_layout::X64Packet packet;
    const uint32_t error = scsi_layout::ToX64(std::span(static_cast<const uint8_t*>(in), inLength),
                                              outLength, &packet);
    if (error != kErrorSuccess) {
      ::SetLastError(error);
      return false;
    }
    DWORD returned = 0;
    if (!::DeviceIoControl(ToHandle(handle), IOCTL_SCSI_PASS_THROUGH, packet.bytes.get(),
                           packet.size, packet.bytes.get(), packet.size, &returned, nullptr)) {
      // Freeing the packet must not hide the driver's error.
      const DWORD driverError = ::GetLastError();
      packet.bytes.reset();
      ::SetLastError(driverError);
      return false;
    }
    const uint32_t portable =
        scsi_layout::FromX64(packet, returned, std::span(static_cast<uint8_t*>(out), outLength));
    if (bytesReturned != nullptr) *bytesReturned = portable;
    return true;
  }
#endif

  // Every status look is followed by a pause; one timer for the whole run.
  Win32Pause pause_;
};

}  // namespace

std::unique_ptr<Host> MakeHost() {
  return std::make_unique<Win32Host>();
}

}  // namespace zemb
