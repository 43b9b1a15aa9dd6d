#!/usr/bin/python3
"""Makes the kit's test and benchmark data: calibration tables and MAT files of every class, as level-5 MAT files.

Usage: make_testdata.py --out DIR [--set small|big]

Everything is deterministic: fixed seeds, and a fixed 116-byte header text in place of the creation
date scipy writes there, so that every run writes the same bytes.

Set "small" (the CMake target krv_testdata) writes:

  DIR/calibration/  continuous-mirror tables. n actuators, grid width W, present positions as in the
                    model table; mask-less rows with n = W*W - 4 leave out the four grid corners.
                    Actuator order = present grid positions in row-major order.
    cdm_<n>.mat        uncompressed, DM_reconstructor n x n
    cdm_<n>_z.mat      compressed,   DM_reconstructor n x n (same content as cdm_<n>.mat)
    cdm_<n>_w2.mat     compressed,   DM_reconstructor W^2 x W^2 (only for rows with a grid mask)
      for (row, n, W, stroke nm): (1, 32, 6, 1500), (4, 137, 13, 3500), (6, 144, 12, 1500),
                                  (11, 492, 24, 1500), (14, 952, 34, 1500)
    Variables, in this order:
      DM_name            char 1 x k        e.g. "DMType04-SIM-137"
      DM_reconstructor   double n x n (or W^2 x W^2): alpha*I + L*L, L the 4-neighbour graph Laplacian
                         of the present positions (a plate on an elastic foundation, free edges);
                         symmetric positive definite, alpha = 1. In the W^2 form absent positions
                         hold alpha on the diagonal and nothing else.
      coeffs             double 1 x 10: command polynomial, v = sum c_k X^a_k Y^b_k, command = sqrt(v)
      orders             double 10 x 2: (a_k, b_k) = (0,0) (1,0) (2,0) (3,0) (0,1) (1,1) (2,1) (3,1)
                         (0,2) (1,2); coefficient 8 is the Y^2 term. It exceeds 1000 exactly in the
                         tables built for the 1/K scale (n = 137, 492, 4092), and not in the others.
      Z_unpow_discrete   double W x W, metres: a bowl rising ~40 nm from centre to the outermost
                         actuator plus a ~1 nm ripple (zero at absent positions)
    Variants of the 137-actuator table (uncompressed):
      cdm_137_nounpow.mat   no Z_unpow_discrete
      cdm_137_coeffs1.mat   coeffs 1 x 1, orders 1 x 2
      cdm_137_coeffs4.mat   coeffs 1 x 4, orders 4 x 2 = (0,0) (1,0) (0,1) (1,1), fitted for the scale K
                            (the scale a table with fewer than nine coefficients is read with)
      cdm_137_badunpow.mat  Z_unpow_discrete (W-1) x W

  DIR/calibration/  segmented-mirror tables (segments = n / 3, actuators 3s, 3s+1, 3s+2):
    hex_111.mat, hex_111_z.mat (uncompressed / compressed), hex_507_z.mat (compressed)
    Variables, in this order:
      DM_name                  char
      get_commands             uint16 L x L x L x 3, L = 15: (ix, iy, ip, a) the driver value of
                               actuator a at x-tilt ix, y-tilt iy, piston ip; (0, 0, 0) where the
                               segment cannot reach (corners of the tilt plane, ends of the piston axis)
      piston_range             double 1 x L, metres, 0 .. stroke
      x_tilt_range             double 1 x L, radians, symmetric about 0
      y_tilt_range             double 1 x L, radians, symmetric about 0
      piston_range_max_lookup  double L x L, metres (ix, iy); NaN where no piston is reachable
      piston_range_min_lookup  double L x L, metres (ix, iy); NaN where no piston is reachable
      initialSegmentTTPMap     double segments x 3: x-tilt (rad), y-tilt (rad), piston offset (nm)
    Variants of hex_111: hex_111_nooffsets.mat (no initialSegmentTTPMap),
                         hex_111_badlut.mat (get_commands L x L x (L+1) x 3)

  DIR/mat/          files for the reader's own tests; expected values follow from the formulas below
    classes.mat, classes_z.mat (scipy's writer, uncompressed / compressed), variables:
      d11   double 1x1 = 42.5
      d32   double 3x2, (i, j) = 10*(i+1) + (j+1) + 0.25 (0-based i, j)
      d234  double 2x3x4, (i, j, k) = i + 10*j + 100*k
      d4    double 3x4x2x2, (i, j, k, l) = i + 10*j + 100*k + 1000*l
      s23   single 2x3, (i, j) = i - 2*j + 0.5
      i8    int8 2x3 (i, j) = -100 + 50*i + 7*j           u8  uint8 2x3 (i, j) = 200 + 20*i + j
      i16   int16 2x3 (i, j) = -30000 + 1000*i + 3*j      u16 uint16 2x3 (i, j) = 60000 + 1000*i + 3*j
      i32   int32 2x3 (i, j) = -2000000000 + 7*i + j      u32 uint32 2x3 (i, j) = 4000000000 + 7*i + j
      i64   int64 2x3 (i, j) = -(2^40) + 7*i + j          u64 uint64 2x3 (i, j) = 2^50 + 7*i + j
      cplx  complex double 2x2, (i, j) = (i + 2j) + (10 + i - j)i
      flag  logical 1x3 = [1 0 1]
      name  char "calibration table"
      empty double 0x0
      cellv cell 1x3 = {double 2.5, char "abc", int16 1x2 [7 -8]}
      st    struct 1x2 with fields a, bb: st(1).a = 1, st(1).bb = "x", st(2).a = [1 2 3], st(2).bb = "yz"
      sp    sparse 3x3 identity
    big_endian.mat   "MI" file (this script's own writer): be_d32 double 3x2 as d32; be_i16 int16 2x3 as
                     i16; be_s23 single 2x3 as s23; be_name char "abc" (stored as miUINT16);
                     be_cell cell 1x2 {double 2.5, uint32 1x1 123456789}; be_z compressed double 3x2 as d32
    little_utf16.mat "IM" file, the same variables written with the same writer (prefix le_)

Set "big" (the CMake target krv_testdata_big) writes DIR/calibration/cdm_4092.mat and
cdm_4092_z.mat: row 24 (4092 actuators, W 64, corners absent, stroke 3500 nm), n x n reconstructor.
"""

