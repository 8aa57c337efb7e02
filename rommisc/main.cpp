#include "common/host/file_names.h"
#include "common/host/host.h"
#include "rommisc/rommisc.h"

int main(int argc, char** argv) {
  const zemb::Utf8Arguments args(argc, argv);
  auto host = zemb::MakeHost();
  return zemb::RunRomMisc(args.Count(), args.Words(), *host);
}
