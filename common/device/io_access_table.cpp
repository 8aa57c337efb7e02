#include "common/device/io_access_table.h"

namespace zemb {

std::unique_ptr<IoAccessTable> BindIoAccessTable(Console& console, FoundDevice& device) {
  switch (device.path) {
    case DevicePath::CdRom:
      return MakeCdRomIoAccess(console.GetHost(), device.handle);
    case DevicePath::ExtensionUnit:
      return MakeXuIoAccess(console, device.xu);
    case DevicePath::OwnDriver:
    case DevicePath::None:
      break;
  }
  return nullptr;
}

}  // namespace zemb
