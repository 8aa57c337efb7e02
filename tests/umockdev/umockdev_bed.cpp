// A Linux machine with a Zemb device plugged in, built with umockdev, and a
// tool of the linux host run on it.
//
//   zemb_umockdev_bed [OPTIONS] STATE_FOLDER -- PROGRAM ARGS...
//
// The testbed's sysfs holds what a real machine shows. The unit in
// STATE_FOLDER (zembsim's ZembSimDevice folder) is one USB device in port
// 1-1, whose active configuration (2 of 2) carries each face it has: its
// CD-ROM face as a USB drive (SCSI 6:0:0:0, scsi_generic sg0, vendor
// "Norva"), its camera with two streaming interfaces, so two capture nodes
// (video1 and video3, with the metadata node video2) on one VideoControl
// interface, the extension unit in its descriptors. Beside it: another
// vendor's drive (sg1), which another program holds open exclusively, a
// disk (sg2, not a CD-ROM), and another maker's camera (video0, with an
// extension unit of its own).
//
// Options:
//   --deny            the Zemb nodes cannot be opened by the tool (mode
//                     0000; as root the tool runs as nobody)
//   --second FOLDER   a second unit (zembsim's folder of another device, its
//                     CD-ROM face) in USB port 1-3, its drive SCSI 9:0:0:0
//                     on sg3
//   --swap            the node numbers handed out in another order: the
//                     Zemb drive is sg1 and the other sg0 (with --second:
//                     the first unit's drive sg3 and the second's sg0), the
//                     Zemb camera's capture nodes video0 and video3 and the
//                     other camera video1 (a re-plug in another order, or a
//                     reboot)
//   --xu-last         only the second capture node's video chain holds the
//                     extension unit
//   --len-off S       UVC_GET_LEN of control S reports a byte more than the
//                     firmware's control holds (firmware the tools do not
//                     know)
//   --request-error N after a stalled control the camera reports request
//                     error code N (1 not ready, 2 wrong state, 3 power, 4
//                     out of range, 5-7 invalid unit, control or request, 8
//                     invalid value), which uvcvideo hands on as EBUSY,
//                     EACCES, EREMOTE, ERANGE, EIO, EINVAL
//   --interrupt-at N  Ctrl-C during the Nth SG_IO on the Zemb drive: the
//                     command is carried out, SIGINT is sent to the tool,
//                     and the call fails with EINTR unless the calling
//                     thread has SIGINT blocked, as the kernel's wait does
//
// The kernel's refusals are kept: the other drive's open waits while it is
// held unless O_NONBLOCK is given (a held file lease stands in for the
// exclusive holder; an open that would hang is a test failure, and is let
// go); a UVC control query names a unit in the chain of the node it is made
// on and a control the unit's bmControls lists (ENOENT otherwise), with the
// size the control has (ENOBUFS otherwise; UVC_GET_LEN answers 2 bytes).
//
// The ioctls on the Zemb nodes are answered by the simulated firmware over
// STATE_FOLDER (tests/wine/sim_unit.h), the way the kernel's drivers would
// carry them: SG_IO becomes the SCSI command the firmware's CD-ROM face
// decodes, UVCIOC_CTRL_QUERY the control access of its extension unit.
// What the firmware reports is given back as the kernel gives it: a CHECK
// CONDITION in the SCSI status and sense bytes, a stalled control as EPIPE,
// a failing transfer as EIO, a device that is gone as ENODEV for this and
// every later call. Any device command on another vendor's node is a test
// failure: discovery must pass those over.
//
// Exit status: the tool's, or 2 when the testbed cannot be built, a
// foreign node got a device command or an open would have hung, 77 when
// umockdev cannot run here.
#include <fcntl.h>
#include <glib.h>
#include <grp.h>
#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/sim_device.h"
#include "tests/wine/sim_unit.h"

namespace {

using zemb::sim::DeviceState;

constexpr uint8_t kZembUnitId = 4;   // bUnitID of the Zemb camera's extension unit
constexpr uint8_t kOtherUnitId = 3;  // the other camera's
// bUnitID of the Zemb camera's unit in its other, inactive configuration.
constexpr uint8_t kInactiveUnitId = 9;
// guidExtensionCode of the other camera's unit: not the Zemb property set.
constexpr uint8_t kOtherGuid[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                    0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00};

// The firmware's two controls and their sizes (the request control and the
// ROM data control), as the device reports them to UVC_GET_LEN.
constexpr uint8_t kRequestSelector = 1, kDataSelector = 2;
constexpr uint16_t kRequestSize = 30, kDataSize = 256;

struct Options {
  bool deny = false;
  bool swap = false;
  std::string second;  // the second unit's state folder
  bool xuLast = false;
  int lenOff = 0;        // selector whose length is misreported
  int requestError = 0;  // the camera's bRequestErrorCode after a stall
  int interruptAt = 0;   // the SG_IO that Ctrl-C arrives in
};
Options options;

std::atomic<int> foreignCommands{0};
std::atomic<int> hungOpens{0};
std::atomic<int> sgIoCount{0};
std::atomic<pid_t> toolPid{0};

// --- USB descriptors --------------------------------------------------------

void Put16(std::vector<uint8_t>& d, uint16_t v) {
  d.push_back(static_cast<uint8_t>(v));
  d.push_back(static_cast<uint8_t>(v >> 8));
}

void PutGuid(std::vector<uint8_t>& d, const zemb::Guid& g) {
  for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(g.Data1 >> (8 * i)));
  Put16(d, g.Data2);
  Put16(d, g.Data3);
  d.insert(d.end(), g.Data4, g.Data4 + 8);
}

