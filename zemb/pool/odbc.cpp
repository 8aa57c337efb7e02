#include "zemb/pool/odbc.h"

#if defined(_WIN32)
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

namespace zemb::odbc {

namespace {

// One key=value pair of a connection string, with where its value stands.
struct Pair {
  std::string key;  // upper case, trimmed
  std::string value;
  size_t valueBegin = 0, valueEnd = 0;
};

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// ODBC's grammar: pairs split by ';', a value in braces may hold ';' and
// writes '}' as "}}".
std::vector<Pair> ParsePairs(const std::string& s) {
  std::vector<Pair> pairs;
  size_t i = 0;
  while (i < s.size()) {
    const size_t eq = s.find('=', i);
    const size_t semi = s.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      if (semi == std::string::npos) break;
      i = semi + 1;
      continue;
    }
    Pair p;
    p.key = Upper(Trim(s.substr(i, eq - i)));
    size_t v = eq + 1;
    while (v < s.size() && s[v] == ' ') ++v;
    p.valueBegin = v;
    if (v < s.size() && s[v] == '{') {
      size_t j = v + 1;
      for (; j < s.size(); ++j) {
        if (s[j] == '}') {
          if (j + 1 < s.size() && s[j + 1] == '}') {
            p.value += '}';
            ++j;
            continue;
          }
          break;
        }
        p.value += s[j];
      }
      p.valueEnd = std::min(j + 1, s.size());
      const size_t next = s.find(';', p.valueEnd);
      i = next == std::string::npos ? s.size() : next + 1;
    } else {
      const size_t end = semi == std::string::npos ? s.size() : semi;
      p.valueEnd = end;
      p.value = Trim(s.substr(v, end - v));
      i = end + 1;
    }
    pairs.push_back(std::move(p));
  }
  return pairs;
}

bool IsPasswordKey(const std::string& key) {
  return key == "PWD" || key == "PASSWORD";
}

std::string Replace(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
    text.replace(at, secret.size(), "***");
  }
  return text;
}

std::string PasswordOf(const std::string& connection) {
  for (const Pair& p : ParsePairs(connection)) {
    if (IsPasswordKey(p.key)) return p.value;
  }
  return {};
}

SQLHENV Env(void* p) {
  return static_cast<SQLHENV>(p);
}
SQLHDBC Dbc(void* p) {
  return static_cast<SQLHDBC>(p);
}

bool Ok(SQLRETURN r) {
  return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO;
}

// Frees a statement handle when the statement is done with, however it ends.
struct Statement {
  SQLHSTMT handle = SQL_NULL_HSTMT;
  ~Statement() {
    if (handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, handle);
  }
};

}  // namespace

std::string MaskPassword(const std::string& connection) {
  std::string out = connection;
  const std::vector<Pair> pairs = ParsePairs(connection);
  // From the end, so earlier offsets stay valid.
  for (auto it = pairs.rbegin(); it != pairs.rend(); ++it) {
    if (IsPasswordKey(it->key)) {
      out.replace(it->valueBegin, it->valueEnd - it->valueBegin, "***");
    }
  }
  return out;
}

std::string ValueOf(const std::string& connection, const std::string& key) {
  const std::string wanted = Upper(key);
  for (const Pair& p : ParsePairs(connection)) {
    if (p.key == wanted) return p.value;
  }
  return {};
}

std::string DescribeTarget(const std::string& connection) {
  std::string out;
  bool named = false;
  for (const Pair& p : ParsePairs(connection)) {
    if (p.key == "DSN" || p.key == "SERVER" || p.key == "SERVERNAME" || p.key == "HOST" ||
        p.key == "PORT" || p.key == "DATABASE") {
      if (!out.empty()) out += ";";
      out += p.key + "=" + p.value;
      named = named || p.key != "PORT";
    }
  }
  return named ? out : MaskPassword(connection);
}

Connection::Connection() = default;

Connection::~Connection() {
  Close();
}

bool Connection::IsOpen() const {
  return dbc_ != nullptr;
}

void Connection::Close() {
  if (dbc_ != nullptr) {
    SQLEndTran(SQL_HANDLE_DBC, Dbc(dbc_), SQL_ROLLBACK);
    SQLDisconnect(Dbc(dbc_));
    SQLFreeHandle(SQL_HANDLE_DBC, Dbc(dbc_));
    dbc_ = nullptr;
  }
  if (env_ != nullptr) {
    SQLFreeHandle(SQL_HANDLE_ENV, Env(env_));
    env_ = nullptr;
  }
}

