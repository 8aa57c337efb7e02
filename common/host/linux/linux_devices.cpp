// The Linux host's device lists and the CD-ROM face: the SCSI devices of
// type 5 (sysfs scsi_generic), each opened on its /dev/sgN, the storage
// property query answered from sysfs, and a pass-through request as one
// SG_IO.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/host/linux/linux_layout.h"
#include "common/host/linux/linux_parts.h"
#include "common/host/win32/scsi_layout.h"

namespace zemb::linux_host {
namespace {

namespace ll = linux_layout;

// The identifiers the portable code asks for (device_ids.h has the same;
// the host does not depend on the device layer).
constexpr Guid kCdromClass = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr uint32_t kIoctlStorageQueryProperty = 0x2D1400;
constexpr uint32_t kIoctlScsiPassThrough = 0x4D004;

constexpr uint8_t kScsiTypeCdrom = 5;
constexpr uint32_t kMaxSense = 255;

}  // namespace

std::string ReadFileBytes(const std::string& path) {
  std::string bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && bytes.size() < (1u << 20)) {
    bytes.append(buffer, n);
  }
  std::fclose(f);
  return bytes;
}

std::string ReadAttribute(const std::string& path) {
  std::string text = ReadFileBytes(path);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

// opendir/readdir rather than scandir: harnesses that redirect /sys see
// the former.
std::vector<std::pair<unsigned, std::string>> ClassMembers(const char* folder,
                                                           const std::string& prefix) {
  std::vector<std::pair<unsigned, std::string>> members;
  DIR* dir = opendir(folder);
  if (dir == nullptr) return members;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 6) continue;
    members.emplace_back(static_cast<unsigned>(std::stoul(digits)), name);
  }
  closedir(dir);
  std::sort(members.begin(), members.end());
  return members;
}

void ReportNoPermission(Host& host, const std::string& node) {
  host.WriteStderr(node +
                   ": permission denied; if this is the Zemb device, give this user access to it "
                   "(install packaging/70-zemb.rules in /etc/udev/rules.d and log in at the "
                   "machine, or join the zemb group)\n");
}

namespace {

// Where a device path's node sits in sysfs; empty when it cannot be told.
std::string SysfsOfDevicePath(const std::string& devicePath) {
  // A camera's path is its node's place in sysfs already.
  if (devicePath.rfind("/sys/", 0) == 0) return devicePath;
  const std::string sg = "/dev/sg";
  if (devicePath.rfind(sg, 0) != 0) return "";
  const std::string name = devicePath.substr(5);
  if (name.find('/') != std::string::npos) return "";
  const std::string entry = "/sys/class/scsi_generic/" + name;
  char link[4096];
  const ssize_t n = readlink(entry.c_str(), link, sizeof link - 1);
  if (n <= 0) return "";
  const std::string target(link, static_cast<size_t>(n));
  return target[0] == '/' ? target : "/sys/class/scsi_generic/" + target;
}

}  // namespace

std::string PortOfDevicePath(const std::string& devicePath) {
  const std::string sysfs = SysfsOfDevicePath(devicePath);
  return sysfs.empty() ? "" : ll::UsbPortOf(sysfs);
}

std::string PlugOfDevicePath(const std::string& devicePath) {
  const std::string sysfs = SysfsOfDevicePath(devicePath);
  const std::string port = sysfs.empty() ? "" : ll::UsbPortOf(sysfs);
  if (port.empty()) return "";
  // The USB device's own folder: the path up to its port's part.
  size_t at = sysfs.find("/" + port + "/");
  for (size_t next = at; next != std::string::npos;) {
    at = next;
    next = sysfs.find("/" + port + "/", at + 1);
  }
  if (at == std::string::npos) return "";
  const std::string folder = sysfs.substr(0, at + 1 + port.size());
  const std::string bus = Trimmed(ReadAttribute(folder + "/busnum"));
  const std::string address = Trimmed(ReadAttribute(folder + "/devnum"));
  if (address.empty()) return "";
  return bus + ":" + address;
}

DevInfoList DeviceNodes::OpenList(const Guid& interfaceClass) {
  std::vector<std::string> members;
  // The maker's driver and every other class have no members here.
  if (interfaceClass == kCdromClass) {
    for (const auto& [number, name] : ClassMembers("/sys/class/scsi_generic", "sg")) {
      const std::string type =
          Trimmed(ReadAttribute("/sys/class/scsi_generic/" + name + "/device/type"));
      if (type == std::to_string(kScsiTypeCdrom)) members.push_back("/dev/" + name);
    }
  }
  const DevInfoList list = next_++;
  lists_[list] = std::move(members);
  return list;
}

bool DeviceNodes::ListedPath(DevInfoList list, uint32_t index, std::string* devicePath) {
  if (devicePath != nullptr) devicePath->clear();
  auto it = lists_.find(list);
  if (it == lists_.end()) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  if (index >= it->second.size()) {
    lastError_ = kErrorNoMoreItems;
    return false;
  }
  if (devicePath != nullptr) *devicePath = it->second[index];
  return true;
}

DeviceHandle DeviceNodes::Open(const std::string& path) {
  // O_NONBLOCK: without it the open waits for as long as another program
  // holds the node exclusively, and discovery opens every drive, other
  // vendors' too. SG_IO itself ignores the flag.
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) ReportNoPermission(host_, path);
    lastError_ = ll::Win32ErrorFromErrno(error);
    return kInvalidHandle;
  }
  Node node;
  node.fd = fd;
  // /dev/sgN: its sysfs attributes say what the drive is.
  const size_t slash = path.rfind('/');
  node.sysfs = "/sys/class/scsi_generic/" + path.substr(slash + 1) + "/device/";
  const DeviceHandle handle = next_++;
  nodes_[handle] = node;
  return handle;
}