// One configuration of a UVC camera, bConfigurationValue `value`: the
// VideoControl interface 0 (camera terminal, processing unit, one extension
// unit, output terminal) and the VideoStreaming interface 1.
void PutCameraConfiguration(std::vector<uint8_t>& d, uint8_t value, uint8_t unitId,
                            const uint8_t guid[16]) {
  const size_t config = d.size();
  d.insert(d.end(), {9, 2, 0, 0, 2, value, 0, 0x80, 250});
  // Interface association, VideoControl interface.
  d.insert(d.end(), {8, 0x0B, 0, 2, 0x0E, 0x03, 0x00, 2});
  d.insert(d.end(), {9, 4, 0, 0, 1, 0x0E, 0x01, 0x00, 2});
  // VC header (class-specific), then the units.
  const size_t header = d.size();
  d.insert(d.end(), {13, 0x24, 0x01, 0x10, 0x01, 0, 0, 0x80, 0x8D, 0x5B, 0x00, 1, 1});
  d.insert(d.end(), {18, 0x24, 0x02, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0x0A, 0x00});
  d.insert(d.end(), {11, 0x24, 0x05, 2, 1, 0, 0, 2, 0x7F, 0x15, 0});
  d.insert(d.end(), {26, 0x24, 0x06, unitId});
  d.insert(d.end(), guid, guid + 16);
  d.insert(d.end(), {2, 1, 2, 1, 0x03, 0});  // 2 controls, 1 input pin (2), bmControls
  d.insert(d.end(), {9, 0x24, 0x03, 5, 0x01, 0x01, 0, unitId, 0});
  const auto vcLength = static_cast<uint16_t>(d.size() - header);
  d[header + 5] = static_cast<uint8_t>(vcLength);
  d[header + 6] = static_cast<uint8_t>(vcLength >> 8);
  // Interrupt endpoint of the VideoControl interface.
  d.insert(d.end(), {7, 5, 0x81, 0x03, 16, 0, 6});
  d.insert(d.end(), {5, 0x25, 0x03, 16, 0});
  // VideoStreaming interface (its format descriptors are not read).
  d.insert(d.end(), {9, 4, 1, 0, 0, 0x0E, 0x02, 0x00, 0});
  const auto total = static_cast<uint16_t>(d.size() - config);
  d[config + 2] = static_cast<uint8_t>(total);
  d[config + 3] = static_cast<uint8_t>(total >> 8);
}

// The `descriptors` file of a UVC camera: the device descriptor, then every
// configuration. With two, the first (inactive) has its extension unit
// under another ID: only the active one's exists.
std::vector<uint8_t> CameraDescriptors(uint16_t idVendor, uint16_t idProduct, uint8_t unitId,
                                       const uint8_t guid[16], bool twoConfigurations) {
  std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64};
  Put16(d, idVendor);
  Put16(d, idProduct);
  d.insert(d.end(), {0x00, 0x01, 1, 2, 0, static_cast<uint8_t>(twoConfigurations ? 2 : 1)});
  if (twoConfigurations) PutCameraConfiguration(d, 1, kInactiveUnitId, guid);
  PutCameraConfiguration(d, twoConfigurations ? 2 : 1, unitId, guid);
  return d;
}

// --- the nodes --------------------------------------------------------------

enum class NodeKind { ZembDrive, OtherDrive, ZembCamera, ZembMetadata, OtherCamera };

struct Node {
  NodeKind kind;
  std::string devnode;
  ZembSimUnit* unit = nullptr;  // the Zemb nodes
  uint32_t xuNode = 0;          // the topology node the firmware answers on
  bool gone = false;            // the device went away: every call fails
  bool xuInChain = false;       // a Zemb capture node whose chain holds the unit
};

void Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

UMockdevIoctlData* Resolve(UMockdevIoctlData* data, size_t offset, size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (error != nullptr) {
    std::fprintf(stderr, "umockdev bed: %s\n", error->message);
    g_error_free(error);
    return nullptr;
  }
  return child;
}

// Whether the thread that made the SG_IO has SIGINT blocked, as the shim
// preloaded in the tool (signal_mask_shim.c) wrote it down just before the
// call; umockdev's preload blocks every signal while it carries the call
// here, so /proc cannot tell.
std::string sigmaskFile;
bool InterruptBlocked() {
  std::ifstream in(sigmaskFile);
  char blocked = '0';
  in.get(blocked);
  return blocked == '1';
}

