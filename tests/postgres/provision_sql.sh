#!/usr/bin/env bash
# zemb's provisioning on a pool in PostgreSQL, the real program over
# simulated units (run under with_postgres.sh):
#   provision_sql.sh ZEMB ZEMBSIM
# The pool's paths (commit, a value released when the unit proves it never
# got it, a failed value held, a unit keeping its own value, a pool used
# up, init twice, status, export), connection strings that cannot work,
# the database going away between reserve and commit (the spool and
# `pool sync`), and kill -9 of runs at many points.
set -u
export ZEMB=${1:?usage: provision_sql.sh ZEMB ZEMBSIM}
export ZEMBSIM=${2:?usage: provision_sql.sh ZEMB ZEMBSIM}
[ -n "${ZEMB_PG_CONN:-}" ] || { echo "provision_sql.sh: run it under with_postgres.sh" >&2; exit 2; }
. "$(dirname "$0")/sql_lib.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-sql.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
make_inputs "$work"
prov=(provision ../image.bin --config ../spi.cfg --pool "$pool")

# --- init ----------------------------------------------------------------
drop_pool
run_zemb . pool init --pool "$pool" "${range[@]}" --count 4
check "init makes the pool (exit $rc: $out)" [ "$rc" -eq 0 ]
run_zemb . pool init --pool "$pool" "${range[@]}" --count 4
check "a second init with the same values is a no-op (exit $rc: $out)" [ "$rc" -eq 0 ]
run_zemb . pool init --pool "$pool" "${range[@]}" --count 5
check "init with other values is refused (exit $rc)" [ "$rc" -eq 2 ]
case $out in *"already holds another pool"*) pass ;; *) fail "init with other values names the pool there" "$out" ;; esac
check "the password is never shown" [ "${out/$ZEMB_PG_PASSWORD/}" = "$out" ]

# --- commit, keep, release, hold, used up ---------------------------------
plug a
run_zemb a "${prov[@]}"
check "a unit is provisioned (exit $rc: $out)" [ "$rc" -eq 0 ]
check "unit a carries value 0 ($(misc_of a))" \
  [ "$(misc_of a)" = "20000130041499 02-00-5E-00-00-FE 02-00-5E-00-00-FF" ]
row=$(sql "SELECT state, station <> '', readback_sha256 <> '', start_time <> '', end_time <> '' FROM zemb_unit WHERE serial = '20000130041499'")
check "its row is committed with station, read-back digest and times ($row)" [ "$row" = "committed|t|t|t|t" ]

run_zemb a "${prov[@]}"
check "provisioned again, the unit keeps its value (exit $rc: $out)" \
  [ "$rc" -eq 0 -a "$(misc_of a)" = "20000130041499 02-00-5E-00-00-FE 02-00-5E-00-00-FF" ]
check "and nothing new is handed out" [ "$(sql 'SELECT next_index FROM zemb_pool')" = 1 ]

# b: the first ROM write is corrupted, so the image never reaches the misc
# record; the unit reads back erased there, and the value goes back.
plug b
(cd b && "$ZEMBSIM" fault corrupt 1 > /dev/null)
run_zemb b "${prov[@]}"
check "a failed write exits 1 (exit $rc: $out)" [ "$rc" -eq 1 ]
check "value 1 is released ($(sql "SELECT state FROM zemb_unit WHERE idx = 1"))" \
  [ "$(sql "SELECT state FROM zemb_unit WHERE idx = 1")" = released ]
plug c
run_zemb c "${prov[@]}"
check "the next unit gets the released value (exit $rc, $(misc_of c))" \
  [ "$rc" -eq 0 -a "$(misc_of c)" = "20000130041500 02-00-5E-00-01-00 02-00-5E-00-01-01" ]

# d: the write fails after the misc record reached the unit (the first
# page of the sector after the record's is corrupted): it holds the value,
# which stays failed.
plug d
(cd d && "$ZEMBSIM" fault corrupt $((12 * 16 + 1)) > /dev/null)
run_zemb d "${prov[@]}"
check "a write that fails after the record exits 1 (exit $rc: $out)" [ "$rc" -eq 1 ]
state=$(sql "SELECT state || '|' || (reason <> '') FROM zemb_unit WHERE idx = 2")
check "value 2 is held as failed, with its reason ($state)" [ "$state" = "failed|true" ]

plug e
run_zemb e "${prov[@]}"
check "unit e gets value 3 (exit $rc: $out)" [ "$rc" -eq 0 ]
run_zemb d "${prov[@]}"
check "the held unit, run again, keeps the value it carries (exit $rc: $out)" \
  [ "$rc" -eq 0 -a "$(misc_of d)" = "20000130041501 02-00-5E-00-01-02 02-00-5E-00-01-03" ]
