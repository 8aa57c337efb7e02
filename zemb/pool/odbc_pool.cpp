// Until the SQL store is built, an "odbc:" pool is refused before anything
// is touched.
#include "zemb/pool/odbc_pool.h"

namespace zemb {

std::unique_ptr<PoolStore> MakeOdbcPool(const std::string& connectionString, PoolError* error) {
  error->kind = PoolErrorKind::Unreachable;
  error->text = "this zemb cannot reach a database pool (odbc:" + MaskSecrets(connectionString) +
                "); give a local pool file instead";
  return nullptr;
}

}  // namespace zemb
