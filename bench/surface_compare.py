#!/usr/bin/python3
"""surface_compare.py -- kardum::gridfill beside GMT and scipy on real data.

Runs every gridder as its own process, file in to grid file out, on the
same records and lattice, and prints per job the RMS error, the values
outside the records' range, the empty nodes, wall time, CPU time and peak
memory:

  * RMelevation (r-cran-fields), a 289 x 242 elevation grid, sampled at
    random points by bilinear interpolation; error against the grid;
  * glacier (r-cran-fields), 8,338 points along contours; 10-fold
    cross-validation over the records (each held-out record read from
    the grid bilinearly).

The gridders: kardum (its default surface, and -method local), GMT
surface and nearneighbor, scipy griddata linear and cubic, and scipy's
thin-plate spline (RBFInterpolator, each node from its 50 nearest
records, --neighbors).

  /usr/bin/python3 bench/surface_compare.py [--sizes 10000,100000,1000000]
      [--only kardum,gmt-surface,...] [--neighbors 50] [--work DIR] [--pictures]
  /usr/bin/python3 bench/surface_compare.py --speed [--repeat 3]

--speed times only: kardum (on all its threads, and on one), GMT surface and
GMT nearneighbor, file to netCDF grid file, at 10^5 and 10^6 records on the
RMelevation lattice and at 10^6 on a lattice of twice its nodes; the
repetitions of the four alternate, and each keeps its best wall and best CPU
time.

Needs Debian's r-base-core, r-cran-fields, gmt and python3-scipy
(tools/deps.sh bench installs them) and the built library (build/).
"""
import argparse, os, subprocess, sys
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TCLSH = os.path.join(ROOT, "build", "tclsh.sh")
WORK = None
NEIGHBORS = 50      # records per node of the thin-plate spline (--neighbors)


def export(work):
    """The two data sets as text, once, through R."""
    elev = os.path.join(work, "rmelevation.txt")
    glac = os.path.join(work, "glacier.txt")
    if not (os.path.exists(elev) and os.path.exists(glac)):
        script = ("suppressMessages(library(fields)); data(RMelevation); data(glacier);"
                  "e <- RMelevation; g <- expand.grid(x = e$x, y = e$y);"
                  "write.table(cbind(g, as.vector(e$z)), '%s', row.names=FALSE, col.names=FALSE);"
                  "write.table(cbind(glacier$loc, glacier$y), '%s', row.names=FALSE, col.names=FALSE)"
                  % (elev, glac))
        subprocess.run(["Rscript", "-e", script], check=True)
    e = np.loadtxt(elev)
    xs = np.unique(e[:, 0]); ys = np.unique(e[:, 1])
    z = e[:, 2].reshape(len(ys), len(xs))          # x fastest
    return xs, ys, z, np.loadtxt(glac)


def bilinear(xs, ys, z, px, py):
    """Grid z on nodes xs, ys (rows y) at points px, py."""
    fx = np.interp(px, xs, np.arange(len(xs)))
    fy = np.interp(py, ys, np.arange(len(ys)))
    i = np.minimum(fx.astype(int), len(xs) - 2); j = np.minimum(fy.astype(int), len(ys) - 2)
    wx = fx - i; wy = fy - j
    return ((1 - wy) * ((1 - wx) * z[j, i] + wx * z[j, i + 1])
            + wy * ((1 - wx) * z[j + 1, i] + wx * z[j + 1, i + 1]))


def run(cmd, env=None):
    """Runs cmd under /usr/bin/time (so that the peak memory is the job's,
    not this script's, which a forked child would inherit); returns
    (wall, cpu, peak MB)."""
    stats = "/dev/shm/kardum-bench-time-%d" % os.getpid()
    done = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", stats] + cmd,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=WORK,
                          env=None if env is None else dict(os.environ, **env))
    if done.returncode != 0:
        raise RuntimeError("%s failed: %s" % (cmd[0], done.stderr.decode()[-500:]))
    with open(stats) as f:
        wall, user, system, peak = f.read().split()[-4:]
    os.unlink(stats)
    return float(wall), float(user) + float(system), float(peak) / 1024.0


