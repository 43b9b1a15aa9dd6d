#!/usr/bin/python3
"""Independent check of the continuous-mirror surface solve, written with numpy and scipy from the table itself.

Usage: check_surface.py TABLE CASE_FILE...

Each CASE_FILE (little-endian): int32 W, int32 n, int32 options, int32 rc, float64 pistonMin, then n int32 grid
positions of the actuators, W*W float64 surface (nm, row-major), n float64 commands from the library.
Recomputes pistonMin and the commands (with the automatic offsets) and exits 1 when they differ.
"""

import math
import struct
import sys

import numpy as np
import scipy.io
import scipy.ndimage

NO_ERR, ERR_OUT_OF_LUT_RANGE = 0, 28
ABSOLUTE, BEST_EFFORT = 1, 2


def read_case(path):
    raw = open(path, "rb").read()
    w, n, options, rc = struct.unpack_from("<4i", raw, 0)
    (piston_min_lib,) = struct.unpack_from("<d", raw, 16)
    off = 24
    positions = np.frombuffer(raw, "<i4", n, off)
    off += 4 * n
    surface = np.frombuffer(raw, "<f8", w * w, off)
    off += 8 * w * w
    commands_lib = np.frombuffer(raw, "<f8", n, off)
    return n, options, rc, piston_min_lib, positions, surface, commands_lib


def main():
    table = scipy.io.loadmat(sys.argv[1])
    cases = [read_case(path) for path in sys.argv[2:]]
    n, _, _, _, positions, _, _ = cases[0]

    rec = np.asarray(table["DM_reconstructor"], dtype=float)
    if rec.shape[0] != n:
        rec = rec[np.ix_(positions, positions)]
    coeffs = np.asarray(table["coeffs"], dtype=float).ravel()
    orders = np.rint(np.asarray(table["orders"], dtype=float)).astype(int)
    plate = 16.0 * math.pi * 1.69e11 * (3e-6) ** 3 / 11.4192
    scale = 1.0 / plate if coeffs.size > 8 and coeffs[8] > 1000.0 else plate
    a = scale * rec
    if "Z_unpow_discrete" in table:
        z = np.asarray(table["Z_unpow_discrete"], dtype=float)
        unpow = z.ravel()[positions]
    else:
        z = None
        unpow = np.zeros(n)

    def poly(xx, yy):
        v = np.zeros_like(xx)
        for c, (ea, eb) in zip(coeffs, orders):
            v = v + c * xx ** ea * yy ** eb
        return v

    def squared(rel):
        return poly(1e6 * rel, 1000.0 * np.linalg.solve(a, rel))

    # Piston range: every flat piston from -600 nm down, all at once.
    pistons = np.arange(-600.0, -10000.0, -1.0)
    rel = 1e-9 * pistons[None, :] - unpow[:, None]
    v = squared(rel)
    ok = np.all(v >= 0.0, axis=0) & np.all(np.sqrt(np.maximum(v, 0.0)) <= 1.0, axis=0)
    fails = np.flatnonzero(~ok)
    piston_min = 0.0 if fails.size and fails[0] == 0 else pistons[(fails[0] if fails.size else pistons.size) - 1]
    piston_max = 0.0

    def flat_commands(p):
        vv = squared(1e-9 * p - unpow)
        return np.sqrt(vv) if np.all(vv >= 0) and np.all(np.sqrt(vv) <= 1.0) else None

    bias, slope = 0.6, 0.0
    mid = flat_commands(piston_min / 2.0)
    if mid is not None:
        bias = mid.mean()
    up = flat_commands(piston_min / 2.0 + 20.0)
    if up is not None:
        slope = -20.0 / (up.mean() - bias)
    top = bottom = 0.0
    if z is not None:
        top = scipy.ndimage.uniform_filter(z, size=3, mode="mirror").max()
        bottom = unpow.min()
    stroke_max = top * 1e9 + piston_max
    stroke_min = piston_min - (top - bottom) * 1e9

    def calculate(s, opts):
        rel = 1e-9 * s - unpow
        hi, lo = rel.max(), rel.min()
        middle = (hi + lo) / 2.0 * 1e9
        if not opts & ABSOLUTE:
            if hi > 0:
                return calculate(s - hi * 1e9 - 75.0, opts)
            h = (stroke_max - stroke_min) / 2.0
            if h > abs(middle):
                return calculate(s + min(abs(middle) - h - 75.0, 75.0 - 0.7 * (lo * 1e9 - piston_min)), opts)
        vv = squared(rel)
        if np.any(vv < 0):
            if not opts & BEST_EFFORT:
                return ERR_OUT_OF_LUT_RANGE, vv
            vv = np.maximum(vv, 0.0)
        c = np.sqrt(vv)
        if not opts & ABSOLUTE:
            d = (c.min() + c.max()) / 2.0 - bias
            if abs(d) > 0.005:
                g = max(c.max() - 1.0 + 0.005, d)
                return calculate(s + min(g * slope, -hi * 1e9 - 75.0), opts | ABSOLUTE)
        if np.any((c < 0) | (c > 1.0)):
            if not opts & BEST_EFFORT:
                return ERR_OUT_OF_LUT_RANGE, c
            c = np.clip(c, 0.0, 1.0)
        return NO_ERR, c

    failures = 0
    for path, (_, options, rc, piston_min_lib, _, surface, commands_lib) in zip(sys.argv[2:], cases):
        expected_rc, expected = calculate(surface[positions].copy(), options)
        problems = []
        if piston_min != piston_min_lib:
            problems.append("pistonMin %r, library %r" % (piston_min, piston_min_lib))
        if expected_rc != rc:
            problems.append("result %d, library %d" % (expected_rc, rc))
        worst = float(np.max(np.abs(expected - commands_lib) / np.maximum(1.0, np.abs(expected))))
        if not worst < 1e-9:
            problems.append("commands differ by %g" % worst)
        if problems:
            print("%s: %s" % (path, "; ".join(problems)))
            failures += 1
        else:
            print("%s ok: pistonMin %g, options %d, result %d, largest difference %g"
                  % (path, piston_min, options, rc, worst))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
