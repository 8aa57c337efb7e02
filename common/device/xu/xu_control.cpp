#include "common/device/xu/xu_control.h"

#include "common/device/device_ids.h"

namespace zemb {

namespace {

// The code the error block shows for a failed control access: the Win32
// code inside a FACILITY_WIN32 HRESULT, else the HRESULT itself.
uint32_t LastErrorOf(HResult hr) {
  uint32_t value = static_cast<uint32_t>(hr);
  if ((value & 0xFFFF0000u) == 0x80070000u) return value & 0xFFFFu;
  return value;
}

}  // namespace

HResult XuControlAccess(Console& console, XuControlContext& context, int direction,
                        uint32_t selector, uint8_t* buffer, uint32_t length) {
  HResult hr;
  if (direction != kXuRead && direction != kXuWrite) {
    hr = kHrUnexpected;
  } else if (context.KsControl == nullptr) {
    hr = kHrPointer;
  } else {
    uint32_t flags = direction == kXuRead ? kKsPropertyGetTopology : kKsPropertySetTopology;
    auto property = EncodeKspNode(context.PropertySet, selector, flags, context.NodeId);
    uint32_t returned = 0;
    hr = context.KsControl->KsProperty(property.data(), static_cast<uint32_t>(property.size()),
                                       buffer, length, &returned);
    if (Succeeded(hr) && direction == kXuRead && returned != length) hr = kHrFail;
  }
  if (!Succeeded(hr)) {
    // The three tools' line has "Unable" out of its place, and their
    // operators' scripts match it as it stands; other tools get it in order.
    if (console.ToolTexts()) {
      console.PrintError("\nERROR:  to set XU_CONTROL_UnableVENDOR_ACCESS. (Error 0x%08X)\n",
                         static_cast<unsigned>(hr));
    } else {
      console.PrintError("ERROR: Unable to set XU_CONTROL_VENDOR_ACCESS (error 0x%08X)\n",
                         static_cast<unsigned>(hr));
    }
    console.GetHost().SetLastError(LastErrorOf(hr));
  }
  return hr;
}

HResult XuWriteRequest(Console& console, XuControlContext& context, XuRequestBlock& block) {
  return XuControlAccess(console, context, kXuWrite, kXuSelectorRequest, block.data(),
                         static_cast<uint32_t>(block.size()));
}

HResult XuRequestWithAnswer(Console& console, XuControlContext& context, XuRequestBlock* block) {
  XuWriteRequest(console, context, *block);
  return XuControlAccess(console, context, kXuRead, kXuSelectorRequest, block->data(),
                         static_cast<uint32_t>(block->size()));
}

}  // namespace zemb
