#!/usr/bin/python3
"""The register figures the README and docs/modbus.md state agree with
docs/modbus-map.csv, which is generated from the slave's own table (and
checked against it and against a running slave by the other map tests):
the README's "(tenths of a degree, addresses 270 to 275)" and every
holding-register row of docs/modbus.md with a scale (x10, x1000, 10 x value).

usage: docs_figures_test.py SOURCE_DIR"""
import csv
import os
import re
import sys

FRACTIONS = {"whole": 1, "tenths": 10, "hundredths": 100, "thousandths": 1000}
UNITS = {"degree": "deg", "millimetre": "mm", "ampere": "A", "newton": "N"}


def main():
    src = sys.argv[1]
    with open(os.path.join(src, "docs", "modbus-map.csv"), newline="") as f:
        rows = {(r["table"], int(r["address"])): r for r in csv.DictReader(f)}
    errors = []

    def check(where, first, last, scale, unit=None):
        for address in range(first, last + 1):
            row = rows.get(("holding_register", address))
            if row is None:
                errors.append("%s: register %d carries no robot data" % (where, address))
            elif float(row["scale"]) != scale:
                errors.append("%s: register %d is scaled by %s, not %g"
                              % (where, address, row["scale"], scale))
            elif unit is not None and row["unit"] != unit:
                errors.append("%s: register %d is in %s, not %s" % (where, address, row["unit"], unit))

    readme = open(os.path.join(src, "README.md")).read()
    stated = re.findall(r"(\w+) of an? (\w+), addresses (\d+) to (\d+)", readme)
    if not stated:
        errors.append("README.md: the joint registers' scale and addresses are not stated")
    for fraction, unit, first, last in stated:
        if fraction not in FRACTIONS or unit not in UNITS:
            errors.append("README.md: unknown scale '%s of a %s'" % (fraction, unit))
            continue
        check("README.md", int(first), int(last), FRACTIONS[fraction], UNITS[unit])

    modbus = open(os.path.join(src, "docs", "modbus.md")).read()
    checked = 0
    for first, last, scale_text in re.findall(
            r"^\| (\d+)(?:\.\.(\d+))? \| [^|]* \| ([^|]*) \| [^|]* \| [^|]* \|$", modbus, re.M):
        factor = re.search(r"×\s*(\d+)|(\d+) ×", scale_text)
        if factor is None:
            continue
        checked += 1
        check("docs/modbus.md", int(first), int(last or first), float(factor.group(1) or factor.group(2)))
    if checked < 7:
        errors.append("docs/modbus.md: only %d scaled register rows found" % checked)

    for e in errors:
        print("FAIL: " + e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
