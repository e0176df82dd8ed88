#!/usr/bin/python3
"""soak.py BUILD_DIR [--idle]

Runs both module programs under mixed valid and hostile traffic for
SOAK_SECONDS (default 600) and prints, at the start, once a minute
(SOAK_REPORT_SECONDS) and at the end, for each module: resident memory,
descriptors, threads, CPU share, requests answered, bytes delivered intact
and images per second. This script plays KORE (control queue, monitoring
record, user TCP areas). Run it inside scripts/isolated: it opens the fixed
global names (port 502, the queue key file, /dev/shm). Exit status 1 when a
module died or a byte arrived corrupted.

--idle instead measures the user TCP module's idle cost: CPU share and ICMP
echo requests per second with the server open and no client, then with one
idle client.
"""
import ctypes
import mmap
import queue as queue_module
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("-")
                        else "build")
SECONDS = int(os.environ.get("SOAK_SECONDS", "600"))
REPORT = int(os.environ.get("SOAK_REPORT_SECONDS", "60"))
USERTCP_PORT = 5800
MODBUS_PORT = 502

libc = ctypes.CDLL(None, use_errno=True)
IPC_CREAT, IPC_NOWAIT = 0o1000, 0o4000
BODY = 4112
ME = os.getpid()
stop = threading.Event()
lock = threading.Lock()
stats = {}  # counters, under `lock`


def count(name, n=1):
    with lock:
        stats[name] = stats.get(name, 0) + n


def log(text):
    print("[soak] " + text, flush=True)


# ------------------------------------------------------------------ KORE side
class Queue:
    def __init__(self):
        open("controlMessageQueue.txt", "a").close()
        key = libc.ftok(b"controlMessageQueue.txt", 3479)
        self.qid = libc.msgget(key, IPC_CREAT | 0o644)
        if self.qid < 0:
            raise OSError(ctypes.get_errno(), "msgget")
        self.send_lock = threading.Lock()

    def send(self, dst, event, payload=b"", length=None, body=BODY):
        """Puts one record for `dst` on the queue; waits (bounded) for room."""
        if length is None:
            length = len(payload)
        rec = struct.pack("<qqII", dst, ME, event, length) + payload
        rec = rec.ljust(8 + BODY, b"\0")[: 8 + body]
        buf = ctypes.create_string_buffer(rec, len(rec))
        deadline = time.monotonic() + 5
        with self.send_lock:
            while libc.msgsnd(self.qid, buf, body, IPC_NOWAIT) != 0:
                if time.monotonic() > deadline or stop.is_set():
                    count("queue sends given up (event %d)" % event)
                    return False
                time.sleep(0.0005)
        return True

    def receive(self):
        """Waits for the next record addressed to KORE (outside the GIL)."""
        buf = ctypes.create_string_buffer(8 + BODY)
        n = libc.msgrcv(self.qid, buf, BODY, ME, 0)
        if n < 16:
            return None
        _, src, event, length = struct.unpack_from("<qqII", buf.raw)
        return src, event, buf.raw[24: 24 + min(length, 4096)]


def make_monitoring_record():
    fd = os.open("/dev/shm/mm-shared-mem", os.O_CREAT | os.O_RDWR, 0o660)
    os.ftruncate(fd, 532)
    os.close(fd)


def map_area(pid, direction):
    path = "/dev/shm/SHM_UserTcp_%d_%s" % (pid, direction)
    fd = os.open(path, os.O_RDWR)
    area = mmap.mmap(fd, 100000)
    os.close(fd)
    return area


# Checked streams repeat with a prime period, which no chunk or read size
# divides: a lost, doubled or reordered chunk shows as a mismatch.
PERIOD = 65521
STREAMS = {}


def pattern(seed, offset, n):
    """Bytes offset..offset+n (n <= PERIOD) of the stream of `seed`."""
    if seed not in STREAMS:
        STREAMS[seed] = random.Random(seed).randbytes(PERIOD) * 2
    start = offset % PERIOD
    return STREAMS[seed][start: start + n]


