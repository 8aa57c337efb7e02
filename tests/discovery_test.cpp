// Finding the device: the order of the paths, which members are tried and
// released, the lines printed, and COM's lifetime.
#include "common/device/discovery.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/device/rom_access.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

using sim::SimCdrom;
using sim::SimMachine;
using sim::SimOwnMember;
using sim::SimVideoDevice;
using sim::SimVideoNode;

SimCdrom Drive(const std::string& path, const std::string& vendor, bool device) {
  SimCdrom drive;
  drive.path = path;
  drive.vendorId = vendor;
  drive.device = device;
  return drive;
}

SimVideoDevice Camera(std::optional<std::wstring> name, std::optional<std::wstring> path,
                      std::vector<SimVideoNode> nodes, bool device) {
  SimVideoDevice camera;
  camera.friendlyName = std::move(name);
  camera.devicePath = std::move(path);
  camera.nodes = std::move(nodes);
  camera.device = device;
  return camera;
}

const SimVideoNode kPlainNode{sim::kNodeTypeOther, false};
const SimVideoNode kForeignXu{sim::kNodeTypeDevSpecific, false};
const SimVideoNode kDeviceXu{sim::kNodeTypeDevSpecific, true};

struct Found {
  DevicePath path;
  std::string out, err;
};

Found Discover(sim::SimRig& rig, bool romTool = true) {
  Console console(*rig.host);
  FoundDevice device = FindDevice(*rig.host, romTool ? &console : nullptr,
                                  romTool ? GetDriverDeviceHandle : nullptr);
  Found found{device.path, rig.host->Stdout(), rig.host->Stderr()};
  ReleaseDevice(*rig.host, &device);
  EXPECT_EQ(rig.host->OpenHandles(), 0);
  EXPECT_EQ(rig.host->ComDepth(), 0);
  EXPECT_EQ(rig.host->LiveComObjects(), 0) << "every COM object is released";
  return found;
}