import argparse
import io
import math
import os
import struct
import sys
import zlib

import numpy as np
import scipy.io
import scipy.sparse
import scipy.sparse.linalg

# ---------------------------------------------------------------- model geometry

def disc_mask(w, t):
    m = (w - 1) / 2.0
    r, c = np.mgrid[0:w, 0:w]
    return ((r - m) ** 2 + (c - m) ** 2 <= t).astype(np.int32)


def diamond_mask(w, t):
    m = (w - 1) / 2.0
    r, c = np.mgrid[0:w, 0:w]
    return (np.abs(r - m) + np.abs(c - m) <= t).astype(np.int32)


def cornerless_mask(w):
    mask = np.ones((w, w), dtype=np.int32)
    for r, c in ((0, 0), (0, w - 1), (w - 1, 0), (w - 1, w - 1)):
        mask[r, c] = 0
    return mask


# (row, count, width, stroke nm, mask, has a grid mask in the model table)
CONTINUOUS = {
    32: (1, 32, 6, 1500.0, lambda: cornerless_mask(6), False),
    137: (4, 137, 13, 3500.0, lambda: disc_mask(13, 41.0), True),
    144: (6, 144, 12, 1500.0, lambda: np.ones((12, 12), dtype=np.int32), False),
    492: (11, 492, 24, 1500.0, lambda: diamond_mask(24, 17.5), True),
    952: (14, 952, 34, 1500.0, lambda: disc_mask(34, 302.5), True),
    4092: (24, 4092, 64, 3500.0, lambda: cornerless_mask(64), False),
}

# Tables whose polynomial is built for the 1/K scale (coefficient 8 above 1000).
INVERSE_SCALE = {137, 492, 4092}

# Flexural rigidity of the face sheet times 16 pi, as the calibration code uses it.
PLATE_K = 16.0 * math.pi * 1.69e11 * (3e-6 ** 3) / 11.4192
ALPHA = 1.0

ORDERS = [(0, 0), (1, 0), (2, 0), (3, 0), (0, 1), (1, 1), (2, 1), (3, 1), (0, 2), (1, 2)]


