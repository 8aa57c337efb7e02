// The SQL pool store on a real PostgreSQL (started by with_postgres.sh,
// which hands the connection string over in ZEMB_PG_CONN): every state
// change of a value, stores of several threads reserving at once, and the
// errors an operator meets when the database is not what the connection
// string says.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/pool_store_cases.h"
#include "zemb/pool/odbc.h"
#include "zemb/pool/odbc_pool.h"
#include "zemb/pool/pool.h"

namespace zemb {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

std::string Conn() {
  return Env("ZEMB_PG_CONN");
}

PoolRange Range(uint32_t count) {
  PoolRange r;
  std::string error;
  EXPECT_TRUE(MakePoolRange("20000130041499", "02-00-5E-00-00-FE", count, &r, &error)) << error;
  return r;
}

std::unique_ptr<PoolStore> Store(const std::string& conn = Conn()) {
  PoolError error;
  auto store = MakeOdbcPool(conn, &error);
  EXPECT_TRUE(store) << error.text;
  return store;
}

UnitRecord Claim(const std::string& unit) {
  UnitRecord c;
  c.image = "image.bin";
  c.imageSha256 = std::string(64, 'a');
  c.devicePath = "\\\\?\\zemb#" + unit;
  c.unitId = unit;
  c.station = "station-1";
  c.toolVersion = "1.0.0";
  c.start = UtcNow();
  return c;
}

// Empties the database: the next case starts without a pool.
void DropPool() {
  odbc::Connection db;
  odbc::Error e;
  ASSERT_TRUE(db.Open(Conn(), 10, 10, &e)) << e.text;
  for (const char* table : {"zemb_seen", "zemb_unit", "zemb_pool"}) {
    ASSERT_TRUE(db.Execute(std::string("DROP TABLE IF EXISTS ") + table, {}, &e)) << e.text;
  }
  ASSERT_TRUE(db.Commit(&e)) << e.text;
}

// The cases every store passes, on the database.
std::string EmptyDatabase() {
  if (Conn().empty()) return "";
  DropPool();
  return "odbc:" + Conn();
}
class SqlPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Conn().empty()) GTEST_SKIP() << "no PostgreSQL (run under with_postgres.sh)";
    DropPool();
  }

  Reservation Reserve(PoolStore& store, const std::string& unit, const std::string& carries = "") {
    Reservation r;
    PoolError error;
    UnitCarries c;
    c.serial = carries;
    EXPECT_TRUE(store.Reserve(c, Claim(unit), &r, &error)) << error.text;
    return r;
  }

  PoolStatusReport StatusOf(PoolStore& store) {
    PoolStatusReport s;
    PoolError error;
    EXPECT_TRUE(store.Status(&s, &error)) << error.text;
    return s;
  }
};

// A data source set up on the station reaches the pool the connection
// string made; another range names the pool that is there.
TEST_F(SqlPoolTest, ADataSourceReachesThePoolAndAnotherRangeNamesIt) {
  PoolError error;
  ASSERT_TRUE(Store()->Init(Range(5), &error)) << error.text;
  auto opened = Store("DSN=zemb;UID=station;PWD=" + Env("ZEMB_PG_PASSWORD"));
  ASSERT_TRUE(opened->Open(&error)) << error.text;
  EXPECT_EQ(opened->Range(), Range(5));
  EXPECT_EQ(opened->Name(), "the database DSN=zemb");
  EXPECT_FALSE(opened->Init(Range(6), &error));
  EXPECT_NE(error.text.find("the database DSN=zemb already holds another pool (serial from "
                            "20000130041499, MAC from 02-00-5E-00-00-FE, 5 units)"),
            std::string::npos)
      << error.text;
}

