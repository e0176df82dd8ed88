#!/usr/bin/python3
"""The Modbus slave under kore-sim, seen through pymodbus: the map's
conversions, single writes reaching the robot, write-multiple changing no
output, exception answers. Run isolated: pymodbus_test.py KORE_SIM MODULE"""

import sys
import time

from pymodbus.client import ModbusTcpClient

from kore_driver import KoreSim


def s16(v):
    return v - 65536 if v >= 32768 else v


def main(kore_path, module_path):
    kore = KoreSim(kore_path, module_path)
    client = ModbusTcpClient("127.0.0.1", port=502, timeout=5)
    try:
        kore.wait_loaded()
        assert client.connect(), "cannot connect to port 502"

        kore.set("control_box_digital_input_", 0x8005)
        kore.set("system_status_", 0x21)
        kore.set("actual_joint_pose_[0]", -12.34)
        kore.set("actual_joint_pose_[1]", 12.25)
        kore.set("actual_task_space_pose_[0]", 0.35)
        kore.set("tool_offset_info_[0]", 0.35)
        kore.set("external_force_info_[0]", 12.7)
        kore.set("external_force_info_[1]", -3.9)
        kore.set("motor_temperature_[0]", 36.9)
        kore.set("robot_state_info_", 4242)
        kore.refreshed(259, 4242)

        coils = client.read_coils(0, 48, slave=1)
        assert not coils.isError(), coils
        assert coils.bits[0] and coils.bits[2] and coils.bits[15] and not coils.bits[1], coils.bits[:16]
        status = client.read_coils(260, 6, slave=1)
        assert not status.isError()
        assert status.bits[:6] == [True, False, False, False, False, True], status.bits[:6]

        regs = []
        for first in range(0, 601, 125):
            rr = client.read_holding_registers(first, min(125, 601 - first), slave=1)
            assert not rr.isError(), (first, rr)
            regs += rr.registers
        assert len(regs) == 601
        assert regs[0] == 0x8005
        assert regs[270] == 0xFF85 and s16(regs[270]) == -123, regs[270]
        assert regs[271] == 123
        assert regs[400] == 4, regs[400]          # single precision: 3.5f -> 4
        assert regs[420] == 3, regs[420]          # double: 3.4999999 -> 3
        assert regs[430] == 120 and s16(regs[431]) == -30, regs[430:432]
        assert regs[300] == 36
        assert regs[260:266] == [1, 0, 0, 0, 0, 0], regs[260:266]
        print("pymodbus: conversions ok")

        since = kore.mark()
        assert not client.write_coil(21, True, slave=1).isError()
        kore.wait_for(lambda i: i.get("type") == "output" and i.get("output") == "control-box"
                      and i.get("index") == 1 and i.get("value") == "1", since=since)
        assert not client.write_register(130, 99, slave=1).isError()
        kore.wait_for(lambda i: i.get("type") == "output" and "99" in str(i.get("value")), since=since)
        assert int(kore.get("control_box_digital_output_")) == 2
        assert int(kore.get("general_purpose_register_[2]")) == 99
        print("pymodbus: single writes reached the robot")

        since = kore.mark()
        assert not client.write_registers(2, [0xFFFF], slave=1).isError()
        kore.set("robot_state_info_", 4343)
        kore.refreshed(259, 4343)
        assert client.read_holding_registers(2, 1, slave=1).registers[0] == 2
        assert kore.output_lines(since) == [], kore.output_lines(since)
        assert int(kore.get("control_box_digital_output_")) == 2
        print("pymodbus: write-multiple changed no output")

        assert client.read_discrete_inputs(0, 1, slave=1).isError()
        assert client.read_input_registers(0, 1, slave=1).isError()
        assert client.read_holding_registers(600, 2, slave=1).isError()
        assert client.read_coils(300, 2, slave=1).isError()
        assert not client.read_holding_registers(600, 1, slave=1).isError()
        print("pymodbus: exceptions ok")

        # Request 110 from kore-sim: address 300 changes nothing, 22 sets the tool outputs.
        since = kore.mark()
        kore.command("modbus-set 300 7")
        kore.wait_for(lambda i: "address : 300 , value : 7" in i.get("line", ""), since=since)
        kore.command("modbus-set 22 0x1234")
        kore.wait_for(lambda i: i.get("type") == "output" and i.get("output") == "tool"
                      and i.get("index") == 2, since=since)
        assert int(kore.get("tool_digital_output_")) == 0x34
        changed = [i for i in kore.output_lines(since) if i.get("output") != "tool"]
        assert changed == [], changed
        image = kore.wait_for(lambda i: i.get("type") == "event" and i.get("event") == 44
                              and i.get("tool_do") == 0x34, since=since)
        assert image["joints"][0] == -12.3 and image["joints"][1] == 12.3, image["joints"]
        print("pymodbus: request 110 ok, images decoded by kore-sim")
    finally:
        client.close()
        kore.close()
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        sys.exit(0 if len(sys.argv) == 2 else 2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
