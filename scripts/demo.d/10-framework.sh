#!/usr/bin/env bash
# Demo step: the module IPC framework. kore-sim, the stand-in for KORE and
# the Module Manager, starts the framework's test module, receives its load
# response, sends it requests, unloads it and shuts everything down.
# Arguments: BUILD_DIR OUTPUT_DIR.
set -euo pipefail

. "$(dirname "$0")/lib/common.sh" "$@"

if [ "${3:-}" != "--inner" ]; then
  echo "== Module IPC framework: kore-sim starts a module, gets its load response, sends requests, unloads it"
  demo_require "$BUILD/bin/kore-sim" "$BUILD/bin/framework-test-module"
  demo_enter_isolated
fi

# --- inside the isolated namespaces ------------------------------------------
LOG="$OUT/framework-kore-sim.log"
cat > kore.script <<'SCRIPT'
wait-event 1 5s status=0        # the module's load response
say the module is loaded; now a request it only records
send 20 text hello module
say and one that makes it ask the robot for control-box output 3
send 1003 u8 3 1
wait 300ms
monitor
say unloading: the module runs StopService and answers event 2
unload
wait-event 2 5s status=0
say the service loop keeps running after the unload:
send 77 text still there?
wait 300ms
quit
SCRIPT
status=0
"$BUILD/bin/kore-sim" --module "$BUILD/bin/framework-test-module" --script kore.script \
  > "$LOG" 2>&1 || status=$?
sed 's/^/   /' "$LOG"
if [ "$status" -ne 0 ]; then
  echo "   FAILED: kore-sim ended with status $status (log: $LOG)"
  exit 1
fi
for want in "event 1 (load)" "control-box output 3 -> ON" "event 2 (unload)" "event 77" \
  "removed control queue"; do
  grep -qF "$want" "$LOG" || { echo "   FAILED: no \"$want\" in the log"; exit 1; }
done
cat <<'TEXT'
   -> What you would see next: the Modbus slave and user TCP modules are started the same
      way (kore-sim --module build/bin/modbus-slave-module), answer the same load and unload
      requests, and add their own events. Try it by hand:
        scripts/isolated build/bin/kore-sim --module build/bin/framework-test-module
      then type `help`, `send 20 text hi`, `unload`, `quit`.
TEXT
