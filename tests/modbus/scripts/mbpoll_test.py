#!/usr/bin/python3
"""The Modbus slave under kore-sim, seen through mbpoll: joint and pose
registers (signed), coils, a coil write and a register write that reach the
robot, an exception for a missing table. Run isolated:
mbpoll_test.py KORE_SIM MODULE"""

import re
import subprocess
import sys

from kore_driver import KoreSim


def mbpoll(*args):
    cmd = ["mbpoll", "-m", "tcp", "-a", "1", "-0", "-1", "-o", "5"] + list(args)
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    return done.returncode, done.stdout + done.stderr


def values(output):
    """{address: value} from mbpoll's "[addr]: value" lines."""
    return {int(a): int(v, 0) for a, v in re.findall(r"^\[(\d+)\]:\s+(-?(?:0x)?[0-9A-Fa-f]+)", output, re.M)}


def main(kore_path, module_path):
    kore = KoreSim(kore_path, module_path)
    try:
        kore.wait_loaded()
        joints = [-12.34, 12.25, 0.05, -90.0, 45.55, 179.99]
        for k, v in enumerate(joints):
            kore.set("actual_joint_pose_[%d]" % k, v)
        kore.set("actual_task_space_pose_[2]", -250.45)
        kore.set("tool_digital_input_", 0x21)
        kore.set("robot_state_info_", 777)
        kore.refreshed(259, 777)

        rc, out = mbpoll("-t", "4", "-r", "270", "-c", "6", "127.0.0.1")
        assert rc == 0, out
        got = values(out)
        # mbpoll shows 16-bit registers unsigned; -123 is 65413.
        # 45.55 is stored as the float 45.5499992..., so x10 rounds to 455.
        want = [-123, 123, 1, -900, 455, 1800]
        assert [got[270 + k] for k in range(6)] == [w & 0xFFFF for w in want], out
        rc, out = mbpoll("-t", "4", "-r", "402", "-c", "1", "127.0.0.1")
        assert rc == 0 and values(out)[402] == (-2505) & 0xFFFF, out
        print("mbpoll: joint and pose registers ok")

        rc, out = mbpoll("-t", "0", "-r", "36", "-c", "6", "127.0.0.1")
        assert rc == 0, out
        got = values(out)
        assert [got[36 + k] for k in range(6)] == [1, 0, 0, 0, 0, 1], out
        print("mbpoll: tool input coils ok")

        since = kore.mark()
        rc, out = mbpoll("-t", "0", "-r", "43", "127.0.0.1", "1")
        assert rc == 0, out
        kore.wait_for(lambda i: i.get("type") == "output" and i.get("output") == "tool"
                      and i.get("index") == 1 and i.get("value") == "1", since=since)
        rc, out = mbpoll("-t", "4", "-r", "2", "127.0.0.1", "5")
        assert rc == 0, out
        kore.wait_for(lambda i: i.get("type") == "output" and i.get("output") == "control-box"
                      and i.get("index") == 2 and i.get("value") == "1", since=since)
        assert int(kore.get("tool_digital_output_")) == 2
        assert int(kore.get("control_box_digital_output_")) == 5
        print("mbpoll: coil and register writes reached the robot")

        rc, out = mbpoll("-t", "3", "-r", "0", "127.0.0.1")
        assert rc != 0 or "Illegal data address" in out, out
        print("mbpoll: input registers refused")
    finally:
        kore.close()
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        sys.exit(0 if len(sys.argv) == 2 else 2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
