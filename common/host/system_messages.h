// The texts Windows gives (FormatMessage, FROM_SYSTEM, English) for the
// error codes the tools can print. Hosts that are not Windows answer
// FormatSystemMessage from here, so an operator reads the same error block
// on every system.
#pragma once

#include <cstdint>
#include <string>

namespace zemb {

// False when the code has no text here.
bool WindowsSystemMessage(uint32_t error, std::string* text);

}  // namespace zemb
