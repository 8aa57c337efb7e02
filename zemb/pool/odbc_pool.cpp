// The pool in a SQL database. Three tables, plain SQL that PostgreSQL runs
// first of all:
//
//   zemb_pool  one row (id 1): the range and the index of the next value
//              never handed out. Every reservation locks this row first, so
//              reservations of all stations take turns and no value can go
//              to two of them.
//   zemb_unit  one row per value ever handed out: its latest record. UNIQUE
//              on the serial number and on each MAC is the last line of
//              defence should the lock ever be bypassed.
//   zemb_seen  which units were seen carrying a value: a value on more than
//              one is a clone, and `pool status` names them.
//
// Empty fields are stored as '' (not NULL), so a record reads back as it
// was given.
#include "zemb/pool/odbc_pool.h"

#include <algorithm>
#include <map>

#include "zemb/pool/kill_point.h"
#include "zemb/pool/odbc.h"

namespace zemb {

namespace {

using odbc::Rows;
using odbc::Value;

// A server that does not answer within this stops the run rather than hang
// it; an answer takes milliseconds.
constexpr int kLoginSeconds = 15;
constexpr int kQuerySeconds = 30;

// The text columns of a record, in the order of zemb_unit's columns.
struct Column {
  const char* name;
  int size;
  std::string UnitRecord::*field;
};
const Column kColumns[] = {
    {"image", 1000, &UnitRecord::image},
    {"image_sha256", 64, &UnitRecord::imageSha256},
    {"readback_sha256", 64, &UnitRecord::readbackSha256},
    {"device_path", 1000, &UnitRecord::devicePath},
    {"unit_id", 200, &UnitRecord::unitId},
    {"port", 200, &UnitRecord::port},
    {"station", 200, &UnitRecord::station},
    {"operator_name", 200, &UnitRecord::operatorName},
    {"tool_version", 40, &UnitRecord::toolVersion},
    {"start_time", 32, &UnitRecord::start},
    {"end_time", 32, &UnitRecord::end},
    {"reason", 2000, &UnitRecord::reason},
    {"profile_sha256", 64, &UnitRecord::profileSha256},
    {"label", 200, &UnitRecord::label},
    {"hook", 2000, &UnitRecord::hook},
};

// "image, image_sha256, ..." (with a prefix on each name when given).
std::string ColumnList(const char* prefix = "") {
  std::string out;
  for (const Column& c : kColumns) {
    if (!out.empty()) out += ", ";
    out += std::string(prefix) + c.name;
  }
  return out;
}

std::string CreateUnitTable() {
  std::string sql =
      "CREATE TABLE zemb_unit (idx BIGINT NOT NULL PRIMARY KEY, serial VARCHAR(14) NOT NULL "
      "UNIQUE, mac_p VARCHAR(17) NOT NULL UNIQUE, mac_s VARCHAR(17) NOT NULL UNIQUE, state "
      "VARCHAR(16) NOT NULL";
  for (const Column& c : kColumns) {
    sql += std::string(", ") + c.name + " VARCHAR(" + std::to_string(c.size) + ") NOT NULL";
  }
  return sql + ")";
}

// A field cut to its column, at a character boundary of UTF-8 text.
std::string Fit(const std::string& text, int size) {
  if (text.size() <= static_cast<size_t>(size)) return text;
  size_t n = static_cast<size_t>(size);
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

std::vector<Value> FieldValues(const UnitRecord& r) {
  std::vector<Value> v;
  for (const Column& c : kColumns) v.push_back(Value::Str(Fit(r.*c.field, c.size)));
  return v;
}

std::string Cell(const odbc::Row& row, size_t i) {
  return i < row.size() && row[i] ? *row[i] : std::string();
}

// A row of "idx, serial, mac_p, mac_s, state, <columns>" as a record.
bool RecordOfRow(const odbc::Row& row, UnitRecord* r) {
  try {
    r->index = static_cast<uint32_t>(std::stoul(Cell(row, 0)));
  } catch (...) {
    return false;
  }
  r->serial = Cell(row, 1);
  r->macP = Cell(row, 2);
  r->macS = Cell(row, 3);
  if (!UnitStateNamed(Cell(row, 4), &r->state)) return false;
  size_t i = 5;
  for (const Column& c : kColumns) r->*c.field = Cell(row, i++);
  return true;
}

std::string UnitSelect() {
  return "SELECT idx, serial, mac_p, mac_s, state, " + ColumnList() + " FROM zemb_unit";
}

// Which unit a record is about, to tell clones apart.
std::string UnitKey(const UnitRecord& r) {
  return r.unitId.empty() ? r.devicePath : r.unitId;
}

class OdbcPool : public PoolStore {
 public:
  explicit OdbcPool(std::string connection)
      : connection_(std::move(connection)), target_(odbc::DescribeTarget(connection_)) {}

  std::string Name() const override { return "the database " + target_; }

  bool Init(const PoolRange& range, PoolError* error) override {
    if (!Connect(error)) return false;
    // Two stations may init at once: the one whose CREATE loses finds the
    // other's pool on its second look.
    for (int attempt = 0; attempt < 2; ++attempt) {
      odbc::Error e;
      PoolRange there;
      bool found = false;
      if (!ReadRange(&there, &found, &e)) return Fail(e, error);
      if (found) {
        if (there == range) {
          range_ = there;
          return true;
        }
        return Refuse(PoolErrorKind::Invalid,
                      Name() + " already holds another pool (" + Describe(there) +
                          "); pool init asked for " + Describe(range),
                      error);
      }
      const bool made = db_.Transaction(
          [&](odbc::Error* e) {
            return db_.Execute(
                       "CREATE TABLE zemb_pool (id INTEGER NOT NULL PRIMARY KEY, serial_from "
                       "VARCHAR(14) NOT NULL, mac_from BIGINT NOT NULL, unit_count BIGINT NOT "
                       "NULL, next_index BIGINT NOT NULL, created VARCHAR(32) NOT NULL)",
                       {}, e) &&
                   db_.Execute(CreateUnitTable(), {}, e) &&
                   db_.Execute(
                       "CREATE TABLE zemb_seen (idx BIGINT NOT NULL, unit VARCHAR(1000) NOT NULL, "
                       "device_path VARCHAR(1000) NOT NULL, first_seen VARCHAR(32) NOT NULL, "
                       "PRIMARY KEY (idx, unit))",
                       {}, e) &&
                   db_.Execute(
                       "INSERT INTO zemb_pool (id, serial_from, mac_from, unit_count, next_index, "
                       "created) VALUES (1, ?, ?, ?, 0, ?)",
                       {Value::Str(range.serialFrom),
                        Value::Int(static_cast<int64_t>(range.macFrom)), Value::Int(range.count),
                        Value::Str(UtcNow())},
                       e);
          },
          &e);
      if (made) {
        range_ = range;
        return true;
      }
      if (e.lost || attempt == 1) return Fail(e, error);
    }
    return false;
  }

  bool Open(PoolError* error) override {
    if (!Connect(error)) return false;
    odbc::Error e;
    bool found = false;
    if (!ReadRange(&range_, &found, &e)) return Fail(e, error);
    if (!found) {
      return Refuse(PoolErrorKind::NoPool,
                    "there is no pool in " + Name() + " (zemb pool init makes one)", error);
    }
    open_ = true;
    return true;
  }

  const PoolRange& Range() const override { return range_; }

  bool Reserve(const UnitCarries& carries, const UnitRecord& claim, Reservation* out,
               PoolError* error) override {
    if (!CheckOpen(error)) return false;
    enum class Outcome { Reserved, UsedUp, Damaged } outcome = Outcome::Reserved;
    const std::optional<uint32_t> carried =
        carries.serial.empty() ? std::nullopt : IndexOfSerial(range_, carries.serial);
    Reservation r;
    odbc::Error e;
    const bool ok = db_.Transaction(
        [&](odbc::Error* e) {
          outcome = Outcome::Reserved;
          r = Reservation{};
          // The lock every reservation takes turns on, in the one spelling
          // every SQL database takes.
          int64_t locked = 0;
          Rows rows;
          if (!db_.Execute("UPDATE zemb_pool SET next_index = next_index WHERE id = 1", {}, nullptr,
                           &locked, e) ||
              !db_.Execute("SELECT next_index FROM zemb_pool WHERE id = 1", {}, &rows, nullptr,
                           e)) {
            return false;
          }
          KillPoint("sql.reserve.locked");
          if (locked != 1 || rows.size() != 1) {
            outcome = Outcome::Damaged;
            return true;
          }
          const int64_t next = std::stoll(Cell(rows[0], 0));
          std::optional<int64_t> again;  // a value handed out before
          if (carried) {
            if (!db_.Execute("SELECT idx FROM zemb_unit WHERE idx = ?", {Value::Int(*carried)},
                             &rows, nullptr, e)) {
              return false;
            }
            if (!rows.empty()) {
              again = *carried;
              r.kept = true;
            }
          }
          if (!again) {
            if (!db_.Execute("SELECT MIN(idx) FROM zemb_unit WHERE state = 'released'", {}, &rows,
                             nullptr, e)) {
              return false;
            }
            if (!rows.empty() && !Cell(rows[0], 0).empty()) again = std::stoll(Cell(rows[0], 0));
          }
          int64_t index;
          if (again) {
            index = *again;
          } else {
            if (next >= static_cast<int64_t>(range_.count)) {
              outcome = Outcome::UsedUp;
              return true;
            }
            index = next;
          }
          r.record = claim;
          const UnitRecord value = NthValue(range_, static_cast<uint32_t>(index));
          r.record.index = value.index;
          r.record.serial = value.serial;
          r.record.macP = value.macP;
          r.record.macS = value.macS;
          r.record.state = UnitState::Reserved;
          r.record.end.clear();
          r.record.reason.clear();
          std::vector<Value> params = FieldValues(r.record);
          if (again) {
            std::string sql = "UPDATE zemb_unit SET state = 'reserved'";
            for (const Column& c : kColumns) sql += std::string(", ") + c.name + " = ?";
            params.push_back(Value::Int(index));
            if (!db_.Execute(sql + " WHERE idx = ?", params, e)) return false;
          } else {
            std::vector<Value> all = {Value::Int(index), Value::Str(value.serial),
                                      Value::Str(value.macP), Value::Str(value.macS)};
            all.insert(all.end(), params.begin(), params.end());
            std::string marks;
            for (size_t i = 0; i < std::size(kColumns); ++i) marks += ", ?";
            if (!db_.Execute("INSERT INTO zemb_unit (idx, serial, mac_p, mac_s, state, " +
                                 ColumnList() + ") VALUES (?, ?, ?, ?, 'reserved'" + marks + ")",
                             all, e) ||
                !db_.Execute("UPDATE zemb_pool SET next_index = ? WHERE id = 1",
                             {Value::Int(index + 1)}, e)) {
              return false;
            }
          }
          if (!Seen(index, r.record, e)) return false;
          KillPoint("sql.reserve.written");
          return true;
        },
        &e);
    if (ok) KillPoint("sql.reserve.committed");
    if (!ok) return Fail(e, error);
    if (outcome == Outcome::UsedUp) {
      return Refuse(
          PoolErrorKind::UsedUp,
          "the pool of " + std::to_string(range_.count) + " units in " + Name() + " is used up",
          error);
    }
    if (outcome == Outcome::Damaged) return Damaged("its pool row is gone", error);
    *out = std::move(r);
    return true;
  }

  bool Finish(const UnitRecord& record, PoolError* error) override {
    if (!CheckOpen(error)) return false;
    if (record.state == UnitState::Reserved) {
      return Refuse(PoolErrorKind::Invalid, "a record is finished as committed, failed or released",
                    error);
    }
    bool stale = false, missing = false;
    auto body = [&](odbc::Error* e) {
      stale = missing = false;
      std::string sql = "UPDATE zemb_unit SET state = ?";
      std::vector<Value> params = {Value::Str(UnitStateName(record.state))};
      const std::vector<Value> fields = FieldValues(record);
      for (size_t i = 0; i < std::size(kColumns); ++i) {
        sql += std::string(", ") + kColumns[i].name + " = ?";
        params.push_back(fields[i]);
      }
      sql += " WHERE idx = ? AND serial = ? AND state = 'reserved' AND start_time = ?";
      params.push_back(Value::Int(record.index));
      params.push_back(Value::Str(record.serial));
      params.push_back(Value::Str(Fit(record.start, 32)));
      int64_t changed = 0;
      if (!db_.Execute(sql, params, nullptr, &changed, e)) return false;
      if (changed == 0) {
        // Pushed twice from a spool, or the value was reserved again since:
        // the store already has this record or a later one.
        Rows rows;
        if (!db_.Execute("SELECT state FROM zemb_unit WHERE idx = ? AND serial = ?",
                         {Value::Int(record.index), Value::Str(record.serial)}, &rows, nullptr,
                         e)) {
          return false;
        }
        missing = rows.empty();
        stale = !missing;
        return true;
      }
      // The unit proved it does not carry the value.
      if (record.state == UnitState::Released &&
          !db_.Execute("DELETE FROM zemb_seen WHERE idx = ? AND unit = ?",
                       {Value::Int(record.index), Value::Str(Fit(UnitKey(record), 1000))}, e)) {
        return false;
      }
      KillPoint("sql.finish.written");
      return true;
    };
    odbc::Error e;
    bool ok = db_.Transaction(body, &e);
    if (!ok && e.lost) {
      // The record is the same whichever attempt lands: one new connection
      // is worth a try before the caller spools it.
      PoolError again;
      if (Connect(&again)) ok = db_.Transaction(body, &e);
    }
    if (ok) KillPoint("sql.finish.committed");
    if (!ok) return Fail(e, error);
    if (missing) {
      return Refuse(PoolErrorKind::Invalid,
                    "value " + record.serial + " was never handed out from " + Name(), error);
    }
    (void)stale;
    return true;
  }

  bool AddHook(const UnitRecord& record, PoolError* error) override {
    if (!CheckOpen(error)) return false;
    int64_t changed = 0;
    auto body = [&](odbc::Error* e) {
      return db_.Execute(
          "UPDATE zemb_unit SET hook = ? WHERE idx = ? AND serial = ? AND start_time = ? AND "
          "state <> 'reserved'",
          {Value::Str(Fit(record.hook, 2000)), Value::Int(record.index), Value::Str(record.serial),
           Value::Str(Fit(record.start, 32))},
          nullptr, &changed, e);
    };
    odbc::Error e;
    bool ok = db_.Transaction(body, &e);
    if (!ok && e.lost) {
      PoolError again;
      if (Connect(&again)) ok = db_.Transaction(body, &e);
    }
    if (!ok) return Fail(e, error);
    if (changed == 0) {
      return Refuse(PoolErrorKind::Invalid,
                    "the record of serial number " + record.serial + " from " + record.start +
                        " is not the latest in " + Name(),
                    error);
    }
    return true;
  }

  bool Status(PoolStatusReport* report, PoolError* error) override {
    if (!CheckOpen(error)) return false;
    PoolStatusReport s;
    odbc::Error e;
    const bool ok = db_.Transaction(
        [&](odbc::Error* e) {
          s = PoolStatusReport{};
          s.range = range_;
          Rows rows;
          if (!db_.Execute("SELECT next_index FROM zemb_pool WHERE id = 1", {}, &rows, nullptr,
                           e)) {
            return false;
          }
          s.handedOut = rows.empty() ? 0 : static_cast<uint32_t>(std::stoul(Cell(rows[0], 0)));
          if (!db_.Execute("SELECT state, COUNT(*) FROM zemb_unit GROUP BY state", {}, &rows,
                           nullptr, e)) {
            return false;
          }
          for (const auto& row : rows) {
            const uint32_t n = static_cast<uint32_t>(std::stoul(Cell(row, 1)));
            UnitState state;
            if (!UnitStateNamed(Cell(row, 0), &state)) continue;
            switch (state) {
              case UnitState::Committed:
                s.committed = n;
                break;
              case UnitState::Reserved:
                s.reserved = n;
                break;
              case UnitState::Failed:
                s.failed = n;
                break;
              case UnitState::Released:
                s.released = n;
                break;
            }
          }
          s.left = range_.count - std::min(range_.count, s.handedOut) + s.released;
          if (!db_.Execute(UnitSelect() + " WHERE state IN ('reserved', 'failed') ORDER BY idx", {},
                           &rows, nullptr, e)) {
            return false;
          }
          for (const auto& row : rows) {
            UnitRecord r;
            if (!RecordOfRow(row, &r)) continue;
            (r.state == UnitState::Reserved ? s.reservedUnits : s.failedUnits).push_back(r);
          }
          if (!db_.Execute(
                  "SELECT u.serial, s.unit FROM zemb_seen s JOIN zemb_unit u ON u.idx = s.idx "
                  "WHERE s.idx IN (SELECT idx FROM zemb_seen GROUP BY idx HAVING COUNT(*) > 1) "
                  "ORDER BY s.idx, s.unit",
                  {}, &rows, nullptr, e)) {
            return false;
          }
          for (const auto& row : rows) {
            if (s.clones.empty() || s.clones.back().serial != Cell(row, 0)) {
              s.clones.push_back({Cell(row, 0), {}});
            }
            s.clones.back().units.push_back(Cell(row, 1));
          }
          return true;
        },
        &e);
    if (!ok) return Fail(e, error);
    *report = std::move(s);
    return true;
  }

  bool Records(std::vector<UnitRecord>* records, PoolError* error) override {
    if (!CheckOpen(error)) return false;
    Rows rows;
    odbc::Error e;
    const bool ok = db_.Transaction(
        [&](odbc::Error* e) {
          return db_.Execute(UnitSelect() + " ORDER BY idx", {}, &rows, nullptr, e);
        },
        &e);
    if (!ok) return Fail(e, error);
    records->clear();
    for (const auto& row : rows) {
      UnitRecord r;
      if (!RecordOfRow(row, &r)) return Damaged("a unit's row cannot be read", error);
      records->push_back(std::move(r));
    }
    return true;
  }

 private:
  bool Connect(PoolError* error) {
    odbc::Error e;
    if (db_.Open(connection_, kLoginSeconds, kQuerySeconds, &e)) return true;
    std::string text = "cannot reach " + Name() + ": " + e.text;
    // The driver manager answers for a driver or data source it cannot
    // find or load; say which one in the operator's terms.
    const bool manager = e.text.find("Driver Manager") != std::string::npos;
    if (e.sqlstate.rfind("IM", 0) == 0 || (manager && e.sqlstate == "01000")) {
      const std::string driver = odbc::ValueOf(connection_, "DRIVER");
      const std::string dsn = odbc::ValueOf(connection_, "DSN");
      text += driver.empty() ? " (no ODBC data source " + dsn + " is set up on this machine)"
                             : " (the ODBC driver " + driver +
                                   " is not installed on this machine, or cannot be loaded)";
    }
    return Refuse(PoolErrorKind::Unreachable, text, error);
  }

  // A connection lost in an earlier call is made again before the next.
  bool CheckOpen(PoolError* error) {
    if (!open_) return Refuse(PoolErrorKind::Invalid, Name() + " is not open", error);
    return db_.IsOpen() || Connect(error);
  }

  // The pool's row; *found false (and true returned) when the database has
  // no pool table or no row in it.
  bool ReadRange(PoolRange* range, bool* found, odbc::Error* error) {
    Rows rows;
    odbc::Error e;
    if (!db_.Execute("SELECT serial_from, mac_from, unit_count FROM zemb_pool WHERE id = 1", {},
                     &rows, nullptr, &e)) {
      db_.Rollback();
      // 42P01 is PostgreSQL's word for a missing table, 42S02 ODBC's.
      if (e.sqlstate == "42P01" || e.sqlstate == "42S02") {
        *found = false;
        return true;
      }
      *error = e;
      return false;
    }
    db_.Rollback();
    *found = rows.size() == 1;
    if (!*found) return true;
    try {
      range->serialFrom = Cell(rows[0], 0);
      range->macFrom = std::stoull(Cell(rows[0], 1));
      range->count = static_cast<uint32_t>(std::stoul(Cell(rows[0], 2)));
    } catch (...) {
      *error = odbc::Error{"the pool's row cannot be read", "", false, false, false};
      return false;
    }
    return true;
  }

  // Records the unit as seen carrying value `index`.
  bool Seen(int64_t index, const UnitRecord& r, odbc::Error* e) {
    const std::string key = Fit(UnitKey(r), 1000);
    if (key.empty()) return true;
    Rows rows;
    if (!db_.Execute("SELECT idx FROM zemb_seen WHERE idx = ? AND unit = ?",
                     {Value::Int(index), Value::Str(key)}, &rows, nullptr, e)) {
      return false;
    }
    if (!rows.empty()) return true;
    return db_.Execute(
        "INSERT INTO zemb_seen (idx, unit, device_path, first_seen) VALUES (?, ?, ?, ?)",
        {Value::Int(index), Value::Str(key), Value::Str(Fit(r.devicePath, 1000)),
         Value::Str(UtcNow())},
        e);
  }

  static std::string Describe(const PoolRange& r) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "%02X-%02X-%02X-%02X-%02X-%02X",
                  static_cast<unsigned>(r.macFrom >> 40 & 0xFF),
                  static_cast<unsigned>(r.macFrom >> 32 & 0xFF),
                  static_cast<unsigned>(r.macFrom >> 24 & 0xFF),
                  static_cast<unsigned>(r.macFrom >> 16 & 0xFF),
                  static_cast<unsigned>(r.macFrom >> 8 & 0xFF),
                  static_cast<unsigned>(r.macFrom & 0xFF));
    return "serial from " + r.serialFrom + ", MAC from " + mac + ", " + std::to_string(r.count) +
           " units";
  }

