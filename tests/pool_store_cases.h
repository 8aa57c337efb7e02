// The cases every pool store must pass, as a suite a store's test program
// includes (once) and instantiates:
//
//   INSTANTIATE_TEST_SUITE_P(Odbc, PoolStoreTest,
//                            ::testing::Values(StoreKind{"odbc", MakeSpec, "no server"}));
//
// where MakeSpec returns the --pool argument of a new, empty pool (a fresh file,
// a fresh database), or "" to skip with skipWhy.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/base/console.h"
#include "tests/test_support.h"
#include "zemb/pool/pool.h"

namespace zemb::test {

struct StoreKind {
  const char* name;
  std::string (*makeSpec)();
  const char* skipWhy;
};

inline void PrintTo(const StoreKind& kind, std::ostream* out) {
  *out << kind.name;
}

class PoolStoreTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  void SetUp() override;
  // A store on this case's pool; opened when `open`.
  std::unique_ptr<PoolStore> Store(bool open);
  std::string spec_;
};

namespace pool_cases {

inline PoolRange Range(uint32_t count) {
  PoolRange range;
  std::string error;
  EXPECT_TRUE(MakePoolRange("20000130041499", "02-00-5E-00-00-FE", count, &range, &error)) << error;
  return range;
}

inline UnitRecord Claim(const std::string& device) {
  UnitRecord claim;
  claim.image = "image.bin";
  claim.imageSha256 = std::string(64, 'a');
  claim.devicePath = device;
  claim.unitId = "0000" + device.substr(device.size() - 4);
  claim.port = "1-2";
  claim.station = "line-1";
  claim.operatorName = "ann, \"the\" operator";
  claim.toolVersion = "1.0.0";
  claim.start = "2026-12-10T06:00:00Z";
  claim.profileSha256 = std::string(64, 'b');
  claim.label = "LBL-1";
  claim.hook = "ok";
  return claim;
}

}  // namespace pool_cases

using pool_cases::Claim;
using pool_cases::Range;

inline void PoolStoreTest::SetUp() {
  spec_ = GetParam().makeSpec();
  if (spec_.empty()) GTEST_SKIP() << GetParam().skipWhy;
}

inline std::unique_ptr<PoolStore> PoolStoreTest::Store(bool open) {
  PoolError error;
  std::unique_ptr<PoolStore> store = MakePoolStore(spec_, &error);
  EXPECT_NE(store, nullptr) << error.text;
  if (store != nullptr && open) {
    EXPECT_TRUE(store->Open(&error)) << error.text;
  }
  return store;
}

TEST_P(PoolStoreTest, InitMakesThePoolOnceAndOpenNeedsIt) {
  std::unique_ptr<PoolStore> store = Store(false);
  PoolError error;
  EXPECT_FALSE(store->Open(&error));
  EXPECT_EQ(error.kind, PoolErrorKind::NoPool) << error.text;
  EXPECT_EQ(ExitStatusOf(error.kind), 2);
  ASSERT_TRUE(store->Init(Range(5), &error)) << error.text;
  EXPECT_TRUE(Store(false)->Init(Range(5), &error)) << error.text;
  error = {};
  EXPECT_FALSE(Store(false)->Init(Range(6), &error));
  EXPECT_EQ(error.kind, PoolErrorKind::Invalid);
  EXPECT_NE(error.text.find("holds another pool"), std::string::npos) << error.text;
  std::unique_ptr<PoolStore> opened = Store(true);
  EXPECT_EQ(opened->Range(), Range(5));
}

