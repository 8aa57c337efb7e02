// One station's side of the SQL pool benchmark: N reservations, each
// committed at once, against the database of the connection string; prints
// the round trip of each (reserve + commit, in microseconds) and the serial
// number it got, one line each. scripts/bench-pool-sql.sh runs several at
// once and reads the figures.
//   pool_sql_bench CONNECTION COUNT NAME
//   pool_sql_bench CONNECTION --init COUNT     (makes a pool of COUNT values)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zemb/pool/odbc_pool.h"
#include "zemb/pool/pool.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: pool_sql_bench CONNECTION COUNT NAME\n");
    return 2;
  }
  zemb::PoolError error;
  auto store = zemb::MakeOdbcPool(argv[1], &error);
  if (store && std::string(argv[2]) == "--init") {
    zemb::PoolRange range;
    std::string why;
    if (!zemb::MakePoolRange("50000000000000", "02-BE-00-00-00-00",
                             static_cast<uint32_t>(std::atoi(argv[3])), &range, &why)) {
      std::fprintf(stderr, "pool_sql_bench: %s\n", why.c_str());
      return 2;
    }
    if (store->Init(range, &error)) return 0;
  }
  if (!store || !store->Open(&error)) {
    std::fprintf(stderr, "pool_sql_bench: %s\n", error.text.c_str());
    return 2;
  }
  const int count = std::atoi(argv[2]);
  for (int i = 0; i < count; ++i) {
    zemb::UnitRecord claim;
    claim.image = "bench.bin";
    claim.unitId = std::string(argv[3]) + "-" + std::to_string(i);
    claim.devicePath = claim.unitId;
    claim.station = argv[3];
    claim.start = zemb::UtcNow();
    const auto t0 = std::chrono::steady_clock::now();
    zemb::Reservation r;
    if (!store->Reserve({}, claim, &r, &error)) {
      std::fprintf(stderr, "pool_sql_bench: reserve: %s\n", error.text.c_str());
      return 1;
    }
    r.record.end = zemb::UtcNow();
    if (!zemb::Commit(*store, r.record, &error)) {
      std::fprintf(stderr, "pool_sql_bench: commit: %s\n", error.text.c_str());
      return 1;
    }
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    std::printf("%lld %s\n", static_cast<long long>(us), r.record.serial.c_str());
  }
  return 0;
}