// SG_IO on the Zemb drive: the command as the firmware's CD-ROM face takes
// it (a SCSI_PASS_THROUGH packet is that face's way in), the answer back in
// sg_io_hdr terms.
void SgIo(Node& node, UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* hdrData = Resolve(arg, 0, sizeof(sg_io_hdr_t));
  if (hdrData == nullptr) return Complete(client, -1, EFAULT);
  auto* io = reinterpret_cast<sg_io_hdr_t*>(hdrData->data);
  if (io->interface_id != 'S' || io->cmd_len == 0 || io->cmd_len > 16) {
    return Complete(client, -1, EINVAL);
  }
  UMockdevIoctlData* cmd = Resolve(hdrData, offsetof(sg_io_hdr_t, cmdp), io->cmd_len);
  UMockdevIoctlData* sense =
      io->mx_sb_len != 0 ? Resolve(hdrData, offsetof(sg_io_hdr_t, sbp), io->mx_sb_len) : nullptr;
  UMockdevIoctlData* data =
      io->dxfer_len != 0 ? Resolve(hdrData, offsetof(sg_io_hdr_t, dxferp), io->dxfer_len) : nullptr;
  if (cmd == nullptr || (io->mx_sb_len != 0 && sense == nullptr) ||
      (io->dxfer_len != 0 && data == nullptr)) {
    return Complete(client, -1, EFAULT);
  }
  uint8_t dataIn;
  switch (io->dxfer_direction) {
    case SG_DXFER_TO_DEV:
      dataIn = 0;
      break;
    case SG_DXFER_FROM_DEV:
      dataIn = 1;
      break;
    case SG_DXFER_NONE:
      dataIn = 2;
      break;
    default:
      return Complete(client, -1, EINVAL);
  }
  // Header, sense area, data area.
  const uint32_t senseLength = io->mx_sb_len;
  const uint32_t senseOffset = 44;
  const uint32_t dataOffset = (senseOffset + senseLength + 3) / 4 * 4;
  const uint32_t total = dataOffset + io->dxfer_len;
  std::vector<uint8_t> packet(total, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) packet[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  packet[0] = 44;
  packet[6] = io->cmd_len;
  packet[7] = static_cast<uint8_t>(senseLength);
  packet[8] = dataIn;
  put32(12, io->dxfer_len);
  put32(16, (io->timeout + 999) / 1000);
  put32(20, dataOffset);
  put32(24, senseOffset);
  std::memcpy(&packet[28], cmd->data, io->cmd_len);
  if (dataIn == 0 && io->dxfer_len != 0) {
    std::memcpy(&packet[dataOffset], data->data, io->dxfer_len);
  }
  uint32_t returned = 0;
  const uint32_t error =
      ZembSimUnitCdromIoctl(node.unit, 0x4D004, packet.data(), total, total, 44, &returned);
  io->status = 0;
  io->masked_status = 0;
  io->msg_status = 0;
  io->sb_len_wr = 0;
  io->host_status = 0;
  io->driver_status = 0;
  io->resid = 0;
  io->info = 0;
  switch (error) {
    case zemb::kErrorSuccess:
      break;
    case zemb::kErrorDeviceNotConnected:
      node.gone = true;
      return Complete(client, -1, ENODEV);
    case zemb::kErrorSemTimeout:
      io->host_status = 0x03;  // DID_TIME_OUT
      io->info = SG_INFO_CHECK;
      return Complete(client, 0, 0);
    case zemb::kErrorIoDevice:
      return Complete(client, -1, EIO);
    default:
      io->host_status = 0x07;  // DID_ERROR
      io->info = SG_INFO_CHECK;
      return Complete(client, 0, 0);
  }
  io->status = packet[2];
  io->masked_status = static_cast<unsigned char>((packet[2] >> 1) & 0x7F);
  io->sb_len_wr = std::min<uint8_t>(packet[7], io->mx_sb_len);
  if (io->sb_len_wr != 0) {
    std::memcpy(sense->data, &packet[senseOffset], io->sb_len_wr);
    io->driver_status = 0x08;  // DRIVER_SENSE
  }
  uint32_t moved = 0;
  for (int i = 0; i < 4; ++i) moved |= static_cast<uint32_t>(packet[12 + i]) << (8 * i);
  moved = std::min<uint32_t>(moved, io->dxfer_len);
  if (dataIn == 1 && moved != 0) std::memcpy(data->data, &packet[dataOffset], moved);
  io->resid = static_cast<int>(io->dxfer_len - (dataIn == 1 ? moved : io->dxfer_len));
  if (io->status != 0) io->info = SG_INFO_CHECK;
  if (options.interruptAt != 0 && ++sgIoCount == options.interruptAt) {
    // Ctrl-C while the command runs: it has reached the device and goes
    // on there; the waiting call gives up unless the signal is blocked.
    kill(toolPid.load(), SIGINT);
    if (!InterruptBlocked()) return Complete(client, -1, EINTR);
  }
  Complete(client, 0, 0);
}

void QueryCap(const Node& node, UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* capData = Resolve(arg, 0, sizeof(v4l2_capability));
  if (capData == nullptr) return Complete(client, -1, EFAULT);
  auto* caps = reinterpret_cast<v4l2_capability*>(capData->data);
  std::memset(caps, 0, sizeof *caps);
  const bool zemb = node.kind != NodeKind::OtherCamera;
  std::snprintf(reinterpret_cast<char*>(caps->driver), sizeof caps->driver, "uvcvideo");
  std::snprintf(reinterpret_cast<char*>(caps->card), sizeof caps->card, "%s",
                zemb ? "Zemb USB Camera" : "Other Camera");
  std::snprintf(reinterpret_cast<char*>(caps->bus_info), sizeof caps->bus_info,
                zemb ? "usb-0000:00:14.0-1" : "usb-0000:00:14.0-2");
  caps->version = 0x060100;
  caps->device_caps = node.kind == NodeKind::ZembMetadata
                          ? V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING
                          : V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
  caps->capabilities =
      V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
  Complete(client, 0, 0);
}

// What uvcvideo makes of the camera's request error code after a stall.
int StallError() {
  switch (options.requestError) {
    case 1:  // not ready
      return EBUSY;
    case 2:  // wrong state
      return EACCES;
    case 3:  // power
      return EREMOTE;
    case 4:  // out of range
      return ERANGE;
    case 5:  // invalid unit
    case 6:  // invalid control
    case 7:  // invalid request
      return EIO;
    case 8:  // invalid value within range
      return EINVAL;
    default:
      return EPIPE;
  }
}

// UVCIOC_CTRL_QUERY on a Zemb capture node, checked as uvcvideo checks it:
// the unit must be in the node's chain and the control among those its
// bmControls lists (ENOENT), the size the control's (ENOBUFS). UVC_GET_LEN
// answers the control's size; GET_CUR and SET_CUR reach the firmware as
// the control access of its unit.
void XuQuery(Node& node, UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  UMockdevIoctlData* queryData = Resolve(arg, 0, sizeof(uvc_xu_control_query));
  if (queryData == nullptr) return Complete(client, -1, EFAULT);
  auto* q = reinterpret_cast<uvc_xu_control_query*>(queryData->data);
  if (q->unit != kZembUnitId || !node.xuInChain) return Complete(client, -1, ENOENT);
  if (q->selector != kRequestSelector && q->selector != kDataSelector) {
    return Complete(client, -1, ENOENT);
  }
  const uint16_t size = q->selector == kRequestSelector ? kRequestSize : kDataSize;
  if (q->query == UVC_GET_LEN) {
    if (q->size != 2) return Complete(client, -1, ENOBUFS);
    UMockdevIoctlData* data = Resolve(queryData, offsetof(uvc_xu_control_query, data), 2);
    if (data == nullptr) return Complete(client, -1, EFAULT);
    const auto reported = static_cast<uint16_t>(size + (q->selector == options.lenOff ? 1 : 0));
    data->data[0] = static_cast<uint8_t>(reported);
    data->data[1] = static_cast<uint8_t>(reported >> 8);
    return Complete(client, 0, 0);
  }
  if (q->query != UVC_GET_CUR && q->query != UVC_SET_CUR) return Complete(client, -1, EINVAL);
  if (q->size != size) return Complete(client, -1, ENOBUFS);
  UMockdevIoctlData* data = Resolve(queryData, offsetof(uvc_xu_control_query, data), q->size);
  if (data == nullptr) return Complete(client, -1, EFAULT);
  // KSP_NODE: the unit's property set, the control, get or set on a node.
  uint8_t property[32] = {};
  std::memcpy(property, &zemb::sim::kXuPropertySet.Data1, 4);
  std::memcpy(property + 4, &zemb::sim::kXuPropertySet.Data2, 2);
  std::memcpy(property + 6, &zemb::sim::kXuPropertySet.Data3, 2);
  std::memcpy(property + 8, zemb::sim::kXuPropertySet.Data4, 8);
  const uint32_t id = q->selector;
  const uint32_t flags = (q->query == UVC_GET_CUR ? 0x1u : 0x2u) | 0x10000000u;
  std::memcpy(property + 16, &id, 4);
  std::memcpy(property + 20, &flags, 4);
  std::memcpy(property + 24, &node.xuNode, 4);
  std::vector<uint8_t> bytes(data->data, data->data + q->size);
  uint32_t returned = 0;
  const int32_t hr =
      ZembSimUnitXuProperty(node.unit, property, sizeof property, bytes.data(), q->size, &returned);
  const uint32_t code = static_cast<uint32_t>(hr);
  if (hr < 0) {
    if (code == 0x8007048Fu) {  // ERROR_DEVICE_NOT_CONNECTED
      node.gone = true;
      return Complete(client, -1, ENODEV);
    }
    if (code == 0x8007045Du) return Complete(client, -1, EIO);  // ERROR_IO_DEVICE
    if (code == 0x80070057u) return Complete(client, -1, EINVAL);
    return Complete(client, -1, StallError());  // the control stalled
  }
  // A control transfer that moved fewer bytes than the control holds is
  // an error to uvcvideo, which reports it as a stall.
  if (q->query == UVC_GET_CUR && returned < q->size) return Complete(client, -1, EPIPE);
  if (q->query == UVC_GET_CUR) std::memcpy(data->data, bytes.data(), q->size);
  Complete(client, 0, 0);
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Node& node = *static_cast<Node*>(user);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  if (node.gone) {
    Complete(client, -1, ENODEV);
    return TRUE;
  }
  const bool camera = node.kind == NodeKind::ZembCamera || node.kind == NodeKind::ZembMetadata ||
                      node.kind == NodeKind::OtherCamera;
  if (camera && request == VIDIOC_QUERYCAP) {
    QueryCap(node, client);
  } else if (node.kind == NodeKind::ZembDrive && request == SG_IO) {
    SgIo(node, client);
  } else if (node.kind == NodeKind::ZembCamera && request == UVCIOC_CTRL_QUERY) {
    XuQuery(node, client);
  } else {
    if (node.kind == NodeKind::OtherDrive || node.kind == NodeKind::OtherCamera) {
      ++foreignCommands;
      std::fprintf(stderr, "umockdev bed: ioctl 0x%lX sent to %s, which is not the Zemb device\n",
                   request, node.devnode.c_str());
    }
    Complete(client, -1, ENOTTY);
  }
  return TRUE;
}

// --- the testbed ------------------------------------------------------------

struct Bed {
  UMockdevTestbed* tb = nullptr;
  std::string root;
  std::vector<Node*> nodes;
  std::vector<UMockdevIoctlBase*> handlers;
};

std::string AddDevice(Bed& bed, const char* subsystem, const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& attributes,
                      const std::vector<std::pair<std::string, std::string>>& properties = {}) {
  std::vector<gchar*> attrs, props;
  for (const auto& [k, v] : attributes) {
    attrs.push_back(const_cast<gchar*>(k.c_str()));
    attrs.push_back(const_cast<gchar*>(v.c_str()));
  }
  attrs.push_back(nullptr);
  for (const auto& [k, v] : properties) {
    props.push_back(const_cast<gchar*>(k.c_str()));
    props.push_back(const_cast<gchar*>(v.c_str()));
  }
  props.push_back(nullptr);
  gchar* path = umockdev_testbed_add_devicev(bed.tb, subsystem, name.c_str(), nullptr, attrs.data(),
                                             props.data());
  std::string result = path != nullptr ? path : "";
  g_free(path);
  return result;
}

bool AddNode(Bed& bed, Node* node, bool deny) {
  const std::string file = bed.root + node->devnode;
  g_mkdir_with_parents((bed.root + "/dev").c_str(), 0755);
  const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0666);
  if (fd < 0) return false;
  close(fd);
  chmod(file.c_str(), deny ? 0000 : 0666);
  auto* handler = umockdev_ioctl_base_new();
  g_signal_connect(handler, "handle-ioctl", G_CALLBACK(HandleIoctl), node);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(bed.tb, node->devnode.c_str(), handler, &error)) {
    std::fprintf(stderr, "umockdev bed: cannot attach to %s: %s\n", node->devnode.c_str(),
                 error != nullptr ? error->message : "?");
    if (error != nullptr) g_error_free(error);
    return false;
  }
  bed.nodes.push_back(node);
  bed.handlers.push_back(handler);
  return true;
}

