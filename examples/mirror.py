"""Opens a mirror with the mirrorkit package, sends a ramp across its actuators, reads it back and shows it on
the actuator grid.

Usage: python3 mirror.py [serial number]        (default MYMIRROR001)
"""
import sys

import numpy as np

import mirrorkit

serial = sys.argv[1] if len(sys.argv) > 1 else "MYMIRROR001"
with mirrorkit.Mirror(serial) as dm:
    n = dm.n_actuators
    dm.send((np.arange(n) + 0.5) / n)  # one command per actuator, 0 to 1
    back = dm.read()
    print(f"mirror.py: {serial}, {n} actuators, first and last commands read back {back[0]:.4f} {back[-1]:.4f}")
    np.set_printoptions(precision=2, linewidth=150)
    print(dm.to_grid())  # the frame on the actuator grid, NaN where there is no actuator
    dm.clear()