TEST_P(PoolStoreTest, ValuesGoOutOnceComeBackOnlyWhenReleasedAndRunOut) {
  PoolError error;
  ASSERT_TRUE(Store(false)->Init(Range(4), &error)) << error.text;
  std::unique_ptr<PoolStore> store = Store(true);
  Reservation a, b, c, d;
  ASSERT_TRUE(store->Reserve({}, Claim("dev-0001"), &a, &error)) << error.text;
  ASSERT_TRUE(store->Reserve({}, Claim("dev-0002"), &b, &error)) << error.text;
  EXPECT_EQ(a.record.serial, "20000130041499");
  EXPECT_EQ(a.record.macP, "02-00-5E-00-00-FE");
  EXPECT_EQ(a.record.macS, "02-00-5E-00-00-FF");
  EXPECT_EQ(b.record.serial, "20000130041500");
  EXPECT_EQ(b.record.macP, "02-00-5E-00-01-00");
  EXPECT_FALSE(a.kept);

  // a: committed; b: released (the next unit gets it); c: failed (held).
  a.record.readbackSha256 = std::string(64, 'c');
  a.record.end = "2026-12-10T06:01:00Z";
  ASSERT_TRUE(Commit(*store, a.record, &error)) << error.text;
  b.record.reason = "the sector at 0x00000000 did not verify";
  ASSERT_TRUE(Release(*store, b.record, &error)) << error.text;
  ASSERT_TRUE(store->Reserve({}, Claim("dev-0003"), &c, &error)) << error.text;
  EXPECT_EQ(c.record.serial, "20000130041500");
  ASSERT_TRUE(Fail(*store, c.record, &error)) << error.text;
  ASSERT_TRUE(store->Reserve({}, Claim("dev-0004"), &d, &error)) << error.text;
  EXPECT_EQ(d.record.serial, "20000130041501");

  // A unit carrying a value of the pool keeps it; one carrying a value not
  // handed out yet, or of no pool, gets the next.
  Reservation kept;
  ASSERT_TRUE(store->Reserve({a.record.serial, a.record.macP, a.record.macS}, Claim("dev-0001"),
                             &kept, &error))
      << error.text;
  EXPECT_TRUE(kept.kept);
  EXPECT_EQ(kept.record.serial, a.record.serial);
  ASSERT_TRUE(Commit(*store, kept.record, &error)) << error.text;
  Reservation last;
  ASSERT_TRUE(store->Reserve({"20000130041502", "", ""}, Claim("dev-0005"), &last, &error))
      << error.text;
  EXPECT_FALSE(last.kept);
  EXPECT_EQ(last.record.serial, "20000130041502");
  Reservation none;
  error = {};
  EXPECT_FALSE(store->Reserve({}, Claim("dev-0006"), &none, &error));
  EXPECT_EQ(error.kind, PoolErrorKind::UsedUp) << error.text;
  EXPECT_EQ(ExitStatusOf(error.kind), 2);

  // A record of a value never handed out is refused.
  UnitRecord stranger = NthValue(Range(4), 3);
  stranger.serial = "20000130041499";
  error = {};
  EXPECT_FALSE(Commit(*store, stranger, &error));

  PoolStatusReport report;
  ASSERT_TRUE(store->Status(&report, &error)) << error.text;
  EXPECT_EQ(report.range, Range(4));
  EXPECT_EQ(report.committed, 1u);
  EXPECT_EQ(report.reserved, 2u);
  EXPECT_EQ(report.failed, 1u);
  EXPECT_EQ(report.released, 0u);
  EXPECT_EQ(report.left, 0u);
  ASSERT_EQ(report.failedUnits.size(), 1u);
  EXPECT_EQ(report.failedUnits[0].serial, "20000130041500");
  std::set<std::string> reserved;
  for (const UnitRecord& u : report.reservedUnits) reserved.insert(u.serial + " " + u.station);
  EXPECT_EQ(reserved, (std::set<std::string>{"20000130041501 line-1", "20000130041502 line-1"}));

  // Every field of a record comes back as it went in.
  std::vector<UnitRecord> records;
  ASSERT_TRUE(store->Records(&records, &error)) << error.text;
  ASSERT_EQ(records.size(), 4u);
  const UnitRecord& first = records[0];
  UnitRecord committed = kept.record;
  committed.state = UnitState::Committed;
  EXPECT_EQ(UnitRecordValues(first), UnitRecordValues(committed));
  EXPECT_EQ(first.state, UnitState::Committed);
  EXPECT_EQ(first.operatorName, "ann, \"the\" operator");
  EXPECT_EQ(first.label, "LBL-1");
  EXPECT_EQ(records[1].state, UnitState::Failed);
}

