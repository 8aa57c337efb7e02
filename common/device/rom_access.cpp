#include "common/device/rom_access.h"

#include "common/device/reporting.h"
#include "common/device/requests.h"

namespace zemb {

// A run waiting for the unit must outlast whatever the holding run may be
// in the middle of.
static_assert(kDeviceLockWaitMs >= kChipEraseTimeLimitMs);

uint32_t RomOperationTimeLimitMs(uint8_t op) {
  return op == kOpChipErase ? kChipEraseTimeLimitMs : kOperationTimeLimitMs;
}

std::unique_ptr<RomAccessTable> BindRomAccessTable(Console& console, FoundDevice& device) {
  switch (device.path) {
    case DevicePath::OwnDriver:
      return MakeOwnDriverRomAccess(console.GetHost(), device.handle);
    case DevicePath::CdRom:
      return MakeCdRomRomAccess(console, device.handle);
    case DevicePath::ExtensionUnit:
      return MakeXuRomAccess(console, device.xu);
    case DevicePath::None:
      break;
  }
  return nullptr;
}

bool OpenRomToolSession(RomSession& session, Console& console, const char* tool) {
  switch (session.Open(&console, GetDriverDeviceHandle)) {
    case SessionOpen::Opened:
      return true;
    case SessionOpen::NoDevice:
      console.Write("    Cannot find device for ROM access test!!!\n");
      return false;
    case SessionOpen::InUse:
      ShowToolFail(console, tool);
      return false;
    case SessionOpen::Refused:
      ReportRefusedDevice(console, tool, session.RefusedPath(),
                          RefusedOpenAdvice(console.GetHost().GetLastError()));
      return false;
  }
  return false;
}

}  // namespace zemb
