#!/usr/bin/env bash
# control-host-sim as a person runs it: help, usage errors, a bad scenario,
# a bad plug-in, and a full run with its log, plot and summary.
set -uo pipefail
sim=$1 plugin=$2 scenarios=$3
fail() { echo "FAIL: $*"; exit 1; }
cd "${ISOLATED_WORKDIR:-$(mktemp -d)}"

"$sim" --help > help.out || fail "--help exited non-zero"
grep -q -- "--scenario FILE" help.out || fail "--help does not describe --scenario"

"$sim" --bogus > /dev/null 2> usage.err; [ $? -eq 2 ] || fail "unknown option must exit 2"
grep -q "unknown argument '--bogus'" usage.err || fail "no usage message"
[ "$(wc -l < usage.err)" -eq 2 ] && grep -q "Try 'control-host-sim --help'" usage.err \
  || fail "a usage error prints more than the error and a pointer to --help: $(cat usage.err)"
"$sim" --plugin "$plugin" > /dev/null 2>&1; [ $? -eq 2 ] || fail "missing scenario must exit 2"
"$sim" --scenario "$scenarios/push.txt" --log-every 0 > /dev/null 2>&1; [ $? -eq 2 ] || fail "bad --log-every must exit 2"

printf 'duration 1\nat 0.5 launch rockets\n' > bad.txt
"$sim" --scenario bad.txt --plugin "$plugin" > /dev/null 2> bad.err; [ $? -eq 1 ] || fail "bad scenario must exit 1"
grep -q "bad.txt:2: unknown command 'launch'" bad.err || fail "bad scenario message: $(cat bad.err)"

"$sim" --scenario "$scenarios/push.txt" --plugin ./missing.so > /dev/null 2> missing.err
[ $? -eq 1 ] || fail "missing plug-in must exit 1"
grep -q "cannot load the plug-in" missing.err || fail "missing plug-in message"

"$sim" --scenario "$scenarios/push.txt" --plugin "$plugin" --out . --name run --log-every 10 > run.out \
  || fail "run failed: $(cat run.out)"
grep -q "summary: 4000 cycles" run.out || fail "summary missing: $(cat run.out)"
grep -q "start stiffness .* -> 0" run.out || fail "start result missing"
[ -s run.csv ] || fail "no CSV log"
head -1 run.csv | grep -q "^t,servo,space" || fail "CSV header"
rows=$(($(wc -l < run.csv) - 1)); [ "$rows" -eq 401 ] || fail "expected 401 rows, got $rows"
[ -s run.png ] || fail "no plot"
head -c 8 run.png | od -An -c | grep -q "P   N   G" || fail "plot is not a PNG"
/usr/bin/python3 -c 'import json, sys; m = json.load(open("run.metrics.json"))
assert m["max_penetration_mm"] is None and m["nonfinite_setpoints"] == 0, m
assert m["settling_time_s"] > 0 and m["stable"] is True, m' || fail "metrics: $(cat run.metrics.json)"
grep -q "metrics: peak force" run.out || fail "no metrics in the summary"

# A short plug-in name, an output folder that does not exist yet, a refused
# command that says why, and the CSV's sensed-wrench, set-point and surface.
printf 'duration 0.3\nat 0 start stiffness 2000 2000 2000 100 100 100 force 0 0 0 0 0 0 time 0.1\nat 0.1 stop refuse\n' > refuse.txt
"$sim" --scenario refuse.txt --plugin test-spring --out new/out --no-plots > refuse.out 2>&1 \
  || fail "short name or new folder: $(cat refuse.out)"
grep -q "stop refuse .* -> -1 (refused: the stop record asks to keep control)" refuse.out \
  || fail "refusal without a reason: $(cat refuse.out)"
head -1 new/out/refuse.csv | grep -q ",sensed_Fz,.*,setpoint_dz,.*,surface_d$" || fail "CSV columns"
grep -q "^0.1000,stop,-1," new/out/refuse.events.csv || fail "events log: $(cat new/out/refuse.events.csv)"

"$sim" --scenario "$scenarios/long_tool.txt" --plugin "$plugin" --no-plots --quiet > tool.out \
  || fail "long_tool run failed"
[ ! -e long_tool.png ] || fail "--no-plots wrote a plot"
grep -q "module errors: 1" tool.out || fail "tool-length error not counted: $(cat tool.out)"
"$sim" --version | grep -Eq "^control-host-sim [0-9]" || fail "--version"
"$sim" --scenario "$scenarios/push.txt" --plant bullet > /dev/null 2>&1; [ $? -eq 2 ] || fail "unknown plant must exit 2"
printf 'plant mujoco\nduration 0.5\nat 0 start stiffness 2000 2000 2000 100 100 100 force 0 0 0 0 0 0 time 0.1\n' > mj.txt
"$sim" --scenario mj.txt --plugin "$plugin" --no-plots > mj.out || fail "MuJoCo run failed: $(cat mj.out)"
grep -q "500 cycles.*mujoco plant" mj.out || fail "plant line ignored: $(cat mj.out)"
"$sim" --scenario mj.txt --plugin "$plugin" --no-plots --plant kdl > kdl.out || fail "kdl run failed"
grep -q "kdl plant" kdl.out || fail "--plant does not override the scenario: $(cat kdl.out)"
echo "ok"
