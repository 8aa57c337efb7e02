#!/usr/bin/env bash
# Runs COMMAND... beside a PostgreSQL server of its own:
#   with_postgres.sh COMMAND [ARGS...]
# A cluster made with initdb in a temporary folder, run with pg_ctl (as the
# postgres user when this runs as root: the server refuses root) on a free
# port of 127.0.0.1, with a role that logs in with a password and a
# database it owns. The server is stopped and its folder removed when
# COMMAND ends, pass or fail. Exit 77 (skipped) with one line saying why
# where PostgreSQL or its ODBC driver is not installed.
#
# COMMAND sees:
#   ZEMB_PG_CONN      an ODBC connection string for the database (DRIVER={...})
#   ZEMB_PG_SERVER    127.0.0.1;  ZEMB_PG_PORT  the port
#   ZEMB_PG_USER ZEMB_PG_PASSWORD ZEMB_PG_DATABASE
#   ZEMB_PG_DRIVER    the ODBC driver's name;  ZEMB_PG_DRIVER_PATH  its .so
#   ZEMB_PG_CTL       a command: "$ZEMB_PG_CTL stop|start" stops or starts the server
#   ZEMB_PG_SQL       a command: "$ZEMB_PG_SQL 'SQL'" runs SQL as the database's owner
#                     (unaligned, tuples only)
#   ODBCSYSINI        a folder whose odbcinst.ini registers the driver and
#                     whose odbc.ini defines the data source "zemb", so the
#                     connection strings need nothing in /etc
set -uo pipefail
# Tests run the server without fsync (nothing there outlives the test);
# ZEMB_PG_FSYNC=on keeps it, for figures a real server would give.
fsync=${ZEMB_PG_FSYNC:-off}

skip() {
  echo "SKIPPED: $*"
  exit 77
}

