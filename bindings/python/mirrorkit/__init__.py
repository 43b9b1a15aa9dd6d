"""mirrorkit: deformable mirrors from numpy.

A thin, numpy-native layer over the kit's ``_krv`` module. Frames are arrays of actuator commands in 0..1;
surfaces are heights of the mirror surface in nanometres; failures raise :class:`KrvError`; mirrors close at the
end of a ``with`` block. :class:`Mirror` follows python-microscope's ``DeformableMirror`` interface (patterns,
triggers) and may be shared by threads.

The kit's log messages go to Python's ``logging`` under the logger ``"mirrorkit"`` (level WARNING unless the
program sets another), not to the console.

Examples
--------
>>> import mirrorkit
>>> with mirrorkit.Mirror("DEMOOL00137", profiles="/tmp/krv-demo/Profiles") as dm:   # doctest: +SKIP
...     dm.set_zernike({4: 150.0})                       # 150 nm RMS of defocus, 520 nm peak to valley
...     print(dm.to_grid(dm.read()))
"""
import atexit
import logging

from ._errors import DeviceError, IncompatibleStateError, KrvError, ResultCode
from ._mirror import Axis, Channel, DriverType, Layout, Mirror, TriggerMode, TriggerType, _forward_log
from ._remote import Frame, RemoteError, Saturation

import krv as _kit

__all__ = ["Axis", "Channel", "DeviceError", "DriverType", "Frame", "IncompatibleStateError", "KrvError", "Layout",
           "Mirror", "RemoteError", "ResultCode", "Saturation", "TriggerMode", "TriggerType", "kit_version"]

# The kit's messages go to logging from now on; at exit, before the interpreter goes, back to standard error.
if logging.getLogger("mirrorkit").level == logging.NOTSET:
    logging.getLogger("mirrorkit").setLevel(logging.WARNING)
_kit._set_log_handler(_forward_log)
atexit.register(_kit._set_log_handler, None)


def kit_version():
    """Return the version of the kit's libraries.

    Returns
    -------
    str
        The version text, for example ``"4.2.1"``.
    """
    return _kit.KrvDm.version_string()
