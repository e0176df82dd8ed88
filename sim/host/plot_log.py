#!/usr/bin/python3
"""Plots a control-host-sim CSV log: TCP displacement, applied wrench,
commanded force and stiffness, and joint torques, in one PNG."""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main():
    if len(sys.argv) < 3 or sys.argv[1] in ("-h", "--help"):
        print("usage: plot_log.py LOG.csv OUT.png [TITLE]")
        return 0 if len(sys.argv) > 1 else 2
    with open(sys.argv[1], newline="") as f:
        rows = list(csv.DictReader(f))
    if not rows:
        print("plot_log.py: the log is empty", file=sys.stderr)
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
    fig.suptitle(sys.argv[3] if len(sys.argv) > 3 else sys.argv[1])
    fig.tight_layout()
    fig.savefig(sys.argv[2], dpi=80)
    return 0


if __name__ == "__main__":
    sys.exit(main())
