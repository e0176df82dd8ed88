#!/usr/bin/env bash
# Demo step: the Modbus TCP slave module. kore-sim starts the module and
# moves the arm; mbpoll, a real Modbus client, reads the joint and pose
# registers and writes a coil, which kore-sim's robot turns into an output.
# Arguments: BUILD_DIR OUTPUT_DIR.
set -euo pipefail

. "$(dirname "$0")/lib/common.sh" "$@"

if [ "${3:-}" != "--inner" ]; then
  echo "== Modbus TCP slave: kore-sim starts the module, mbpoll reads the moving arm and switches an output"
  demo_require "$BUILD/bin/kore-sim" "$BUILD/bin/modbus-slave-module"
  command -v mbpoll > /dev/null || { echo "   mbpoll is not installed (make deps)"; exit 1; }
  demo_enter_isolated
fi

# --- inside the isolated namespaces ------------------------------------------
LOG="$OUT/modbus-kore-sim.log"
cat > kore.script <<'SCRIPT'
wait-event 1 5s
wait 7s
say latest images as kore-sim decodes them:
modbus-show
quit
SCRIPT
"$BUILD/bin/kore-sim" --module "$BUILD/bin/modbus-slave-module" --script kore.script > "$LOG" 2>&1 &
kore=$!

fail() {
  echo "   FAILED: $*"
  echo "   (kore-sim log: $LOG)"
  kill "$kore" 2> /dev/null || true
  exit 1
}

wait_log() {  # wait_log TEXT SECONDS
  local deadline=$((SECONDS + $2))
  until grep -qF -- "$1" "$LOG"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

# Signed 16-bit register values of "[addr]: value" lines, divided by 10.
decode() {
  awk '/^\[[0-9]+\]:/ { v = $2; if (v >= 32768) v -= 65536; printf " %7.1f", v / 10 }'
}

read_regs() {  # read_regs FIRST COUNT
  mbpoll -m tcp -a 1 -0 -1 -o 2 -t 4 -r "$1" -c "$2" 127.0.0.1 2>&1
}

wait_log "MODBUS Tcp Slave: Start Loop" 5 || fail "the module did not start"
wait_log "module loaded: status 0" 5 || fail "the module did not answer the load request"
echo "   kore-sim started modbus-slave-module; it listens on port 502 and reports its tables ~10x a second"

for i in 1 2 3; do
  joints=$(read_regs 270 6) || fail "mbpoll could not read the joint registers: $joints"
  pose=$(read_regs 400 6) || fail "mbpoll could not read the pose registers: $pose"
  printf "   mbpoll read %d: joints [deg]%s | pose [mm, deg]%s\n" "$i" "$(decode <<< "$joints")" "$(decode <<< "$pose")"
  sleep 1
done

echo "   mbpoll writes coil 22 = 1 (control-box output 2 on)"
out=$(mbpoll -m tcp -a 1 -0 -1 -o 2 -t 0 -r 22 127.0.0.1 1 2>&1) || fail "mbpoll could not write the coil: $out"
wait_log "robot: control-box output 2 -> ON" 5 || fail "kore-sim's robot did not see the output request"
echo "   kore-sim: $(grep -F "robot: control-box output 2 -> ON" "$LOG" | head -1 | sed 's/^\[kore-sim\] //')"
coil=$(mbpoll -m tcp -a 1 -0 -1 -o 2 -t 0 -r 22 127.0.0.1 2>&1 | awk '/^\[22\]:/ {print $2}')
echo "   mbpoll reads coil 22 back: $coil"
[ "$coil" = "1" ] || fail "coil 22 does not show the output"

wait "$kore" || fail "kore-sim ended with an error"
echo "   kore-sim's decoded view of the last images:"
grep -E "^\[kore-sim\] (coils|registers):" "$LOG" | tail -2 | sed 's/^\[kore-sim\] /     /'
echo "   Modbus demo OK (full kore-sim log: $LOG)"