class Kore:
    """Takes every event, answers user TCP chunks, checks their bytes."""

    def __init__(self, queue):
        self.q = queue
        self.usertcp = None
        self.modbus = None
        self.tx = self.rx = None
        self.port_seed = {}   # client port -> stream seed (checked streams)
        self.id_port = {}     # user TCP id -> client port
        self.offsets = {}     # user TCP id -> bytes checked so far
        self.events = {}
        self.cond = threading.Condition()
        self.answers = queue_module.Queue()

    def answer(self):
        while not stop.is_set():
            try:
                event, since = self.answers.get(timeout=0.2)
            except queue_module.Empty:
                continue
            self.q.send(self.usertcp, event)
            ms = (time.monotonic() - since) * 1000
            with lock:
                stats["usertcp worst answer ms"] = max(stats.get("usertcp worst answer ms", 0), ms)

    def run(self):
        while not stop.is_set():
            rec = self.q.receive()
            if rec is None:
                continue
            src, event, payload = rec
            with self.cond:
                self.events[(src, event)] = self.events.get((src, event), 0) + 1
                self.cond.notify_all()
            if src == self.modbus and event in (43, 44):
                count("modbus images" if event == 44 else "modbus coil images")
            elif src == self.usertcp:
                self.usertcp_event(event, payload)

    def usertcp_event(self, event, payload):
        if event == 29 and self.rx is not None:
            uid, port = struct.unpack_from("<II", self.rx, 0)
            self.id_port[uid] = port
            self.offsets[uid] = 0
            count("usertcp connects announced")
        elif event == 30:
            count("usertcp disconnects reported")
        elif event == 28 and self.rx is not None:
            _, uid, length, _, _, _ = struct.unpack_from("<6I", self.rx, 0)
            data = self.rx[24: 24 + min(length, 4062)]
            # Sent by another thread: this one must go on taking records
            # while the queue is full, or both sides wait on each other.
            self.answers.put((34, time.monotonic()))
            count("usertcp chunks answered")
            seed = self.port_seed.get(self.id_port.get(uid))
            if seed is not None:
                off = self.offsets.get(uid, 0)
                if data == pattern(seed, off, len(data)):
                    count("usertcp bytes intact", len(data))
                else:
                    # The rest of a read whose chunk KORE did not answer in
                    # time is abandoned by design: the stream then goes on
                    # further along. Anything else is corruption.
                    found = STREAMS[seed].find(data)
                    if found >= 0:
                        count("usertcp gaps after an abandoned read")
                        count("usertcp bytes intact", len(data))
                        off = found
                    else:
                        count("usertcp bytes CORRUPTED", len(data))
                self.offsets[uid] = off + len(data)
            else:
                count("usertcp bytes unchecked", len(data))

    def wait_event(self, src, event, n=1, timeout=10):
        with self.cond:
            return self.cond.wait_for(lambda: self.events.get((src, event), 0) >= n, timeout)


# ------------------------------------------------------------------ peers
def connect(port, timeout=2.0):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def forever(fn):
    """Runs fn until the soak ends; a failure is counted and retried."""
    def loop():
        while not stop.is_set():
            try:
                fn()
            except (OSError, ValueError):
                count("peer reconnects")
                time.sleep(0.05)
    t = threading.Thread(target=loop, daemon=True)
    t.start()
    return t


def usertcp_streamer(kore, seed, block, pause):
    """A good client (or, with no pause, a flooder): a checked stream."""
    s = connect(USERTCP_PORT, timeout=30)
    port = s.getsockname()[1]
    kore.port_seed[port] = seed
    off = 0
    try:
        while not stop.is_set():
            s.sendall(pattern(seed, off, block))
            off += block
            if pause:
                time.sleep(pause)
    finally:
        s.close()
        # a new connection starts a new stream
        kore.port_seed.pop(port, None)


def usertcp_storm():
    s = connect(USERTCP_PORT)
    s.close()
    count("usertcp storm connects")
    time.sleep(0.01)


def idle_holders(port, n, label, greeting=b""):
    def hold():
        conns = []
        try:
            while not stop.is_set():
                while len(conns) < n:
                    c = connect(port)
                    if greeting:
                        c.sendall(greeting)
                    conns.append(c)
                time.sleep(0.5)
                # a holder the module dropped is replaced
                alive = []
                for c in conns:
                    c.setblocking(False)
                    try:
                        gone = c.recv(1, socket.MSG_PEEK) == b""
                    except BlockingIOError:
                        gone = False
                    except OSError:
                        gone = True
                    if gone:
                        c.close()
                        count(label + " dropped by module")
                    else:
                        alive.append(c)
                conns = alive
        finally:
            for c in conns:
                c.close()
    return hold


def mbap(tid, unit, pdu):
    return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


def modbus_good_client():
    s = connect(MODBUS_PORT)
    s.settimeout(5)
    tid = 0
    while not stop.is_set():
        tid = (tid + 1) & 0xFFFF
        t0 = time.monotonic()
        s.sendall(mbap(tid, 1, struct.pack(">BHH", 3, 0, 100)))
        want, got = 9 + 200, b""
        while len(got) < want:
            chunk = s.recv(want - len(got))
            if not chunk:
                raise OSError("closed")
            got += chunk
        ms = (time.monotonic() - t0) * 1000
        count("modbus requests answered")
        with lock:
            stats["modbus worst read ms"] = max(stats.get("modbus worst read ms", 0), ms)
        time.sleep(0.02)


