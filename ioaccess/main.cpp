#include "common/host/host.h"

namespace zemb {
int RunIoAccess(int argc, const char* const* argv, Host& host);
}

int main(int argc, char** argv) {
  auto host = zemb::MakeHost();
  return zemb::RunIoAccess(argc, argv, *host);
}
