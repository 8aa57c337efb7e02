#include "common/host/system_messages.h"

#include <map>

namespace zemb {

bool WindowsSystemMessage(uint32_t error, std::string* text) {
  static const std::map<uint32_t, const char*> kTexts = {
      {0, "The operation completed successfully.\n"},
      {1, "Incorrect function.\n"},
      {2, "The system cannot find the file specified.\n"},
      {5, "Access is denied.\n"},
      {6, "The handle is invalid.\n"},
      {8, "Not enough memory resources are available to process this command.\n"},
      {21, "The device is not ready.\n"},
      {31, "A device attached to the system is not functioning.\n"},
      {50, "The request is not supported.\n"},
      {87, "The parameter is incorrect.\n"},
      {121, "The semaphore timeout period has expired.\n"},
      {122, "The data area passed to a system call is too small.\n"},
      {170, "The requested resource is in use.\n"},
      {259, "No more data is available.\n"},
      {1117, "The request could not be performed because of an I/O device error.\n"},
      {1167, "The device is not connected.\n"},
      {1306, "The revision level is unknown.\n"},
      {1460, "This operation returned because the timeout period expired.\n"},
      {5023,
       "The group or resource is not in the correct state to perform the requested "
       "operation.\n"},
  };
  auto it = kTexts.find(error);
  if (it == kTexts.end()) return false;
  if (text != nullptr) *text = it->second;
  return true;
}

}  // namespace zemb
