// What the files of the Windows host share (inside this folder only): the
// Windows headers, the conversions at the edge of the seam, and the members
// of Host that win32_host.cpp hands to the file of their concern.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Other headers after windows.h, which they rely on.
#include <dshow.h>
#include <ks.h>
#include <ksproxy.h>  // IKsControl; KSNODETYPE_DEV_SPECIFIC is compared above the seam
#include <ntddscsi.h>
#include <setupapi.h>
// After setupapi.h: CM_Get_Parent and the device node calls.
#include <cfgmgr32.h>
#include <devpropdef.h>

// Host has members of these names; the A/W macros would rename them.
#undef CreateFile
#undef CreateDirectory

#include <cstring>
#include <memory>
#include <string>

#include "common/host/host.h"

namespace zemb::win32 {

// Guid is GUID field for field; each converts to the other.
template <typename To, typename From>
To ConvertGuid(const From& g) {
  To out;
  out.Data1 = g.Data1;
  out.Data2 = g.Data2;
  out.Data3 = g.Data3;
  std::memcpy(out.Data4, g.Data4, sizeof out.Data4);
  return out;
}
inline GUID ToGuid(const Guid& g) {
  return ConvertGuid<GUID>(g);
}
inline Guid FromGuid(const GUID& g) {
  return ConvertGuid<Guid>(g);
}

inline HANDLE ToHandle(DeviceHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
inline HDEVINFO ToDevInfo(DevInfoList list) {
  return reinterpret_cast<HDEVINFO>(list);
}

// Members that report no failure of their own leave the thread's last error
// as they found it: the portable code prints it after a failed device
// request, possibly with console output and colour changes in between.
class KeepLastError {
 public:
  KeepLastError() : error_(::GetLastError()) {}
  ~KeepLastError() { ::SetLastError(error_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD error_;
};

// --- win32_devices.cpp: device lists and device I/O ------------------------

DevInfoList OpenClassList(const Guid& interfaceClass);
bool ListedInterfacePath(DevInfoList list, const Guid& interfaceClass, uint32_t index,
                         std::string* devicePath);
void CloseClassList(DevInfoList list);
// `readWrite` false: no access, for the queries that need none.
DeviceHandle OpenDevice(const std::string& path, bool readWrite);
bool DeviceControl(DeviceHandle handle, uint32_t controlCode, const void* in, uint32_t inLength,
                   void* out, uint32_t outLength, uint32_t* bytesReturned);
void CloseDevice(DeviceHandle handle);
// The location of the USB device above the face at `devicePath`; empty
// when there is none (a face not on USB) or it cannot be told.
std::string UsbPortOf(const std::string& devicePath);

// --- win32_com.cpp: COM and kernel streaming --------------------------------

HResult CreateDeviceEnumerator(std::unique_ptr<SystemDeviceEnumerator>* enumerator);

}  // namespace zemb::win32
