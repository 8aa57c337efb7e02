#include "ioaccess/ioaccess.h"

int main(int argc, char** argv) {
  auto host = zemb::MakeHost();
  return zemb::RunIoAccess(argc, argv, *host);
}
