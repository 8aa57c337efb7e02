// Identifiers of the device's three faces and of the Windows objects
// discovery walks through.
#pragma once

#include <cstdint>

#include "common/host/host.h"

namespace zemb {

// The maker's driver: its interface class and control code.
inline constexpr Guid kOwnDriverInterfaceGuid = {
    0x7141D015, 0x0587, 0x42DF, {0x97, 0x4E, 0x69, 0x85, 0x36, 0x64, 0xD1, 0x3F}};
inline constexpr uint32_t kOwnDriverControlCode = 0x4E20E000;

// GUID_DEVINTERFACE_CDROM.
inline constexpr Guid kCdromInterfaceGuid = {
    0x53F56308, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr uint32_t kIoctlStorageQueryProperty = 0x2D1400;
inline constexpr uint32_t kIoctlScsiPassThrough = 0x4D004;

// CLSID_VideoInputDeviceCategory.
inline constexpr Guid kVideoInputDeviceCategory = {
    0x860BB310, 0x5D01, 0x11D0, {0xBD, 0x3B, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
// KSNODETYPE_DEV_SPECIFIC: the node type of a UVC extension unit.
inline constexpr Guid kNodeTypeDevSpecificGuid = {
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
// The property set of the device's extension unit.
inline constexpr Guid kExtensionUnitPropertySet = {
    0xC66D125B, 0x0480, 0x0844, {0x8C, 0x26, 0xB8, 0x36, 0x3A, 0x84, 0xDE, 0x63}};

}  // namespace zemb
