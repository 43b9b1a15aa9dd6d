"""Result codes of the kit as an IntEnum, and the exception that carries them."""
import enum

import krv as _kit

# Built from the module's constants, so the enumeration follows the kit's header.
ResultCode = enum.IntEnum(
    "ResultCode",
    sorted(((n, getattr(_kit, n)) for n in dir(_kit) if n == "NO_ERR" or n.startswith("ERR_")), key=lambda p: p[1]),
    module=__name__)
ResultCode.__doc__ = """Result codes of the kit (``NO_ERR`` 0 to ``ERR_INVALID_COEFFICIENTS`` 36).

The member names are the kit's own, for example ``ResultCode.ERR_DRIVER_NOT_OPEN``.
"""


def message(code):
    """Return the kit's message for a result code.

    Parameters
    ----------
    code : int
        A result code.

    Returns
    -------
    str
        The kit's text, "Unknown error code." for codes it has no text for.
    """
    return _kit.KrvDm().error_string(int(code))


class KrvError(RuntimeError):
    """A call into the kit failed.

    Attributes
    ----------
    code : ResultCode or int
        The kit's result code (a plain ``int`` only for a code the kit does not name).
    message : str
        The kit's message for the code.
    operation : str
        What was being done, for example ``"open_dm('DEMO0000140')"``.
    """

    def __init__(self, code, operation=""):
        try:
            self.code = ResultCode(code)
        except ValueError:
            self.code = int(code)
        self.message = message(code)
        self.operation = operation
        name = self.code.name if isinstance(self.code, ResultCode) else str(self.code)
        super().__init__(f"{operation}: {self.message} ({name})" if operation else f"{self.message} ({name})")


def check(rc, operation):
    """Raise :class:`KrvError` unless rc is ``NO_ERR``."""
    if rc:
        raise KrvError(rc, operation)
