#!/usr/bin/python3
"""Runs a grid of control-host-sim scenarios in parallel processes and draws
tuning maps from their metrics.

Usage: sweep.py [--build DIR] [--out DIR] [--jobs N] [--keep DIR] FILE.sweep...

A sweep file names a plug-in, three variables with their values and a
scenario template in which ${NAME} stands for a variable's value:

    name     admittance_press        # base name of the outputs
    title    Admittance: 20 N press  # heading of the maps
    plugin   admittance              # build/lib/lib<plugin>-control.so, or a path
    vary K   stiffness_N_per_m  500 2000 8000    # x axis of each map
    vary D   damping_factor     0.2 0.5 1 2      # y axis
    vary KW  wall_N_per_m       10000 100000     # one row of maps per value
    scenario                                      # the rest is the template
    duration 3.5
    at 0 wall 0.87 0 0.506936 0 0 1 ${KW}
    ...

Writes <out>/<name>.csv (one row per grid point: the variables and the run's
metrics) and <out>/<name>.png (heat maps of the first-impact peak over the
command, the settling time and stable or not with the number of lift-offs,
one row per value of the third variable; `panels KEY...` picks other maps,
e.g. force_error_rms_N tracking_lag_mm stable for sliding). ${...} may be
arithmetic on the variables: ${100 / V}, ${sin(radians(SLOPE))}. Exit status 0 when every run gave metrics, 1 otherwise,
2 on a usage error.
"""
import argparse
import concurrent.futures
import csv
import itertools
import json
import math
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
METRICS = ["impact_peak_ratio", "first_impact_peak_N", "peak_force_N", "settling_time_s",
           "steady_force_error_N", "overshoot_pct", "lift_offs", "max_penetration_mm",
           "max_setpoint_step", "max_setpoint_step_unit", "nonfinite_setpoints", "stable",
           "force_error_rms_N", "force_error_max_N", "tracking_lag_mm", "contact_lost_s"]
# The maps a sweep may draw (`panels KEY...` in the sweep file): label,
# colour map, and the low end of the scale (the high end is the largest
# value over every row, so all rows share one scale).
PANELS = {
    "impact_peak_ratio": ("first-impact peak / command", "magma_r", 1.0),
    "settling_time_s": ("settling time (2 %), s", "viridis_r", 0.0),
    "force_error_rms_N": ("force error RMS while sliding, N", "magma_r", 0.0),
    "force_error_max_N": ("largest force error while sliding, N", "magma_r", 0.0),
    "tracking_lag_mm": ("tracking lag, mm", "viridis_r", 0.0),
    "contact_lost_s": ("contact lost while sliding, s", "magma_r", 0.0),
    "overshoot_pct": ("overshoot, %", "magma_r", 0.0),
    "stable": ("stable", None, None),
}
DEFAULT_PANELS = ["impact_peak_ratio", "settling_time_s", "stable"]


class SweepError(Exception):
    pass


def parse(path):
    sweep = {"name": os.path.splitext(os.path.basename(path))[0], "title": None,
             "plugin": None, "vary": [], "template": [], "panels": list(DEFAULT_PANELS)}
    with open(path) as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines, 1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        key = words[0]
        if key == "scenario":
            sweep["template"] = lines[number:]
            break
        if key in ("name", "plugin") and len(words) == 2:
            sweep[key] = words[1]
        elif key == "title" and len(words) >= 2:
            sweep["title"] = line.split("#", 1)[0].split(None, 1)[1].strip()
        elif key == "vary" and len(words) >= 4:
            try:
                values = [float(w) for w in words[3:]]
            except ValueError:
                raise SweepError(f"{path}:{number}: values of {words[1]} must be numbers")
            sweep["vary"].append((words[1], words[2], values))
        elif key == "panels" and len(words) >= 2:
            unknown = [w for w in words[1:] if w not in PANELS]
            if unknown:
                raise SweepError(f"{path}:{number}: no map for {', '.join(unknown)} "
                                 f"(maps: {', '.join(PANELS)})")
            sweep["panels"] = words[1:]
        else:
            raise SweepError(f"{path}:{number}: cannot read '{line.strip()}'")
    if len(sweep["vary"]) != 3:
        raise SweepError(f"{path}: needs exactly three 'vary' lines")
    if not sweep["plugin"] or not sweep["template"]:
        raise SweepError(f"{path}: needs a 'plugin' line and a 'scenario' section")
    names = {v[0] for v in sweep["vary"]}
    probe = {n: 1.0 for n in names}
    for used in re.findall(r"\$\{([^}]*)\}", "\n".join(sweep["template"])):
        try:
            evaluate(used, probe)
        except (NameError, SyntaxError, TypeError, ZeroDivisionError) as e:
            raise SweepError(f"{path}: cannot work out ${{{used}}} from the 'vary' lines: {e}")
    return sweep


