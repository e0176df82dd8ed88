#!/usr/bin/python3
"""Plots a control-host-sim CSV log as one figure on shared time axes:
force on the environment (commanded reference, measured, sensed and
filtered; the tool pushing the surface is positive), TCP position with the
plug-in's set-point, the trajectory target and the surface, the stiffness
the plug-in applies (N/m and Nm/rad apart), and the joint torque set-points
when the plug-in drives torque servo. Vertical lines mark every scenario
event, read from LOG.events.csv beside the log when it is there.

usage: plot_log.py LOG.csv OUT.png [TITLE]
       plot_log.py --batch LOG1.csv OUT1.png [LOG2.csv OUT2.png ...]"""
import csv
import math
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.transforms import blended_transform_factory  # noqa: E402

AXES = ("x", "y", "z")
ROT_AXES = ("rx", "ry", "rz")
COLOURS = {"x": "tab:blue", "y": "tab:orange", "z": "tab:green",
           "rx": "tab:purple", "ry": "tab:brown", "rz": "tab:pink"}
SERVO_TORQUE = 4
COMMANDS = {"start", "stiffness", "force", "release", "force_factor", "damping_factor",
            "pause", "resume", "stop", "check", "raw", "raw_start"}


def main():
    args = sys.argv[1:]
    if not args or args[0] in ("-h", "--help"):
        print(__doc__)
        return 0 if args else 2
    if args[0] == "--batch":
        pairs = args[1:]
        if not pairs or len(pairs) % 2:
            print("plot_log.py: --batch takes pairs of LOG.csv OUT.png", file=sys.stderr)
            return 2
        status = 0
        for i in range(0, len(pairs), 2):
            title = pairs[i + 1].rsplit("/", 1)[-1].rsplit(".", 1)[0]
            status |= plot(pairs[i], pairs[i + 1], title)
        return status
    if len(args) < 2 or len(args) > 3 or args[0].startswith("-"):
        print("plot_log.py: expected LOG.csv OUT.png [TITLE]; see --help", file=sys.stderr)
        return 2
    return plot(args[0], args[1], args[2] if len(args) > 2 else args[0])


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return math.nan


def read_events(log):
    path = log[:-4] + ".events.csv" if log.endswith(".csv") else log + ".events.csv"
    if not os.path.exists(path):
        return []
    with open(path, newline="") as f:
        return [(number(r["t"]), r["kind"], r["result"], r["text"]) for r in csv.DictReader(f)]


def active(series, floor):
    return any(abs(v) > floor for s in series for v in s if not math.isnan(v))