SCIPY = r'''
import sys, numpy as np
from scipy.interpolate import griddata
inp, out, method, x0, x1, nx, y0, y1, ny = sys.argv[1:]
d = np.fromfile(inp, sep=" ").reshape(-1, 3)
gx, gy = np.meshgrid(np.linspace(float(x0), float(x1), int(nx)), np.linspace(float(y0), float(y1), int(ny)))
np.save(out, griddata(d[:, :2], d[:, 2], (gx, gy), method=method))
'''

# The thin-plate spline through the records (scipy's RBFInterpolator,
# smoothing 0, a plane as its polynomial), each node from its `neighbors`
# nearest records: the whole system of 10^4 records or more does not fit
# in memory and time.
THINPLATE = r'''
import sys, numpy as np
from scipy.interpolate import RBFInterpolator
inp, out, neighbors, x0, x1, nx, y0, y1, ny = sys.argv[1:]
d = np.fromfile(inp, sep=" ").reshape(-1, 3)
gx, gy = np.meshgrid(np.linspace(float(x0), float(x1), int(nx)), np.linspace(float(y0), float(y1), int(ny)))
f = RBFInterpolator(d[:, :2], d[:, 2], kernel="thin_plate_spline", neighbors=int(neighbors))
np.save(out, f(np.column_stack([gx.ravel(), gy.ravel()])).reshape(gx.shape))
'''


def grid_with(name, records, xs, ys, work):
    """The grid of one gridder on nodes xs, ys (rows y); its costs."""
    inp = os.path.join(work, "in.xyz")
    np.savetxt(inp, records, fmt="%.10g")
    nx, ny = len(xs), len(ys)
    dx = (xs[-1] - xs[0]) / (nx - 1); dy = (ys[-1] - ys[0]) / (ny - 1)
    region = "-R%.10g/%.10g/%.10g/%.10g" % (xs[0], xs[-1], ys[0], ys[-1])
    inc = "-I%.10g/%.10g" % (dx, dy)
    if name.startswith("kardum"):
        out = os.path.join(work, "out.xyz")
        extra = ["-method", "local"] if name == "kardum-local" else []
        cost = run([TCLSH, os.path.join(HERE, "surface_run.tcl"), inp, out,
                    repr(xs[0] - dx / 2), repr(xs[-1] + dx / 2), repr(ys[0] - dy / 2),
                    repr(ys[-1] + dy / 2), str(nx), str(ny)] + extra)
        g = np.loadtxt(out)
        z = np.full((ny, nx), np.nan)
        i = np.rint((g[:, 0] - xs[0]) / dx).astype(int); j = np.rint((g[:, 1] - ys[0]) / dy).astype(int)
        z[j, i] = g[:, 2]
        return z, cost
    if name.startswith("gmt"):
        out = os.path.join(work, "out.nc")
        if name == "gmt-surface":
            cmd = ["gmt", "surface", inp, region, inc, "-T0.25", "-G" + out]
        else:
            cmd = ["gmt", "nearneighbor", inp, region, inc, "-S%.10g" % (3 * max(dx, dy)),
                   "-N4/1", "-G" + out]
        cost = run(cmd)
        txt = subprocess.run(["gmt", "grd2xyz", out], capture_output=True, check=True,
                             cwd=WORK).stdout
        g = np.array(txt.split(), dtype=float).reshape(-1, 3)
        z = np.full((ny, nx), np.nan)
        i = np.rint((g[:, 0] - xs[0]) / dx).astype(int); j = np.rint((g[:, 1] - ys[0]) / dy).astype(int)
        z[j, i] = g[:, 2]
        return z, cost
    method = name.split("-")[1]
    out = os.path.join(work, "out.npy")
    lattice = [repr(xs[0]), repr(xs[-1]), str(nx), repr(ys[0]), repr(ys[-1]), str(ny)]
    if method == "thinplate":
        cost = run(["/usr/bin/python3", "-c", THINPLATE, inp, out, str(NEIGHBORS)] + lattice)
    else:
        cost = run(["/usr/bin/python3", "-c", SCIPY, inp, out, method] + lattice)
    return np.load(out), cost