// Every state change of a value, and what status and the records say.
TEST_F(SqlPoolTest, ValuesMoveThroughReserveCommitFailAndRelease) {
  auto store = Store();
  PoolError error;
  ASSERT_TRUE(store->Init(Range(4), &error)) << error.text;
  ASSERT_TRUE(store->Open(&error)) << error.text;

  Reservation a = Reserve(*store, "A");
  EXPECT_EQ(a.record.serial, "20000130041499");
  EXPECT_EQ(a.record.macP, "02-00-5E-00-00-FE");
  EXPECT_EQ(a.record.macS, "02-00-5E-00-00-FF");
  EXPECT_FALSE(a.kept);
  Reservation b = Reserve(*store, "B");
  Reservation c = Reserve(*store, "C");
  EXPECT_EQ(b.record.serial, "20000130041500");
  EXPECT_EQ(c.record.serial, "20000130041501");

  UnitRecord done = a.record;
  done.readbackSha256 = std::string(64, 'b');
  done.end = UtcNow();
  ASSERT_TRUE(Commit(*store, done, &error)) << error.text;
  // A spool pushed twice: the second push adds nothing and is no error.
  ASSERT_TRUE(Commit(*store, done, &error)) << error.text;

  UnitRecord failed = b.record;
  // Longer than one fetch of a column, with quotes and text beyond ASCII.
  failed.reason = "the sector at 0x00000000 did not verify: 'Gerät' \"x\"; ";
  while (failed.reason.size() < 1500) failed.reason += failed.reason;
  failed.end = UtcNow();
  ASSERT_TRUE(Fail(*store, failed, &error)) << error.text;
  UnitRecord released = c.record;
  released.reason = "the unit does not carry it";
  released.end = UtcNow();
  ASSERT_TRUE(Release(*store, released, &error)) << error.text;

  PoolStatusReport s = StatusOf(*store);
  EXPECT_EQ(s.committed, 1u);
  EXPECT_EQ(s.failed, 1u);
  EXPECT_EQ(s.released, 1u);
  EXPECT_EQ(s.reserved, 0u);
  EXPECT_EQ(s.handedOut, 3u);
  EXPECT_EQ(s.left, 2u);  // the released value and the one never handed out
  ASSERT_EQ(s.failedUnits.size(), 1u);
  EXPECT_EQ(s.failedUnits[0].reason, failed.reason);

  // The released value goes to the next unit; the failed one never again.
  Reservation d = Reserve(*store, "D");
  EXPECT_EQ(d.record.serial, c.record.serial);
  Reservation e = Reserve(*store, "E");
  EXPECT_EQ(e.record.serial, "20000130041502");
  EXPECT_FALSE(store->Reserve({}, Claim("F"), &d, &error));
  EXPECT_EQ(error.kind, PoolErrorKind::UsedUp);
  EXPECT_EQ(ExitStatusOf(error.kind), 2);

  // A unit keeps the value it carries, failed or committed, and stays
  // reserved (with its station and start) until it is finished.
  Reservation again = Reserve(*store, "B", b.record.serial);
  EXPECT_TRUE(again.kept);
  EXPECT_EQ(again.record.serial, b.record.serial);
  s = StatusOf(*store);
  EXPECT_EQ(s.reserved, 3u);
  EXPECT_EQ(s.failed, 0u);
  ASSERT_EQ(s.reservedUnits.size(), 3u);
  EXPECT_EQ(s.reservedUnits[0].station, "station-1");
  EXPECT_FALSE(s.reservedUnits[0].start.empty());
  EXPECT_TRUE(s.clones.empty());

  // A second unit carrying A's value (an image copied from A) keeps it too,
  // and status names both.
  Reservation clone = Reserve(*store, "Z", a.record.serial);
  EXPECT_TRUE(clone.kept);
  s = StatusOf(*store);
  ASSERT_EQ(s.clones.size(), 1u);
  EXPECT_EQ(s.clones[0].serial, a.record.serial);
  EXPECT_EQ(s.clones[0].units, (std::vector<std::string>{"A", "Z"}));

  std::vector<UnitRecord> records;
  ASSERT_TRUE(store->Records(&records, &error)) << error.text;
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].serial, a.record.serial);
  EXPECT_EQ(records[0].unitId, "Z");
  EXPECT_EQ(records[1].state, UnitState::Reserved);
  EXPECT_EQ(records[1].image, "image.bin");
}

