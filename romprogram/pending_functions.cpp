// Placeholders until the image functions land; each fails without touching
// anything.
#include "romprogram/romprogram.h"

namespace zemb {

int MakeBinFile(Console&, RomProgramParameters&) {
  return 0;
}
int BurnBinFile(Console&, RomAccessTable&, RomProgramParameters&) {
  return 0;
}
int ProgramHwFw(Console&, RomAccessTable&, RomProgramParameters&) {
  return 0;
}
int ProgramImage(Console&, RomAccessTable&, RomProgramParameters&) {
  return 0;
}
int ProgramDesc(Console&, RomAccessTable&, RomProgramParameters&) {
  return 0;
}

}  // namespace zemb
