// The simulated machine as a host: its call log, and the units it holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ioaccess/ioaccess.h"
#include "sim/sim_host.h"
#include "tests/test_support.h"

namespace zemb::sim {
namespace {

DeviceState UnitOn(Face face, uint8_t gpio) {
  DeviceState state = DefaultDeviceState(RomKind::Spi, 64 * 1024);
  state.ownFace = face == Face::Own;
  state.cdromFace = face == Face::Cdrom;
  state.xuFace = face == Face::Xu;
  state.gpioData = gpio;
  return state;
}

std::string GpioGet(SimHost& host) {
  return test::RunTool(RunIoAccess, host, {"ZembIoAccess.exe", "GPIO", "GET"});
}

// Without its log the host answers every face exactly as with it, keeps no
// line, and still hands back every handle and COM object.
TEST(SimHostCallLogTest, OffChangesNothingButTheLog) {
  test::ScratchDir dir;
  for (Face face : {Face::Cdrom, Face::Xu}) {  // the faces the IO tool uses
    SCOPED_TRACE(static_cast<int>(face));
    SimRig logged{UnitOn(face, 0x5A)};
    SimRig quiet{UnitOn(face, 0x5A)};
    quiet.host->SetCallLog(false);
    const std::string out = GpioGet(*logged.host);
    EXPECT_EQ(GpioGet(*quiet.host), out);
    EXPECT_NE(out.find("Data:0x5a"), std::string::npos) << out;
    EXPECT_FALSE(logged.host->Calls().empty());
    EXPECT_TRUE(quiet.host->Calls().empty());
    EXPECT_EQ(quiet.device->Trace().size(), logged.device->Trace().size());
    EXPECT_EQ(quiet.host->OpenHandles(), 0);
    EXPECT_EQ(quiet.host->LiveComObjects(), 0);
    EXPECT_EQ(quiet.host->ComDepth(), 0);
  }
}

}  // namespace
}  // namespace zemb::sim
