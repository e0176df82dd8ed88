#!/usr/bin/env bash
# Demo step: control-host-sim drives the control plug-ins through push,
# press, release and pause scenarios against the simulated arm and writes a
# CSV log and a plot for each, then through the tasks (sliding, slopes, an
# edge, peg in hole, a large arm) on the MuJoCo plant; each run prints its
# headline metrics and, where the scenario states expectations, a verdict
# that fails the step when one is not met. Then the start checks refuse a
# singular posture and an over-long tool.
set -uo pipefail
BUILD=$1
OUT=$2/control
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
SCENARIOS=$ROOT/sim/host/scenarios
SIM=$BUILD/bin/control-host-sim
mkdir -p "$OUT"

echo "== control plug-ins in the simulated host"
if [ ! -x "$SIM" ]; then
  echo "control: $SIM is not built"
  exit 1
fi

plugins=()
for kind in admittance impedance; do
  [ -f "$BUILD/lib/lib$kind-control.so" ] && plugins+=("$kind")
done
if [ ${#plugins[@]} -eq 0 ]; then
  if [ ! -f "$BUILD/lib/libtest-spring-control.so" ]; then
    echo "control: no plug-in built (neither the admittance, the impedance nor the test plug-in)"
    exit 1
  fi
  echo "(the admittance and impedance plug-ins are not built; using the test spring plug-in)"
  plugins=(test-spring)
fi

status=0
plots=()
pairs=()
# The scenario's own expectations (its `expect` lines) decide: print the
# headline metrics with the verdict; a failed expectation fails the step.
verdict() {  # verdict <name> <log>
  local line
  line=$(grep -m1 '^  verdict: ' "$2" | sed 's/^  verdict: //')
  if [ -z "$line" ]; then
    printf '  %-18s %s\n' "" "$(grep -m1 '^  metrics: ' "$2" | sed 's/^  metrics: //')"
  elif [ "${line%%:*}" = ok ]; then
    printf '  %-18s ok: %s\n' "" "${line#ok: }"
  else
    printf '  %-18s FAILED: %s\n' "" "${line#FAILED: }"
    status=1
  fi
}

run() {  # run <plugin-kind> <scenario-file> <name> [plot|noplot]
  local lib=$BUILD/lib/lib$1-control.so
  local log=$OUT/$3.out
  if "$SIM" --scenario "$2" --plugin "$lib" --out "$OUT" --name "$3" --log-every 2 --no-plots \
      > "$log" 2>&1; then
    local peak final errors
    peak=$(grep 'largest TCP displacement' "$log" | sed 's/^ *//')
    final=$(grep 'final TCP displacement' "$log" | sed 's/^ *final TCP displacement: //')
    errors=$(grep -c 'module error [0-9]' "$log")
    printf '  %-18s %s (%s)\n' "$3" "$(basename "$2")" "$(grep -o '[0-9.]* s simulated' "$log")"
    printf '  %-18s %s; ends at %s; %s module error(s)\n' "" "$peak" "$final" "$errors"
    verdict "$3" "$log"
    if [ "${4:-plot}" = plot ]; then
      pairs+=("$OUT/$3.csv" "$OUT/$3.png")
      plots+=("$OUT/$3.png")
    fi
  else
    echo "  $3: FAILED (see $log)"
    sed 's/^/    /' "$log" | tail -5
    status=1
  fi
}

for kind in "${plugins[@]}"; do
  echo "-- $kind"
  for step in push press release pause; do
    scenario=$SCENARIOS/${kind}_$step.txt
    if [ ! -f "$scenario" ]; then
      case $step in
        press) scenario=$SCENARIOS/press_wall.txt ;;
        *) scenario=$SCENARIOS/$step.txt ;;
      esac
    fi
    run "$kind" "$scenario" "${kind}_$step"
  done
done

# The tasks force control is bought for, on the MuJoCo plant.
if [ "${plugins[0]}" != test-spring ]; then
  for kind in "${plugins[@]}"; do
    echo "-- $kind: tasks (MuJoCo plant)"
    for task in slide_flat slide_slope_down slide_slope_up slide_edge peg_in_hole \
        peg_in_hole_spiral push_large_arm; do
      scenario=$SCENARIOS/${kind}_$task.txt
      [ -f "$scenario" ] || scenario=$SCENARIOS/$task.txt
      run "$kind" "$scenario" "${kind}_$task" noplot
    done
  done
fi

echo "-- start checks (${plugins[0]})"
for check in singularity long_tool; do
  log=$OUT/${plugins[0]}_$check.out
  if "$SIM" --scenario "$SCENARIOS/$check.txt" --plugin "$BUILD/lib/lib${plugins[0]}-control.so" \
      --out "$OUT" --name "${plugins[0]}_$check" --no-plots > "$log" 2>&1 \
      && grep -q 'start .* -> -1' "$log"; then
    printf '  %-18s start refused: %s\n' "$check" \
      "$(grep -m1 'module error' "$log" | sed 's/.*module error //')"
  else
    echo "  $check: FAILED, start was not refused (see $log)"
    status=1
  fi
done

echo "-- plots"
if [ ${#pairs[@]} -gt 0 ]; then
  if /usr/bin/python3 "$ROOT/sim/host/plot_log.py" --batch "${pairs[@]}"; then
    for p in "${plots[@]}"; do echo "  $p"; done
  else
    echo "  plotting FAILED"
    status=1
  fi
fi
exit $status
