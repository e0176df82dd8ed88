#!/usr/bin/env bash
# Runs every impedance scenario through control-host-sim with the real
# plug-in and checks the story each one is meant to tell, from the CSV log.
#   scenarios_test.sh <control-host-sim> <plug-in .so> <scenario folder>
set -euo pipefail
sim=$1 plugin=$2 scenarios=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$sim" --help | grep -q -- "--scenario" || { echo "no --help"; exit 1; }

for name in push press release pause; do
  file="$scenarios/impedance_$name.txt"
  if ! "$sim" --scenario "$file" --plugin "$plugin" --out "$out" --no-plots --quiet \
      >"$out/$name.txt" 2>&1; then
    echo "impedance_$name failed:"; cat "$out/$name.txt"; exit 1
  fi
  grep -q "module errors: 0; refused set-points: 0" "$out/$name.txt" ||
    { echo "impedance_$name:"; cat "$out/$name.txt"; exit 1; }
done

# A force beyond the command limit is refused, and the story says why.
printf 'duration 0.3\nat 0 start stiffness 2000 2000 2000 100 100 100 force 0 0 0 0 0 0 time 0.1\nat 0.1 force dir 0 0 1 0 0 0 value 0 0 600 0 0 0 time 0.1\n' > "$out/limit.scn"
"$sim" --scenario "$out/limit.scn" --plugin "$plugin" --out "$out" --no-plots > "$out/limit.txt" 2>&1
grep -q -- "-> -1 (refused: fz 600 N is beyond the command limit of 500 N)" "$out/limit.txt" ||
  { echo "600 N force refused without its reason:"; cat "$out/limit.txt"; exit 1; }

# Values of one CSV column at given times (nearest row).
/usr/bin/python3 - "$out" <<'PY'
import csv, sys
out = sys.argv[1]

def load(name):
    with open(f"{out}/impedance_{name}.csv") as f:
        return list(csv.DictReader(f))

def at(rows, t, col):
    row = min(rows, key=lambda r: abs(float(r["t"]) - t))
    return float(row[col])

failures = []
def check(what, value, expected, tol):
    ok = abs(value - expected) <= tol
    print(f"{'ok  ' if ok else 'FAIL'} {what}: {value:.6g} (expected {expected:g} +- {tol:g})")
    if not ok:
        failures.append(what)

push = load("push")
check("push: 20 N / 2000 N/m", at(push, 2.45, "dx"), 0.010, 0.0002)
check("push: 20 N / 1000 N/m after the change", at(push, 4.45, "dx"), 0.020, 0.0004)
check("push: back after the push", at(push, 8.8, "dx"), 0.0, 0.0003)

press = load("press")
check("press: wall answers 10 N", at(press, 2.9, "Fz"), 10.0, 0.2)
check("press: wall answers 20 N", at(press, 4.9, "Fz"), 20.0, 0.4)
check("press: released", at(press, 6.8, "Fz"), 0.0, 0.5)

release = load("release")
held = at(release, 4.9, "dz")
check("release: holds where the force ended", at(release, 4.7, "dz"), held, 0.0002)
check("release: far from the target", at(release, 4.9, "target_dz") - held > 0.004, True, 0)
check("release: spring about the held pose", at(release, 6.4, "dz") - held, 10.0 / 2000.0, 0.0002)

pause = load("pause")
check("pause: 10 N / 1000 N/m before", at(pause, 2.9, "dx"), 0.010, 0.0002)
rest = at(pause, 6.9, "dx")
check("pause: held at rest without the push", at(pause, 6.4, "dx"), rest, 0.00005)
check("pause: held short of the target", rest > 0.002, True, 0)
check("resume: saved gains again", at(pause, 13.8, "dx"), 0.010, 0.0002)
# The log shows the stiffness the plug-in holds with while paused.
check("pause: stiffness logged as applied", at(pause, 4.0, "k_x"), 3000.0, 1e-6)
check("resume: stiffness logged as commanded", at(pause, 8.0, "k_x"), 1000.0, 1e-6)

sys.exit(1 if failures else 0)
PY
