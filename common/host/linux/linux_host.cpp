// The Linux host: the device's two faces that use the system's own class
// drivers, reached through the kernel's interfaces and answered in the
// seam's Windows vocabulary, so discovery, the transports and the tools are
// the same code as on Windows.
//
//  - The maker's own driver exists only for Windows: its class is empty.
//  - The CD-ROM class lists the SCSI devices of type 5 (sysfs
//    scsi_generic); a member opens its /dev/sgN. The storage property query
//    is answered from the device's sysfs attributes, and a pass-through
//    request becomes one SG_IO.
//  - The video input category lists the V4L2 capture devices; their
//    topology nodes are the UVC extension units in the USB descriptors, and
//    a node's property request becomes one UVCIOC_CTRL_QUERY.
//
// Errors are Linux error numbers turned into Win32 codes once, here
// (linux_layout.h), so the tools print the same error block as on Windows.
// Device nodes are opened with open() on their /dev path and never judged
// by fstat(): test harnesses that stand in for the kernel see only that.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "common/host/console_text.h"
#include "common/host/linux/linux_layout.h"
#include "common/host/linux/linux_parts.h"
#include "common/host/posix_lock.h"
#include "common/host/system_messages.h"

namespace zemb {
namespace {

using namespace linux_host;

class LinuxHost final : public Host {
 public:
  LinuxHost() : color_(isatty(1) != 0) {}

  // Device lists and the CD-ROM face's nodes: linux_devices.cpp.
  DevInfoList GetClassDevs(const Guid& interfaceClass) override {
    return nodes_.OpenList(interfaceClass);
  }
  bool GetDeviceInterfacePath(DevInfoList list, const Guid& /*interfaceClass*/, uint32_t index,
                              std::string* devicePath) override {
    return nodes_.ListedPath(list, index, devicePath);
  }
  void DestroyDeviceInfoList(DevInfoList list) override { nodes_.CloseList(list); }
  DeviceHandle CreateFile(const std::string& path) override { return nodes_.Open(path); }
  bool DeviceIoControl(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
                       void* out, uint32_t outLength, uint32_t* bytesReturned) override {
    return nodes_.Control(handle, controlCode, in, inLength, out, outLength, bytesReturned);
  }
  void CloseHandle(DeviceHandle handle) override { nodes_.Close(handle); }

  // No COM here: the camera objects are plain C++ objects.
  HResult CoInitializeApartment() override { return kHrOk; }
  void CoUninitialize() override {}

  // The camera face: linux_camera.cpp.
  HResult CreateSystemDeviceEnumerator(
      std::unique_ptr<SystemDeviceEnumerator>* enumerator) override {
    return CreateCameraEnumerator(*this, enumerator);
  }

  // At least the time asked for, whatever signals arrive.
  void Sleep(uint32_t milliseconds) override {
    timespec left = {static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }

  uint64_t TickCountMs() override {
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  }

  uint32_t GetLastError() override { return lastError_; }
  void SetLastError(uint32_t error) override { lastError_ = error; }

  bool FormatSystemMessage(uint32_t error, std::string* text) override {
    return WindowsSystemMessage(error, text);
  }

  LocalTime GetLocalTime() override { return LocalTimeNow(); }

  void CreateDirectory(const std::string& path) override { mkdir(path.c_str(), 0777); }

  void WriteStdout(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  void WriteStderr(std::string_view text) override {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  void WriteStdoutWide(std::wstring_view text) override { WriteStdout(Utf8FromWide(text)); }

  // Colours only on a terminal, so redirected output carries no codes.
  void SetTextAttribute(uint16_t attribute) override {
    if (!color_) return;
    std::fputs(AnsiColorCode(attribute), stdout);
    std::fflush(stdout);
  }

  // From sysfs; see PortOfDevicePath.
  std::string DevicePort(const std::string& devicePath) override {
    return PortOfDevicePath(devicePath);
  }
  std::string DevicePlug(const std::string& devicePath) override {
    return PlugOfDevicePath(devicePath);
  }

  // A lock file named after the unit's USB port where it is known (both
  // faces of one unit are one lock, and a renumbered node is still the
  // same unit), else after the node, in the system's folder for them
  // (world-writable on Debian and most others), else in /tmp.
  std::unique_ptr<DeviceLock> TryLockDevice(const std::string& devicePath, bool* busy) override {
    *busy = false;
    const std::string port = DevicePort(devicePath);
    std::string name = port.empty() ? "zemb-" : "zemb-usb-";
    for (char c : port.empty() ? devicePath : port) {
      name += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.') ? c : '_';
    }
    const std::string folder = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
    std::unique_ptr<PosixFileLock> lock;
    int error = 0;
    switch (PosixFileLock::Take(folder + "/" + name + ".lock", false, &lock, &error)) {
      case PosixFileLock::Result::Acquired:
        return std::make_unique<HeldLock>(std::move(lock));
      case PosixFileLock::Result::Busy:
        *busy = true;
        return nullptr;
      case PosixFileLock::Result::Failed:
        break;
    }
    lastError_ = linux_layout::Win32ErrorFromErrno(error);
    return nullptr;
  }

  bool StderrIsTerminal() override { return isatty(2) != 0; }

  void CatchInterrupts() override {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress ends, and the run looks at the flag.
    sigaction(SIGINT, &action, nullptr);
  }

  bool InterruptRequested() override { return interrupted_ != 0; }

 private:
  class HeldLock final : public DeviceLock {
   public:
    explicit HeldLock(std::unique_ptr<PosixFileLock> lock) : lock_(std::move(lock)) {}

   private:
    std::unique_ptr<PosixFileLock> lock_;
  };

  static void OnInterrupt(int) { interrupted_ = 1; }
  static inline volatile std::sig_atomic_t interrupted_ = 0;

  bool color_;
  uint32_t lastError_ = 0;
  DeviceNodes nodes_{*this, lastError_};
};

}  // namespace

std::unique_ptr<Host> MakeHost() {
  return std::make_unique<LinuxHost>();
}

}  // namespace zemb
