"""Drives kore-sim (JSON log mode) from a Python test: starts it with the
Modbus slave module, sends commands on its standard input and waits for
the JSON lines it prints."""

import json
import subprocess
import threading
import time


class KoreSim:
    def __init__(self, kore_sim, module, animate=False):
        args = [kore_sim, "--json", "--module", module]
        if not animate:
            args.append("--no-animate")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            try:
                item = json.loads(raw)
            except ValueError:
                item = {"type": "text", "line": raw.rstrip("\n")}
            with self.lock:
                self.lines.append(item)

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def mark(self):
        with self.lock:
            return len(self.lines)

    def wait_for(self, predicate, timeout=10.0, since=0):
        """First JSON line from index `since` on for which predicate holds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                for item in self.lines[since:]:
                    if predicate(item):
                        return item
            time.sleep(0.01)
        raise AssertionError("kore-sim: condition not met in %.1f s" % timeout)

    def wait_loaded(self):
        item = self.wait_for(lambda i: i.get("type") == "event" and i.get("event") == 1)
        assert item.get("status") == 0, item
        self.wait_for(lambda i: "Start Loop" in i.get("line", ""))

    def get(self, field):
        since = self.mark()
        self.command("get " + field)
        item = self.wait_for(lambda i: i.get("type") == "value" and i.get("field") == field,
                             since=since)
        return item["value"]

    def set(self, field, value):
        since = self.mark()
        self.command("set %s %s" % (field, value))
        self.wait_for(lambda i: i.get("type") == "set" and i.get("field") == field, since=since)

    def refreshed(self, register, value, timeout=10.0):
        """Waits for a register image with `value` in `register` (any image
        since the start: callers use values that appear only after their own
        change)."""

        def matches(i):
            if i.get("type") != "event" or i.get("event") != 44:
                return False
            data = bytes.fromhex(i["data"])
            return data[2 * register] | (data[2 * register + 1] << 8) == value
        return self.wait_for(matches, timeout)

    def output_lines(self, since=0):
        with self.lock:
            return [i for i in self.lines[since:] if i.get("type") == "output"]

    def close(self):
        try:
            self.command("quit")
        except (BrokenPipeError, OSError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