// Stores of four threads (each its own connection, as each worker has)
// reserving at once never hand one value out twice.
TEST_F(SqlPoolTest, ConcurrentReservationsNeverShareAValue) {
  PoolError error;
  ASSERT_TRUE(Store()->Init(Range(200), &error)) << error.text;
  constexpr int kThreads = 4, kEach = 40;
  std::vector<std::vector<std::string>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &got] {
      auto store = Store();
      PoolError error;
      ASSERT_TRUE(store->Open(&error)) << error.text;
      for (int i = 0; i < kEach; ++i) {
        Reservation r;
        ASSERT_TRUE(store->Reserve({}, Claim("T" + std::to_string(t) + "-" + std::to_string(i)), &r,
                                   &error))
            << error.text;
        got[t].push_back(r.record.serial);
        r.record.end = UtcNow();
        ASSERT_TRUE((i % 4 == 0 ? Release : Commit)(*store, r.record, &error)) << error.text;
      }
    });
  }
  for (auto& t : threads) t.join();
  std::multiset<std::string> handed;
  for (const auto& g : got) handed.insert(g.begin(), g.end());
  // Released values go out again, so a serial may be seen twice; but never
  // by two committed units.
  auto store = Store();
  ASSERT_TRUE(store->Open(&error)) << error.text;
  std::vector<UnitRecord> records;
  ASSERT_TRUE(store->Records(&records, &error)) << error.text;
  std::set<std::string> serials, macs;
  size_t committed = 0;
  for (const auto& r : records) {
    EXPECT_TRUE(serials.insert(r.serial).second) << r.serial;
    EXPECT_TRUE(macs.insert(r.macP).second && macs.insert(r.macS).second) << r.serial;
    committed += r.state == UnitState::Committed;
  }
  EXPECT_EQ(committed, static_cast<size_t>(kThreads * kEach * 3 / 4));
  PoolStatusReport s = StatusOf(*store);
  EXPECT_EQ(s.committed, committed);
  EXPECT_EQ(s.handedOut + 0u, records.size());
}

// The server goes away between reserve and commit: the commit fails as
// unreachable (the caller spools it), and once the server is back the same
// record lands, once.
TEST_F(SqlPoolTest, ACommitAfterTheServerWentAwayFailsAndLandsLater) {
  PoolError error;
  auto store = Store();
  ASSERT_TRUE(store->Init(Range(5), &error)) << error.text;
  ASSERT_TRUE(store->Open(&error)) << error.text;
  Reservation r = Reserve(*store, "A");
  const std::string ctl = Env("ZEMB_PG_CTL");
  ASSERT_EQ(std::system((ctl + " stop > /dev/null").c_str()), 0);
  r.record.end = UtcNow();
  const bool committed = Commit(*store, r.record, &error);
  ASSERT_EQ(std::system((ctl + " start > /dev/null").c_str()), 0);
  EXPECT_FALSE(committed);
  EXPECT_EQ(error.kind, PoolErrorKind::Unreachable);
  EXPECT_EQ(error.text.rfind("lost the connection to the database SERVER=127.0.0.1", 0), 0u)
      << error.text;

  auto later = Store();
  ASSERT_TRUE(later->Open(&error)) << error.text;
  ASSERT_TRUE(Commit(*later, r.record, &error)) << error.text;
  ASSERT_TRUE(Commit(*later, r.record, &error)) << error.text;
  PoolStatusReport s = StatusOf(*later);
  EXPECT_EQ(s.committed, 1u);
  EXPECT_EQ(s.reserved, 0u);
  // The store that lost its connection finds its feet again.
  Reservation next = Reserve(*store, "B");
  EXPECT_EQ(next.record.serial, "20000130041500");
}

// Connection strings that cannot work: each refused as unreachable, in the
// driver's words and naming what is wrong, never showing the password.
TEST_F(SqlPoolTest, ADatabaseThatCannotBeReachedIsNamedWithTheDriversText) {
  const std::string server = "SERVER=127.0.0.1;PORT=" + Env("ZEMB_PG_PORT");
  const std::string pw = Env("ZEMB_PG_PASSWORD");
  struct Case {
    std::string conn;
    std::string says;
  };
  const Case cases[] = {
      {"DRIVER={PostgreSQL Unicode};" + server + ";DATABASE=zemb;UID=station;PWD=" + pw + "x",
       "password authentication failed for user \"station\""},
      {"DRIVER={PostgreSQL Unicode};" + server + ";DATABASE=nosuch;UID=station;PWD=" + pw,
       "database \"nosuch\" does not exist"},
      {"DRIVER={No Such Driver 9};" + server + ";DATABASE=zemb;UID=station;PWD=" + pw,
       "the ODBC driver No Such Driver 9 is not installed on this machine"},
      {"DRIVER=/nonexistent/psqlodbcw.so;" + server + ";DATABASE=zemb;UID=station;PWD=" + pw,
       "the ODBC driver /nonexistent/psqlodbcw.so is not installed"},
      {"DSN=nosuchdsn;UID=station;PWD=" + pw, "no ODBC data source nosuchdsn is set up"},
      // The data source the harness set up, and the server it names stopped
      // answering: the port of nothing.
      {"DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=1;DATABASE=zemb;UID=station;PWD=" + pw,
       "SERVER=127.0.0.1;PORT=1;DATABASE=zemb: "},
  };
  for (const Case& c : cases) {
    auto store = Store(c.conn);
    PoolError error;
    EXPECT_FALSE(store->Open(&error)) << c.conn;
    EXPECT_EQ(error.kind, PoolErrorKind::Unreachable);
    EXPECT_NE(error.text.find("cannot reach the database"), std::string::npos) << error.text;
    EXPECT_NE(error.text.find(c.says), std::string::npos) << error.text;
    EXPECT_EQ(error.text.find(pw), std::string::npos) << error.text;
  }
}

