#!/usr/bin/python3
"""Python frame sending on a dummy 4096-actuator mirror: mirrorkit.Mirror.send with a float64 array against a
ctypes call of KRVSetArray with prepared pointers, measured in the same run; KrvDm.send_data with a DoubleVector
and with a numpy array for reference.

Usage: python_send.py --libdir BUILD/lib --pythonpath BUILD/python [--rounds N] [--calls N]

Each round times every variant once, in turn, over the same number of calls (CPU time of the process); the
figures are the medians over the rounds.
"""
import argparse
import ctypes
import os
import pathlib
import statistics
import sys
import tempfile
import time

GOAL = 1.5
N = 4096


def timed(fn, calls):
    start = time.process_time()
    for _ in range(calls):
        fn()
    return (time.process_time() - start) / calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--libdir", required=True)
    parser.add_argument("--pythonpath", required=True)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()

    tmp = pathlib.Path(tempfile.mkdtemp(prefix="krv-pybench-"))
    # Logging and the install directory stay inside the temporary tree.
    os.environ["LOCALAPPDATA"] = str(tmp)
    os.environ["KRV_REGISTRY_FILE"] = str(tmp / "none.reg")
    os.environ["KRV_OPENLOOP_LIBRARY"] = "absent.so"
    serial = "PYBENCH4096"
    (tmp / f"{serial}.dm").write_bytes(b"".join(bytes(b ^ 0xA7 for b in line) + b"\n" for line in
                                                (b"type=2", b"size=4096", b"maxv=100", b"vlim=100")))

    sys.path.insert(0, args.pythonpath)
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "core" / "tests"))
    import numpy as np
    import krv
    import mirrorkit
    from ctypes_client import DM

    frame = np.random.default_rng(1).random(N)
    mirror = mirrorkit.Mirror(serial, profiles=tmp)
    kdm = krv.KrvDm()
    for setter in (kdm.set_profiles_path, kdm.set_maps_path, kdm.set_calibrations_path):
        setter(str(tmp))
    assert kdm.open_dm(serial) == krv.NO_ERR
    vector = krv.DoubleVector(frame.tolist())

    lib = ctypes.CDLL(os.path.join(args.libdir, "libKRV4.so"))
    record = DM()
    for setter in (lib.KRVSetProfilesPath, lib.KRVSetMapsPath, lib.KRVSetCalibrationsPath):
        setter(ctypes.byref(record), str(tmp).encode())
    assert lib.KRVOpen(ctypes.byref(record), serial.encode()) == 0
    set_array = lib.KRVSetArray
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
    for name, fn in variants.items():
        fn()
    assert np.abs(mirror.read() - frame).max() <= 0.5 / 65535
    assert np.abs(np.array(kdm.get_actuator_data()) - frame).max() <= 0.5 / 65535

    times = {name: [] for name in variants}
    for _ in range(args.rounds):
        for name, fn in variants.items():
            times[name].append(timed(fn, args.calls))
    medians = {name: statistics.median(t) for name, t in times.items()}

    print(f"{N}-value frames to a dummy mirror, CPU time per call, median of {args.rounds} rounds of "
          f"{args.calls} calls:")
    for name, t in medians.items():
        print(f"  {name:40s} {t * 1e6:8.2f} us")
    ratio = medians["mirrorkit Mirror.send(float64 array)"] / medians["ctypes KRVSetArray(prepared pointers)"]
    print(f"Mirror.send / ctypes KRVSetArray: ratio {ratio:.2f} (goal at most {GOAL}): "
          f"{'met' if ratio <= GOAL else 'NOT met'}")

    mirror.close()
    kdm.close_dm()
    lib.KRVClose(ctypes.byref(record))
    for f in sorted(tmp.rglob("*"), reverse=True):
        f.unlink() if f.is_file() else f.rmdir()
    tmp.rmdir()
    return 0


if __name__ == "__main__":
    sys.exit(main())
