"""Result codes of the kit as an IntEnum, the exception that carries them, and the errors of the pattern queue."""
import enum

import krv as _kit

try:  # python-microscope's device errors, where it is installed
    import microscope as _microscope
except Exception:  # noqa: BLE001  any failure to import it means it is not there
    _microscope = None

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

    It pickles, so a failure in a worker process (``concurrent.futures.ProcessPoolExecutor``) reaches the parent
    as this error with its code.

    Attributes
    ----------
    code : ResultCode or int
        The kit's result code (a plain ``int`` only for a code the kit does not name).
    message : str
        The kit's message for the code.
    operation : str
        What was being done, for example ``"open_dm('DEMO0000140')"``.
    detail : str
        What went wrong in this case, where the code alone does not say it; may be empty.
    """

    def __init__(self, code, operation="", detail=""):
        try:
            self.code = ResultCode(code)
        except ValueError:
            self.code = int(code)
        self.message = message(code)
        self.operation = operation
        self.detail = detail
        name = self.code.name if isinstance(self.code, ResultCode) else str(self.code)
        text = f"{self.message} ({name})"
        if detail:
            text += f": {detail}"
        super().__init__(f"{operation}: {text}" if operation else text)

    def __reduce__(self):
        return type(self), (int(self.code), self.operation, self.detail)


def check(rc, operation):
    """Raise :class:`KrvError` unless rc is ``NO_ERR``."""
    if rc:
        raise KrvError(rc, operation)


def _bases(name):
    """python-microscope's exception of that name first, where it is installed, then RuntimeError."""
    found = getattr(_microscope, name, None) if _microscope is not None else None
    return (found, RuntimeError) if isinstance(found, type) and issubclass(found, Exception) else (RuntimeError,)


class IncompatibleStateError(*_bases("IncompatibleStateError")):
    """The mirror's trigger set-up does not allow the call (python-microscope's error of the same name, where it
    is installed): :meth:`Mirror.trigger` without the software trigger, :meth:`Mirror.apply_pattern` while the
    PCIe card's sequencer drives the mirror."""


class DeviceError(*_bases("DeviceError")):
    """The call cannot be done in the mirror's present state (python-microscope's error of the same name, where
    it is installed): a trigger with no patterns queued."""
