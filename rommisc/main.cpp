#include "common/host/host.h"

namespace zemb {
int RunRomMisc(int argc, const char* const* argv, Host& host);
}

int main(int argc, char** argv) {
  auto host = zemb::MakeHost();
  return zemb::RunRomMisc(argc, argv, *host);
}
