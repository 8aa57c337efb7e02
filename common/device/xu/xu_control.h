// How a request reaches the device through its extension unit: the two
// controls of the unit, the request control (selector 1) and the data
// control (selector 2).
#pragma once

#include <cstdint>

#include "common/base/console.h"
#include "common/device/discovery.h"
#include "common/device/requests.h"

namespace zemb {

constexpr int kXuRead = 0;
constexpr int kXuWrite = 1;

// Reads (kXuRead) or writes (kXuWrite) control `selector` with `buffer`.
// A read succeeds only when it returns exactly `length` bytes (E_FAIL
// otherwise). Every failure prints the UnableVENDOR_ACCESS line on standard
// error and leaves the failure as the thread's last error, so the callers'
// error block can show it.
HResult XuControlAccess(Console& console, XuControlContext& context, int direction,
                        uint32_t selector, uint8_t* buffer, uint32_t length);

// Writes the request block to the request control.
HResult XuWriteRequest(Console& console, XuControlContext& context, XuRequestBlock& block);

// Writes the request block (its result is not examined), then reads the
// block back; the answer is in byte 7. Returns the result of the read.
HResult XuRequestWithAnswer(Console& console, XuControlContext& context, XuRequestBlock* block);

}  // namespace zemb
