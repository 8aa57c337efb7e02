#include "common/rom/rom_parameter.h"

#include <string>

namespace zemb {

void ShowHeading(Console& console, const char* title) {
  console.WriteAndLog("                               \n");
  console.WriteAndLog(title);
}

void ShowRomAccessHeading(Console& console, const char* function, uint8_t romType) {
  std::string title = Format("%s - %s ROM Access", function, RomTypeText(romType));
  if (title.size() < 32) title.append(32 - title.size(), ' ');
  ShowHeading(console, (title + "\n\n").c_str());
}

bool RomTypeMatches(Console& console, uint8_t configured, uint8_t device) {
  if (configured == device) return true;
  console.PrintAndLog("    The device ROM type %d is not %s!!!\n", device, RomTypeText(configured));
  return false;
}

}  // namespace zemb