plug f
before=$(rom_sum f)
run_zemb f "${prov[@]}"
check "a used-up pool stops with exit 2 (exit $rc: $out)" [ "$rc" -eq 2 ]
check "and nothing is written to the unit" [ "$(rom_sum f)" = "$before" ]

# --- status and export ----------------------------------------------------
run_zemb . pool status --pool "$pool" --json
check "status answers (exit $rc: $out)" [ "$rc" -eq 0 ]
check "status never shows the password" [ "${out/$ZEMB_PG_PASSWORD/}" = "$out" ]
counts=$(python3 -c '
import json, sys
s = json.loads(sys.argv[1])
print(s["committed"], s["reserved"], s["failed"], s["left"])' "$out" 2> /dev/null)
check "status counts 4 committed, 0 reserved, 0 failed, 0 left ($counts)" [ "$counts" = "4 0 0 0" ]
run_zemb . pool export --pool "$pool" units.csv
check "export answers (exit $rc: $out)" [ "$rc" -eq 0 ]
check "the export never holds the password" lacks "$ZEMB_PG_PASSWORD" units.csv
exported=$(python3 -c '
import csv, sys
for r in csv.DictReader(open(sys.argv[1])):
    if r["result"] == "committed":
        print(r["serial"], r["mac_p"], r["mac_s"])' units.csv | sort)
held=$(for u in a c d e; do misc_of $u; done | sort)
check "the export's committed rows are what the units carry" [ "$exported" = "$held" ]

# --- connection strings that cannot work ------------------------------------
plug g
before=$(rom_sum g)
server="SERVER=127.0.0.1;PORT=$ZEMB_PG_PORT"
while IFS='|' read -r what conn says; do
  run_zemb g provision ../image.bin --config ../spi.cfg --pool "odbc:$conn"
  check "$what: exit 2 (exit $rc: $out)" [ "$rc" -eq 2 ]
  case $out in *"$says"*) pass ;; *) fail "$what: the message names it ($says)" "$out" ;; esac
  check "$what: the password is never shown" [ "${out/$ZEMB_PG_PASSWORD/}" = "$out" ]
  check "$what: nothing is written to the unit" [ "$(rom_sum g)" = "$before" ]
done << EOF
a wrong password|DRIVER={PostgreSQL Unicode};$server;DATABASE=zemb;UID=station;PWD=${ZEMB_PG_PASSWORD}x|password authentication failed for user "station"
a database that does not exist|DRIVER={PostgreSQL Unicode};$server;DATABASE=nosuch;UID=station;PWD=$ZEMB_PG_PASSWORD|database "nosuch" does not exist
a driver that is not installed|DRIVER={Zemb Missing Driver};$server;DATABASE=zemb;UID=station;PWD=$ZEMB_PG_PASSWORD|the ODBC driver Zemb Missing Driver is not installed
a server that is not there|DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=1;DATABASE=zemb;UID=station;PWD=$ZEMB_PG_PASSWORD|cannot reach the database SERVER=127.0.0.1;PORT=1;DATABASE=zemb
EOF

# --- the database stopped between reserve and commit -------------------------
# A 256 KiB unit takes seconds to write in real time: once its value is
# reserved the run is stopped (SIGSTOP) while the database is shut down,
# then let go; its commit cannot land and goes to the spool.
drop_pool
run_zemb . pool init --pool "$pool" "${range[@]}" --count 10
mkdir -p big
printf 'ROM_TYPE SPI\nROM_NAME W25Q80\nROM_VENDOR Winbond\nROM_SIZE 262144\nPAGE_SIZE 256\nADDRESS_SIZE 3\n' > big/spi.cfg
head -c 262144 /dev/urandom > big/image.bin
size=262144 plug big
(cd big && exec "$ZEMB" provision image.bin --config spi.cfg --pool "$pool" --station spooler > run.txt 2>&1) &
pid=$!
reserved=""
for _ in $(seq 1 400); do
  reserved=$(sql "SELECT state FROM zemb_unit WHERE station = 'spooler'")
  [ -n "$reserved" ] && break
  sleep 0.02
done
kill -STOP $pid
reserved=$(sql "SELECT state FROM zemb_unit WHERE station = 'spooler'")
"$ZEMB_PG_CTL" stop > /dev/null
kill -CONT $pid
wait $pid
rc=$?
check "the run was caught between reserve and commit ($reserved)" [ "$reserved" = reserved ]
check "a commit the database cannot take exits 1 (exit $rc: $(cat big/run.txt))" [ "$rc" -eq 1 ]
spooled=$(grep -c "20000130041499" big/zemb-pool-spool.csv 2> /dev/null)
check "the unit's record is in the spool ($spooled)" [ "$spooled" = 1 ]
check "the spool never holds the password" lacks "$ZEMB_PG_PASSWORD" big/zemb-pool-spool.csv
run_zemb big pool sync --pool "$pool"
check "sync while the database is down keeps the record (exit $rc: $out)" \
  [ "$rc" -ne 0 -a "$(grep -c 20000130041499 big/zemb-pool-spool.csv)" = 1 ]