  static bool Refuse(PoolErrorKind kind, const std::string& text, PoolError* error) {
    error->kind = kind;
    error->text = MaskSecrets(text);
    return false;
  }

  bool Damaged(const std::string& why, PoolError* error) {
    return Refuse(PoolErrorKind::Damaged,
                  Name() + " does not hold a zemb pool as it should: " + why, error);
  }

  bool Fail(const odbc::Error& e, PoolError* error) {
    if (e.lost) db_.Close();
    if (e.duplicate) {
      return Damaged("a value is there twice (" + e.text + ")", error);
    }
    return Refuse(PoolErrorKind::Unreachable,
                  std::string(e.lost ? "lost the connection to " : "") +
                      (e.lost ? Name() : Name() + " refused the request") + ": " + e.text,
                  error);
  }

  std::string connection_;
  std::string target_;
  odbc::Connection db_;
  PoolRange range_;
  bool open_ = false;
};

}  // namespace

std::unique_ptr<PoolStore> MakeOdbcPool(const std::string& connectionString, PoolError* error) {
  if (connectionString.find('=') == std::string::npos) {
    error->kind = PoolErrorKind::Invalid;
    error->text = "odbc:" + MaskSecrets(connectionString) +
                  " is not an ODBC connection string (DSN=NAME, or DRIVER={...};SERVER=...;...)";
    return nullptr;
  }
  return std::make_unique<OdbcPool>(connectionString);
}

}  // namespace zemb
