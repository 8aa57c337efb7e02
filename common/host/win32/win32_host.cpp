// The real Windows host: each member of Host is the Windows call of the same
// name, with the portable types converted at the edge. Error codes and
// HRESULTs pass through untouched; the only translation with logic in it is
// the 64-bit SCSI pass-through packet (scsi_layout.h). Here the console,
// the clock, the error texts and the unit lock; the device side is in
// win32_devices.cpp, the COM side in win32_com.cpp.
#include <cstdio>

#include "common/host/console_text.h"
#include "common/host/file_names.h"
#include "common/host/win32/win32_parts.h"
#include "common/host/win32/win32_pause.h"

namespace zemb {
namespace {

using namespace win32;

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

  // Device lists and device I/O: win32_devices.cpp.
  DevInfoList GetClassDevs(const Guid& interfaceClass) override {
    return OpenClassList(interfaceClass);
  }
  bool GetDeviceInterfacePath(DevInfoList list, const Guid& interfaceClass, uint32_t index,
                              std::string* devicePath) override {
    return ListedInterfacePath(list, interfaceClass, index, devicePath);
  }
  void DestroyDeviceInfoList(DevInfoList list) override { CloseClassList(list); }
  DeviceHandle CreateFile(const std::string& path) override { return OpenDevice(path, true); }
  DeviceHandle OpenDeviceForQuery(const std::string& path) override {
    return OpenDevice(path, false);
  }
  bool DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
                       void* out, uint32_t outLength, uint32_t* bytesReturned) override {
    return DeviceControl(handle, controlCode, in, inLength, out, outLength, bytesReturned);
  }
  void CloseHandle(DeviceHandle handle) override { CloseDevice(handle); }

  std::string DevicePort(const std::string& devicePath) override {
    KeepLastError keep;
    return UsbPortOf(devicePath);
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

  void CoUninitialize() override { ::CoUninitialize(); }

  // The system device enumerator and what it finds: win32_com.cpp.
  HResult CreateSystemDeviceEnumerator(
      std::unique_ptr<SystemDeviceEnumerator>* enumerator) override {
    return CreateDeviceEnumerator(enumerator);
  }

  void Sleep(uint32_t milliseconds) override {
    KeepLastError keep;
    pause_.Pause(milliseconds);
  }

  uint64_t TickCountMs() override { return GetTickCount64(); }

  uint32_t GetLastError() override { return ::GetLastError(); }
  void SetLastError(uint32_t error) override { ::SetLastError(error); }

  // Inserts are left as they stand: the text is printed, never formatted,
  // and without the flag a message with inserts would read arguments that
  // were never passed. The text is taken as UTF-16 and kept as UTF-8, like
  // every other text of the tools; the console writes turn it into what the
  // console or the file expects.
  bool FormatSystemMessage(uint32_t error, std::string* text) override {
    KeepLastError keep;
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0x400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    bool found = length != 0 && buffer != nullptr;
    if (found && text != nullptr) *text = Utf8FromWide(std::wstring_view(buffer, length));
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
    CreateDirectoryW(WideFromUtf8(path).c_str(), nullptr);
  }

  // Narrow text goes through stdio in text mode, flushed at once so that it
  // stays in order with standard error, with wide text written past stdio and
  // with colour changes.
  void WriteStdout(std::string_view text) override {
    KeepLastError keep;
    WriteNarrow(text, stdout, STD_OUTPUT_HANDLE);
  }

  void WriteStderr(std::string_view text) override {
    KeepLastError keep;
    WriteNarrow(text, stderr, STD_ERROR_HANDLE);
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

  bool InterruptRequested() override { return interrupted_ != 0; }

 private:
  // Runs on a thread of its own that the system starts for the event.
  // Closing the console window, logging off and shutting down end the
  // process as soon as this returns, whatever it answers; the system waits
  // some seconds first. So those ask the job to stop, as Ctrl-C does, and
  // never return: the job finishes the sector in hand, verifies and
  // records it, and the process ends when the job does (or when the system
  // stops waiting).
  static BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
      case CTRL_C_EVENT:
      case CTRL_BREAK_EVENT:
        interrupted_ = 1;
        return TRUE;
      case CTRL_CLOSE_EVENT:
      case CTRL_LOGOFF_EVENT:
      case CTRL_SHUTDOWN_EVENT:
        interrupted_ = 1;
        for (;;) ::Sleep(INFINITE);
      default:
        return FALSE;
    }
  }
  static inline volatile LONG interrupted_ = 0;

  // The tools' own text is ASCII and goes out byte for byte. Text that is
  // not (a path the operator typed, the system's message) is UTF-8 inside:
  // a console gets it as UTF-16, whatever its code page; a file or a pipe
  // gets it in the ANSI code page, the bytes the narrow calls gave before.
  // Bytes that are not UTF-8 go out as they are.
  static void WriteNarrow(std::string_view text, std::FILE* stream, DWORD which) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (!ascii && IsUtf8(text)) {
      std::fflush(stream);
      const std::wstring wide = WideFromUtf8(text);
      HANDLE console = GetStdHandle(which);
      DWORD mode = 0;
      if (console != nullptr && console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
        WriteConsoleWide(console, wide);
        return;
      }
      const int length = static_cast<int>(wide.size() > 0x7FFFFFF ? 0x7FFFFFF : wide.size());
      const int bytes =
          WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
      if (bytes > 0) {
        std::string ansi(static_cast<size_t>(bytes), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.data(), length, ansi.data(), bytes, nullptr, nullptr);
        std::fwrite(ansi.data(), 1, ansi.size(), stream);
        std::fflush(stream);
        return;
      }
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
  }

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

  // Every status look is followed by a pause; one timer for the whole run.
  Win32Pause pause_;
};

}  // namespace

std::unique_ptr<Host> MakeHost() {
  return std::make_unique<Win32Host>();
}

}  // namespace zemb