bool DeviceNodes::Control(DeviceHandle handle, uint32_t controlCode, const void* in,
                          uint32_t inLength, void* out, uint32_t outLength,
                          uint32_t* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  auto it = nodes_.find(handle);
  if (it == nodes_.end()) return Fail(kErrorInvalidHandle);
  if ((in == nullptr && inLength != 0) || (out == nullptr && outLength != 0)) {
    return Fail(kErrorInvalidParameter);
  }
  const auto request = std::span(static_cast<const uint8_t*>(in), in != nullptr ? inLength : 0);
  const auto answer = std::span(static_cast<uint8_t*>(out), out != nullptr ? outLength : 0);
  uint32_t returned = 0;
  uint32_t error;
  switch (controlCode) {
    case kIoctlStorageQueryProperty:
      error = StorageQuery(it->second, request, answer, &returned);
      break;
    case kIoctlScsiPassThrough:
      error = PassThrough(it->second, request, answer, &returned);
      break;
    default:
      error = kErrorInvalidFunction;
      break;
  }
  if (error != kErrorSuccess) return Fail(error);
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return true;
}

void DeviceNodes::Close(DeviceHandle handle) {
  auto it = nodes_.find(handle);
  if (it == nodes_.end()) return;
  close(it->second.fd);
  nodes_.erase(it);
}

// IOCTL_STORAGE_QUERY_PROPERTY, StorageDeviceProperty with the standard
// query: the descriptor of the drive as sysfs describes it.
uint32_t DeviceNodes::StorageQuery(const Node& node, std::span<const uint8_t> request,
                                   std::span<uint8_t> answer, uint32_t* returned) {
  if (request.size() < 8) return kErrorInvalidParameter;
  const uint32_t propertyId = scsi_layout::Get32(request.data());
  const uint32_t queryType = scsi_layout::Get32(request.data() + 4);
  if (propertyId != 0) return kErrorNotSupported;
  if (queryType == 1) return kErrorSuccess;  // PropertyExistsQuery
  if (queryType != 0) return kErrorInvalidParameter;
  if (answer.size() < 8) return kErrorInsufficientBuffer;
  const std::string type = Trimmed(ReadAttribute(node.sysfs + "type"));
  if (type.empty()) return kErrorDeviceNotConnected;  // gone since it was listed
  const std::vector<uint8_t> descriptor = ll::StorageDescriptor(
      static_cast<uint8_t>(std::atoi(type.c_str())), ReadAttribute(node.sysfs + "vendor"),
      ReadAttribute(node.sysfs + "model"), ReadAttribute(node.sysfs + "rev"));
  const size_t n = std::min(answer.size(), descriptor.size());
  std::memcpy(answer.data(), descriptor.data(), n);
  *returned = static_cast<uint32_t>(n);
  return kErrorSuccess;
}

// IOCTL_SCSI_PASS_THROUGH as one SG_IO.
uint32_t DeviceNodes::PassThrough(const Node& node, std::span<const uint8_t> request,
                                  std::span<uint8_t> answer, uint32_t* returned) {
  ll::PassThrough packet;
  const auto answerLength = static_cast<uint32_t>(answer.size());
  if (uint32_t error = ll::ReadPassThrough(request, answerLength, &packet)) return error;
  std::vector<uint8_t> data(packet.dataLength, 0);
  if (packet.dataIn == ll::kDataOut && packet.dataLength != 0) {
    std::memcpy(data.data(), request.data() + packet.dataOffset, packet.dataLength);
  }
  uint8_t sense[kMaxSense] = {};
  sg_io_hdr_t io = {};
  io.interface_id = 'S';
  if (packet.dataLength == 0) {
    io.dxfer_direction = SG_DXFER_NONE;
  } else if (packet.dataIn == ll::kDataOut) {
    io.dxfer_direction = SG_DXFER_TO_DEV;
  } else if (packet.dataIn == ll::kDataIn) {
    io.dxfer_direction = SG_DXFER_FROM_DEV;
  } else {
    io.dxfer_direction = SG_DXFER_TO_FROM_DEV;
  }
  io.cmd_len = packet.cdbLength;
  io.cmdp = packet.cdb;
  io.mx_sb_len = static_cast<unsigned char>(packet.senseLength);
  io.sbp = sense;
  io.dxfer_len = packet.dataLength;
  io.dxferp = packet.dataLength != 0 ? data.data() : nullptr;
  io.timeout = packet.timeoutMs;
  // Ctrl-C stays pending while the command runs: SG_IO would give up
  // waiting (EINTR) while the device still carries the command out, and
  // sending it again would do it twice. The run sees the interrupt when
  // the command is done.
  sigset_t interrupt, before;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, &before);
  const int rc = ioctl(node.fd, SG_IO, &io);
  const int ioError = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (rc != 0) return ll::Win32ErrorFromErrno(ioError);
  ll::SgAnswer result;
  result.status = io.status;
  result.hostStatus = io.host_status;
  result.driverStatus = io.driver_status;
  result.senseWritten = io.sb_len_wr;
  result.resid = io.resid;
  if (uint32_t error = ll::SgTransportError(result)) return error;
  *returned = ll::WritePassThroughAnswer(packet, request, result, sense, data.data(), answer);
  return kErrorSuccess;
}

}  // namespace zemb::linux_host