// A USB device in port `usb` (its sysfs path below /sys/devices).
std::string AddUsbDevice(Bed& bed, const std::string& usb, const char* idProduct,
                         const std::vector<uint8_t>& descriptors, const char* configuration) {
  const std::string path = AddDevice(bed, "usb", usb,
                                     {{"idVendor", "2e8a\n"},
                                      {"idProduct", std::string(idProduct) + "\n"},
                                      {"bConfigurationValue", std::string(configuration) + "\n"}});
  if (!descriptors.empty()) {
    umockdev_testbed_set_attribute_binary(bed.tb, path.c_str(), "descriptors",
                                          const_cast<guint8*>(descriptors.data()),
                                          static_cast<gint>(descriptors.size()));
  }
  return path;
}

// A USB SCSI drive on the interface `intf` of a USB device: the SCSI host,
// target and device, and the scsi_generic node `sg` linked to it.
void AddDrive(Bed& bed, const std::string& intf, const std::string& host, const std::string& scsi,
              const std::string& sg, const char* type, const char* vendor, const char* model) {
  const std::string device =
      intf + "/" + host + "/target" + scsi.substr(0, scsi.rfind(':')) + "/" + scsi;
  AddDevice(bed, "usb", intf, {{"bInterfaceClass", "08\n"}, {"bInterfaceSubClass", "06\n"}});
  const std::string scsiPath = AddDevice(bed, "scsi", device,
                                         {{"type", std::string(type) + "\n"},
                                          {"vendor", vendor},
                                          {"model", model},
                                          {"rev", "1.00\n"}});
  const std::string sgPath =
      AddDevice(bed, "scsi_generic", device + "/scsi_generic/" + sg,
                {{"dev", "21:" + sg.substr(2) + "\n"}}, {{"DEVNAME", "/dev/" + sg}});
  umockdev_testbed_set_attribute_link(bed.tb, sgPath.c_str(), "device", "../..");
}

