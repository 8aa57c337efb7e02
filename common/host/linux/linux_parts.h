// What the files of the Linux host share (inside this folder only): reading
// sysfs, the CD-ROM face's device nodes, and the camera face's enumerator,
// which linux_host.cpp hands the members of Host to.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/host/host.h"

namespace zemb::linux_host {

// --- linux_devices.cpp: sysfs, and the CD-ROM face -------------------------

// The entries of a class folder named `prefix`N, in the order of N.
std::vector<std::pair<unsigned, std::string>> ClassMembers(const char* folder,
                                                           const std::string& prefix);

// A file's bytes as they are (at most 1 MiB); empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

// A sysfs attribute without the kernel's trailing newline.
std::string ReadAttribute(const std::string& path);

std::string Trimmed(std::string text);

// One clear line for a node the user may not open: without it the tools
// would only say that they found no device. The node may be another
// device's; which one it is cannot be known without opening it.
void ReportNoPermission(Host& host, const std::string& node);

// The USB port (Host::DevicePort) of a CD-ROM face's /dev/sgN or a camera's
// sysfs path: the USB device above the SCSI host, or above the camera's
// VideoControl interface, which is the same device for both faces of one
// unit. Empty when it is not on USB or cannot be read.
std::string PortOfDevicePath(const std::string& devicePath);

// Host::DevicePlug: the bus and device number of that USB device, which the
// kernel hands out anew each time a device is enumerated. Empty where they
// cannot be read.
std::string PlugOfDevicePath(const std::string& devicePath);

// The device lists of the classes and the open device nodes: the SCSI
// devices of type 5 (sysfs scsi_generic), each opened on its /dev/sgN, the
// storage property query answered from sysfs, a pass-through request as one
// SG_IO. Failures set the host's last error.
class DeviceNodes {
 public:
  DeviceNodes(Host& host, uint32_t& lastError) : host_(host), lastError_(lastError) {}
  DeviceNodes(const DeviceNodes&) = delete;
  DeviceNodes& operator=(const DeviceNodes&) = delete;

  DevInfoList OpenList(const Guid& interfaceClass);
  bool ListedPath(DevInfoList list, uint32_t index, std::string* devicePath);
  void CloseList(DevInfoList list) { lists_.erase(list); }
  DeviceHandle Open(const std::string& path);
  bool Control(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
               void* out, uint32_t outLength, uint32_t* bytesReturned);
  void Close(DeviceHandle handle);

 private:
  struct Node {
    int fd = -1;
    std::string sysfs;  // the SCSI device's attribute folder, with a final slash
  };

  bool Fail(uint32_t error) {
    lastError_ = error;
    return false;
  }
  uint32_t StorageQuery(const Node& node, std::span<const uint8_t> request,
                        std::span<uint8_t> answer, uint32_t* returned);
  uint32_t PassThrough(const Node& node, std::span<const uint8_t> request,
                       std::span<uint8_t> answer, uint32_t* returned);

  Host& host_;
  uint32_t& lastError_;
  uintptr_t next_ = 0x100;
  std::map<DevInfoList, std::vector<std::string>> lists_;
  std::map<DeviceHandle, Node> nodes_;
};

// --- linux_camera.cpp: the camera face --------------------------------------

// The V4L2 capture devices as the video input category.
HResult CreateCameraEnumerator(Host& host, std::unique_ptr<SystemDeviceEnumerator>* enumerator);

}  // namespace zemb::linux_host