[ $# -ge 1 ] || { echo "usage: with_postgres.sh COMMAND [ARGS...]" >&2; exit 2; }

bin=""
for d in $(ls -d /usr/lib/postgresql/*/bin 2> /dev/null | sort -V -r); do
  if [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && [ -x "$d/postgres" ]; then
    bin=$d
    break
  fi
done
[ -n "$bin" ] || skip "PostgreSQL is not installed (Debian: apt-get install postgresql)"
psql=$(command -v psql || echo "$bin/psql")
[ -x "$psql" ] || skip "psql is not installed (Debian: apt-get install postgresql-client)"

driver_path=""
if command -v dpkg > /dev/null; then
  driver_path=$(dpkg -L odbc-postgresql 2> /dev/null | grep '/psqlodbcw\.so$' | head -1)
fi
if [ -z "$driver_path" ]; then
  driver_path=$(ls /usr/lib/*/odbc/psqlodbcw.so /usr/lib/odbc/psqlodbcw.so \
                   /usr/lib64/psqlodbcw.so 2> /dev/null | head -1)
fi
[ -n "$driver_path" ] && [ -f "$driver_path" ] ||
  skip "PostgreSQL's ODBC driver is not installed (Debian: apt-get install odbc-postgresql)"
ldconfig -p 2> /dev/null | grep -q 'libodbc\.so\.2' ||
  [ -e /usr/lib/x86_64-linux-gnu/libodbc.so.2 ] ||
  skip "unixODBC is not installed (Debian: apt-get install unixodbc-dev)"

as_server=()
if [ "$(id -u)" -eq 0 ]; then
  getent passwd postgres > /dev/null ||
    skip "there is no postgres user to run the server as (it comes with Debian's postgresql)"
  as_server=(runuser -u postgres --)
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/zemb-pg.XXXXXX")
data=$dir/data
log=$dir/server.log
cleanup() {
  local status=$?
  if [ -f "$data/postmaster.pid" ]; then
    "${as_server[@]}" "$bin/pg_ctl" -D "$data" -m immediate -w stop > /dev/null 2>&1
  fi
  rm -rf "$dir"
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

chmod 0755 "$dir"
[ ${#as_server[@]} -eq 0 ] || chown postgres "$dir"

free_port() {
  python3 - << 'EOF'
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])
s.close()
EOF
}

user=station
password="st-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
database=zemb
superpw=$dir/superpw
echo "su-$RANDOM$RANDOM" > "$superpw"
[ ${#as_server[@]} -eq 0 ] || chown postgres "$superpw"

if ! "${as_server[@]}" "$bin/initdb" -D "$data" -U postgres --auth-local=trust \
       --auth-host=scram-sha-256 --pwfile="$superpw" -E UTF8 --no-instructions \
       > "$dir/initdb.log" 2>&1; then
  cat "$dir/initdb.log" >&2
  echo "with_postgres.sh: initdb failed" >&2
  exit 1
fi

# A port another process takes between choosing and binding it: try again.
port=""
for attempt in 1 2 3 4 5; do
  p=$(free_port)
  if "${as_server[@]}" "$bin/pg_ctl" -D "$data" -l "$log" -w -t 60 \
       -o "-p $p -c listen_addresses=127.0.0.1 -c unix_socket_directories=$dir -c fsync=$fsync" \
       start > /dev/null 2>&1; then
    port=$p
    break
  fi
done
if [ -z "$port" ]; then
  cat "$log" >&2
  echo "with_postgres.sh: the server would not start" >&2
  exit 1
fi

admin() { "${as_server[@]}" "$psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres "$@"; }
admin -d postgres -c "CREATE ROLE $user LOGIN PASSWORD '$password'" &&
  admin -d postgres -c "CREATE DATABASE $database OWNER $user" || {
  echo "with_postgres.sh: cannot create the role and the database" >&2
  exit 1
}

# The driver registered under the name Windows' psqlODBC uses too, and a
# data source, in a folder of our own: nothing in /etc is read or changed.
odbc=$dir/odbc
mkdir -p "$odbc"
driver="PostgreSQL Unicode"
cat > "$odbc/odbcinst.ini" << EOF
[$driver]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$driver_path
EOF
cat > "$odbc/odbc.ini" << EOF
[zemb]
Driver=$driver
Servername=127.0.0.1
Port=$port
Database=$database
EOF
export ODBCSYSINI=$odbc ODBCINSTINI=odbcinst.ini ODBCINI=$odbc/odbc.ini

# Helpers for the tests: stop and start the server, run SQL as the owner.
cat > "$dir/pgctl" << EOF
#!/bin/sh
case "\$1" in
  stop) exec ${as_server[*]} "$bin/pg_ctl" -D "$data" -m fast -w stop ;;
  start) exec ${as_server[*]} "$bin/pg_ctl" -D "$data" -l "$log" -w -t 60 \\
           -o "-p $port -c listen_addresses=127.0.0.1 -c unix_socket_directories=$dir -c fsync=$fsync" start ;;
  *) echo "usage: \$0 stop|start" >&2; exit 2 ;;
esac
EOF
cat > "$dir/pgsql" << EOF
#!/bin/sh
PGPASSWORD='$password' exec "$psql" -X -q -A -t -v ON_ERROR_STOP=1 -h 127.0.0.1 -p $port \\
  -U $user -d $database -c "\$1"
EOF
chmod 0755 "$dir/pgctl" "$dir/pgsql"

export ZEMB_PG_SERVER=127.0.0.1 ZEMB_PG_PORT=$port ZEMB_PG_USER=$user
export ZEMB_PG_PASSWORD=$password ZEMB_PG_DATABASE=$database
export ZEMB_PG_DRIVER=$driver ZEMB_PG_DRIVER_PATH=$driver_path
export ZEMB_PG_CONN="DRIVER={$driver};SERVER=127.0.0.1;PORT=$port;DATABASE=$database;UID=$user;PWD=$password"
export ZEMB_PG_CTL=$dir/pgctl ZEMB_PG_SQL=$dir/pgsql

"$@"