def evaluate(expression, values):
    """A template's ${...}: a variable, or arithmetic on variables with
    sin, cos, tan, sqrt, radians and pi (e.g. ${sin(radians(SLOPE))})."""
    allowed = {k: getattr(math, k) for k in ("sin", "cos", "tan", "sqrt", "radians", "pi")}
    allowed.update(values)
    return float(eval(compile(expression, "<template>", "eval"), {"__builtins__": {}}, allowed))


def number(v):
    return ("%.6g" % v)


def run_point(sim, plugin, text, workdir, tag):
    scenario = os.path.join(workdir, tag + ".txt")
    with open(scenario, "w") as f:
        f.write(text)
    try:
        proc = subprocess.run([sim, "--scenario", scenario, "--plugin", plugin, "--out", workdir,
                               "--name", tag, "--no-plots", "--quiet", "--log-every", "10"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=600)
    except subprocess.TimeoutExpired:
        return None, -1, f"{scenario}: no result within 600 s"
    try:
        with open(os.path.join(workdir, tag + ".metrics.json")) as f:
            return json.load(f), proc.returncode, proc.stdout
    except (OSError, ValueError):
        return None, proc.returncode, proc.stdout


def sweep_one(sweep, build, out, jobs, keep):
    plugin = sweep["plugin"]
    if "/" not in plugin:
        plugin = os.path.join(build, "lib", f"lib{plugin}-control.so")
    sim = os.path.join(build, "bin", "control-host-sim")
    for needed in (plugin, sim):
        if not os.path.exists(needed):
            raise SweepError(f"{needed} is not built")
    (xn, xl, xs), (yn, yl, ys), (zn, zl, zs) = sweep["vary"]
    workdir = keep or tempfile.mkdtemp(prefix="sweep-")
    os.makedirs(workdir, exist_ok=True)
    template = "\n".join(sweep["template"]) + "\n"
    points = list(itertools.product(zs, ys, xs))
    rows, failed = [], 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        futures = []
        for i, (z, y, x) in enumerate(points):
            values = {xn: x, yn: y, zn: z}
            text = re.sub(r"\$\{([^}]*)\}", lambda m: number(evaluate(m.group(1), values)),
                          template)
            tag = f"{sweep['name']}_{i:03d}"
            futures.append(pool.submit(run_point, sim, plugin, text, workdir, tag))
        for (z, y, x), future in zip(points, futures):
            metrics, status, output = future.result()
            row = {xl: x, yl: y, zl: z, "exit_status": status}
            if metrics is None:
                failed += 1
                sys.stderr.write(f"sweep: {sweep['name']} at {xl}={x} {yl}={y} {zl}={z} "
                                 f"gave no metrics:\n{output}\n")
            for key in METRICS:
                row[key] = None if metrics is None else metrics.get(key)
            rows.append(row)
    if not keep:
        for entry in os.listdir(workdir):
            os.remove(os.path.join(workdir, entry))
        os.rmdir(workdir)
    os.makedirs(out, exist_ok=True)
    csv_path = os.path.join(out, sweep["name"] + ".csv")
    with open(csv_path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0].keys()), lineterminator="\n")
        writer.writeheader()
        for row in rows:
            writer.writerow({k: ("" if v is None else v) for k, v in row.items()})
    png_path = os.path.join(out, sweep["name"] + ".png")
    draw(sweep, rows, png_path)
    return csv_path, png_path, failed, len(rows)