def modbus_dripper():
    frame = mbap(1, 1, struct.pack(">BHHB", 16, 100, 123, 246) + bytes(246))
    s = connect(MODBUS_PORT)
    try:
        for b in frame:
            if stop.is_set():
                return
            s.sendall(bytes([b]))
            time.sleep(0.09)
        s.settimeout(1)
        s.recv(64)
    finally:
        s.close()


def modbus_garbage():
    s = connect(MODBUS_PORT)
    s.settimeout(0.2)
    try:
        while not stop.is_set():
            kind = random.randrange(4)
            if kind == 0:
                data = os.urandom(random.randrange(1, 300))
            elif kind == 1:  # protocol id not 0
                data = struct.pack(">HHHB", 1, 7, 6, 1) + struct.pack(">BHH", 3, 0, 1)
            elif kind == 2:  # length disagreeing with the bytes
                data = struct.pack(">HHHB", 1, 0, 200, 1) + struct.pack(">BHH", 3, 0, 1)
            else:  # function code 0x80 and above
                data = mbap(1, 1, bytes([0x80 + random.randrange(0x80), 0, 0, 0, 1]))
            s.sendall(data)
            count("modbus hostile frames")
            try:
                s.recv(512)
            except socket.timeout:
                pass
            time.sleep(0.05)
    finally:
        s.close()


def modbus_storm():
    s = connect(MODBUS_PORT)
    s.close()
    count("modbus storm connects")
    time.sleep(0.02)


def queue_attacks(kore, q):
    """Bursts of requests 110 and short records to both modules."""
    i = 0
    while not stop.wait(5):
        i += 1
        for n in range(10):
            q.send(kore.modbus, 110, struct.pack("<HH", 128 + n, i & 0xFFFF))
        count("modbus queue requests", 10)
        for pid, event in ((kore.modbus, 110), (kore.usertcp, 23)):
            q.send(pid, event, b"\x02", length=4, body=17)
            count("short records sent")


# ------------------------------------------------------------------ figures
def figures(pid):
    f = {"rss": -1, "threads": -1, "fds": -1, "cpu": 0}
    try:
        with open("/proc/%d/status" % pid) as s:
            for line in s:
                if line.startswith("VmRSS:"):
                    f["rss"] = int(line.split()[1])
                elif line.startswith("Threads:"):
                    f["threads"] = int(line.split()[1])
        f["fds"] = len(os.listdir("/proc/%d/fd" % pid))
        with open("/proc/%d/stat" % pid) as s:
            fields = s.read().rsplit(")", 1)[1].split()
            f["cpu"] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        pass
    return f


def echo_requests_sent():
    with open("/proc/net/snmp") as s:
        lines = [l.split() for l in s if l.startswith("Icmp:")]
    return int(lines[1][lines[0].index("OutEchos")])


def start_modules(q, kore, modbus=True):
    make_monitoring_record()
    procs = {}
    out = open("usertcp.log", "w")
    procs["usertcp"] = subprocess.Popen([BUILD + "/bin/usertcp-module", str(ME)], stdout=out)
    kore.usertcp = procs["usertcp"].pid
    if modbus:
        out = open("modbus.log", "w")
        procs["modbus"] = subprocess.Popen([BUILD + "/bin/modbus-slave-module", str(ME)],
                                           stdout=out)
        kore.modbus = procs["modbus"].pid
    threading.Thread(target=kore.run, daemon=True).start()
    threading.Thread(target=kore.answer, daemon=True).start()
    for name, p in procs.items():
        if not kore.wait_event(p.pid, 1):
            raise SystemExit("soak: %s sent no load response" % name)
    kore.tx = map_area(kore.usertcp, "Tx")
    kore.rx = map_area(kore.usertcp, "Rx")
    kore.tx[0:80] = struct.pack("<Iii", 0, 1, USERTCP_PORT).ljust(80, b"\0")
    q.send(kore.usertcp, 20)
    if not kore.wait_event(kore.usertcp, 21):
        raise SystemExit("soak: the user TCP server did not open")
    time.sleep(0.5)
    return procs


def idle_cost():
    q = Queue()
    kore = Kore(q)
    procs = start_modules(q, kore, modbus=False)
    pid = procs["usertcp"].pid

    def measure(label, seconds=10):
        f0, e0, t0 = figures(pid), echo_requests_sent(), time.monotonic()
        time.sleep(seconds)
        f1, e1, t1 = figures(pid), echo_requests_sent(), time.monotonic()
        log("%-28s CPU %5.2f %%  echo requests %6.0f/s" %
            (label, 100 * (f1["cpu"] - f0["cpu"]) / (t1 - t0), (e1 - e0) / (t1 - t0)))

    measure("server open, no client")
    c = connect(USERTCP_PORT)
    time.sleep(0.5)
    measure("server open, one idle client")
    c.close()
    stop.set()
    for p in procs.values():
        p.send_signal(signal.SIGTERM)
        p.wait(5)