def plate_operator(mask):
    """alpha*I + L*L over the present positions, L the graph Laplacian with free edges."""
    w = mask.shape[0]
    flat = mask.reshape(-1)
    present = np.flatnonzero(flat)
    index = -np.ones(w * w, dtype=np.int64)
    index[present] = np.arange(present.size)
    rows, cols, vals = [], [], []
    for k, p in enumerate(present):
        r, c = divmod(int(p), w)
        degree = 0
        for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)):
            rr, cc = r + dr, c + dc
            if 0 <= rr < w and 0 <= cc < w and flat[rr * w + cc]:
                rows.append(k)
                cols.append(int(index[rr * w + cc]))
                vals.append(-1.0)
                degree += 1
        rows.append(k)
        cols.append(k)
        vals.append(float(degree))
    n = present.size
    lap = scipy.sparse.csr_matrix((vals, (rows, cols)), shape=(n, n))
    op = (lap @ lap + ALPHA * scipy.sparse.identity(n, format="csr")).tocsr()
    return op, present


def unpowered_shape(mask, rng):
    w = mask.shape[0]
    m = (w - 1) / 2.0
    r, c = np.mgrid[0:w, 0:w]
    rr = np.hypot(r - m, c - m)
    rmax = rr[mask > 0].max()
    bowl = 40e-9 * (rr / rmax) ** 2
    ripple = 1e-9 * rng.standard_normal((w, w))
    shape = (bowl + ripple) * mask
    return shape


def command_model(d, f, stroke_um):
    """Squared command of an electrostatic actuator: deflection d and force f, both in um of
    equivalent deflection (f = d for a flat piston); gap three strokes, a slight fringing excess
    and a leakage floor so that v stays positive at rest."""
    gap = 3.0 * stroke_um
    gamma = 0.05
    v = (f / stroke_um) * ((gap + d) / (gap + stroke_um)) ** 2.3 + gamma * (f / stroke_um) ** 2
    return v / (1.0 + gamma) + 1e-4


def fit_polynomial(stroke_nm, sigma, orders):
    """Least-squares fit of the command model in X (um, negative down) and Y (solver units)."""
    s_um = stroke_nm * 1e-3
    # Normalised coordinates keep the fit well conditioned: u = X / S, t = Y * sigma / S.
    u = np.linspace(-1.25, 0.0, 60)
    t = np.linspace(-1.5, 0.2, 60)
    uu, tt = np.meshgrid(u, t)
    d = -uu * s_um
    f = -tt * s_um
    target = command_model(d, f, s_um).reshape(-1)
    # Measured tables carry noise; without it the pure-deflection terms would come out as round-off.
    target = target + np.random.default_rng(7).normal(0.0, 2e-4, target.size)
    design = np.stack([(uu ** a * tt ** b).reshape(-1) for a, b in orders], axis=1)
    chat, *_ = np.linalg.lstsq(design, target, rcond=None)
    # Back to X and Y: X = u * S, Y = t * S / sigma.
    coeffs = np.array([chat[k] / s_um ** a / (s_um / sigma) ** b for k, (a, b) in enumerate(orders)])
    return coeffs


def evaluate_commands(op_scaled, coeffs, orders, rel):
    x = scipy.sparse.linalg.spsolve(op_scaled.tocsc(), rel)
    xx = 1e6 * rel
    yy = 1000.0 * x
    v = np.zeros_like(rel)
    for c, (a, b) in zip(coeffs, orders):
        v += c * xx ** a * yy ** b
    return v


def continuous_table(n, rng, orders=ORDERS):
    _, count, w, stroke, mask_fn, _ = CONTINUOUS[n]
    mask = mask_fn()
    assert int(mask.sum()) == count, (n, int(mask.sum()))
    op, present = plate_operator(mask)
    scale = 1.0 / PLATE_K if n in INVERSE_SCALE else PLATE_K
    sigma = scale * ALPHA * 1e3
    coeffs = fit_polynomial(stroke, sigma, orders)
    if len(orders) > 8:
        assert (coeffs[8] > 1000.0) == (n in INVERSE_SCALE), (n, coeffs[8])
    unpow = unpowered_shape(mask, rng)
    table = {"mask": mask, "op": op, "present": present, "coeffs": coeffs, "unpow": unpow, "w": w}
    check_flat_pistons(n, table, scale, coeffs, orders, stroke)
    return table


def check_flat_pistons(n, table, scale, coeffs, orders, stroke):
    """A table must give commands within 0..1 over most of the stroke, and beyond 1 past it."""
    op_scaled = table["op"] * scale
    unpow_act = table["unpow"].reshape(-1)[table["present"]]
    for piston_nm, ok in ((-600.0, True), (-0.8 * stroke, True), (-1.3 * stroke, False)):
        v = evaluate_commands(op_scaled, coeffs, orders, piston_nm * 1e-9 - unpow_act)
        inside = bool(np.all(v >= 0.0) and np.all(np.sqrt(np.maximum(v, 0.0)) <= 1.0))
        assert inside == ok, (n, len(coeffs), piston_nm, v.min(), v.max())