// A UVC camera's VideoControl interface (number 0) `intf` and the video
// nodes uvcvideo hangs on it.
void AddCamera(Bed& bed, const std::string& intf, const std::vector<std::string>& videos) {
  AddDevice(
      bed, "usb", intf,
      {{"bInterfaceNumber", "00\n"}, {"bInterfaceClass", "0e\n"}, {"bInterfaceSubClass", "01\n"}});
  for (const auto& video : videos) {
    const std::string path =
        AddDevice(bed, "video4linux", intf + "/video4linux/" + video,
                  {{"dev", "81:" + video.substr(5) + "\n"}, {"name", "camera\n"}},
                  {{"DEVNAME", "/dev/" + video}});
    umockdev_testbed_set_attribute_link(bed.tb, path.c_str(), "device", "../..");
  }
}

// --- the drive another program holds ---------------------------------------

// The kernel makes an open of a drive held exclusively wait until it is let
// go, unless O_NONBLOCK is given (then it fails at once). A read lease on
// the node's file does the same to an open for writing; the bed watches
// for a tool thread that sleeps in such an open without O_NONBLOCK (it
// would hang on a real machine), counts it, and lets the open go on.
struct Held {
  std::string file;
  int fd = -1;
  int blockedTicks = 0;
};

bool TakeLease(Held& held) {
  if (held.fd < 0) held.fd = open(held.file.c_str(), O_RDONLY | O_CLOEXEC);
  return held.fd >= 0 && fcntl(held.fd, F_SETLEASE, F_RDLCK) == 0;
}

