#include "common/host/host.h"
#include "romprogram/romprogram.h"

int main(int argc, char** argv) {
  auto host = zemb::MakeHost();
  return zemb::RunRomProgram(argc, argv, *host);
}
