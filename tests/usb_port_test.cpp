// The rules by which the Windows host finds the USB device above a face.
#include "common/host/win32/usb_port.h"

#include <gtest/gtest.h>

namespace zemb::win32 {
namespace {

TEST(UsbPort, OnlyAWholeUsbDeviceIsTheOneThePortBelongsTo) {
  const struct {
    const wchar_t* id;
    bool device;
  } cases[] = {
      {L"USB\\VID_2E8A&PID_5A02\\5&1A2B3C&0&3", true},
      {L"usb\\vid_2e8a&pid_5a02\\zemb0001", true},
      {L"USB\\VID_2E8A&PID_5A02&MI_00\\6&2B3C&0&0000", false},  // one interface of it
      {L"USB\\VID_2E8A&PID_5A02&mi_02\\6&2B3C&0&0002", false},
      {L"USBSTOR\\CDROM&VEN_NORVA&PROD_KESH\\7&1", false},  // the drive on it
      {L"ROOT\\ZEMBSIM\\0001", false},
      {L"USB\\", false},
      {L"", false},
      {L"USB\\ROOT_HUB30\\4&1", true},  // a hub is a USB device too; the walk starts below it
      {L"USB\\VID_1&PID_2\\SERIAL&MI_00", true},  // "&MI_" only counts in the hardware part
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUsbDeviceInstance(c.id), c.device) << std::wstring_view(c.id).size();
  }
}

TEST(UsbPort, TheFirstLocationPathIsTakenWithinTheValue) {
  const wchar_t paths[] = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)\0ACPI(_SB_)#USB(3)\0";
  EXPECT_EQ(FirstOfMultiString(paths, sizeof paths / sizeof paths[0]),
            L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)");
  const wchar_t unterminated[] = {L'U', L'S', L'B', L'(', L'3', L')'};
  EXPECT_EQ(FirstOfMultiString(unterminated, 6), L"USB(3)");
  EXPECT_EQ(FirstOfMultiString(unterminated, 3), L"USB");
  EXPECT_EQ(FirstOfMultiString(nullptr, 4), L"");
  const wchar_t empty[] = {L'\0', L'\0'};
  EXPECT_EQ(FirstOfMultiString(empty, 2), L"");
}

}  // namespace
}  // namespace zemb::win32