// Whether a thread of `pid` sleeps in open/openat for writing without
// O_NONBLOCK (/proc/PID/task/TID/syscall: number, then the arguments).
bool SleepsInBlockingOpen(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  GDir* dir = g_dir_open(tasks.c_str(), 0, nullptr);
  if (dir == nullptr) return false;
  bool found = false;
  while (const gchar* tid = g_dir_read_name(dir)) {
    std::ifstream in(tasks + "/" + tid + "/syscall");
    long number = -1;
    std::string a0, a1, a2;
    if (!(in >> number >> a0 >> a1 >> a2)) continue;
    unsigned long flags = 0;
    if (number == 257) {  // openat(dirfd, path, flags, mode)
      flags = std::strtoul(a2.c_str(), nullptr, 16);
    } else if (number == 2) {  // open(path, flags, mode)
      flags = std::strtoul(a1.c_str(), nullptr, 16);
    } else {
      continue;
    }
    if ((flags & O_ACCMODE) != O_RDONLY && (flags & O_NONBLOCK) == 0) found = true;
  }
  g_dir_close(dir);
  return found;
}

gboolean WatchHeld(gpointer data) {
  Held& held = *static_cast<Held*>(data);
  const pid_t pid = toolPid.load();
  if (pid == 0) return G_SOURCE_CONTINUE;
  if (SleepsInBlockingOpen(pid)) {
    // A few looks in a row: an open of anything else does not sleep.
    if (++held.blockedTicks == 3) {
      ++hungOpens;
      std::fprintf(stderr,
                   "umockdev bed: an open of %s, which another program holds, waits for it "
                   "(no O_NONBLOCK): a real machine would hang here\n",
                   held.file.c_str() + held.file.rfind("/dev/"));
      fcntl(held.fd, F_SETLEASE, F_UNLCK);
      close(held.fd);
      held.fd = -1;
    }
  } else {
    held.blockedTicks = 0;
    // Taken again once the tool has let go of it.
    if (held.fd < 0) TakeLease(held);
  }
  return G_SOURCE_CONTINUE;
}

struct Child {
  bool dropPrivileges = false;
};

void ChildSetup(gpointer data) {
  const auto* child = static_cast<const Child*>(data);
  if (!child->dropPrivileges) return;
  // nobody: the permission bits of the nodes apply.
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
}

