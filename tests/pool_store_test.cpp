// The pool store cases on the local journal.
#include <unistd.h>

#include "tests/pool_store_cases.h"

namespace zemb::test {
namespace {

std::string LocalPool() {
  static int n = 0;
  return ::testing::TempDir() +
         Format("zemb-pool-store-%d-%d.csv", static_cast<int>(getpid()), ++n);
}

INSTANTIATE_TEST_SUITE_P(Local, PoolStoreTest,
                         ::testing::Values(StoreKind{"journal", LocalPool, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zemb::test