def main():
    if "-h" in sys.argv or "--help" in sys.argv:
        print(__doc__.strip())
        return 0
    # KORE's reader must take the modules' records as fast as they come (the
    # queue holds three): hand the interpreter lock over often.
    sys.setswitchinterval(0.0002)
    if "--idle" in sys.argv:
        return idle_cost()
    q = Queue()
    kore = Kore(q)
    procs = start_modules(q, kore)
    log("%d s, a report every %d s; peers: 2 good user TCP clients, 1 flooder, a "
        "connect/close storm and 50 idle holders on user TCP; 2 good Modbus readers "
        "(every 20 ms), 1 dripping writer, 50 half-frame stallers, 1 hostile-frame "
        "sender and a connect/close storm on Modbus; bursts of 10 requests 110 and "
        "short records on the queue every 5 s" % (SECONDS, REPORT))

    forever(lambda: usertcp_streamer(kore, 1, 1000, 0.05))
    forever(lambda: usertcp_streamer(kore, 2, 3000, 0.2))
    forever(lambda: usertcp_streamer(kore, 3, 60000, 0))   # flooder
    forever(usertcp_storm)
    forever(idle_holders(USERTCP_PORT, 50, "usertcp idle holder"))
    forever(modbus_good_client)
    forever(modbus_good_client)
    forever(modbus_dripper)
    forever(idle_holders(MODBUS_PORT, 50, "modbus half-frame staller", b"\x00\x01\x00"))
    forever(modbus_garbage)
    forever(modbus_storm)
    threading.Thread(target=queue_attacks, args=(kore, q), daemon=True).start()

    start = time.monotonic()
    last = {name: (figures(p.pid), dict(stats), start) for name, p in procs.items()}
    answered = {"usertcp": "usertcp chunks answered", "modbus": "modbus requests answered"}
    intact = {"usertcp": "usertcp bytes intact", "modbus": None}
    log("%6s %-8s %8s %5s %5s %6s %10s %12s %9s" %
        ("t(s)", "module", "RSS(kB)", "fds", "thr", "CPU%", "answered", "intact(B)", "images/s"))
    failed = False

    def report():
        nonlocal failed
        now = time.monotonic()
        with lock:
            snap = dict(stats)
        for name, p in procs.items():
            f = figures(p.pid)
            f0, s0, t0 = last[name]
            dt = max(now - t0, 1e-3)
            cpu = 100 * (f["cpu"] - f0["cpu"]) / dt
            images = ((snap.get("modbus images", 0) - s0.get("modbus images", 0)) / dt
                      if name == "modbus" else 0)
            alive = p.poll() is None
            failed |= not alive
            log("%6.0f %-8s %8d %5d %5d %6.2f %10d %12s %9.1f%s" %
                (now - start, name, f["rss"], f["fds"], f["threads"], cpu,
                 snap.get(answered[name], 0),
                 snap.get(intact[name], "-") if intact[name] else "-", images,
                 "" if alive else "  DIED"))
            last[name] = (f, snap, now)

    report()
    next_report = start + REPORT
    end = start + SECONDS
    while time.monotonic() < end and not failed:
        time.sleep(min(1, max(0, min(next_report, end) - time.monotonic())))
        if time.monotonic() >= next_report:
            report()
            next_report += REPORT
    report()
    stop.set()
    with lock:
        snap = dict(stats)
    log("counters:")
    for k in sorted(snap):
        log("  %-36s %s" % (k, round(snap[k], 1)))
    if snap.get("usertcp bytes CORRUPTED", 0):
        failed = True
    for p in procs.values():
        p.send_signal(signal.SIGTERM)
    for name, p in procs.items():
        try:
            log("%s exit status %d after SIGTERM" % (name, p.wait(5)))
        except subprocess.TimeoutExpired:
            log("%s did not end within 5 s of SIGTERM" % name)
            p.kill()
            failed = True
    with open("usertcp.log", errors="replace") as out:
        before_stop = out.read().split("[COMMBASE] Signal")[0]
        abandoned = before_stop.count("SEND MESSAGE FAIL")
    log("user TCP reads abandoned before the stop (no answer within 3 s): %d" % abandoned)
    left = [n for n in os.listdir("/dev/shm") if n.startswith("SHM_UserTcp")]
    if left:
        log("left in /dev/shm: %s" % left)
        failed = True
    log("FAILED" if failed else "passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