def row(label, name, rms, outside, empty, cost):
    print("%-26s %-14s %10.3f %8d %8d %8.2f %8.2f %8.0f" % (label, name, rms, outside, empty, *cost))
    sys.stdout.flush()


SHADE = r'''
package require kardum
lassign $argv in out x0 x1 y0 y1 nx ny
set f [open $in]
set rows {}
while {[gets $f line] >= 0} {lappend rows $line}
close $f
kardum::gridimage $rows $out -shade 315 -palette terrain -pixels 1 -empty nan
'''


def pictures(glacier, work, names):
    """Hillshades of the glacier grids on 400 x 400 nodes into bench/images/."""
    os.makedirs(os.path.join(HERE, "images"), exist_ok=True)
    xs = np.linspace(glacier[:, 0].min(), glacier[:, 0].max(), 400)
    ys = np.linspace(glacier[:, 1].min(), glacier[:, 1].max(), 400)
    script = os.path.join(work, "shade.tcl")
    with open(script, "w") as f:
        f.write(SHADE)
    for name in names:
        z, _ = grid_with(name, glacier, xs, ys, work)
        rows = os.path.join(work, "rows.txt")
        with open(rows, "w") as f:
            for r in z:
                f.write(" ".join("nan" if np.isnan(v) else "%.6g" % v for v in r) + "\n")
        png = os.path.join(HERE, "images", "glacier-%s.png" % name)
        subprocess.run([TCLSH, script, rows, png], check=True)
        print("wrote", png)


def speed(xs, ys, truth, work, repeat):
    """Wall and CPU time, file to netCDF grid file, of kardum and GMT side
    by side; the best of `repeat` alternating runs of each."""
    rng = np.random.default_rng(2026)
    dx = (xs[-1] - xs[0]) / (len(xs) - 1); dy = (ys[-1] - ys[0]) / (len(ys) - 1)
    base = (len(xs), len(ys))
    twice = (int(round(len(xs) * 2 ** 0.5)), int(round(len(ys) * 2 ** 0.5)))
    cases = [(100000, base), (1000000, base), (1000000, twice)]
    inp = os.path.join(work, "speed.xyz")
    out = os.path.join(work, "speed.nc")
    written = None
    print("%-8s %-10s %-16s %8s %8s %10s %10s" % ("records", "nodes", "gridder", "wall s", "CPU s",
                                                 "wall/kardum", "CPU/kardum"))
    for n, (nx, ny) in cases:
        if written != n:
            px = rng.uniform(xs[0], xs[-1], n); py = rng.uniform(ys[0], ys[-1], n)
            np.savetxt(inp, np.column_stack([px, py, bilinear(xs, ys, truth, px, py)]), fmt="%.10g")
            written = n
        # The same extent, cell-centred nodes: nx by ny cells for kardum,
        # nx by ny nodes (gridline registration) for GMT.
        cx = (xs[-1] - xs[0] + dx) / nx; cy = (ys[-1] - ys[0] + dy) / ny
        x0, x1 = xs[0] - dx / 2, xs[-1] + dx / 2
        y0, y1 = ys[0] - dy / 2, ys[-1] + dy / 2
        region = "-R%.10g/%.10g/%.10g/%.10g" % (x0 + cx / 2, x1 - cx / 2, y0 + cy / 2, y1 - cy / 2)
        inc = "-I%.10g/%.10g" % (cx, cy)
        kardum = [TCLSH, os.path.join(HERE, "surface_run.tcl"), inp, out, repr(x0), repr(x1),
                  repr(y0), repr(y1), str(nx), str(ny)]
        jobs = [("kardum", kardum, None),
                ("kardum 1 thread", kardum, {"KARDUM_THREADS": "1"}),
                ("gmt surface", ["gmt", "surface", inp, region, inc, "-T0.25", "-G" + out], None),
                ("gmt nearneighbor", ["gmt", "nearneighbor", inp, region, inc,
                                      "-S%.10g" % (3 * max(cx, cy)), "-N4/1", "-G" + out], None)]
        best = {}
        for _ in range(repeat):
            for name, cmd, env in jobs:
                wall, cpu, _ = run(cmd, env)
                w, c = best.get(name, (wall, cpu))
                best[name] = (min(w, wall), min(c, cpu))
        kw, kc = best["kardum"]
        for name, _, _ in jobs:
            wall, cpu = best[name]
            print("%-8d %-10s %-16s %8.3f %8.3f %10.2f %10.2f" % (n, "%dx%d" % (nx, ny), name, wall, cpu,
                                                                  wall / kw, cpu / kc))
        sys.stdout.flush()