bool ParseOptions(int argc, char** argv, int* next) {
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0'; ++i) {
    const std::string o = argv[i];
    auto number = [&](int* value) {
      if (i + 1 >= argc) return false;
      *value = std::atoi(argv[++i]);
      return true;
    };
    if (o == "--deny") {
      options.deny = true;
    } else if (o == "--swap") {
      options.swap = true;
    } else if (o == "--second") {
      if (i + 1 >= argc) return false;
      options.second = argv[++i];
    } else if (o == "--xu-last") {
      options.xuLast = true;
    } else if (o == "--len-off") {
      if (!number(&options.lenOff)) return false;
    } else if (o == "--request-error") {
      if (!number(&options.requestError)) return false;
    } else if (o == "--interrupt-at") {
      if (!number(&options.interruptAt)) return false;
    } else {
      return false;
    }
  }
  *next = i;
  return i + 2 < argc && std::strcmp(argv[i + 1], "--") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 0;
  if (!ParseOptions(argc, argv, &i)) {
    std::fprintf(
        stderr,
        "usage: zemb_umockdev_bed [--deny] [--second FOLDER] [--swap] [--xu-last] [--len-off S] "
        "[--request-error N] [--interrupt-at N] STATE_FOLDER -- PROGRAM ARGS...\n");
    return 2;
  }
  const bool deny = options.deny;
  const std::string folder = argv[i];
  char** command = argv + i + 2;

  DeviceState state;
  std::string error;
  bool plugged = zemb::sim::LoadDeviceState(folder, &state, &error);
  if (!plugged && !error.empty()) {
    std::fprintf(stderr, "umockdev bed: %s\n", error.c_str());
    return 2;
  }

  // The ioctl sockets live in the testbed's folder, whose path must stay
  // short.
  g_setenv("TMPDIR", "/tmp", TRUE);
  umask(0);
  Bed bed;
  bed.tb = umockdev_testbed_new();
  if (bed.tb == nullptr) {
    std::printf("SKIPPED: umockdev cannot make a testbed here\n");
    return 77;
  }
  gchar* root = umockdev_testbed_get_root_dir(bed.tb);
  bed.root = root;
  g_free(root);
  chmod(bed.root.c_str(), 0755);

  DeviceState secondState;
  const bool twoUnits = !options.second.empty();
  if (twoUnits && !zemb::sim::LoadDeviceState(options.second, &secondState, &error)) {
    std::fprintf(stderr, "umockdev bed: the second unit: %s\n",
                 error.empty() ? "nothing is plugged there" : error.c_str());
    return 2;
  }

  // Node numbers in plug order; --swap hands them out the other way round:
  // the first unit's drive trades its number with the second unit's, or
  // with the other vendor's drive.
  const bool swap = options.swap;
  ZembSimUnit* unit = plugged ? ZembSimUnitOpen(folder.c_str()) : nullptr;
  ZembSimUnit* secondUnit = twoUnits ? ZembSimUnitOpen(options.second.c_str()) : nullptr;
  const char* firstNode = !swap ? "/dev/sg0" : twoUnits ? "/dev/sg3" : "/dev/sg1";
  Node zembDrive{NodeKind::ZembDrive, firstNode, unit};
  Node otherDrive{NodeKind::OtherDrive, swap && !twoUnits ? "/dev/sg0" : "/dev/sg1"};
  Node secondDrive{NodeKind::ZembDrive, swap ? "/dev/sg0" : "/dev/sg3", secondUnit};
  Node disk{NodeKind::OtherDrive, "/dev/sg2"};
  Node otherCamera{NodeKind::OtherCamera, swap ? "/dev/video1" : "/dev/video0"};
  Node zembCamera{NodeKind::ZembCamera, swap ? "/dev/video0" : "/dev/video1", unit};
  Node zembMetadata{NodeKind::ZembMetadata, "/dev/video2", unit};
  Node zembSecond{NodeKind::ZembCamera, "/dev/video3", unit};
  if (unit != nullptr) {
    zembCamera.xuNode = zembSecond.xuNode = ZembSimUnitXuNodeId(unit);
    zembCamera.xuInChain = !options.xuLast;
    zembSecond.xuInChain = true;
  }
  auto name = [](const Node& node) { return node.devnode.substr(5); };

  bool ok = true;
  // The unit: one USB device with the faces it has, in its active
  // configuration (2).
  const bool cdrom = unit != nullptr && state.cdromFace;
  const bool xu = unit != nullptr && state.xuFace;
  if (cdrom || xu) {
    std::vector<uint8_t> descriptors;
    if (xu) {
      std::vector<uint8_t> g;
      PutGuid(g, zemb::sim::kXuPropertySet);
      descriptors = CameraDescriptors(0x2E8A, 0x5A02, kZembUnitId, g.data(), true);
    }
    AddUsbDevice(bed, "usb1/1-1", "5a02", descriptors, "2");
  }
  if (cdrom) {
    AddDrive(bed, "usb1/1-1/1-1:2.2", "host6", "6:0:0:0", name(zembDrive), "5", "Norva   \n",
             "Kesh CD-ROM     \n");
    ok = ok && AddNode(bed, &zembDrive, deny);
  }
  if (secondUnit != nullptr && secondState.cdromFace) {
    AddUsbDevice(bed, "usb1/1-3", "5a02", {}, "2");
    AddDrive(bed, "usb1/1-3/1-3:2.2", "host9", "9:0:0:0", name(secondDrive), "5", "Norva   \n",
             "Kesh CD-ROM     \n");
    ok = ok && AddNode(bed, &secondDrive, deny);
  } else if (twoUnits) {
    std::fprintf(stderr, "umockdev bed: the second unit has no CD-ROM face\n");
    return 2;
  }
  AddUsbDevice(bed, "usb1/1-2", "0001", {}, "1");
  AddDrive(bed, "usb1/1-2/1-2:1.0", "host7", "7:0:0:0", name(otherDrive), "5", "Other   \n",
           "DVD-RW Drive    \n");
  AddUsbDevice(bed, "usb1/1-4", "0002", {}, "1");
  AddDrive(bed, "usb1/1-4/1-4:1.0", "host8", "8:0:0:0", "sg2", "0", "Norva   \n",
           "Flash Disk      \n");
  ok = ok && AddNode(bed, &otherDrive, false) && AddNode(bed, &disk, false);
  AddUsbDevice(bed, "usb2/2-2", "0825",
               CameraDescriptors(0x046D, 0x0825, kOtherUnitId, kOtherGuid, false), "1");
  AddCamera(bed, "usb2/2-2/2-2:1.0", {name(otherCamera)});
  ok = ok && AddNode(bed, &otherCamera, false);
  if (xu) {
    AddCamera(bed, "usb1/1-1/1-1:2.0", {name(zembCamera), "video2", "video3"});
    ok = ok && AddNode(bed, &zembCamera, deny) && AddNode(bed, &zembMetadata, deny) &&
         AddNode(bed, &zembSecond, deny);
  }
  if (!ok) return 2;

  // Another program holds the other vendor's drive.
  signal(SIGIO, SIG_IGN);  // the lease-break notice; the watch looks itself
  Held held;
  held.file = bed.root + otherDrive.devnode;
  if (!TakeLease(held)) {
    std::fprintf(stderr, "umockdev bed: cannot hold %s: %s\n", otherDrive.devnode.c_str(),
                 std::strerror(errno));
    return 2;
  }
  g_timeout_add(10, WatchHeld, &held);

  // The tool, under the preloads, with the testbed's environment.
  // The shim is copied into the testbed, where a tool that runs as nobody
  // can load it.
  sigmaskFile = bed.root + "/sigint-blocked";
  g_file_set_contents(sigmaskFile.c_str(), "0", 1, nullptr);
  chmod(sigmaskFile.c_str(), 0666);
  const std::string shim = bed.root + "/signal_mask_shim.so";
  gchar* shimBytes = nullptr;
  gsize shimSize = 0;
  if (!g_file_get_contents(ZEMB_SIGNAL_MASK_SHIM, &shimBytes, &shimSize, nullptr) ||
      !g_file_set_contents(shim.c_str(), shimBytes, static_cast<gssize>(shimSize), nullptr)) {
    std::fprintf(stderr, "umockdev bed: cannot copy %s\n", ZEMB_SIGNAL_MASK_SHIM);
    return 2;
  }
  g_free(shimBytes);
  chmod(shim.c_str(), 0755);
  gchar** env = g_get_environ();
  env = g_environ_setenv(env, "LD_PRELOAD", (shim + ":libumockdev-preload.so.0").c_str(), TRUE);
  env = g_environ_setenv(env, "ZEMB_BED_SIGMASK_FILE", sigmaskFile.c_str(), TRUE);
  Child child;
  child.dropPrivileges = deny && geteuid() == 0;
  GPid pid = 0;
  GError* spawnError = nullptr;
  if (!g_spawn_async(
          nullptr, command, env,
          static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_CHILD_INHERITS_STDIN),
          ChildSetup, &child, &pid, &spawnError)) {
    std::fprintf(stderr, "umockdev bed: cannot run %s: %s\n", command[0],
                 spawnError != nullptr ? spawnError->message : "?");
    return 2;
  }
  toolPid = pid;
  g_strfreev(env);
  int status = 0;
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  struct Wait {
    GMainLoop* loop;
    int* status;
  } wait{loop, &status};
  g_child_watch_add(
      pid,
      [](GPid, gint childStatus, gpointer data) {
        auto* w = static_cast<Wait*>(data);
        *w->status = childStatus;
        g_main_loop_quit(w->loop);
      },
      &wait);
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  g_spawn_close_pid(pid);
  if (held.fd >= 0) close(held.fd);

  for (auto* handler : bed.handlers) g_object_unref(handler);
  g_object_unref(bed.tb);
  if (unit != nullptr) ZembSimUnitClose(unit);
  if (secondUnit != nullptr) ZembSimUnitClose(secondUnit);
  if (foreignCommands.load() != 0 || hungOpens.load() != 0) return 2;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  std::fprintf(stderr, "umockdev bed: %s ended by signal %d\n", command[0],
               WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return 2;
}
