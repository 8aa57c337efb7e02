// The device session: on every face the table works through what the
// session holds, and whatever way the session ends, everything it opened is
// let go exactly once: no handle, COM object or hold on the unit outlives
// it, and releasing again makes no host call.
#include <gtest/gtest.h>

#include <memory>

#include "common/device/io_access_table.h"
#include "common/device/rom_access.h"
#include "common/device/session.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb {
namespace {

sim::DeviceState Device(bool own, bool cdrom, bool xu) {
  sim::DeviceState state = sim::DefaultDeviceState(sim::RomKind::Spi, 64 * 1024);
  state.ownFace = own;
  state.cdromFace = cdrom;
  state.xuFace = xu;
  return state;
}

// Nothing of the session is left on the host, and the unit (when there is
// one) is free for the next run.
void ExpectAllReleased(sim::SimRig& rig) {
  EXPECT_EQ(rig.host->OpenHandles(), 0);
  EXPECT_EQ(rig.host->ComDepth(), 0);
  EXPECT_EQ(rig.host->LiveComObjects(), 0);
  if (rig.device == nullptr) return;
  bool busy = false;
  EXPECT_NE(rig.host->TryLockDevice("any path of the unit", &busy), nullptr);
}

// Releases once more, and lets the session end: neither may reach the host.
template <typename Table>
void ExpectNoSecondRelease(sim::SimRig& rig, std::unique_ptr<DeviceSession<Table>> session) {
  const size_t calls = rig.host->Calls().size();
  session->Release();
  session.reset();
  EXPECT_EQ(rig.host->Calls().size(), calls);
}

TEST(DeviceSession, EachFaceWorksThroughTheSessionAndIsReleasedOnce) {
  struct Face {
    const char* name;
    sim::DeviceState state;
    DevicePath path;
  };
  const Face faces[] = {
      {"own driver", Device(true, false, false), DevicePath::OwnDriver},
      {"CD-ROM", Device(false, true, false), DevicePath::CdRom},
      {"extension unit", Device(false, false, true), DevicePath::ExtensionUnit},
  };
  for (const Face& face : faces) {
    SCOPED_TRACE(face.name);
    sim::SimRig rig(face.state);
    Console console(*rig.host);
    auto session = std::make_unique<RomSession>(console, BindRomAccessTable);
    ASSERT_EQ(session->Open(nullptr, GetDriverDeviceHandle), SessionOpen::Opened);
    EXPECT_EQ(session->Device().path, face.path);
    EXPECT_EQ(session->GetTable().GetRomType(), kRomTypeSpi);
    session->Release();
    ExpectAllReleased(rig);
    ExpectNoSecondRelease(rig, std::move(session));
  }
}

TEST(DeviceSession, AnOpenThatFailsHasAlreadyLetGoOfWhatItFound) {
  {
    SCOPED_TRACE("nothing plugged in");
    sim::SimRig rig{sim::SimMachine{}};
    Console console(*rig.host);
    auto session = std::make_unique<RomSession>(console, BindRomAccessTable);
    EXPECT_EQ(session->Open(nullptr, GetDriverDeviceHandle), SessionOpen::NoDevice);
    ExpectAllReleased(rig);
    ExpectNoSecondRelease(rig, std::move(session));
  }
  {
    // The own driver has no IO table: the handle path 1 opened is closed.
    SCOPED_TRACE("a face without this kind of table");
    sim::SimRig rig(Device(true, false, false));
    Console console(*rig.host);
    auto session = std::make_unique<IoSession>(console, BindIoAccessTable);
    EXPECT_EQ(session->Open(nullptr, GetDriverDeviceHandle), SessionOpen::NoDevice);
    ExpectAllReleased(rig);
    ExpectNoSecondRelease(rig, std::move(session));
  }
  for (bool xu : {false, true}) {
    SCOPED_TRACE(xu ? "unit held by another run, extension unit" : "unit held by another run");
    sim::SimRig rig(Device(false, !xu, xu));
    sim::SimHost other(sim::MachineFor(rig.device->State()), rig.device.get(), rig.clock,
                       sim::ConsoleMode::Capture);
    bool busy = false;
    auto held = other.TryLockDevice("any path of the unit", &busy);
    ASSERT_NE(held, nullptr);
    Console console(*rig.host);
    auto session = std::make_unique<IoSession>(console, BindIoAccessTable);
    EXPECT_EQ(session->Open(nullptr, nullptr), SessionOpen::InUse);
    EXPECT_NE(rig.host->Stdout().find("giving up"), std::string::npos) << rig.host->Stdout();
    held.reset();
    ExpectAllReleased(rig);
    ExpectNoSecondRelease(rig, std::move(session));
  }
}

}  // namespace
}  // namespace zemb
