#include "common/host/host.h"
#include "zemb/zemb.h"

int main(int argc, char** argv) {
  auto host = zemb::MakeHost();
  return zemb::RunZemb(argc, argv, *host, zemb::MakeHost);
}
