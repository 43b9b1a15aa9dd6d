#!/usr/bin/python3
"""Python calls against ctypes calls of the same C exports, measured in the same run:

- frames: mirrorkit.Mirror.send of a 4096-value float64 array against KRVSetArray through ctypes with prepared
  pointers, on a dummy 4096-actuator mirror (goal: at most 1.5 times); KrvDm.send_data with a DoubleVector and
  with a numpy array for reference;
- surfaces: mirrorkit.Mirror.set_surface of a 128 x 128 and of a 512 x 512 float64 phase map against
  KRVSetSurface through ctypes on the same map, on a dummy 952-actuator mirror with a calibration table (goal: at
  most 1.3 times each).

Usage: python_calls.py --libdir BUILD/lib --pythonpath BUILD/python --testdata BUILD/testdata [--rounds N]

Each round times every variant of a group once, in turn, over the same number of calls (CPU time of the process,
all threads); the figures are the medians over the rounds. Exits with 1 when a goal is missed.
"""
import argparse
import ctypes
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

SEND_GOAL = 1.5
SURFACE_GOAL = 1.3


def timed(fn, calls):
    start = time.process_time()
    for _ in range(calls):
        fn()
    return (time.process_time() - start) / calls


def profile(folder, serial, size):
    lines = (b"type=2", f"size={size}".encode(), b"maxv=100", b"vlim=100")
    (folder / f"{serial}.dm").write_bytes(b"".join(bytes(b ^ 0xA7 for b in line) + b"\n" for line in lines))


def measure(title, variants, rounds, calls):
    times = {name: [] for name in variants}
    for _ in range(rounds):
        for name, fn in variants.items():
            times[name].append(timed(fn, calls))
    medians = {name: statistics.median(t) for name, t in times.items()}
    print(f"{title}, CPU time per call, median of {rounds} rounds of {calls} calls:")
    for name, t in medians.items():
        print(f"  {name:44s} {t * 1e6:9.2f} us")
    return medians


def verdict(what, ratio, goal):
    print(f"{what}: ratio {ratio:.2f} (goal at most {goal}): {'met' if ratio <= goal else 'NOT met'}")
    return ratio <= goal


def phase_map(np, size):
    """A smooth surface over a disc, NaN (no data) around it, as a wavefront sensor gives it."""
    c = (size - 1) / 2
    y, x = (np.mgrid[0:size, 0:size] - c) / c
    r2 = x * x + y * y
    return np.where(r2 <= 1.0, -200.0 + 150.0 * r2 + 40.0 * x * y, np.nan)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--libdir", required=True)
    parser.add_argument("--pythonpath", required=True)
    parser.add_argument("--testdata", required=True)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()

    tmp = pathlib.Path(tempfile.mkdtemp(prefix="krv-pybench-"))
    # Logging and the install directory stay inside the temporary tree.
    os.environ["LOCALAPPDATA"] = str(tmp)
    os.environ["KRV_REGISTRY_FILE"] = str(tmp / "none.reg")
    os.environ["KRV_OPENLOOP_LIBRARY"] = os.path.join(args.libdir, "libKRV_OpenLoop4.so")
    frames_serial, surface_serial = "PYBENCH4096", "PYBENCH0952"
    profile(tmp, frames_serial, 4096)
    profile(tmp, surface_serial, 952)
    table = os.path.join(args.testdata, "calibration", "cdm_952_z.mat")

    sys.path.insert(0, args.pythonpath)
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "core" / "tests"))
    import numpy as np
    import krv
    import mirrorkit
    from ctypes_client import DM

    core = ctypes.CDLL(os.path.join(args.libdir, "libKRV4.so"))
    openloop = ctypes.CDLL(os.path.join(args.libdir, "libKRV_OpenLoop4.so"))

    def c_record(serial):
        record = DM()
        for setter in (core.KRVSetProfilesPath, core.KRVSetMapsPath, core.KRVSetCalibrationsPath):
            setter(ctypes.byref(record), str(tmp).encode())
        assert core.KRVOpen(ctypes.byref(record), serial.encode()) == 0
        return record

    ok = True

    # Frames.
    frame = np.random.default_rng(1).random(4096)
    mirror = mirrorkit.Mirror(frames_serial, profiles=tmp)
    kdm = krv.KrvDm()
    for setter in (kdm.set_profiles_path, kdm.set_maps_path, kdm.set_calibrations_path):
        setter(str(tmp))
    assert kdm.open_dm(frames_serial) == krv.NO_ERR
    vector = krv.DoubleVector(frame.tolist())
    record = c_record(frames_serial)
    set_array = core.KRVSetArray
    set_array.argtypes = (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
    set_array.restype = ctypes.c_uint32
    dm_ptr, frame_ptr = ctypes.addressof(record), frame.ctypes.data
    variants = {
        "mirrorkit Mirror.send(float64 array)": lambda: mirror.send(frame),
        "ctypes KRVSetArray(prepared pointers)": lambda: set_array(dm_ptr, frame_ptr, None),
        "KrvDm.send_data(DoubleVector)": lambda: kdm.send_data(vector),
        "KrvDm.send_data(numpy array)": lambda: kdm.send_data(frame),
    }
    # Every variant must send the frame it was given.
    for fn in variants.values():
        fn()
    assert np.abs(mirror.read() - frame).max() <= 0.5 / 65535
    assert np.abs(np.array(kdm.get_actuator_data()) - frame).max() <= 0.5 / 65535
    medians = measure("4096-value frames to a dummy mirror", variants, args.rounds, args.calls)
    ok &= verdict("Mirror.send / ctypes KRVSetArray", medians["mirrorkit Mirror.send(float64 array)"] /
                  medians["ctypes KRVSetArray(prepared pointers)"], SEND_GOAL)
    mirror.close()
    kdm.close_dm()
    core.KRVClose(ctypes.byref(record))

    # Surfaces.
    mirror = mirrorkit.Mirror(surface_serial, profiles=tmp)
    mirror.load_calibration(table)
    record = c_record(surface_serial)
    assert core.KRVLoadCalibrationFile(ctypes.byref(record), table.encode()) == 0
    set_surface = openloop.KRVSetSurface
    set_surface.argtypes = (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                            ctypes.c_uint)
    set_surface.restype = ctypes.c_uint32
    get_array = core.KRVGetArray
    get_array.argtypes = (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32)
    dm_ptr = ctypes.addressof(record)
    for size in (128, 512):
        surface = phase_map(np, size)
        surface_ptr = surface.ctypes.data
        variants = {
            f"mirrorkit Mirror.set_surface({size} x {size})": lambda: mirror.set_surface(surface),
            f"ctypes KRVSetSurface({size} x {size})": lambda: set_surface(dm_ptr, surface_ptr, size, size, 0, 0),
        }
        for fn in variants.values():
            fn()
        c_frame = np.zeros(952)
        get_array(dm_ptr, c_frame.ctypes.data, 952)
        assert np.array_equal(mirror.read(), c_frame) and c_frame.any()
        calls = max(20, args.calls // (10 if size == 128 else 100))
        medians = measure(f"{size} x {size} phase maps to a dummy 952-actuator mirror", variants, args.rounds, calls)
        ok &= verdict(f"Mirror.set_surface / ctypes KRVSetSurface, {size} x {size}",
                      medians[f"mirrorkit Mirror.set_surface({size} x {size})"] /
                      medians[f"ctypes KRVSetSurface({size} x {size})"], SURFACE_GOAL)
    mirror.close()
    core.KRVClose(ctypes.byref(record))

    shutil.rmtree(tmp, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