def main():
    global WORK, NEIGHBORS
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="10000,100000,1000000")
    ap.add_argument("--only", default="kardum,kardum-local,gmt-surface,gmt-nearneighbor,"
                    "scipy-linear,scipy-cubic,scipy-thinplate")
    ap.add_argument("--neighbors", type=int, default=NEIGHBORS,
                    help="nearest records of each node in the thin-plate spline")
    ap.add_argument("--work", default=os.path.join(ROOT, "build", "bench-surface"))
    ap.add_argument("--pictures", action="store_true",
                    help="only write hillshades of the glacier grids into bench/images/")
    ap.add_argument("--speed", action="store_true",
                    help="only time kardum beside GMT surface and nearneighbor (see above)")
    ap.add_argument("--repeat", type=int, default=3)
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    WORK = a.work     # GMT leaves its gmt.history there
    NEIGHBORS = a.neighbors
    names = a.only.split(",")
    xs, ys, truth, glacier = export(a.work)
    if a.pictures:
        pictures(glacier, a.work, names)
        return
    if a.speed:
        speed(xs, ys, truth, a.work, a.repeat)
        return
    print("%-26s %-14s %10s %8s %8s %8s %8s %8s" % ("job", "gridder", "RMS", "outside", "empty",
                                                   "wall s", "CPU s", "peak MB"))
    rng = np.random.default_rng(2026)
    for n in [int(s) for s in a.sizes.split(",")]:
        px = rng.uniform(xs[0], xs[-1], n); py = rng.uniform(ys[0], ys[-1], n)
        rec = np.column_stack([px, py, bilinear(xs, ys, truth, px, py)])
        lo, hi = rec[:, 2].min(), rec[:, 2].max()
        for name in names:
            z, cost = grid_with(name, rec, xs, ys, a.work)
            ok = ~np.isnan(z)
            rms = np.sqrt(np.mean((z[ok] - truth[ok]) ** 2))
            outside = int(np.sum((z[ok] < lo) | (z[ok] > hi)))
            row("RMelevation %d" % n, name, rms, outside, int(np.sum(~ok)), cost)
    # glacier: 10-fold cross-validation over the records, on a 200 x 200 lattice.
    gxs = np.linspace(glacier[:, 0].min(), glacier[:, 0].max(), 200)
    gys = np.linspace(glacier[:, 1].min(), glacier[:, 1].max(), 200)
    fold = np.random.default_rng(7).permutation(len(glacier)) % 10
    lo, hi = glacier[:, 2].min(), glacier[:, 2].max()
    for name in names:
        err = []; total = [0.0, 0.0, 0.0]; outside = 0; empty = 0
        for f in range(10):
            z, cost = grid_with(name, glacier[fold != f], gxs, gys, a.work)
            held = glacier[fold == f]
            pred = bilinear(gxs, gys, z, held[:, 0], held[:, 1])
            err.append((pred - held[:, 2])[~np.isnan(pred)])
            empty += int(np.sum(np.isnan(pred)))
            ok = ~np.isnan(z)
            outside += int(np.sum((z[ok] < lo) | (z[ok] > hi)))
            total = [total[0] + cost[0], total[1] + cost[1], max(total[2], cost[2])]
        e = np.concatenate(err)
        row("glacier 10-fold CV", name, np.sqrt(np.mean(e ** 2)), outside, empty, total)


if __name__ == "__main__":
    main()