// A transaction the server aborts as a serialization failure or deadlock
// is run again, a bounded number of times; any other failure at once. The
// server raises each SQLSTATE for real.
TEST(OdbcTransactionTest, SerializationFailuresAndDeadlocksAreRetriedBoundedly) {
  if (Conn().empty()) GTEST_SKIP() << "no PostgreSQL (run under with_postgres.sh)";
  odbc::Connection db;
  odbc::Error e;
  ASSERT_TRUE(db.Open(Conn(), 10, 10, &e)) << e.text;
  auto raise = [&](const char* state, odbc::Error* e) {
    return db.Execute(std::string("DO $$ BEGIN RAISE EXCEPTION 'collided' USING ERRCODE = '") +
                          state + "'; END $$",
                      {}, e);
  };
  struct Case {
    const char* state;
    int failures;  // attempts that raise it before one that passes
    bool done;
    int attempts;
  };
  const Case cases[] = {
      {"40001", 2, true, 3},
      {"40P01", 1, true, 2},
      {"40001", 100, false, odbc::kTransactionAttempts},
      {"23505", 1, false, 1},
      {"42601", 1, false, 1},
  };
  for (const Case& c : cases) {
    int attempts = 0;
    const bool done = db.Transaction(
        [&](odbc::Error* e) {
          ++attempts;
          if (attempts <= c.failures) return raise(c.state, e);
          return db.Execute("SELECT 1", {}, e);
        },
        &e);
    EXPECT_EQ(done, c.done) << c.state << " " << e.text;
    EXPECT_EQ(attempts, c.attempts) << c.state;
    if (!done) {
      EXPECT_EQ(e.sqlstate, c.state);
      EXPECT_NE(e.text.find("collided"), std::string::npos) << e.text;
    }
  }
  // The connection is still good for the next transaction.
  odbc::Rows rows;
  ASSERT_TRUE(db.Execute("SELECT 7", {}, &rows, nullptr, &e)) << e.text;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0].value_or(""), "7");
}

TEST(OdbcTextTest, PasswordsAreMaskedAndTargetsNamed) {
  struct Case {
    const char* conn;
    const char* masked;
    const char* target;
  };
  const Case cases[] = {
      {"DRIVER={PostgreSQL Unicode};SERVER=db.line;DATABASE=zemb;UID=st;PWD=s3cret",
       "DRIVER={PostgreSQL Unicode};SERVER=db.line;DATABASE=zemb;UID=st;PWD=***",
       "SERVER=db.line;DATABASE=zemb"},
      {"DSN=zemb;pwd={a;b}}c};UID=x", "DSN=zemb;pwd=***;UID=x", "DSN=zemb"},
      {"Password = hunter2 ;Server=h;Port=5433", "Password = ***;Server=h;Port=5433",
       "SERVER=h;PORT=5433"},
      {"UID=x;PWD=y", "UID=x;PWD=***", "UID=x;PWD=***"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(odbc::MaskPassword(c.conn), c.masked) << c.conn;
    EXPECT_EQ(odbc::DescribeTarget(c.conn), c.target) << c.conn;
  }
}

}  // namespace
}  // namespace zemb

namespace zemb::test {
namespace {

INSTANTIATE_TEST_SUITE_P(Odbc, PoolStoreTest,
                         ::testing::Values(StoreKind{"odbc", EmptyDatabase,
                                                     "no PostgreSQL (run under with_postgres.sh)"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zemb::test