// Collects every diagnostic record of the handle into *error.
bool Connection::Fail(int handleType, void* handle, const char* what, Error* error) {
  Error e;
  std::string text;
  // Some drivers put what went wrong with the link on the connection rather
  // than on the statement that found it.
  for (SQLSMALLINT i = 1; i <= 8; ++i) {
    SQLCHAR state[8] = {};
    SQLINTEGER native = 0;
    SQLCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    SQLRETURN r = SQLGetDiagRec(static_cast<SQLSMALLINT>(handleType), handle, i, state, &native,
                                message, sizeof message, &length);
    if (!Ok(r) && i == 1 && handleType == SQL_HANDLE_STMT && dbc_ != nullptr) {
      handleType = SQL_HANDLE_DBC;
      handle = dbc_;
      r = SQLGetDiagRec(SQL_HANDLE_DBC, handle, i, state, &native, message, sizeof message,
                        &length);
    }
    if (!Ok(r)) break;
    std::string line(reinterpret_cast<const char*>(message));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
      line.pop_back();
    }
    std::replace(line.begin(), line.end(), '\n', ' ');
    const std::string st(reinterpret_cast<const char*>(state));
    if (e.sqlstate.empty()) e.sqlstate = st;
    if (!text.empty()) text += "; ";
    text += line + " (SQLSTATE " + st + ")";
    if (st == "40001" || st == "40P01") e.retryable = true;
    if (st.rfind("08", 0) == 0 || st == "57P01" || st == "57P02" || st == "57P03") e.lost = true;
    if (st == "23505" || st == "23000") e.duplicate = true;
  }
  SetLost(&e);
  if (text.empty()) {
    // psqlODBC says nothing when the server went away while a longer
    // statement was being sent.
    text = e.lost ? "the server closed the connection (" + std::string(what) +
                        " failed; the driver gave no details)"
                  : std::string(what) + " failed without a diagnostic from the driver";
  }
  e.text = Replace(text, password_);
  *error = std::move(e);
  return false;
}

// Drivers that keep the connection's state know better than the SQLSTATE
// whether the link is still up; ask when it is cheap to.
void Connection::SetLost(Error* error) {
  if (dbc_ == nullptr || error->lost) return;
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (Ok(SQLGetConnectAttr(Dbc(dbc_), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
      dead == SQL_CD_TRUE) {
    error->lost = true;
  }
}

bool Connection::Open(const std::string& connection, int loginSeconds, int querySeconds,
                      Error* error) {
  Close();
  password_ = PasswordOf(connection);
  target_ = DescribeTarget(connection);
  querySeconds_ = querySeconds;
  SQLHENV env = SQL_NULL_HENV;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
    *error = Error{"the ODBC driver manager cannot be loaded", "", false, false, false};
    return false;
  }
  env_ = env;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
    Fail(SQL_HANDLE_ENV, env_, "SQLAllocHandle", error);
    Close();
    return false;
  }
  // Some drivers ignore one of these two; each bounds the wait for a server
  // that does not answer.
  SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginSeconds)), 0);
  SQLSetConnectAttr(dbc, SQL_ATTR_CONNECTION_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(querySeconds)), 0);
  std::vector<SQLCHAR> in(connection.begin(), connection.end());
  in.push_back(0);
  SQLCHAR out[1024] = {};
  SQLSMALLINT outLength = 0;
  const SQLRETURN r = SQLDriverConnect(dbc, nullptr, in.data(), SQL_NTS, out, sizeof out,
                                       &outLength, SQL_DRIVER_NOPROMPT);
  // The completed string may carry the password: it goes nowhere.
  std::memset(out, 0, sizeof out);
  std::fill(in.begin(), in.end(), 0);
  if (!Ok(r)) {
    Fail(SQL_HANDLE_DBC, dbc, "SQLDriverConnect", error);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    Close();
    return false;
  }
  dbc_ = dbc;
  if (!Ok(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_OFF)),
                            0))) {
    Fail(SQL_HANDLE_DBC, dbc_, "SQLSetConnectAttr", error);
    Close();
    return false;
  }
  SQLCHAR name[128] = {};
  SQLSMALLINT nameLength = 0;
  if (Ok(SQLGetInfo(dbc, SQL_DBMS_NAME, name, sizeof name, &nameLength))) {
    dbms_ = reinterpret_cast<const char*>(name);
  }
  if (dbms_ == "PostgreSQL" && querySeconds > 0) {
    // A lock held by a station that stopped answering (not dead, so its
    // connection stays open) would otherwise hold every other station; the
    // server ends such a wait and such an idle transaction itself.
    const std::string ms = std::to_string(querySeconds * 1000);
    if (!Execute("SET statement_timeout = " + ms, {}, error) ||
        !Execute("SET idle_in_transaction_session_timeout = " + ms, {}, error) || !Commit(error)) {
      Close();
      return false;
    }
  }
  return true;
}