"$ZEMB_PG_CTL" start > /dev/null
run_zemb big pool sync --pool "$pool"
check "sync pushes it once the database is back (exit $rc: $out)" [ "$rc" -eq 0 ]
row=$(sql "SELECT state, station, serial FROM zemb_unit")
check "the database has it committed ($row)" [ "$row" = "committed|spooler|20000130041499" ]
check "and the spool no longer holds it" lacks 20000130041499 big/zemb-pool-spool.csv
before=$(sql "SELECT * FROM zemb_unit")
run_zemb big pool sync --pool "$pool"
check "a second sync adds nothing (exit $rc)" [ "$rc" -eq 0 -a "$(sql "SELECT * FROM zemb_unit")" = "$before" ]
check "the unit carries what the database says" \
  [ "$(misc_of big)" = "20000130041499 02-00-5E-00-00-FE 02-00-5E-00-00-FF" ]

# --- kill -9 at every step --------------------------------------------------
# Runs killed at each step of reserve (in the store's transaction and after
# it), write (every sector), read-back and commit (the store's transaction
# and after it), on fresh units and on units that carry their value, with
# a failing write, and at random moments. After each: the database opens,
# and the unit's value, when it holds one, is on record as reserved or
# committed. Then every unit is provisioned to the end: no value on two
# units, each committed once.
drop_pool
run_zemb . pool init --pool "$pool" --serial-from 40000000000000 --mac-from 02-BB-00-00-00-00 --count 1000
steps=(sql.reserve.locked sql.reserve.written sql.reserve.committed)
for n in $(seq 1 16); do steps+=("write.sector#$n"); done
steps+=(readback commit sql.finish.written sql.finish.committed)
points=()
for own in 0 1; do for st in "${steps[@]}"; do points+=("$st $own 0"); done; done
for st in sql.reserve.written sql.reserve.committed write.sector#1 readback sql.finish.written \
          sql.finish.committed; do
  points+=("$st 0 1")
done
for i in $(seq 1 8); do points+=("random:$(( (i * 53) % 400 )) $((i % 3 == 0)) 0"); done
check "at least 50 kill points (${#points[@]})" [ "${#points[@]}" -ge 50 ]

carried() {  # folder: the serial number the unit carries, or ""
  local m
  m=$(misc_of "$1")
  [ "$m" = erased ] || echo "${m%% *}"
}
i=0
for p in "${points[@]}"; do
  read -r at own failing <<< "$p"
  u=$(printf 'k%02d' $i)
  i=$((i + 1))
  plug "$u"
  what="$u ($at, own value $own, failing write $failing)"
  if [ "$own" = 1 ]; then run_zemb "$u" "${prov[@]}"; fi
  if [ "$failing" = 1 ]; then (cd "$u" && "$ZEMBSIM" fault corrupt 3 > /dev/null); fi
  if [ "${at#random:}" != "$at" ]; then
    (cd "$u" && exec "$ZEMB" "${prov[@]}" > run.txt 2>&1) &
    kpid=$!
    sleep "$(printf '0.%03d' "${at#random:}")"
    kill -9 $kpid 2> /dev/null
    wait $kpid
  else
    (cd "$u" && ZEMB_KILL_AT=$at exec "$ZEMB" "${prov[@]}" > run.txt 2>&1)
    rc=$?
    check "$what: killed there (exit $rc: $(cat "$u/run.txt"))" [ "$rc" -eq 137 ]
  fi
  run_zemb . pool status --pool "$pool"
  check "$what: the pool opens (exit $rc: $out)" [ "$rc" -eq 0 ]
  serial=$(carried "$u")
  if [ -n "$serial" ]; then
    state=$(sql "SELECT state FROM zemb_unit WHERE serial = '$serial'")
    check "$what: $serial is on record as reserved or committed ($state)" \
      [ "$state" = reserved -o "$state" = committed ]
  fi
done
all=""
for j in $(seq 0 $((i - 1))); do
  u=$(printf 'k%02d' $j)
  (cd "$u" && "$ZEMBSIM" fault clear > /dev/null)
  run_zemb "$u" "${prov[@]}"
  check "$u provisioned to the end (exit $rc: $out)" [ "$rc" -eq 0 ]
  all+="$(carried "$u")"$'\n'
done
dups=$(echo -n "$all" | sort | uniq -d)
check "no value is on two units ($dups)" [ -z "$dups" ]
committed=$(sql "SELECT COUNT(*) FROM zemb_unit WHERE state = 'committed'")
check "every unit's value is committed ($committed of $i)" [ "$committed" -eq "$i" ]
run_zemb . pool status --pool "$pool"
case $out in *"more than one unit"*) fail "no value is seen on two units" "$out" ;; *) pass ;; esac

finish
