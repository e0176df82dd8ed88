#!/usr/bin/env bash
# User TCP module: kore-sim (playing KORE) opens a TCP server through the
# module and a peer talks to it, then opens a TCP client to a peer's server.
# A message goes each way in both modes. Runs in private namespaces.
set -euo pipefail
BUILD=$(cd "$1" && pwd)
mkdir -p "$2"
OUT=$(cd "$2" && pwd)
HERE=$(cd "$(dirname "$0")/../.." && pwd)
SELF="$HERE/scripts/demo.d/$(basename "$0")"

if [ "${3:-}" != "--inner" ]; then
  echo "== User TCP module: a message both ways in server mode and in client mode"
  exec "$HERE/scripts/isolated" bash "$SELF" "$BUILD" "$OUT" --inner
fi

log="$OUT/usertcp-demo.log"
peer_log="$OUT/usertcp-demo-peers.log"
: > "$peer_log"

# The peers: a client for server mode, a server for client mode.
/usr/bin/python3 - >> "$peer_log" 2>&1 <<'PY' &
import socket, time, sys
def out(text):
    print(text, flush=True)
# Server mode: connect to the module's server once it listens.
for _ in range(200):
    try:
        c = socket.create_connection(("127.0.0.1", 5000), timeout=10)
        break
    except OSError:
        time.sleep(0.05)
else:
    out("peer: the module's server never listened"); sys.exit(1)
c.sendall(b"hello robot, this is a TCP client")
out("peer (client): sent \"hello robot, this is a TCP client\"")
data = c.recv(4096)
out("peer (client): received \"%s\"" % data.decode(errors="replace"))
c.close()
# Client mode: be the server the module connects to.
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 6000)); s.listen(1); s.settimeout(20)
conn, _ = s.accept(); conn.settimeout(10)
data = conn.recv(4096)
out("peer (server): received \"%s\"" % data.decode(errors="replace"))
conn.sendall(b"hello robot, this is a TCP server")
out("peer (server): sent \"hello robot, this is a TCP server\"")
time.sleep(1)
conn.close()
PY
peer=$!

cat > script.txt <<'KORE'
wait-event 1
say --- server mode: KORE opens a TCP server on port 5000
tcp-open server 5000
wait-event 21
wait-event 29 10s
tcp-expect 1 hello robot, this is a TCP client
tcp-send 1 text hello client, this is the robot
wait 300ms
tcp-close
wait-event 23
say --- client mode: KORE connects to a TCP server on 127.0.0.1:6000
tcp-open client 127.0.0.1 6000
wait-event 21 10s
tcp-write text hello server, this is the robot
tcp-expect server hello robot, this is a TCP server
tcp-close
wait-event 23
say --- done
KORE

status=0
"$BUILD/bin/kore-sim" --module "$BUILD/bin/usertcp-module" --script script.txt --no-animate \
  > "$log" 2>&1 || status=$?
wait "$peer" || status=1

# The story: what KORE saw, and what the peers saw, in order of time.
grep -E '^\[kore-sim\] (---|event 2[0-9]|event 3[0-9]|message from|sending [0-9]+ bytes|ERROR)' "$log" \
  | sed -e 's/^\[kore-sim\] /  kore-sim: /' -e 's/  kore-sim: --- /  /'
sed 's/^/  /' "$peer_log"
if [ "$status" -ne 0 ]; then
  echo "  user TCP demo FAILED (full log: $log)"
  exit 1
fi
echo "  user TCP demo done (full log: $log)"
