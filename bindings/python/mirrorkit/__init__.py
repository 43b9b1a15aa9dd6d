"""mirrorkit: deformable mirrors from numpy.

A thin, numpy-native layer over the kit's ``_krv`` module. Frames are arrays of actuator commands in 0..1;
failures raise :class:`KrvError`; mirrors close at the end of a ``with`` block.

Examples
--------
>>> import mirrorkit
>>> with mirrorkit.Mirror("DEMOOL00137", profiles="/tmp/krv-demo/Profiles") as dm:   # doctest: +SKIP
...     dm.set_surface(dm.zernike({4: 150.0}))
...     print(dm.to_grid(dm.read()))
"""
from ._errors import KrvError, ResultCode
from ._mirror import Axis, DriverType, Layout, Mirror, TriggerMode, TriggerType

import krv as _kit

__all__ = ["Axis", "DriverType", "KrvError", "Layout", "Mirror", "ResultCode", "TriggerMode", "TriggerType",
           "kit_version"]


def kit_version():
    """Return the version of the kit's libraries.

    Returns
    -------
    str
        The version text, for example ``"4.2.1"``.
    """
    return _kit.KrvDm.version_string()