TEST_P(PoolStoreTest, AHookOutcomeJoinsOnlyTheFinishedAttemptItIsFor) {
  PoolError error;
  ASSERT_TRUE(Store(false)->Init(Range(3), &error)) << error.text;
  std::unique_ptr<PoolStore> store = Store(true);
  Reservation a, b, c;
  ASSERT_TRUE(store->Reserve({}, Claim("dev-0001"), &a, &error)) << error.text;
  UnitRecord hooked = a.record;
  hooked.hook = "on_pass exit 4; output: printed, \"label\" 1";
  error = {};
  EXPECT_FALSE(store->AddHook(hooked, &error)) << "a reserved record took a hook";
  EXPECT_EQ(error.kind, PoolErrorKind::Invalid) << error.text;
  a.record.end = "2026-12-10T06:01:00Z";
  ASSERT_TRUE(Commit(*store, a.record, &error)) << error.text;
  ASSERT_TRUE(store->AddHook(hooked, &error)) << error.text;

  // A value released, then reserved by another unit: the first attempt's
  // hook no longer reaches it, before or after that unit is finished.
  ASSERT_TRUE(store->Reserve({}, Claim("dev-0002"), &b, &error)) << error.text;
  ASSERT_TRUE(Release(*store, b.record, &error)) << error.text;
  UnitRecord claim = Claim("dev-0003");
  claim.start = "2026-12-10T07:00:00Z";
  ASSERT_TRUE(store->Reserve({}, claim, &c, &error)) << error.text;
  ASSERT_EQ(c.record.serial, b.record.serial);
  UnitRecord late = b.record;
  late.hook = "on_fail exit 0";
  for (int round = 0; round < 2; ++round) {
    error = {};
    EXPECT_FALSE(store->AddHook(late, &error)) << round;
    EXPECT_EQ(error.kind, PoolErrorKind::Invalid) << error.text;
    if (round == 0) {
      ASSERT_TRUE(Fail(*store, c.record, &error)) << error.text;
    }
  }

  std::vector<UnitRecord> records;
  ASSERT_TRUE(store->Records(&records, &error)) << error.text;
  ASSERT_EQ(records.size(), 2u);
  UnitRecord committed = hooked;
  committed.state = UnitState::Committed;
  committed.end = a.record.end;
  EXPECT_EQ(UnitRecordValues(records[0]), UnitRecordValues(committed));
  UnitRecord failed = c.record;
  failed.state = UnitState::Failed;
  EXPECT_EQ(UnitRecordValues(records[1]), UnitRecordValues(failed));
}

TEST_P(PoolStoreTest, StoresOnOnePoolAtOnceNeverShareAValue) {
  PoolError error;
  ASSERT_TRUE(Store(false)->Init(Range(200), &error)) << error.text;
  constexpr int kWorkers = 4, kEach = 25;
  std::vector<std::vector<std::string>> got(kWorkers);
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      std::unique_ptr<PoolStore> store = Store(true);
      for (int i = 0; i < kEach; ++i) {
        Reservation r;
        PoolError e;
        if (!store->Reserve({}, Claim(Format("dev-%04d", w * 100 + i)), &r, &e)) return;
        got[w].push_back(r.record.serial);
        Commit(*store, r.record, &e);
      }
    });
  }
  for (std::thread& t : workers) t.join();
  std::set<std::string> all;
  for (const auto& serials : got) {
    EXPECT_EQ(serials.size(), static_cast<size_t>(kEach));
    all.insert(serials.begin(), serials.end());
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kWorkers * kEach));
  PoolStatusReport report;
  ASSERT_TRUE(Store(true)->Status(&report, &error)) << error.text;
  EXPECT_EQ(report.committed, static_cast<uint32_t>(kWorkers * kEach));
}

}  // namespace zemb::test