bool Connection::Execute(const std::string& sql, const std::vector<Value>& params, Rows* rows,
                         int64_t* affected, Error* error) {
  if (dbc_ == nullptr) {
    *error = Error{"not connected to the database", "08003", true, false, false};
    return false;
  }
  Statement st;
  if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, Dbc(dbc_), &st.handle))) {
    return Fail(SQL_HANDLE_DBC, dbc_, "SQLAllocHandle", error);
  }
  if (querySeconds_ > 0) {
    SQLSetStmtAttr(st.handle, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(querySeconds_)), 0);
  }
  // The bound buffers must stay put until SQLExecDirect is done.
  std::vector<SQLBIGINT> integers(params.size());
  std::vector<SQLLEN> lengths(params.size());
  for (size_t i = 0; i < params.size(); ++i) {
    const Value& p = params[i];
    const SQLUSMALLINT n = static_cast<SQLUSMALLINT>(i + 1);
    SQLRETURN r;
    if (p.kind == Value::Kind::Integer) {
      integers[i] = p.integer;
      lengths[i] = 0;
      r = SQLBindParameter(st.handle, n, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                           &integers[i], 0, &lengths[i]);
    } else if (p.kind == Value::Kind::Text) {
      lengths[i] = static_cast<SQLLEN>(p.text.size());
      r = SQLBindParameter(st.handle, n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                           std::max<SQLULEN>(p.text.size(), 1), 0, const_cast<char*>(p.text.data()),
                           lengths[i], &lengths[i]);
    } else {
      lengths[i] = SQL_NULL_DATA;
      r = SQLBindParameter(st.handle, n, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 0, nullptr, 0,
                           &lengths[i]);
    }
    if (!Ok(r)) return Fail(SQL_HANDLE_STMT, st.handle, "SQLBindParameter", error);
  }
  std::vector<SQLCHAR> text(sql.begin(), sql.end());
  text.push_back(0);
  const SQLRETURN r = SQLExecDirect(st.handle, text.data(), SQL_NTS);
  if (!Ok(r) && r != SQL_NO_DATA) return Fail(SQL_HANDLE_STMT, st.handle, "SQLExecDirect", error);
  if (affected != nullptr) {
    SQLLEN count = 0;
    *affected = r == SQL_NO_DATA ? 0 : (Ok(SQLRowCount(st.handle, &count)) ? count : 0);
  }
  if (rows == nullptr) return true;
  rows->clear();
  SQLSMALLINT columns = 0;
  if (r == SQL_NO_DATA || !Ok(SQLNumResultCols(st.handle, &columns)) || columns == 0) return true;
  for (;;) {
    const SQLRETURN f = SQLFetch(st.handle);
    if (f == SQL_NO_DATA) break;
    if (!Ok(f)) return Fail(SQL_HANDLE_STMT, st.handle, "SQLFetch", error);
    Row row;
    for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
      std::string value;
      bool null = false;
      for (;;) {
        char chunk[512];
        SQLLEN got = 0;
        const SQLRETURN g = SQLGetData(st.handle, c, SQL_C_CHAR, chunk, sizeof chunk, &got);
        if (g == SQL_NO_DATA) break;
        if (!Ok(g)) return Fail(SQL_HANDLE_STMT, st.handle, "SQLGetData", error);
        if (got == SQL_NULL_DATA) {
          null = true;
          break;
        }
        // Truncated: the chunk is full but for its terminator; go on.
        const bool more = g == SQL_SUCCESS_WITH_INFO &&
                          (got == SQL_NO_TOTAL || got >= static_cast<SQLLEN>(sizeof chunk));
        value.append(chunk, more ? sizeof chunk - 1 : std::strlen(chunk));
        if (!more) break;
      }
      row.push_back(null ? std::nullopt : std::optional<std::string>(std::move(value)));
    }
    rows->push_back(std::move(row));
  }
  return true;
}

bool Connection::Commit(Error* error) {
  if (dbc_ == nullptr) {
    *error = Error{"not connected to the database", "08003", true, false, false};
    return false;
  }
  if (!Ok(SQLEndTran(SQL_HANDLE_DBC, Dbc(dbc_), SQL_COMMIT))) {
    return Fail(SQL_HANDLE_DBC, dbc_, "SQLEndTran", error);
  }
  return true;
}

void Connection::Rollback() {
  if (dbc_ != nullptr) SQLEndTran(SQL_HANDLE_DBC, Dbc(dbc_), SQL_ROLLBACK);
}

bool Connection::Transaction(const std::function<bool(Error*)>& body, Error* error) {
  std::minstd_rand jitter(
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 1;; ++attempt) {
    Error e;
    if (body(&e) && Commit(&e)) return true;
    Rollback();
    if (!e.retryable || e.lost || attempt >= kTransactionAttempts) {
      *error = std::move(e);
      return false;
    }
    // Two stations that collided would collide again at once; a random
    // pause lets one of them through first.
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * attempt + jitter() % (10 * attempt)));
  }
}

}  // namespace zemb::odbc
