#!/usr/bin/env bash
# The sweep script on a small grid with the test plug-in: every point runs
# in its own process and lands in the CSV and the maps; a bad sweep file is
# refused with its line.
set -uo pipefail
sweep=$1 build=$2
fail() { echo "FAIL: $*"; exit 1; }
cd "${ISOLATED_WORKDIR:-$(mktemp -d)}"

cat > small.sweep <<'S'
name  small
plugin test-spring
vary K  stiffness_N_per_m 1000 4000
vary F  push_N            10
vary KW wall_N_per_m      20000 80000
scenario
duration 1
at 0   wall 0.87 0 0.509936 0 0 1 ${KW}
at 0   start stiffness ${K} ${K} ${K} 100 100 100 force 0 0 0 0 0 0 time 0.1
at 0.2 wrench 0 0 -${F} 0 0 0
at 0.9 stop
S
/usr/bin/python3 "$sweep" --version | grep -q "^sweep.py [0-9]" || fail "--version"
/usr/bin/python3 "$sweep" --build "$build" --out out --jobs 2 small.sweep > run.out 2>&1 \
  || fail "sweep failed: $(cat run.out)"
[ "$(wc -l < out/small.csv)" -eq 5 ] || fail "expected 4 rows: $(cat out/small.csv)"
head -1 out/small.csv | grep -q '^stiffness_N_per_m,push_N,wall_N_per_m,exit_status,impact_peak_ratio' \
  || fail "CSV header: $(head -1 out/small.csv)"
# The softer spring sinks deeper into the softer wall.
/usr/bin/python3 - out/small.csv <<'PY' || fail "CSV contents: $(cat out/small.csv)"
import csv, sys
rows = {(r["stiffness_N_per_m"], r["wall_N_per_m"]): r for r in csv.DictReader(open(sys.argv[1]))}
depth = {k: float(r["max_penetration_mm"]) for k, r in rows.items()}
assert depth[("1000.0", "20000.0")] > depth[("4000.0", "80000.0")] > 0, depth
assert all(r["exit_status"] == "0" for r in rows.values()), rows
PY
head -c 8 out/small.png | od -An -c | grep -q "P   N   G" || fail "no PNG map"

sed 's/^vary KW.*//' small.sweep > two.sweep
/usr/bin/python3 "$sweep" --build "$build" --out out two.sweep > two.out 2>&1; [ $? -eq 1 ] \
  || fail "a sweep with two variables must fail"
grep -q "exactly three 'vary' lines" two.out || fail "message: $(cat two.out)"
echo ok
