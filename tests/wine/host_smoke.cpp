// Smoke test of the real Windows host: every call the tools make before they
// find a device, run on a machine (or Wine prefix) without one. Prints what
// it found; exits 0 when every call behaved as Windows documents it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/host/host.h"
#include "common/host/windows_api.h"
// Host has members of these names; the A/W macros would rename them.
#undef CreateFile
#undef CreateDirectory

namespace {

using namespace zemb;

constexpr Guid kCdromInterface = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr Guid kVideoInputCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
constexpr uint32_t kIoctlScsiPassThrough = 0x4D004;

template <typename... Parts>
std::string Cat(const Parts&... parts) {
  std::string text;
  (text += ... += parts);
  return text;
}

class Smoke {
 public:
  explicit Smoke(Host& host) : host_(host) {}

  template <typename... Parts>
  void Say(const Parts&... parts) {
    host_.WriteStdout(Cat(parts...));
  }

  template <typename... Parts>
  void Check(bool ok, const Parts&... what) {
    if (ok) {
      Say("  ok    ", what..., "\n");
      return;
    }
    ++failures_;
    host_.SetTextAttribute(kColorRed);
    Say("  FAIL  ", what..., "\n");
    host_.SetTextAttribute(kColorNormal);
  }

  int failures() const { return failures_; }

