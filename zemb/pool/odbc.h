// The one place zemb talks to a database: a connection over the ODBC API
// (the system's odbc32 on Windows, unixODBC elsewhere), parameterised
// statements, explicit transactions, and the driver's own words when
// something fails. Nothing above this file sees an ODBC handle, and nothing
// above the SQL pool store sees SQL.
//
// A password never leaves this module: every text it hands out (errors,
// the connection's name) has the PWD value masked, including where a
// driver echoes it back in a diagnostic.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zemb::odbc {

// Why a call failed, in the driver's words.
struct Error {
  std::string text;      // one line: the driver's diagnostics, password masked
  std::string sqlstate;  // of the first diagnostic record ("" when there was none)
  // The connection is gone (SQLSTATE class 08, a server shut down under us):
  // what was sent in the open transaction may or may not have arrived.
  bool lost = false;
  // A serialization failure or deadlock: the transaction was rolled back by
  // the server and may simply be run again.
  bool retryable = false;
  // The database refused the row as a duplicate of a unique key.
  bool duplicate = false;
};

// A statement parameter or a result column: NULL, a 64-bit integer or text.
struct Value {
  enum class Kind { Null, Integer, Text } kind = Kind::Null;
  int64_t integer = 0;
  std::string text;

  static Value Int(int64_t v) { return Value{Kind::Integer, v, {}}; }
  static Value Str(std::string v) { return Value{Kind::Text, 0, std::move(v)}; }
  static Value None() { return Value{}; }
  bool IsNull() const { return kind == Kind::Null; }
};

// Rows of text (NULL columns as std::nullopt).
using Row = std::vector<std::optional<std::string>>;
using Rows = std::vector<Row>;

// The ODBC connection string with every password value replaced by "***".
std::string MaskPassword(const std::string& connection);

// What the connection string says the database is, for messages:
// "SERVER=db.line;PORT=5432;DATABASE=zemb", "DSN=zemb", or the masked
// string when it names neither.
std::string DescribeTarget(const std::string& connection);

// The value of `key` (any letter case) in the connection string, or "".
std::string ValueOf(const std::string& connection, const std::string& key);

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects with an ODBC connection string (without the "odbc:" of the
  // command line). Waits at most `loginSeconds` for the server; each later
  // statement at most `querySeconds`. Autocommit is off: every statement
  // belongs to a transaction that Commit or Rollback ends.
  bool Open(const std::string& connection, int loginSeconds, int querySeconds, Error* error);
  bool IsOpen() const;
  void Close();

  // Runs one statement with `?` placeholders bound to `params` in order,
  // and collects its result set (if any) as text into *rows (may be null).
  // *affected (may be null) receives the row count of an INSERT, UPDATE or
  // DELETE.
  bool Execute(const std::string& sql, const std::vector<Value>& params, Rows* rows,
               int64_t* affected, Error* error);
  bool Execute(const std::string& sql, const std::vector<Value>& params, Error* error) {
    return Execute(sql, params, nullptr, nullptr, error);
  }

  bool Commit(Error* error);
  // Rolls back what the transaction did; quiet on a connection already lost.
  void Rollback();

  // Runs `body` as one transaction and commits it. A serialization failure
  // or deadlock (in the body or at commit) rolls back and runs the body
  // again, a bounded number of times with a short growing pause; any other
  // failure rolls back and returns it. The body returns false with *error
  // set to fail the transaction.
  bool Transaction(const std::function<bool(Error*)>& body, Error* error);

  // The DBMS name the driver reports ("PostgreSQL", ...), for the few
  // settings that have no portable spelling.
  const std::string& DbmsName() const { return dbms_; }

 private:
  bool Fail(int handleType, void* handle, const char* what, Error* error);
  void SetLost(Error* error);

  void* env_ = nullptr;
  void* dbc_ = nullptr;
  int querySeconds_ = 0;
  std::string password_;  // to mask it in what drivers say
  std::string target_;
  std::string dbms_;
};

// The number of times Transaction tries a body that keeps meeting
// serialization failures before it gives up.
constexpr int kTransactionAttempts = 8;

}  // namespace zemb::odbc