def plot(log, png, title):
    try:
        with open(log, newline="") as f:
            rows = list(csv.DictReader(f))
        events = read_events(log)
    except (OSError, KeyError, csv.Error) as e:
        print("plot_log.py: %s" % e, file=sys.stderr)
        return 1
    if not rows:
        print("plot_log.py: %s is empty" % log, file=sys.stderr)
        return 1
    col = {k: [number(r[k]) for r in rows] for k in rows[0].keys()}
    t = col["t"]
    torque = any(v == SERVO_TORQUE for v in col["servo"])
    rotation = active([col["d" + a] for a in ROT_AXES] +
                      [col["target_d" + a] for a in ROT_AXES], math.radians(0.5))
    panels = ["force", "position"] + (["rotation"] if rotation else []) + \
        ["k_trans", "k_rot"] + (["torque"] if torque else [])
    heights = {"force": 3, "position": 3, "rotation": 2, "k_trans": 1.6, "k_rot": 1.6,
               "torque": 2.4}
    fig, axes = plt.subplots(len(panels), 1, figsize=(12, 2.3 * sum(heights[p] for p in panels)
                                                     / 1.6 + 1.0),
                             sharex=True, gridspec_kw={"height_ratios": [heights[p] for p in panels]})
    ax = dict(zip(panels, axes))

    # Force on the environment: the tool pushing on the surface is positive,
    # the sign of the commanded force. The wrench columns are what the
    # surroundings exert on the tool, so they are negated.
    a = ax["force"]
    shown = [x for x in AXES if active([col["f_" + x], col["F" + x],
                                        col.get("sensed_F" + x, [])], 0.05)] or ["z"]
    for x in shown:
        c = COLOURS[x]
        a.plot(t, [-v for v in col["F" + x]], color=c, linewidth=1.4, label="measured f%s" % x)
        if "sensed_F" + x in col:
            a.plot(t, [-v for v in col["sensed_F" + x]], color=c, linestyle=":", linewidth=1.2,
                   label="sensed, filtered f%s" % x)
        a.plot(t, col["f_" + x], color="black" if len(shown) == 1 else c, linestyle="--",
               linewidth=1.0, label="reference f%s" % x)
    a.set_ylabel("force of the tool on\nthe environment (N)")

    # TCP position against the plug-in's set-point, the target and the surface.
    a = ax["position"]
    # Axes that move by less than 5 % of the largest motion (at least
    # 0.05 mm) stay out of the panel.
    largest = max([abs(v) for x in AXES for k in ("d", "target_d") for v in col[k + x]
                   if not math.isnan(v)] or [0.0])
    floor = max(0.05e-3, 0.05 * largest)
    pos = [x for x in AXES if active([col["d" + x], col["target_d" + x],
                                      col.get("setpoint_d" + x, [])], floor)] or ["z"]
    for x in pos:
        c = COLOURS[x]
        a.plot(t, [v * 1e3 for v in col["d" + x]], color=c, linewidth=1.4, label="TCP " + x)
        if "setpoint_d" + x in col and any(not math.isnan(v) for v in col["setpoint_d" + x]):
            a.plot(t, [v * 1e3 for v in col["setpoint_d" + x]], color=c, linestyle="-.",
                   linewidth=0.9, label="set-point " + x)
        a.plot(t, [v * 1e3 for v in col["target_d" + x]], color=c, linestyle="--", linewidth=0.9,
               alpha=0.8, label="target " + x)
    if "surface_d" in col:
        axis = [int(v) if not math.isnan(v) else -1 for v in col["surface_axis"]]
        known = [i for i in axis if i >= 0]
        if known:
            name = AXES[known[-1]]
            ys = [v * 1e3 if i >= 0 else math.nan for v, i in zip(col["surface_d"], axis)]
            a.plot(t, ys, color="dimgray", linewidth=2.4, alpha=0.6,
                   label="surface (%s)" % name)
            if name not in pos:
                a.plot(t, [v * 1e3 for v in col["d" + name]], color=COLOURS[name],
                       linewidth=1.4, label="TCP " + name)
    a.set_ylabel("TCP displacement\n(mm)")

    if rotation:
        a = ax["rotation"]
        for x in ROT_AXES:
            c = COLOURS[x]
            a.plot(t, [math.degrees(v) for v in col["d" + x]], color=c, label="TCP " + x)
            a.plot(t, [math.degrees(v) for v in col["target_d" + x]], color=c, linestyle="--",
                   linewidth=0.9, label="target " + x)
        a.set_ylabel("TCP rotation\n(deg)")

    for key, names, unit in (("k_trans", AXES, "N/m"), ("k_rot", ROT_AXES, "Nm/rad")):
        a = ax[key]
        styles = ("-", "--", ":")
        for x, style in zip(names, styles):
            a.plot(t, col["k_" + x], color=COLOURS[x], linestyle=style, label="k " + x)
        a.set_ylabel("stiffness\n(%s)" % unit)
        top = max(max(col["k_" + x]) for x in names)
        a.set_ylim(-0.05 * max(top, 1.0), 1.12 * max(top, 1.0))

    if torque:
        a = ax["torque"]
        for i in range(1, 7):
            a.plot(t, col["tau_cmd%d" % i], label="joint %d" % i)
        a.set_ylabel("torque set-point\n(Nm)")

    axes[-1].set_xlabel("time (s)")
    mark_events(axes, events)
    for a in axes:
        a.grid(True, alpha=0.3)
        a.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small",
                 borderaxespad=0.0)
    axes[0].set_xlim(t[0], t[-1])
    fig.suptitle(title)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(png, dpi=80)
    plt.close(fig)
    return 0


def mark_events(axes, events):
    """A vertical line at every event on every panel, labelled above the top one."""
    if not events:
        return
    top = axes[0]
    labels = blended_transform_factory(top.transData, top.transAxes)
    for when, kind, result, text in events:
        if math.isnan(when):
            continue
        command = kind in COMMANDS
        refused = command and result not in ("", "0", "2")
        colour = "red" if refused else ("black" if command else "gray")
        for a in axes:
            a.axvline(when, color=colour, linewidth=0.7, alpha=0.5,
                      linestyle="-" if command else ":")
        label = kind + (" (refused)" if refused else "")
        if kind in ("wrench", "ramp") and text:
            label = text
        top.text(when, 1.02, label, transform=labels, rotation=35, fontsize=7, color=colour,
                 ha="left", va="bottom", clip_on=False)


if __name__ == "__main__":
    sys.exit(main())
