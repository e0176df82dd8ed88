#!/usr/bin/env bash
# Demo step: the physics plant and the tuning maps. control-host-sim presses
# the admittance tool onto a spring wall on the MuJoCo arm and prints the
# run's metrics; then one tuning map (docs/tuning/) is shown by its figures.
# Arguments: BUILD_DIR OUTPUT_DIR.
set -uo pipefail

. "$(dirname "$0")/lib/common.sh" "$@"
ROOT=$(cd "$HERE/../.." && pwd)
OUT=$OUT/tuning
SIM=$BUILD/bin/control-host-sim
mkdir -p "$OUT"

echo "== Physics plant and tuning maps"
demo_require "$SIM"
status=0

kind=admittance
[ -f "$BUILD/lib/lib$kind-control.so" ] || kind=impedance
if [ ! -f "$BUILD/lib/lib$kind-control.so" ]; then
  echo "   no control plug-in is built"
  exit 1
fi

echo "-- $kind: 20 N press on a 20 kN/m wall, MuJoCo plant"
log=$OUT/${kind}_press_mujoco.out
if "$SIM" --scenario "$ROOT/sim/host/scenarios/${kind}_press.txt" --plant mujoco \
    --plugin "$BUILD/lib/lib$kind-control.so" --out "$OUT" --name "${kind}_press_mujoco" \
    --log-every 2 > "$log" 2>&1; then
  grep -E '^summary|metrics:|max penetration|plot:' "$log" | sed 's/^ */   /'
else
  echo "   FAILED (see $log)"
  tail -5 "$log" | sed 's/^/     /'
  status=1
fi

map=$ROOT/docs/tuning/${kind}_press
echo "-- tuning map: $map.png (make tuning-maps regenerates it; docs/tuning.md reads it)"
if [ -f "$map.csv" ]; then
  /usr/bin/python3 - "$map.csv" <<'PY'
import csv, sys
rows = list(csv.DictReader(open(sys.argv[1])))
keys = list(rows[0].keys())[:3]
def num(v):
    return float(v) if v not in ("", None) else None
stable = [r for r in rows if r["stable"] == "True"]
print(f"   {len(rows)} runs over {', '.join(keys)}; {len(stable)} stable")
for wall in sorted({r[keys[2]] for r in rows}, key=float):
    cells = [r for r in stable if r[keys[2]] == wall and num(r["impact_peak_ratio"]) is not None]
    if not cells:
        print(f"   {keys[2]} {wall}: no stable setting")
        continue
    gentle = [r for r in cells if num(r["impact_peak_ratio"]) <= 1.25]
    if gentle:
        best = min(gentle, key=lambda r: num(r["settling_time_s"]) or 1e9)
        what = "fastest with a first impact within 25 %"
    else:
        best = min(cells, key=lambda r: num(r["impact_peak_ratio"]))
        what = "no setting within 25 %; gentlest"
    print(f"   {keys[2]} {float(wall):g}: {what}: {keys[0]} {float(best[keys[0]]):g},"
          f" {keys[1]} {float(best[keys[1]]):g} ({num(best['impact_peak_ratio']):.2f} x command,"
          f" settles in {best['settling_time_s'] or '-'} s)")
PY
  cp "$map.png" "$OUT/" 2>/dev/null || true
else
  echo "   missing $map.csv"
  status=1
fi
exit $status
