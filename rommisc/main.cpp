#include "common/host/host.h"
#include "rommisc/rommisc.h"

int main(int argc, char** argv) {
  auto host = zemb::MakeHost();
  return zemb::RunRomMisc(argc, argv, *host);
}