 private:
  Host& host_;
  int failures_ = 0;
};

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

void CheckDeviceInterfaces(Host& host, Smoke& smoke) {
  smoke.Say("CD-ROM device interfaces ", GuidToString(kCdromInterface), "\n");
  const DevInfoList list = host.GetClassDevs(kCdromInterface);
  smoke.Check(list != kInvalidDevInfoList, "SetupDiGetClassDevsA gives a list");
  if (list == kInvalidDevInfoList) return;
  uint32_t index = 0;
  std::string path;
  while (host.GetDeviceInterfacePath(list, kCdromInterface, index, &path)) {
    smoke.Say("    member ", std::to_string(index), ": ", (path.empty() ? "(no path)" : path),
              "\n");
    if (++index == 64) break;
  }
  const uint32_t error = host.GetLastError();
  smoke.Say("    ", std::to_string(index), " member(s), then error ", Hex(error), "\n");
  smoke.Check(error == kErrorNoMoreItems, "enumeration ends with ERROR_NO_MORE_ITEMS");
  host.DestroyDeviceInfoList(list);
}

void CheckDeviceFiles(Host& host, Smoke& smoke) {
  smoke.Say("Device files\n");
  const DeviceHandle handle = host.CreateFile("\\\\.\\ZembHostSmokeNoSuchDevice");
  const uint32_t error = host.GetLastError();
  smoke.Check(handle == kInvalidHandle && error == kErrorFileNotFound,
              "CreateFileA of a missing device fails with ", Hex(error));
  host.CloseHandle(handle);

  // No USB device above a path that leads nowhere: no port, and no hang.
  smoke.Check(
      host.DevicePort("\\\\?\\ZembHostSmokeNoSuchDevice#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}")
          .empty(),
      "DevicePort of a missing device is empty");

  // A well-formed pass-through packet reaches DeviceIoControl (the 64-bit
  // build rebuilds it first), which refuses the invalid handle.
  std::vector<uint8_t> packet(296 + 2);
  packet[0] = 44;
  packet[6] = 16;
  packet[7] = 252;
  packet[8] = 1;
  packet[12] = 2;
  packet[16] = 5;
  packet[20] = 296 & 0xFF;
  packet[21] = 296 >> 8;
  packet[24] = 44;
  uint32_t returned = 12345;
  bool ok = host.DeviceIoControl(kInvalidHandle, kIoctlScsiPassThrough, packet.data(),
                                 static_cast<uint32_t>(packet.size()), packet.data(),
                                 static_cast<uint32_t>(packet.size()), &returned);
  smoke.Check(!ok && host.GetLastError() == kErrorInvalidHandle,
              "pass-through on an invalid handle fails with ", Hex(host.GetLastError()));
  smoke.Check(packet[0] == 44 && packet[20] == (296 & 0xFF),
              "a failed pass-through leaves the packet alone");

  if (sizeof(void*) == 8) {
    // Refused before any driver sees it, as Windows refuses a header of the
    // wrong size.
    packet[0] = 56;
    ok = host.DeviceIoControl(kInvalidHandle, kIoctlScsiPassThrough, packet.data(),
                              static_cast<uint32_t>(packet.size()), packet.data(),
                              static_cast<uint32_t>(packet.size()), &returned);
    smoke.Check(!ok && host.GetLastError() == kErrorRevisionMismatch,
                "a packet with a foreign header size fails with ", Hex(host.GetLastError()));
  }
}

void CheckVideoDevices(Host& host, Smoke& smoke) {
  smoke.Say("Video input devices ", GuidToString(kVideoInputCategory), "\n");
  const HResult init = host.CoInitializeApartment();
  smoke.Check(Succeeded(init), "CoInitializeEx gives ", Hex(static_cast<uint32_t>(init)));
  if (!Succeeded(init)) return;
  {
    std::unique_ptr<SystemDeviceEnumerator> devEnum;
    HResult hr = host.CreateSystemDeviceEnumerator(&devEnum);
    smoke.Check(hr == kHrOk && devEnum != nullptr,
                "CoCreateInstance(CLSID_SystemDeviceEnum) gives ", Hex(static_cast<uint32_t>(hr)));
    if (devEnum != nullptr) {
      std::unique_ptr<MonikerEnumerator> monikers;
      hr = devEnum->CreateClassEnumerator(kVideoInputCategory, &monikers, 0);
      smoke.Say("    CreateClassEnumerator gives ", Hex(static_cast<uint32_t>(hr)), "\n");
      smoke.Check((hr == kHrOk && monikers != nullptr) || (hr == kHrFalse && monikers == nullptr),
                  "S_OK with an enumerator or S_FALSE (empty category) without one");
      int count = 0;
      std::unique_ptr<VideoMoniker> moniker;
      while (monikers != nullptr && count < 16 && monikers->Next(&moniker) == kHrOk) {
        ++count;
        std::unique_ptr<PropertyBag> bag;
        std::wstring name, path;
        if (Succeeded(moniker->BindToStorage(&bag))) {
          bag->ReadString(L"FriendlyName", &name);
          bag->ReadString(L"DevicePath", &path);
        }
        smoke.Say("    device: ", Narrow(name), " [", Narrow(path), "]\n");
      }
      smoke.Say("    ", std::to_string(count), " video input device(s)\n");
    }
  }  // Everything COM gave is released before COM goes.
  host.CoUninitialize();
}

void CheckServices(Host& host, Smoke& smoke) {
  smoke.Say("System services\n");
  std::string text;
  const bool found = host.FormatSystemMessage(kErrorFileNotFound, &text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  smoke.Say("    FormatMessageA(2): \"", text, "\"\n");
  smoke.Check(found && !text.empty(), "system text for error 2");

  const LocalTime now = host.GetLocalTime();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
  smoke.Say("    local time ", stamp, "\n");
  smoke.Check(now.year >= 2020 && now.month >= 1 && now.month <= 12 && now.day >= 1 &&
                  now.day <= 31 && now.hour < 24 && now.minute < 60,
              "GetLocalTime gives a plausible time");

  // The device relies on every pause having lasted the asked time; the
  // steady clock reads the performance counter, finer than the tick.
  const uint64_t start = host.TickCountMs();
  auto shortest = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 20; ++i) {
    const auto before = std::chrono::steady_clock::now();
    host.Sleep(1);
    shortest = std::min(shortest, std::chrono::steady_clock::now() - before);
  }
  const uint64_t elapsed = host.TickCountMs() - start;
  const auto shortestUs = std::chrono::duration_cast<std::chrono::microseconds>(shortest).count();
  smoke.Say("    20 x Sleep(1) took ", std::to_string(elapsed), " ms, the shortest ",
            std::to_string(shortestUs), " us\n");
  smoke.Check(host.TickCountMs() >= start, "the tick only moves forward");
  smoke.Check(shortest >= std::chrono::milliseconds(1), "no Sleep(1) returns before 1 ms");

  // The error of a failed request must survive the console output and the
  // colour changes the tools make before they print it.
  host.SetLastError(kErrorIoDevice);
  host.SetTextAttribute(kColorGreen);
  host.WriteStdout("    green");
  host.SetTextAttribute(kColorRed);
  host.WriteStdout(" red");
  host.SetTextAttribute(kColorNormal);
  host.WriteStdout(" normal\n");
  host.WriteStdoutWide(L"    wide: Gr\u00FC\u00DFe \u2713\n");
  host.WriteStderr("    (standard error)\n");
  host.Sleep(0);
  smoke.Check(host.GetLastError() == kErrorIoDevice,
              "console output and Sleep keep the last error");
}

// Closing the console window sends CTRL_CLOSE_EVENT and ends the process
// when the handlers return. The system delivers it by starting the console
// control routine on a thread of the process, which is done here by hand.
// Last of the checks: it leaves that thread waiting for the process to end.
void CheckConsoleClose(Host& host, Smoke& smoke) {
  smoke.Say("Closing the console window during a job\n");
  using Routine = DWORD(WINAPI*)(void*);
  const auto routine = reinterpret_cast<Routine>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine")));
  if (routine == nullptr) {
    smoke.Say("    kernel32 has no CtrlRoutine here: not checked\n");
    return;
  }
  host.CatchInterrupts();
  HANDLE thread =
      CreateThread(nullptr, 0, routine,
                   reinterpret_cast<void*>(static_cast<uintptr_t>(CTRL_CLOSE_EVENT)), 0, nullptr);
  smoke.Check(thread != nullptr, "the control routine starts");
  if (thread == nullptr) return;
  for (int i = 0; i < 200 && !host.InterruptRequested(); ++i) host.Sleep(10);
  smoke.Check(host.InterruptRequested(), "closing the window asks the job to stop, as Ctrl-C does");
  smoke.Check(WaitForSingleObject(thread, 500) == WAIT_TIMEOUT,
              "the handler keeps the process until the job has stopped");
}

}  // namespace

int main() {
  std::unique_ptr<Host> host = MakeHost();
  Smoke smoke(*host);
  smoke.Say("host smoke, ", (sizeof(void*) == 8 ? "x64" : "x86"), "\n");
  CheckDeviceInterfaces(*host, smoke);
  CheckDeviceFiles(*host, smoke);
  CheckVideoDevices(*host, smoke);
  CheckServices(*host, smoke);
  CheckConsoleClose(*host, smoke);
  if (smoke.failures() != 0) {
    smoke.Say(std::to_string(smoke.failures()), " check(s) failed\n");
    return 1;
  }
  host->SetTextAttribute(kColorGreen);
  smoke.Say("all checks passed\n");
  host->SetTextAttribute(kColorNormal);
  return 0;
}
