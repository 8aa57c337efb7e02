// The pool in a SQL database, reached through ODBC (odbc32 on Windows,
// unixODBC elsewhere): the one module of zemb that speaks SQL.
#pragma once

#include <memory>
#include <string>

#include "zemb/pool/pool.h"

namespace zemb {

// The store for `connectionString` (what follows "odbc:" in --pool, for
// example "DRIVER={PostgreSQL Unicode};SERVER=db.line;DATABASE=zemb;UID=station;PWD=...").
// Nothing is connected until Init or Open. Null with *error set when the
// build has no ODBC or the string cannot be one; the error names what is
// wrong and never holds the password (MaskSecrets).
std::unique_ptr<PoolStore> MakeOdbcPool(const std::string& connectionString, PoolError* error);

}  // namespace zemb