def draw(sweep, rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np
    from matplotlib.colors import ListedColormap

    (xn, xl, xs), (yn, yl, ys), (zn, zl, zs) = sweep["vary"]
    lift_offs = {(row[zl], row[yl], row[xl]): row["lift_offs"] for row in rows
                 if row["lift_offs"] is not None}
    # Stable cells: no (red), yes after lift-offs (amber), clean (green).
    stable_map = ListedColormap(["#d73027", "#fdae61", "#1a9850"])
    fig, axes = plt.subplots(len(zs), len(sweep["panels"]),
                             figsize=(4.2 * len(sweep["panels"]), 3.4 * len(zs)), squeeze=False)
    for c, key in enumerate(sweep["panels"]):
        label, cmap, low = PANELS[key]
        values = [float(r[key]) for r in rows if isinstance(r.get(key), (int, float))
                  and not isinstance(r.get(key), bool)]
        if key == "impact_peak_ratio":
            limits = (low, max([2.0] + values))
        elif key != "stable":
            limits = (low, max([low + 1e-3] + values))
        for r, z in enumerate(zs):
            grid = np.full((len(ys), len(xs)), np.nan)
            for row in rows:
                if row[zl] != z:
                    continue
                v = row[key]
                lifts = lift_offs.get((z, row[yl], row[xl])) or 0
                if key == "stable":
                    v = None if v is None else (0.0 if not v else 0.5 if lifts else 1.0)
                grid[ys.index(row[yl]), xs.index(row[xl])] = np.nan if v is None else float(v)
            ax = axes[r][c]
            cm = (stable_map if key == "stable" else plt.get_cmap(cmap)).copy()
            cm.set_bad("#bbbbbb")
            kw = {"vmin": -0.25, "vmax": 1.25} if key == "stable" else \
                {"vmin": limits[0], "vmax": limits[1]}
            image = ax.imshow(np.ma.masked_invalid(grid), origin="lower", cmap=cm,
                              aspect="auto", **kw)
            for (i, j), v in np.ndenumerate(grid):
                lifts = lift_offs.get((z, ys[i], xs[j])) or 0
                if key == "stable":
                    text = "-" if np.isnan(v) else ("yes" if v else "no")
                    if lifts:
                        text += f"\n{lifts:g} lift-off" + ("s" if lifts != 1 else "")
                else:
                    text = "n/s" if np.isnan(v) else f"{v:.2f}"
                    if lifts:
                        text += f"\n({lifts:g} lift)"
                if lifts:
                    # Lift-offs are hatched in every map, so they never pass
                    # for a clean cell of the same colour.
                    ax.add_patch(plt.Rectangle((j - 0.5, i - 0.5), 1, 1, fill=False,
                                               hatch="///", edgecolor="#444444", linewidth=0))
                # Dark text on light cells, light text on dark ones.
                red, green, blue, _ = (0.73, 0.73, 0.73, 1) if np.isnan(v) else \
                    cm(image.norm(v))
                light = 0.299 * red + 0.587 * green + 0.114 * blue > 0.5
                ax.text(j, i, text, ha="center", va="center", fontsize=8,
                        color="black" if light else "white",
                        bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.6)
                        if lifts else None)
            ax.set_xticks(range(len(xs)), [number(v) for v in xs])
            ax.set_yticks(range(len(ys)), [number(v) for v in ys])
            ax.set_xlabel(xl)
            ax.set_ylabel(yl)
            ax.set_title(f"{label}\n{zl} = {number(z)}", fontsize=9)
            if key != "stable":
                fig.colorbar(image, ax=ax, fraction=0.046)
    fig.suptitle((sweep["title"] or sweep["name"]) +
                 "\n(one colour scale per column; hatched: the tool lifted off)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def version():
    """The project's version, from the top-level CMakeLists.txt."""
    try:
        with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
            found = re.search(r"project\(\S+\s+VERSION\s+([\d.]+)", f.read())
        return found.group(1) if found else "unknown"
    except OSError:
        return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n\n", 1)[1])
    parser.add_argument("--version", action="version", version=f"sweep.py {version()}")
    parser.add_argument("files", nargs="+", metavar="FILE.sweep")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder with bin/control-host-sim and lib/ (default: build)")
    parser.add_argument("--out", default=os.path.join(ROOT, "docs", "tuning"),
                        help="folder for the CSV and PNG files (default: docs/tuning)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="processes at a time (default: the number of cores)")
    parser.add_argument("--keep", metavar="DIR",
                        help="keep the generated scenarios, logs and metrics in DIR")
    args = parser.parse_args()
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    status = 0
    for path in args.files:
        try:
            sweep = parse(path)
            csv_path, png_path, failed, total = sweep_one(sweep, args.build, args.out,
                                                          args.jobs, args.keep)
        except (OSError, SweepError) as e:
            sys.stderr.write(f"sweep: {e}\n")
            return 1
        print(f"sweep: {sweep['name']}: {total - failed}/{total} runs -> {csv_path}, {png_path}")
        if failed:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