size_t CountCalls(const sim::SimHost& host, const std::string& prefix) {
  return static_cast<size_t>(
      std::count_if(host.Calls().begin(), host.Calls().end(),
                    [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

// A device that answers on every face; the machine decides which are seen.
sim::DeviceState Device() {
  sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 65536);
  state.ownFace = state.cdromFace = state.xuFace = true;
  return state;
}

TEST(Discovery, OwnDriverWinsAndNoCdromIsOpened) {
  SimMachine machine;
  machine.ownMembers = {SimOwnMember{"own0", true, true}};
  machine.cdroms = {Drive("cd0", "Norva", true)};
  sim::SimRig rig{Device(), machine};
  Found found = Discover(rig);
  EXPECT_EQ(found.path, DevicePath::OwnDriver);
  EXPECT_EQ(found.out, "");
  EXPECT_FALSE(rig.host->Called("CreateFile cd0"));
  EXPECT_FALSE(rig.host->Called("CoInitializeEx"));
}

TEST(Discovery, OwnMemberThatCannotBeOpenedIsSkipped) {
  SimMachine machine;
  machine.ownMembers = {SimOwnMember{"own0", false, true}, SimOwnMember{"own1", true, true}};
  sim::SimRig rig{Device(), machine};
  EXPECT_EQ(Discover(rig).path, DevicePath::OwnDriver);
  EXPECT_TRUE(rig.host->Called("CreateFile own0"));
  EXPECT_TRUE(rig.host->Called("CloseHandle own1"));

  SimMachine none;
  none.ownMembers = {SimOwnMember{"own0", false, true}};
  none.cdroms = {Drive("cd0", "Norva", true)};
  sim::SimRig rig2{Device(), none};
  EXPECT_EQ(Discover(rig2).path, DevicePath::CdRom) << "no member opened: path 2 runs";
}

// A unit whose open for reading and writing is refused (its ACL, a policy,
// administrator rights) is reported as refused, with its error, never as a
// unit that is not there.
TEST(Discovery, UnitThatRefusesToOpenIsReportedAsRefused) {
  SimMachine machine;
  machine.ownMembers = {SimOwnMember{"own0", false, true}};
  sim::SimRig rig{Device(), machine};
  Console console(*rig.host);
  FoundDevice device = FindDevice(*rig.host, nullptr, GetDriverDeviceHandle);
  EXPECT_EQ(device.path, DevicePath::None);
  EXPECT_EQ(device.refusedError, kErrorAccessDenied);
  EXPECT_EQ(device.refusedPath, "own0");
  ASSERT_EQ(device.notes.size(), 1u);
  EXPECT_EQ(device.notes[0],
            "own0: refused to open for reading and writing (error 5: Access is denied.)");
  ReleaseDevice(*rig.host, &device);

  RomSession session(console, BindRomAccessTable);
  EXPECT_FALSE(OpenRomToolSession(session, console, "ZembRomProgram"));
  EXPECT_EQ(rig.host->Stdout(),
            "                            \n"
            "    Cannot open device!!!      \n"
            "    - Error Code    : 0x5  \n"
            "    - Error Message : Access is denied.\n    \n"
            "    - Device        : own0\n"
            "    - What to do    : run as administrator, or have the policy that denies write "
            "access to CD and DVD drives (Removable Storage Access) lifted for this station\n"
            "    ZembRomProgram fail !!!\n");
  EXPECT_EQ(rig.host->OpenHandles(), 0);
}

TEST(Discovery, VendorIdMustBeginWithNorvaInAnyCase) {
  SimMachine machine;
  machine.cdroms = {Drive("cd-other", "HL-DT-ST", false), Drive("cd-later", "XNorva", false),
                    Drive("cd-lower", "norva", true)};
  sim::SimRig rig{Device(), machine};
  Found found = Discover(rig);
  EXPECT_EQ(found.path, DevicePath::CdRom);
  EXPECT_EQ(found.out, "=> GetNorvaCDROMHandle [INFO] Find Kesh device\n");
  EXPECT_TRUE(rig.host->Called("CloseHandle cd-other")) << "another vendor's drive is closed";
  EXPECT_TRUE(rig.host->Called("CloseHandle cd-later"));
  EXPECT_FALSE(rig.host->Called("CoInitializeEx")) << "COM only when path 3 runs";
}

TEST(Discovery, IoToolFindsTheDriveSilentlyAndNeverTriesTheOwnDriver) {
  SimMachine machine;
  machine.ownMembers = {SimOwnMember{"own0", true, true}};
  machine.cdroms = {Drive("cd0", "Norva", true)};
  sim::SimRig rig{Device(), machine};
  Found found = Discover(rig, false);
  EXPECT_EQ(found.path, DevicePath::CdRom);
  EXPECT_EQ(found.out, "");
  EXPECT_FALSE(rig.host->Called("CreateFile own0"));
}

TEST(Discovery, CameraPathPrintsFoundLinesAndProbesOnlyCandidates) {
  SimMachine machine;
  machine.videos = {
      Camera(std::nullopt, L"nameless", {kDeviceXu}, false),
      Camera(L"No Path Cam", std::nullopt, {kDeviceXu}, false),
      Camera(L"Other Cam", L"\\\\?\\other", {kPlainNode, kForeignXu}, false),
      Camera(L"Zemb Cam", L"\\\\?\\zemb", {kPlainNode, kForeignXu, kDeviceXu}, true),
      Camera(L"After", L"\\\\?\\after", {kDeviceXu}, false),
  };
  sim::SimRig rig{Device(), machine};
  Found found = Discover(rig);
  EXPECT_EQ(found.path, DevicePath::ExtensionUnit);
  EXPECT_EQ(found.out,
            "  Found device: No Path Cam ignored\n"
            "  Found device: Other Cam [\\\\?\\other]\n"
            "  Found device: Zemb Cam [\\\\?\\zemb]\n");
  EXPECT_FALSE(rig.host->Called("BindToObject video 0"));
  EXPECT_FALSE(rig.host->Called("BindToObject video 1"))
      << "a camera without DevicePath is never probed";
  EXPECT_TRUE(rig.host->Called("BindToObject video 2"));
  EXPECT_FALSE(rig.host->Called("BindToObject video 4")) << "the search stops at the device";
  // Only device-specific nodes are probed: node 0 of each camera never is.
  EXPECT_EQ(CountCalls(*rig.host, "CreateNodeInstance 0"), 0u);
}

TEST(Discovery, EnumeratorFailureAndEmptyCategory) {
  SimMachine failing;
  failing.deviceEnumeratorFails = true;
  sim::SimRig rig{Device(), failing};
  Found found = Discover(rig);
  EXPECT_EQ(found.path, DevicePath::None);
  EXPECT_EQ(found.err, "ERROR: Unable to create system device enumerator.\n");
  EXPECT_TRUE(rig.host->Called("CoUninitialize"));

  sim::SimRig quiet{Device(), failing};
  EXPECT_EQ(Discover(quiet, false).err, "") << "the IO tool's discovery prints nothing";

  sim::SimRig empty{SimMachine{}};
  found = Discover(empty);
  EXPECT_EQ(found.path, DevicePath::None);
  EXPECT_EQ(found.out + found.err, "");
}

TEST(Discovery, ExtensionUnitContextHoldsTheNode) {
  sim::DeviceState state = Device();
  state.cdromFace = false;
  state.xuFace = true;
  state.xuNodeId = 3;
  sim::SimRig rig{state};
  Console console(*rig.host);
  rig.host->CoInitializeApartment();
  XuControlContext context;
  FindExtensionUnitDevice(*rig.host, &console, &context);
  ASSERT_NE(context.KsControl, nullptr);
  EXPECT_EQ(context.NodeId, 3u);
  EXPECT_EQ(GuidToString(context.PropertySet), "{C66D125B-0480-0844-8C26-B8363A84DE63}");
  ReleaseXuContext(&context);
  EXPECT_EQ(context.KsControl, nullptr);
  EXPECT_EQ(rig.host->LiveComObjects(), 0);
  rig.host->CoUninitialize();
}

}  // namespace
}  // namespace zemb