MODEL_NAMES = {32: "DMType01", 137: "DMType04", 144: "DMType16", 492: "DMType08", 952: "DMType11",
               4092: "DMType19"}


def reconstructor_dense(table, full):
    op = table["op"]
    if not full:
        return op.toarray()
    w = table["w"]
    dense = np.zeros((w * w, w * w))
    idx = table["present"]
    dense[np.ix_(idx, idx)] = op.toarray()
    absent = np.setdiff1d(np.arange(w * w), idx)
    dense[absent, absent] = ALPHA
    return dense


HEADER_TEXT = b"MATLAB 5.0 MAT-file, written by the kit's test data generator".ljust(116, b" ")


def save(path, variables, compress):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    scipy.io.savemat(path, variables, do_compression=compress, oned_as="row")
    with open(path, "r+b") as f:
        f.write(HEADER_TEXT)


def cdm_variables(n, table, full=False, coeffs=None, orders=ORDERS, unpow="normal"):
    v = {"DM_name": "%s-SIM-%d" % (MODEL_NAMES[n], n),
         "DM_reconstructor": reconstructor_dense(table, full)}
    c = table["coeffs"] if coeffs is None else coeffs
    v["coeffs"] = np.asarray(c, dtype=np.float64).reshape(1, -1)
    v["orders"] = np.asarray(orders, dtype=np.float64).reshape(-1, 2)
    if unpow == "normal":
        v["Z_unpow_discrete"] = table["unpow"]
    elif unpow == "bad":
        v["Z_unpow_discrete"] = table["unpow"][:-1, :]
    return v


def write_continuous(out, sizes):
    for n in sizes:
        rng = np.random.default_rng(1000 + n)
        table = continuous_table(n, rng)
        base = os.path.join(out, "calibration", "cdm_%d" % n)
        variables = cdm_variables(n, table)
        save(base + ".mat", variables, False)
        save(base + "_z.mat", variables, True)
        if CONTINUOUS[n][5] and n < 4092:
            save(base + "_w2.mat", cdm_variables(n, table, full=True), True)
        if n == 137:
            save(base + "_nounpow.mat", cdm_variables(n, table, unpow="none"), False)
            save(base + "_coeffs1.mat", cdm_variables(n, table, coeffs=table["coeffs"][:1], orders=ORDERS[:1]), False)
            stroke = CONTINUOUS[n][3]
            four = [(0, 0), (1, 0), (0, 1), (1, 1)]
            c4 = fit_polynomial(stroke, PLATE_K * ALPHA * 1e3, four)
            check_flat_pistons(n, table, PLATE_K, c4, four, stroke)
            save(base + "_coeffs4.mat", cdm_variables(n, table, coeffs=c4, orders=four), False)
            save(base + "_badunpow.mat", cdm_variables(n, table, unpow="bad"), False)


# ---------------------------------------------------------------- segmented tables

HEX_L = 15
HEX_STROKE_NM = 1500.0
HEX_ARM_NM = 250e3          # actuator distance from the segment centre: 250 um
HEX_TILT_MAX = 4e-3         # radians at the ends of the tilt axes


def hex_table(segments, rng, lut_extra=0):
    L = HEX_L
    pistons = np.linspace(0.0, HEX_STROKE_NM, L)                # nm, downward deflection
    xt = np.linspace(-HEX_TILT_MAX, HEX_TILT_MAX, L)
    yt = np.linspace(-HEX_TILT_MAX, HEX_TILT_MAX, L)
    angles = np.deg2rad([90.0, 210.0, 330.0])
    ax = HEX_ARM_NM * np.cos(angles)
    ay = HEX_ARM_NM * np.sin(angles)
    lp = L + lut_extra
    pist_ext = np.linspace(0.0, HEX_STROKE_NM, lp)
    lut = np.zeros((L, L, lp, 3), dtype=np.uint16)
    pmax = np.full((L, L), np.nan)
    pmin = np.full((L, L), np.nan)
    for ix in range(L):
        for iy in range(L):
            tilt = xt[ix] * ax + yt[iy] * ay                       # nm per actuator
            lo = -tilt.min()
            hi = HEX_STROKE_NM - tilt.max()
            if lo <= hi:
                pmin[ix, iy] = max(lo, 0.0) * 1e-9
                pmax[ix, iy] = hi * 1e-9
            for ip in range(lp):
                h = pist_ext[ip] + tilt
                if np.all(h >= 0.0) and np.all(h <= HEX_STROKE_NM):
                    # Electrostatic drive: deflection grows with the square of the voltage.
                    lut[ix, iy, ip, :] = np.round(1500.0 + 62000.0 * np.sqrt(h / HEX_STROKE_NM)).astype(np.uint16)
    ttp = np.stack([rng.uniform(-2e-4, 2e-4, segments),
                    rng.uniform(-2e-4, 2e-4, segments),
                    rng.uniform(-20.0, 20.0, segments)], axis=1)
    return {"lut": lut, "pistons": pistons, "xt": xt, "yt": yt, "pmax": pmax, "pmin": pmin, "ttp": ttp}


