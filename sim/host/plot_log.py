#!/usr/bin/python3
"""Plots control-host-sim CSV logs: TCP displacement, applied wrench,
commanded force and stiffness, and joint torques, one PNG per log.

usage: plot_log.py LOG.csv OUT.png [TITLE]
       plot_log.py --batch LOG1.csv OUT1.png [LOG2.csv OUT2.png ...]"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


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
    if len(args) < 2:
        print(__doc__)
        return 2
    return plot(args[0], args[1], args[2] if len(args) > 2 else args[0])


def plot(log, png, title):
    try:
        with open(log, newline="") as f:
            rows = list(csv.DictReader(f))
    except OSError as e:
        print("plot_log.py: %s" % e, file=sys.stderr)
        return 1
    if not rows:
        print("plot_log.py: %s is empty" % log, file=sys.stderr)
        return 1
    col = {k: [float(r[k]) for r in rows] for k in rows[0].keys()}
    t = col["t"]
    fig, ax = plt.subplots(5, 1, figsize=(10, 14), sharex=True)
    for a in ("x", "y", "z"):
        ax[0].plot(t, [v * 1e3 for v in col["d" + a]], label="TCP " + a)
        ax[0].plot(t, [v * 1e3 for v in col["target_d" + a]], "--", linewidth=0.8,
                   label="target " + a)
    ax[0].set_ylabel("displacement (mm)")
    for a in ("Fx", "Fy", "Fz"):
        ax[1].plot(t, col[a], label=a)
    ax[1].set_ylabel("applied force (N)")
    for a in ("x", "y", "z"):
        ax[2].plot(t, col["f_" + a], label="commanded f" + a)
    ax[2].set_ylabel("force reference (N)")
    for a in ("x", "y", "z", "rx", "ry", "rz"):
        ax[3].plot(t, col["k_" + a], label="k " + a)
    ax[3].set_ylabel("commanded stiffness")
    for i in range(1, 7):
        ax[4].plot(t, col["tau_cmd%d" % i], label="joint %d" % i)
    ax[4].set_ylabel("torque set-point (Nm)")
    ax[4].set_xlabel("time (s)")
    for a in ax:
        a.grid(True, alpha=0.3)
        a.legend(loc="upper right", fontsize="small", ncol=3)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(png, dpi=80)
    plt.close(fig)
    return 0


if __name__ == "__main__":
    sys.exit(main())
