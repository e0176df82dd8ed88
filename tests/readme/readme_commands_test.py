#!/usr/bin/python3
"""Runs the README's shell blocks that drive the stand-ins of the build
(every block naming build/bin/ except the interactive tmux one) as written,
from the source folder, with two substitutions only: the build folder for
build/, and a fresh scratch folder for /tmp/. Each block must exit 0 and
show what the README says it shows.

usage: readme_commands_test.py SOURCE_DIR BUILD_DIR"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def main():
    src, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    readme = open(os.path.join(src, "README.md")).read()
    blocks = [b for b in re.findall(r"```sh\n(.*?)```", readme, re.S)
              if "build/bin/" in b and "tmux" not in b]
    # What each block shows: the Modbus client's six joint registers, the
    # host run's summary and its files.
    expected = {
        "mbpoll": [r"\[270\]:", r"\[275\]:"],
        "control-host-sim": [r"summary: \d+ cycles", r"plot: \S+push\.png"],
    }
    failures, ran = [], 0
    scratch = tempfile.mkdtemp(prefix="readme.")
    try:
        for block in blocks:
            # The README's /tmp/ first: the build tree may itself lie below /tmp.
            script = block.replace("/tmp/", scratch + "/new/").replace("$R/build/", build + "/")
            script = re.sub(r"(^|\s)build/", lambda m: m.group(1) + build + "/", script)
            proc = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=src,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                  timeout=90)
            ran += 1
            first = block.strip().splitlines()[-1].strip()
            if proc.returncode != 0:
                failures.append("exit %d: %s\n%s" % (proc.returncode, block, proc.stdout[-2000:]))
                continue
            for key, patterns in expected.items():
                if key in block:
                    for p in patterns:
                        if not re.search(p, proc.stdout):
                            failures.append("'%s' not shown by: %s\n%s"
                                            % (p, first, proc.stdout[-2000:]))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if ran < 2:
        failures.append("expected the Modbus and the control-host-sim blocks, found %d" % ran)
    for f in failures:
        print("FAIL: " + f)
    print("%d README blocks run" % ran)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
