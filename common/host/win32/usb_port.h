// How the Windows host tells the USB port a unit sits in: every face of a
// unit (the maker's driver, the CD-ROM drive, the camera) is a device node
// somewhere below the unit's USB device, whose location path (for example
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)") names the socket and stays the
// same across re-plugs and reboots. The host walks up from the face to the
// first node that is a USB device; the rules for that walk are here, free of
// windows.h, so that they can be tested anywhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zemb::win32 {

// True for the instance ID of a USB device ("USB\VID_2E8A&PID_5A02\5&1A2B"),
// false for one interface of a composite device ("USB\VID_..&MI_00\..."),
// whose parent is the device, and for anything not on USB.
inline bool IsUsbDeviceInstance(std::wstring_view instanceId) {
  auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; };
  constexpr std::wstring_view kUsb = L"USB\\";
  if (instanceId.size() <= kUsb.size()) return false;
  for (size_t i = 0; i < kUsb.size(); ++i) {
    if (upper(instanceId[i]) != kUsb[i]) return false;
  }
  // The hardware part ends at the next backslash; "&MI_" there marks an
  // interface.
  const std::wstring_view hardware =
      instanceId.substr(kUsb.size(), instanceId.find(L'\\', kUsb.size()) - kUsb.size());
  for (size_t i = 0; i + 4 <= hardware.size(); ++i) {
    if (hardware[i] == L'&' && upper(hardware[i + 1]) == L'M' && upper(hardware[i + 2]) == L'I' &&
        hardware[i + 3] == L'_') {
      return false;
    }
  }
  return true;
}

// The first string of a REG_MULTI_SZ (or DEVPROP_TYPE_STRING_LIST) value of
// `count` wide characters; empty when there is none. Bounded by `count`
// even when the value lacks its terminators.
inline std::wstring FirstOfMultiString(const wchar_t* data, size_t count) {
  if (data == nullptr) return {};
  size_t n = 0;
  while (n < count && data[n] != L'\0') ++n;
  return std::wstring(data, n);
}

}  // namespace zemb::win32
