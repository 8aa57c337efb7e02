#!/usr/bin/env bash
# Four stations on one pool in PostgreSQL at once (run under
# with_postgres.sh): two native zemb and two zemb.exe of the Windows x64
# sim build under Wine (whose odbc32 hands the calls to this machine's
# unixODBC, so the Windows program reaches the same server through the same
# driver), each running `provision --all` over 4 simulated units of its
# own. Afterwards 16 distinct serial numbers, 32 distinct MACs, 16 committed
# rows, and the exported CSV says what each unit's misc record holds.
#   four_stations.sh ZEMB ZEMBSIM WINDOWS_X64_SIM_BUILD_DIR
# Exit 77 where Wine or the Windows build is missing.
set -u
export ZEMB=${1:?usage: four_stations.sh ZEMB ZEMBSIM WINDOWS_X64_SIM_BUILD_DIR}
export ZEMBSIM=${2:?usage: four_stations.sh ZEMB ZEMBSIM WINDOWS_X64_SIM_BUILD_DIR}
winbuild=${3:?usage: four_stations.sh ZEMB ZEMBSIM WINDOWS_X64_SIM_BUILD_DIR}
[ -n "${ZEMB_PG_CONN:-}" ] || { echo "four_stations.sh: run it under with_postgres.sh" >&2; exit 2; }
wine=$(command -v wine64 || true)
[ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
[ -n "$wine" ] || { echo "SKIPPED: wine64 is not installed"; exit 77; }
exe=$winbuild/zemb/zemb.exe
[ -f "$exe" ] || { echo "SKIPPED: no zemb/zemb.exe in $winbuild (build the windows-x64-sim preset)"; exit 77; }
. "$(dirname "$0")/sql_lib.sh"

export WINEDEBUG=-all
export WINEPREFIX=${ZEMB_WINEPREFIX:-$winbuild/wineprefix}
work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-sql4.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
make_inputs "$work"
drop_pool
run_zemb . pool init --pool "$pool" "${range[@]}" --count 100
check "init (exit $rc: $out)" [ "$rc" -eq 0 ]

# Wine's first start in a new prefix takes long; not inside the race.
"$wine" cmd /c exit > /dev/null 2>&1

units=(u1 u2 u3 u4)
for s in n1 n2 w1 w2; do plug "$s" "${units[@]}"; done
words=(provision ../image.bin --config ../spi.cfg --all --pool "$pool")
(cd n1 && "$ZEMB" "${words[@]}" --station n1 > out.txt 2>&1; echo $? > rc) &
(cd n2 && "$ZEMB" "${words[@]}" --station n2 > out.txt 2>&1; echo $? > rc) &
(cd w1 && "$wine" "$exe" "${words[@]}" --station w1 > out.txt 2>&1; echo $? > rc) &
(cd w2 && "$wine" "$exe" "${words[@]}" --station w2 > out.txt 2>&1; echo $? > rc) &
wait
for s in n1 n2 w1 w2; do
  check "station $s provisions its 4 units (exit $(cat $s/rc))" [ "$(cat $s/rc)" = 0 ] ||
    cat "$s/out.txt"
done

held=$(for s in n1 n2 w1 w2; do for u in "${units[@]}"; do misc_of "$s" "$u"; done; done | sort)
serials=$(echo "$held" | cut -d' ' -f1 | sort -u | grep -c .)
macs=$(echo "$held" | cut -d' ' -f2,3 | tr ' ' '\n' | sort -u | grep -c .)
check "16 distinct serial numbers ($serials)" [ "$serials" -eq 16 ]
check "32 distinct MACs ($macs)" [ "$macs" -eq 32 ]
check "16 committed rows" [ "$(sql "SELECT COUNT(*) FROM zemb_unit WHERE state = 'committed'")" = 16 ]
for s in n1 n2 w1 w2; do
  check "station $s is named in its 4 rows" [ "$(sql "SELECT COUNT(*) FROM zemb_unit WHERE station = '$s'")" = 4 ]
done

run_zemb . pool export --pool "$pool" units.csv
check "export (exit $rc: $out)" [ "$rc" -eq 0 ]
exported=$(python3 -c '
import csv, sys
for r in csv.DictReader(open(sys.argv[1])):
    print(r["serial"], r["mac_p"], r["mac_s"])' units.csv | sort)
if [ "$exported" = "$held" ]; then pass; else fail "the export is what the units carry" "$exported" "---" "$held"; fi
finish