def hex_variables(n, table, offsets=True):
    v = {"DM_name": "HEX-SIM-%d" % n,
         "get_commands": table["lut"],
         "piston_range": table["pistons"].reshape(1, -1) * 1e-9,
         "x_tilt_range": table["xt"].reshape(1, -1),
         "y_tilt_range": table["yt"].reshape(1, -1),
         "piston_range_max_lookup": table["pmax"],
         "piston_range_min_lookup": table["pmin"]}
    if offsets:
        v["initialSegmentTTPMap"] = table["ttp"]
    return v


def write_segmented(out):
    for n, variants in ((111, True), (507, False)):
        rng = np.random.default_rng(2000 + n)
        table = hex_table(n // 3, rng)
        base = os.path.join(out, "calibration", "hex_%d" % n)
        variables = hex_variables(n, table)
        if variants:
            save(base + ".mat", variables, False)
        save(base + "_z.mat", variables, True)
        if variants:
            save(base + "_nooffsets.mat", hex_variables(n, table, offsets=False), False)
            bad = hex_table(n // 3, np.random.default_rng(2000 + n), lut_extra=1)
            save(base + "_badlut.mat", hex_variables(n, bad), False)


# ---------------------------------------------------------------- reader test files

def grid(shape, fn, dtype):
    idx = np.indices(shape)
    return np.asarray(fn(*idx), dtype=dtype)


def class_variables():
    v = {}
    v["d11"] = np.array([[42.5]])
    v["d32"] = grid((3, 2), lambda i, j: 10 * (i + 1) + (j + 1) + 0.25, np.float64)
    v["d234"] = grid((2, 3, 4), lambda i, j, k: i + 10 * j + 100 * k, np.float64)
    v["d4"] = grid((3, 4, 2, 2), lambda i, j, k, l: i + 10 * j + 100 * k + 1000 * l, np.float64)
    v["s23"] = grid((2, 3), lambda i, j: i - 2 * j + 0.5, np.float32)
    v["i8"] = grid((2, 3), lambda i, j: -100 + 50 * i + 7 * j, np.int8)
    v["u8"] = grid((2, 3), lambda i, j: 200 + 20 * i + j, np.uint8)
    v["i16"] = grid((2, 3), lambda i, j: -30000 + 1000 * i + 3 * j, np.int16)
    v["u16"] = grid((2, 3), lambda i, j: 60000 + 1000 * i + 3 * j, np.uint16)
    v["i32"] = grid((2, 3), lambda i, j: -2000000000 + 7 * i + j, np.int32)
    v["u32"] = grid((2, 3), lambda i, j: np.uint32(4000000000) + 7 * i + j, np.uint32)
    v["i64"] = grid((2, 3), lambda i, j: -(2 ** 40) + 7 * i + j, np.int64)
    v["u64"] = grid((2, 3), lambda i, j: np.uint64(2 ** 50) + 7 * i + j, np.uint64)
    v["cplx"] = grid((2, 2), lambda i, j: (i + 2 * j) + 1j * (10 + i - j), np.complex128)
    v["flag"] = np.array([[True, False, True]])
    v["name"] = "calibration table"
    v["empty"] = np.zeros((0, 0))
    cell = np.empty((1, 3), dtype=object)
    cell[0, 0] = np.array([[2.5]])
    cell[0, 1] = "abc"
    cell[0, 2] = np.array([[7, -8]], dtype=np.int16)
    v["cellv"] = cell
    st = np.empty((1, 2), dtype=[("a", object), ("bb", object)])
    st[0, 0] = (np.array([[1.0]]), "x")
    st[0, 1] = (np.array([[1.0, 2.0, 3.0]]), "yz")
    v["st"] = st
    v["sp"] = scipy.sparse.identity(3, format="csc")
    return v


class RawWriter:
    """A minimal level-5 writer with a selectable byte order, for files scipy cannot write
    (big-endian, MATLAB-style UTF-16 char data)."""

    TYPES = {np.dtype(np.float64): (9, 6), np.dtype(np.float32): (7, 7), np.dtype(np.int16): (3, 10),
             np.dtype(np.uint32): (6, 13)}

    def __init__(self, order):
        self.o = ">" if order == "big" else "<"

    def tag(self, dtype, size):
        return struct.pack(self.o + "II", dtype, size)

    def element(self, dtype, payload):
        pad = (-len(payload)) % 8
        return self.tag(dtype, len(payload)) + payload + b"\0" * pad

    def header(self):
        text = HEADER_TEXT
        version = struct.pack(self.o + "H", 0x0100)
        indicator = b"MI" if self.o == ">" else b"IM"
        return text + b"\0" * 8 + version + indicator

    def matrix(self, name, value):
        o = self.o
        if isinstance(value, str):
            cls = 4
            dims = (1, len(value))
            data = self.element(4, np.array([ord(ch) for ch in value], dtype=o + "u2").tobytes())
        elif isinstance(value, list):
            cls = 1
            dims = (1, len(value))
            data = b"".join(self.matrix("", item) for item in value)
        else:
            arr = np.asarray(value)
            mtype, cls = self.TYPES[arr.dtype]
            dims = arr.shape
            data = self.element(mtype, arr.astype(arr.dtype.newbyteorder(o)).tobytes(order="F"))
        flags = self.element(6, struct.pack(o + "II", cls, 0))
        dim = self.element(5, struct.pack(o + "%di" % len(dims), *dims))
        nm = self.element(1, name.encode("ascii"))
        body = flags + dim + nm + data
        return self.tag(14, len(body)) + body

    def compressed(self, name, value):
        raw = self.matrix(name, value)
        z = zlib.compress(raw)
        return self.tag(15, len(z)) + z


def raw_variables(prefix):
    d32 = grid((3, 2), lambda i, j: 10 * (i + 1) + (j + 1) + 0.25, np.float64)
    return [
        ("d32", d32, False),
        ("i16", grid((2, 3), lambda i, j: -30000 + 1000 * i + 3 * j, np.int16), False),
        ("s23", grid((2, 3), lambda i, j: i - 2 * j + 0.5, np.float32), False),
        ("name", "abc", False),
        ("cell", [np.array([[2.5]]), np.array([[123456789]], dtype=np.uint32)], False),
        ("z", d32, True),
    ]


def write_raw(path, order, prefix):
    w = RawWriter(order)
    blob = io.BytesIO()
    blob.write(w.header())
    for name, value, compress in raw_variables(prefix):
        full = prefix + name
        blob.write(w.compressed(full, value) if compress else w.matrix(full, value))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(blob.getvalue())
    # The hand-made file must mean the same to scipy's reader as the values written.
    back = scipy.io.loadmat(path)
    for name, value, _ in raw_variables(prefix):
        got = back[prefix + name]
        if isinstance(value, str):
            assert got[0] == value, (path, name, got)
        elif isinstance(value, list):
            assert float(got[0, 0][0, 0]) == 2.5 and int(got[0, 1][0, 0]) == 123456789, (path, name)
        else:
            assert np.array_equal(got, value), (path, name)


def write_mat_tests(out):
    variables = class_variables()
    save(os.path.join(out, "mat", "classes.mat"), variables, False)
    save(os.path.join(out, "mat", "classes_z.mat"), variables, True)
    write_raw(os.path.join(out, "mat", "big_endian.mat"), "big", "be_")
    write_raw(os.path.join(out, "mat", "little_utf16.mat"), "little", "le_")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--set", choices=("small", "big"), default="small")
    parser.add_argument("--stamp")
    args = parser.parse_args()
    if args.set == "small":
        write_continuous(args.out, (32, 137, 144, 492, 952))
        write_segmented(args.out)
        write_mat_tests(args.out)
    else:
        write_continuous(args.out, (4092,))
    if args.stamp:
        with open(args.stamp, "w") as f:
            f.write("done\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
