"""The Mirror class: one deformable mirror driven with numpy arrays."""
import enum
import logging
import math
import numbers
import os
import threading

import numpy as np

import krv as _kit

from . import _remote
from ._errors import DeviceError, IncompatibleStateError, KrvError, ResultCode, check

_log = logging.getLogger("mirrorkit")


class DriverType(enum.IntEnum):
    """How the mirror is reached: a USB drive unit, a PCIe interface card, or the dummy driver (no hardware)."""
    USB = _kit.KRV_USB
    PCIE = _kit.KRV_PCIE
    DUMMY = _kit.KRV_DUMMY_DRV


class Layout(enum.IntEnum):
    """Arrangement of the actuators."""
    SQUARE = _kit.DMSquareLayout
    CIRCULAR = _kit.DMCircularLayout
    LINEAR = _kit.DMLinearLayout
    HEX = _kit.DMHexLayout


class Axis(enum.IntEnum):
    """Axis of a segment: piston (nm), tilt about x or about y (rad)."""
    PISTON = _kit.DM_Piston
    X_TILT = _kit.DM_XTilt
    Y_TILT = _kit.DM_YTilt


class TriggerType(enum.Enum):
    """What advances queued patterns; python-microscope's names and values.

    Mirrors take ``SOFTWARE`` (a call of :meth:`Mirror.trigger`) and, on PCIe mirrors, ``RISING_EDGE`` (a rising
    edge at the card's trigger input).
    """
    SOFTWARE = 0
    RISING_EDGE = 1
    FALLING_EDGE = 2
    PULSE = 3


class TriggerMode(enum.Enum):
    """What one trigger does; python-microscope's names and values. Mirrors take ``ONCE``: apply one pattern."""
    ONCE = 1
    BULB = 2
    STROBE = 3
    START = 4


# Loggers of the kit's messages, by the kit's logger name: "KRV.PCIe" is logged as "mirrorkit.KRV.PCIe".
_LEVELS = {_kit.KRV_LOG_TRACE: 5, _kit.KRV_LOG_DEBUG: logging.DEBUG, _kit.KRV_LOG_INFO: logging.INFO,
           _kit.KRV_LOG_WARN: logging.WARNING, _kit.KRV_LOG_ERROR: logging.ERROR,
           _kit.KRV_LOG_FATAL: logging.CRITICAL}


def _forward_log(level, name, message):
    logger = logging.getLogger(f"mirrorkit.{name}" if name else "mirrorkit")
    pylevel = _LEVELS.get(level, logging.WARNING)
    if logger.isEnabledFor(pylevel):
        logger.log(pylevel, "%s", message)


# Serial numbers of the mirrors open in this process. Only the constructor adds to it (under the lock); a close,
# also one from the garbage collector while the lock is held, only discards, which needs no lock.
_open_serials = set()
_open_lock = threading.Lock()


def _number(value, what):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a real number, got {type(value).__name__}")
    return float(value)


def _index(value, what):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an int, got {type(value).__name__}")
    return int(value)


def _flag(value, what):
    # A flag given as 'no' or 1.0 is more likely a mistake than a wish.
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be True or False, got {value!r}")
    return bool(value)


def _floats(values, what):
    try:
        a = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be an array of real numbers") from None
    return a


def _commands(values, what):
    """Commands as float64; integers are taken only as 0 and 1, since larger ones are likely DAC counts."""
    try:
        raw = np.asarray(values)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be an array of real numbers") from None
    if raw.dtype.kind in "iu" and raw.size and (raw.min() < 0 or raw.max() > 1):
        raise ValueError(f"{what} are commands from 0 to 1 (fractions of the voltage limit), not DAC counts; "
                         f"got integers from {raw.min()} to {raw.max()}")
    return _floats(raw if raw.dtype.kind != "O" else values, what)


def _enum_of(value, kind, what):
    """A member of kind; python-microscope's member of the same enumeration name counts as ours of that name."""
    if isinstance(value, kind):
        return value
    other = type(value)
    if isinstance(value, enum.Enum) and other.__name__ == kind.__name__ and \
            other.__module__.split(".")[0] == "microscope" and value.name in kind.__members__:
        return kind[value.name]
    raise TypeError(f"{what} must be a {kind.__name__}, got {value!r}")


def _zernike_series(coefficients, rho, theta):
    """Sum of the OSA/ANSI terms (RMS 1 over the unit disc) at the points (rho, theta): the same terms as the kit's
    Zernike library. Radial parts through the Jacobi recurrence, which stays accurate at high orders."""
    total = np.zeros(np.broadcast(rho, theta).shape)
    x = 1.0 - 2.0 * rho * rho
    for j, c in enumerate(coefficients):
        if c == 0.0:
            continue
        n = math.ceil((math.sqrt(8 * j + 9) - 3) / 2)
        m = 2 * j - n * (n + 2)
        a, k = abs(m), (n - abs(m)) // 2
        # R_n^a(rho) = (-1)^k rho^a P_k^(a,0)(1 - 2 rho^2)
        p_prev, p = np.ones_like(x), (a + 1) + (a + 2) * (x - 1) / 2
        if k == 0:
            p = p_prev
        for q in range(2, k + 1):
            s = 2 * q + a
            p_prev, p = p, ((s - 1) * (s * (s - 2) * x + a * a) * p - 2 * (q + a - 1) * (q - 1) * s * p_prev) / \
                (2 * q * (q + a) * (s - 2))
        radial = (-1) ** k * rho ** a * p
        norm = math.sqrt(n + 1) if m == 0 else math.sqrt(2 * (n + 1))
        angular = 1.0 if m == 0 else (np.cos(a * theta) if m > 0 else np.sin(a * theta))
        total += c * norm * radial * angular
    return total


class Mirror:
    """One deformable mirror, opened by its serial number.

    The mirror opens on construction and closes on :meth:`close`, at the end of a ``with`` block (also when the
    block ends with an exception) and when the object is collected. Every failure of the kit raises
    :class:`KrvError` with the kit's result code; argument mistakes raise ``TypeError`` or ``ValueError``. Every
    method, :meth:`close` too, raises :class:`KrvError` (``ERR_DRIVER_NOT_OPEN``) once the mirror is closed,
    except a second :meth:`close`.

    A mirror is open at most once in a process: a second ``Mirror`` of a serial number that is open (a notebook
    cell run again) raises :class:`KrvError` (``ERR_DRIVER_ALREADY_OPEN``) until the first is closed, since two
    objects driving one mirror would each believe it holds their own frame.

    Units and signs: frames are commands from 0 to 1 per actuator, in actuator order (0 no voltage, 1 the
    mirror's voltage limit). Surfaces are heights of the mirror surface in nanometres, not of the reflected
    wavefront (which moves twice as far). The actuators pull the surface down: by default only a surface's shape
    counts and the kit chooses the piston that keeps it in reach; with ``absolute=True`` heights are taken from
    the mirror's resting shape, and only heights below it are reachable.

    Pictures on the actuator grid (:meth:`to_grid`, :attr:`grid_mask`, :meth:`zernike`) are ``grid_width x
    grid_width`` arrays: row 0 first, actuators numbered along each row from column 0 and row after row; x runs
    along a row (column index), y down the rows (row index). ``matplotlib.pyplot.imshow`` draws them with row 0 at
    the top. Phase maps given to :meth:`set_surface` have the same orientation.

    Threads: one lock per mirror serialises its calls, so several threads may share one ``Mirror`` (a frame is
    never mixed from two sends, a :meth:`read` never sees half a frame, a :meth:`close` waits for the call in
    progress). The lock is held while the kit works, but the interpreter lock is not: other threads, and other
    mirrors, go on meanwhile.

    The kit's log messages go to Python's ``logging``, to the logger ``"mirrorkit"`` and its children named after
    the kit's loggers (``"mirrorkit.KRV.PCIe"``, ...). Its level is WARNING unless the program sets another, for
    example ``logging.getLogger("mirrorkit").setLevel(logging.DEBUG)``.

    Parameters
    ----------
    serial : str
        The mirror's 11-character serial number; its profile is ``<serial>.dm``.
    profiles : str or os.PathLike, optional
        Folder of the profiles. Map files and calibration tables are looked up in the ``Map`` and
        ``Calibration`` folders next to it when they exist, else in the same folder. By default all three come
        from the kit's install directory.
    device_id : int, optional
        Interface card or drive unit to use (1-based), or ``krv.KRV_DEV_ID_QUERY_PROFILE``; by default the first
        one that fits.
    server : str, optional
        ``"host:port"`` of a mirrorkit-server: the mirror is opened there (or the session attached to) and every
        call goes over the network; methods, properties and exceptions stay those of a local mirror. A failure
        to reach the server raises :class:`RemoteError` (a :class:`KrvError`). Several clients may share a served
        mirror: see :meth:`reserve`, :class:`Channel` and :meth:`watch`.
    session : str, optional
        Name of the server's session to attach to, or to open the mirror in; by default the serial number.
    token : str, optional
        The server's access token.
    tls : True, str, os.PathLike or grpc.ChannelCredentials, optional
        Connect with TLS: True trusts the system's certificate authorities, a path names a PEM file of the
        authority that signed the server's certificate. By default the connection is not encrypted (loopback).
    timeout : float, optional
        Seconds to wait for the server, when connecting and for the answer to each call; 10 by default. A server
        that does not answer in time (a program on that port that is not mirrorkit-server, a host that takes
        the connection and then goes silent) raises :class:`RemoteError` with ``grpc_code``
        ``grpc.StatusCode.DEADLINE_EXCEEDED``; nothing listening there raises it at once with
        ``grpc.StatusCode.UNAVAILABLE``.

    Raises
    ------
    KrvError
        The mirror could not be opened (no profile, no hardware, ...), or it is open already in this process.

    Examples
    --------
    >>> with Mirror("DEMO140-001") as dm:                   # doctest: +SKIP
    ...     dm.send(np.full(dm.n_actuators, 0.5))
    ...     frame = dm.read()
    """

    def __init__(self, serial, profiles=None, device_id=None, server=None, session=None, token=None, tls=None,
                 timeout=None):
        self._dm = None
        self._registered = False
        self._remote = False
        if not isinstance(serial, str):
            raise TypeError(f"serial must be a str of {_kit.KRV_SERIAL_NUMBER_LEN} characters, "
                            f"got {type(serial).__name__}")
        if len(serial) != _kit.KRV_SERIAL_NUMBER_LEN:
            raise ValueError(f"serial must have {_kit.KRV_SERIAL_NUMBER_LEN} characters, got {serial!r}")
        if server is not None:
            self._open_remote(serial, profiles, device_id, server, session, token, tls, timeout)
            return
        if session is not None or token is not None or tls is not None or timeout is not None:
            raise ValueError("session, token, tls and timeout are for a mirror opened through a server "
                             "(server='host:port')")
        self._remote = False
        dm = _kit.KrvDm()
        if profiles is not None:
            folder = os.fspath(profiles)
            if not os.path.isdir(folder):
                raise ValueError(f"profiles must be an existing folder, got {folder!r}")
            parent = os.path.dirname(os.path.abspath(folder))
            maps, tables = (os.path.join(parent, n) for n in ("Map", "Calibration"))
            check(dm.set_profiles_path(folder), "set_profiles_path")
            check(dm.set_maps_path(maps if os.path.isdir(maps) else folder), "set_maps_path")
            check(dm.set_calibrations_path(tables if os.path.isdir(tables) else folder), "set_calibrations_path")
        if device_id is not None:
            if dm.set_device_id(_index(device_id, "device_id")) != _kit.NO_ERR:
                raise ValueError(f"device_id must be a positive device index or KRV_DEV_ID_QUERY_PROFILE, "
                                 f"got {device_id}")
        with _open_lock:
            if serial in _open_serials:
                raise KrvError(ResultCode.ERR_DRIVER_ALREADY_OPEN, f"open_dm({serial!r})",
                               f"mirror {serial} is already open in this process; close the other Mirror first")
            _open_serials.add(serial)
        try:
            check(dm.open_dm(serial), f"open_dm({serial!r})")
        except BaseException:
            _open_serials.discard(serial)
            raise
        self._registered = True
        self._init_open(dm, serial)

    def _open_remote(self, serial, profiles, device_id, server, session, token, tls, timeout):
        if profiles is not None:
            raise ValueError("profiles are the server's own; a mirror opened through a server takes none")
        if timeout is None:
            timeout = _remote.DEFAULT_TIMEOUT
        timeout = _number(timeout, "timeout")
        if not (0.0 < timeout < math.inf):
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        dm = _remote.RemoteDm(server, session, token, tls,
                              None if device_id is None else _index(device_id, "device_id"), timeout)
        # Several clients, also of one process, may share a served mirror: the server's sessions and reservations
        # decide who writes.
        dm.open_dm(serial)
        self._remote = True
        self._init_open(dm, serial)

    def _init_open(self, dm, serial):
        self._lock = threading.RLock()
        self._dm = dm
        self._serial = serial
        self._n = dm.num_actuators()
        self._width = dm.num_actuators_width()
        self._driver = DriverType(dm.driver_type())
        self._layout = Layout(dm.layout())
        mask = np.array(dm.grid_mask(), dtype=bool)
        self._mask = mask.reshape(self._width, self._width) if mask.size else None
        self._patterns = None
        self._pattern_idx = -1
        self._playing = False
        self._trigger = (TriggerType.SOFTWARE, TriggerMode.ONCE)

    # Life cycle ---------------------------------------------------------------------------------------------

    def _release(self):
        if self._registered:
            self._registered = False
            _open_serials.discard(self._serial)

    def close(self):
        """Close the mirror: the driver zeroes the outputs and releases the hardware.

        The mirror counts as closed afterwards even when the driver reports a failure (for example a USB unit
        that was unplugged), and its serial number may be opened again. Closing a closed mirror does nothing.

        Raises
        ------
        KrvError
            The driver could not zero and release the hardware.
        """
        if getattr(self, "_dm", None) is None:
            return
        with self._lock:
            dm, self._dm = self._dm, None
            if dm is None:
                return
            try:
                rc = dm.close_dm()
            finally:
                self._release()
            if rc not in (_kit.NO_ERR, _kit.ERR_DRIVER_NOT_OPEN):
                raise KrvError(rc, "close_dm")

    @property
    def closed(self):
        """bool: True once the mirror is closed."""
        return self._dm is None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.close()
            return False
        # The block's own exception says what went wrong first; a failing close must not replace it.
        try:
            self.close()
        except KrvError as e:
            _log.warning("closing %s after %s failed: %s", self._serial, exc_type.__name__, e)
        return False

    def __del__(self):
        # The object may be half-built when its constructor raised; nothing else can hold it now.
        dm = getattr(self, "_dm", None)
        if dm is not None:
            self._dm = None
            try:
                dm.close_dm()
            except KrvError:  # a server that is gone; nothing is left to close
                pass
        if getattr(self, "_registered", False):
            self._release()

    def __repr__(self):
        state = "closed" if self.closed else f"{self._n} actuators, {self._driver.name}"
        return f"<mirrorkit.Mirror {self._serial!r}: {state}>"

    def _kit(self):
        # Called with the lock held.
        if self._dm is None:
            raise KrvError(ResultCode.ERR_DRIVER_NOT_OPEN, "mirror closed")
        return self._dm

    # Properties ---------------------------------------------------------------------------------------------

    @property
    def serial(self):
        """str: The serial number the mirror was opened with."""
        return self._serial

    @property
    def n_actuators(self):
        """int: Number of actuators."""
        return self._n

    @property
    def grid_width(self):
        """int: Actuators across the mirror: the side of the ``grid_width x grid_width`` pictures."""
        return self._width

    @property
    def layout(self):
        """Layout: Arrangement of the actuators."""
        return self._layout

    @property
    def driver_type(self):
        """DriverType: USB, PCIe or dummy."""
        return self._driver

    @property
    def grid_mask(self):
        """numpy.ndarray or None: ``grid_width x grid_width`` booleans, True where an actuator sits (actuators
        numbered row by row, row 0 first), or None when the kit places no actuators for this mirror."""
        return None if self._mask is None else self._mask.copy()

    # Frames -------------------------------------------------------------------------------------------------

    def _frame(self, values, what="values"):
        a = _commands(values, what)
        if a.shape == (self._n,):
            return np.ascontiguousarray(a)
        if a.ndim == 2 and self._mask is not None and a.shape == self._mask.shape:
            return np.ascontiguousarray(a[self._mask])
        grid = f" or a {self._width} x {self._width} grid" if self._mask is not None else ""
        raise ValueError(f"{what} must hold {self._n} actuator values{grid}, got shape {a.shape}")

    def send(self, values):
        """Send one frame.

        Parameters
        ----------
        values : array_like
            ``n_actuators`` commands in actuator order, from 0 (no voltage) to 1 (the mirror's voltage limit);
            float values outside are clamped. Integer arrays may only hold 0 and 1 (other integers are refused
            as likely DAC counts). On continuous mirrors also a ``grid_width x grid_width`` picture whose
            positions without an actuator are ignored.

        Raises
        ------
        ValueError
            The array has another shape, or holds integers other than 0 and 1.
        KrvError
            The driver failed, or the mirror is closed.
        """
        # The common case goes straight through: the module reads a float64 array where it lies.
        if not (type(values) is np.ndarray and values.shape == (self._n,) and values.dtype == np.float64
                and values.flags.c_contiguous):
            values = self._frame(values)
        with self._lock:
            dm = self._dm
            if dm is None:
                raise KrvError(ResultCode.ERR_DRIVER_NOT_OPEN, "mirror closed")
            rc = dm.send_data(values)
        if rc:
            raise KrvError(rc, "send_data")

    def read(self):
        """Return the frame applied to the mirror.

        Returns
        -------
        numpy.ndarray
            A new float64 array of ``n_actuators`` values in 0..1 (16-bit resolution).
        """
        with self._lock:
            dm = self._kit()
            v = dm.get_actuator_data()
            check(dm.get_status() if len(v) != self._n else 0, "get_actuator_data")
        return np.array(v, dtype=np.float64)

    def poke(self, actuator, value):
        """Set one actuator; the others keep their values.

        Parameters
        ----------
        actuator : int
            Actuator number, 0 to ``n_actuators - 1``.
        value : float
            Command from 0 to 1.
        """
        actuator = _index(actuator, "actuator")
        if not 0 <= actuator < self._n:
            raise ValueError(f"actuator must be in 0..{self._n - 1}, got {actuator}")
        value = _number(value, "value")
        with self._lock:
            check(self._kit().poke(actuator, value), "poke")

    def clear(self):
        """Set every actuator to 0; on a served mirror every channel of the session is emptied as well."""
        if self._remote:
            with self._lock:
                self._kit().clear()
            return
        self.send(np.zeros(self._n))

    def to_grid(self, values=None):
        """Return the picture of a frame on the actuator grid.

        Parameters
        ----------
        values : array_like, optional
            ``n_actuators`` values; by default the frame applied now (:meth:`read`).

        Returns
        -------
        numpy.ndarray
            ``grid_width x grid_width`` float64 values, NaN where no actuator sits. Row 0 holds the first
            actuators, numbered along the row from column 0; ``matplotlib.pyplot.imshow`` draws row 0 at the top.
        """
        with self._lock:
            self._kit()
            if self._mask is None:
                raise ValueError(f"the kit places no actuators on a grid for {self._n} actuators")
            a = self.read() if values is None else _floats(values, "values")
        if a.shape != (self._n,):
            raise ValueError(f"values must hold {self._n} actuator values, got shape {a.shape}")
        grid = np.full(self._mask.shape, np.nan)
        grid[self._mask] = a
        return grid

    # Patterns (python-microscope's DeformableMirror interface) ---------------------------------------------

    def _patterns_of(self, patterns, what="patterns"):
        a = _commands(patterns, what)
        if a.ndim == 1:
            a = a.reshape(1, -1)
        if a.ndim != 2 or a.shape[1] != self._n or a.shape[0] < 1:
            raise ValueError(f"{what} must have shape ({self._n},) or (K, {self._n}) with K >= 1, "
                             f"got {np.shape(patterns)}")
        # Refused when queued, not when its turn comes: a NaN or infinity is no command.
        bad = np.argwhere(~np.isfinite(a))
        if bad.size:
            raise ValueError(f"{what} must be finite; pattern {bad[0][0]}, actuator {bad[0][1]} is {a[tuple(bad[0])]}")
        # A copy: a later change of the caller's array must not change what is applied.
        return np.array(a, dtype=np.float64, order="C", copy=True)

    def apply_pattern(self, pattern):
        """Apply one pattern now.

        Parameters
        ----------
        pattern : array_like
            1-D, ``n_actuators`` commands in 0..1.

        Raises
        ------
        IncompatibleStateError
            The trigger is not the software one, or the PCIe card's sequencer is playing (:meth:`play`): stop it,
            or set the software trigger, first.
        """
        p = _commands(pattern, "pattern")
        if p.shape != (self._n,):
            raise ValueError(f"pattern must have shape ({self._n},), got {p.shape}")
        with self._lock:
            self._kit()
            if self._trigger[0] is not TriggerType.SOFTWARE:
                raise IncompatibleStateError("apply_pattern requires software trigger type")
            if self._playing:
                raise IncompatibleStateError("apply_pattern while the card's sequencer plays patterns; call stop "
                                             "first")
            self.send(np.ascontiguousarray(p))

    @property
    def trigger_type(self):
        """TriggerType: What advances queued patterns."""
        return self._trigger[0]

    @property
    def trigger_mode(self):
        """TriggerMode: What one trigger does."""
        return self._trigger[1]

    def set_trigger(self, ttype, tmode):
        """Choose what advances queued patterns; the queue is emptied.

        Parameters
        ----------
        ttype : TriggerType
            ``SOFTWARE`` (every mirror: :meth:`trigger`) or ``RISING_EDGE`` (PCIe mirrors: the card's trigger
            input, through its sequencer). python-microscope's ``TriggerType`` is taken as well.
        tmode : TriggerMode
            ``ONCE``: one pattern per trigger. python-microscope's ``TriggerMode`` is taken as well.

        Raises
        ------
        ValueError
            A trigger this mirror does not have.
        """
        ttype = _enum_of(ttype, TriggerType, "ttype")
        tmode = _enum_of(tmode, TriggerMode, "tmode")
        if ttype not in (TriggerType.SOFTWARE, TriggerType.RISING_EDGE) or tmode is not TriggerMode.ONCE:
            raise ValueError(f"mirrors take a SOFTWARE or RISING_EDGE trigger in ONCE mode, got {ttype.name}, "
                             f"{tmode.name}")
        with self._lock:
            dm = self._kit()
            if ttype == TriggerType.RISING_EDGE and self._driver != DriverType.PCIE:
                raise ValueError(f"a hardware trigger needs a PCIe mirror; this one is {self._driver.name}")
            if ttype != self._trigger[0] and self._trigger[0] == TriggerType.RISING_EDGE:
                check(dm.enable_sequence(0.0, False), "enable_sequence")
            self._trigger = (ttype, tmode)
            self._patterns = None
            self._pattern_idx = -1

    def queue_patterns(self, patterns):
        """Queue patterns to be applied one per trigger, in order.

        With the software trigger each :meth:`trigger` applies the next pattern; after the last one a trigger
        raises ``IndexError`` until patterns are queued again. With the rising-edge trigger the patterns are
        loaded into the PCIe card's sequencer, which outputs the next one at each rising edge of its trigger
        input, starting again with the first after the last.

        The patterns are copied: changing the array afterwards changes nothing queued.

        Parameters
        ----------
        patterns : array_like
            ``K x n_actuators`` commands in 0..1, or one pattern of ``n_actuators``.
        """
        a = self._patterns_of(patterns)
        with self._lock:
            dm = self._kit()
            if self._trigger[0] == TriggerType.RISING_EDGE:
                check(dm.configure_sequence(a.ravel(), 0.0, self._n, a.shape[0]), "configure_sequence")
                check(dm.enable_sequence(0.0, True), "enable_sequence")
            self._patterns = a
            self._pattern_idx = -1

    def trigger(self):
        """Apply the next queued pattern (software trigger).

        Raises
        ------
        IncompatibleStateError
            The trigger is not the software one.
        DeviceError
            No patterns are queued.
        IndexError
            Every queued pattern has been applied.
        """
        with self._lock:
            self._kit()
            if self._trigger[0] is not TriggerType.SOFTWARE:
                raise IncompatibleStateError("trigger type is not software")
            if self._patterns is None:
                raise DeviceError("no pattern queued to apply")
            following = self._pattern_idx + 1
            if following >= self._patterns.shape[0]:
                raise IndexError(f"all {self._patterns.shape[0]} queued patterns have been applied; queue "
                                 f"patterns again")
            self.apply_pattern(self._patterns[following])
            self._pattern_idx = following

    def next_pattern(self):
        """Apply the next queued pattern: the same as :meth:`trigger`."""
        self.trigger()

    # PCIe card features -------------------------------------------------------------------------------------

    def play(self, patterns, rate_hz):
        """Play patterns from the PCIe card's sequencer at a fixed rate, repeating after the last, until
        :meth:`stop`. Meanwhile :meth:`apply_pattern` is refused.

        Parameters
        ----------
        patterns : array_like
            ``K x n_actuators`` commands in 0..1.
        rate_hz : float
            Patterns per second (above 0).
        """
        a = self._patterns_of(patterns)
        rate = _number(rate_hz, "rate_hz")
        if not rate > 0:
            raise ValueError(f"rate_hz must be above 0, got {rate_hz}")
        with self._lock:
            dm = self._kit()
            check(dm.configure_sequence(a.ravel(), 0.0, self._n, a.shape[0]), "configure_sequence")
            check(dm.enable_sequence(rate, True), "enable_sequence")
            self._playing = True

    def stop(self):
        """Stop the PCIe card's sequencer and ditherer."""
        with self._lock:
            dm = self._kit()
            check(dm.enable_sequence(0.0, False), "enable_sequence")
            self._playing = False
            check(dm.enable_dither(0.0, False), "enable_dither")

    def dither(self, waveform, gains, rate_hz=1000.0):
        """Dither the mirror from the PCIe card: in dither frame i actuator j gets ``waveform[i] * gains[j]``.

        Parameters
        ----------
        waveform : array_like
            1 to 2048 samples in 0..1.
        gains : array_like
            ``n_actuators`` gains in 0..1.
        rate_hz : float, optional
            Dither frames per second; 0 loads the waveform and gains without starting.
        """
        w = _commands(waveform, "waveform")
        g = _commands(gains, "gains")
        if w.ndim != 1 or not 1 <= w.size <= 2048:
            raise ValueError(f"waveform must be 1-D with 1 to 2048 samples, got shape {w.shape}")
        if g.shape != (self._n,):
            raise ValueError(f"gains must have shape ({self._n},), got {g.shape}")
        rate = _number(rate_hz, "rate_hz")
        with self._lock:
            dm = self._kit()
            check(dm.configure_dither(np.ascontiguousarray(w), np.ascontiguousarray(g)), "configure_dither")
            check(dm.enable_dither(rate, rate > 0), "enable_dither")

    def high_res(self, enabled):
        """Switch the PCIe card's high-resolution mode on or off.

        Parameters
        ----------
        enabled : bool
        """
        enabled = _flag(enabled, "enabled")
        with self._lock:
            check(self._kit().enable_high_res(enabled), "enable_high_res")

    # Open loop ----------------------------------------------------------------------------------------------

    def load_calibration(self, path):
        """Load an open-loop calibration table (a MAT file); it replaces the loaded one only on success.

        Parameters
        ----------
        path : str or os.PathLike
        """
        path = os.fspath(path)
        with self._lock:
            check(self._kit().load_calibration_file(path), "load_calibration_file")

    @staticmethod
    def _coefficients(coefficients):
        if isinstance(coefficients, dict):
            if not coefficients:
                raise ValueError("coefficients must name at least one term")
            keys = [_index(k, "a Zernike index") for k in coefficients]
            if min(keys) < 0 or max(keys) > 1023:
                raise ValueError(f"Zernike indices must be in 0..1023, got {sorted(keys)}")
            c = np.zeros(max(keys) + 1)
            for k, v in coefficients.items():
                c[int(k)] = _number(v, f"coefficient {k}")
        else:
            c = _floats(coefficients, "coefficients")
            if c.ndim != 1 or not 1 <= c.size <= 1024:
                raise ValueError(f"coefficients must be 1-D with 1 to 1024 values, got shape {c.shape}")
        return np.ascontiguousarray(c)

    def _diameter(self, dm_diameter):
        d = _index(dm_diameter, "dm_diameter")
        return d or self._width - 3

    def zernike(self, coefficients, dm_diameter=0, aperture_only=False, pixels=None):
        """Return the phase map of Zernike terms: on the actuator grid, or over the aperture for
        :meth:`set_surface`.

        The terms are OSA/ANSI's, each normalised to an RMS of 1 over the aperture, so a coefficient is the RMS of
        its term in nanometres of surface: 150 nm of defocus (index 4) is 520 nm peak to valley. x runs along the
        rows (columns to the right), y down the rows, and theta = atan2(y, x) from the aperture's centre; tilt 2
        rises along x, tilt 1 along y.

        Parameters
        ----------
        coefficients : array_like or dict
            Coefficients in nanometres by OSA/ANSI index (piston 0, tilts 1 and 2, defocus 4, ...): an array
            of up to 1024 values, or a dict ``{index: nm}``.
        dm_diameter : int, optional
            Aperture diameter in actuator spacings; 0 for ``grid_width - 3``.
        aperture_only : bool, optional
            False: the map at the actuator grid's positions (``grid_width x grid_width``), the kit's own
            evaluation. True: a square map over the aperture, made for :meth:`set_surface` with the same
            ``dm_diameter``: each actuator inside the aperture is then set for the terms' value at its own
            position, within about 0.1 % of the map's peak-to-valley (150 nm of defocus on a 13-wide grid: at
            most 0.15 nm). :meth:`set_zernike` does the same in one call, exactly.
        pixels : int, optional
            Side of the aperture map; by default 16 pixels per actuator spacing (``16 * dm_diameter + 1``).

        Returns
        -------
        numpy.ndarray
            The phase map in nanometres. Outside the aperture each value is held within the range the map has
            inside it.
        """
        aperture_only = _flag(aperture_only, "aperture_only")
        c = self._coefficients(coefficients)
        d = self._diameter(dm_diameter)
        with self._lock:
            rc, phase = self._kit().zernike_surface(c, _index(dm_diameter, "dm_diameter"), 0)
        check(rc, "zernike_surface")
        grid = np.array(phase).reshape(self._width, self._width)
        if not aperture_only:
            return grid
        size = 16 * d + 1 if pixels is None else _index(pixels, "pixels")
        if size < 2:
            raise ValueError(f"pixels must be at least 2, got {size}")
        return self._aperture_map(c, d, size, grid)

    def _aperture_map(self, coefficients, d, size, grid):
        # set_surface's resampling pads a map of `size` pixels by `pad` on each side and reads the padded map at
        # grid coordinate g at g * scale (in 1/32 pixel steps), the map's edge repeated beyond it. Pixel p
        # therefore stands for grid coordinate (p + pad) / scale; but the rim of the aperture lies a little
        # beyond the first and last pixels, where the sampling repeats them, so those two stand for the grid
        # positions read there instead.
        w = self._width
        pad = math.ceil(size * ((w - 1) / d - 1.0) * 0.5)
        scale32 = np.float32(size + 2 * pad - 1) / np.float32(w - 1)
        scale = float(scale32)
        read_at = np.rint(np.arange(w, dtype=np.float32) * scale32 * np.float32(32)) / 32 - pad
        g = (np.arange(size) + pad) / scale
        before, beyond = np.flatnonzero(read_at <= 0), np.flatnonzero(read_at >= size - 1)
        if before.size:
            g[0] = before[-1]
        if beyond.size:
            g[-1] = beyond[0]
        # The kit's aperture geometry (centre, radius scale) on those positions.
        centre = (w - 1) * 0.5
        k = (centre / (d * 0.5)) / math.ceil(centre)
        dy, dx = np.meshgrid(g - centre, g - centre, indexing="ij")
        rho, theta = np.hypot(dx, dy) * k, np.arctan2(dy, dx)
        values = _zernike_series(coefficients, rho, theta)
        # Further out, held within the range the kit's grid map has inside the aperture, as that map is; but an
        # actuator on the rim is read together with the pixels just beyond it, which keep the terms' own values.
        i = np.arange(w) - centre
        grid_inside = np.hypot(*np.meshgrid(i, i, indexing="ij")) * k <= 1.0
        near = rho <= 1.0 + 2.0 * k / scale
        if grid_inside.any():
            lo, hi = grid[grid_inside].min(), grid[grid_inside].max()
            values = np.where(near, values, np.clip(values, lo, hi))
        return values

    def _phase(self, phase_nm, dm_diameter, absolute, best_effort):
        p = phase_nm if type(phase_nm) is np.ndarray and phase_nm.dtype == np.float64 \
            else _floats(phase_nm, "phase_nm")
        if p.ndim != 2 or p.size == 0:
            raise ValueError(f"phase_nm must be a 2-D map (rows x columns), got shape {p.shape}")
        options = (_kit.DM_SURFACE_ABSOLUTE_DEFLECTION if _flag(absolute, "absolute") else 0) | \
                  (_kit.DM_SURFACE_BEST_EFFORT if _flag(best_effort, "best_effort") else 0)
        # A contiguous float64 map is handed over where it lies.
        return np.ascontiguousarray(p).reshape(-1), p.shape[1], p.shape[0], _index(dm_diameter, "dm_diameter"), \
            options

    def surface_commands(self, phase_nm, dm_diameter=0, absolute=False, best_effort=False):
        """Calculate the commands that shape the mirror to a phase map, without sending them.

        Needs a calibration (:meth:`load_calibration` or the profile's).

        Parameters
        ----------
        phase_nm : array_like
            2-D map of surface heights in nanometres, any size, spanning the aperture from edge to edge (row 0 at
            the top, as :meth:`to_grid`). Pixels that are 0 or NaN mean "no data": when more than 21 % of the
            map is NaN (or 0 and NaN only outside the inscribed disc), each takes the value of the nearest pixel
            with data.
        dm_diameter : int, optional
            Aperture diameter in actuator spacings; 0 for ``grid_width - 3``.
        absolute : bool, optional
            Take the heights from the mirror's resting shape (reachable only below it) instead of letting the
            kit choose the piston.
        best_effort : bool, optional
            Clip what the mirror cannot reach instead of failing.

        Returns
        -------
        commands : numpy.ndarray
            ``n_actuators`` commands in 0..1.
        low_resolution_surface : numpy.ndarray
            The map resampled to the ``grid_width x grid_width`` actuator grid, in nanometres.
        """
        flat, width, height, diameter, options = self._phase(phase_nm, dm_diameter, absolute, best_effort)
        with self._lock:
            rc, commands, low = self._kit().calculate_surface(flat, width, height, diameter, options)
        check(rc, "calculate_surface")
        return np.array(commands), np.array(low).reshape(self._width, self._width)

    def set_surface(self, phase_nm, dm_diameter=0, absolute=False, best_effort=False):
        """Shape the mirror to a phase map: :meth:`surface_commands`, then send.

        Parameters are those of :meth:`surface_commands`. A C-contiguous float64 map is read where it lies,
        without a copy.
        """
        flat, width, height, diameter, options = self._phase(phase_nm, dm_diameter, absolute, best_effort)
        with self._lock:
            dm = self._dm
            if dm is None:
                raise KrvError(ResultCode.ERR_DRIVER_NOT_OPEN, "mirror closed")
            rc = dm.set_surface(flat, width, height, diameter, options)
        if rc:
            raise KrvError(rc, "set_surface")

    def set_zernike(self, coefficients, dm_diameter=0, absolute=False, best_effort=False):
        """Shape the mirror to Zernike terms in one call.

        The kit evaluates the terms at every actuator's position (:meth:`zernike`) and sets the actuators for
        those values, through the calibration, with nothing resampled in between. Needs a calibration.

        Parameters
        ----------
        coefficients : array_like or dict
            As for :meth:`zernike`: nanometres of surface by OSA/ANSI index, RMS-normalised terms.
        dm_diameter : int, optional
            Aperture diameter of the terms in actuator spacings; 0 for ``grid_width - 3``.
        absolute, best_effort : bool, optional
            As for :meth:`surface_commands`.
        """
        c = self._coefficients(coefficients)
        diameter = _index(dm_diameter, "dm_diameter")
        options = (_kit.DM_SURFACE_ABSOLUTE_DEFLECTION if _flag(absolute, "absolute") else 0) | \
                  (_kit.DM_SURFACE_BEST_EFFORT if _flag(best_effort, "best_effort") else 0)
        with self._lock:
            check(self._kit().set_zernike(c, diameter, options), "set_zernike")

    def set_segment(self, segment, piston=0.0, x_tilt=0.0, y_tilt=0.0, apply_offsets=False, send=True):
        """Set piston and tilt of one segment.

        On continuous mirrors the segment is the single actuator of that number and only the piston counts
        (command = piston / stroke).

        Parameters
        ----------
        segment : int
            Segment number (actuator number on continuous mirrors).
        piston : float
            Piston in nanometres.
        x_tilt, y_tilt : float
            Tilts in radians.
        apply_offsets : bool
            Add the calibration's resting offsets of the segment.
        send : bool
            Send now; False keeps the values until the next frame goes out.
        """
        args = (_index(segment, "segment"), _number(piston, "piston"), _number(x_tilt, "x_tilt"),
                _number(y_tilt, "y_tilt"), _flag(apply_offsets, "apply_offsets"), _flag(send, "send"))
        with self._lock:
            check(self._kit().set_segment(*args), "set_segment")

    def segment_range(self, segment, axis=Axis.PISTON, piston=0.0, x_tilt=0.0, y_tilt=0.0, apply_offsets=False):
        """Return the reachable range of one axis of a segment, the other axes held at the given values.

        Parameters
        ----------
        segment : int
        axis : Axis
            ``Axis.PISTON`` (nm), ``Axis.X_TILT`` or ``Axis.Y_TILT`` (rad).
        piston, x_tilt, y_tilt : float
            Values of the other axes.
        apply_offsets : bool

        Returns
        -------
        tuple of float
            ``(minimum, maximum)``.
        """
        if not isinstance(axis, Axis):
            try:
                axis = Axis(_index(axis, "axis"))
            except ValueError:
                raise ValueError(f"axis must be an Axis (PISTON, X_TILT, Y_TILT), got {axis!r}") from None
        args = (_index(segment, "segment"), int(axis), _number(piston, "piston"), _number(x_tilt, "x_tilt"),
                _number(y_tilt, "y_tilt"), _flag(apply_offsets, "apply_offsets"))
        with self._lock:
            rc, lo, hi = self._kit().get_segment_range(*args)
        check(rc, "get_segment_range")
        return lo, hi

    # Served mirrors -----------------------------------------------------------------------------------------

    def _served(self, what):
        # Called with the lock held.
        dm = self._kit()
        if not self._remote:
            raise KrvError(ResultCode.ERR_NOT_IMPLEMENTED, what, "only a mirror opened through a server "
                                                                 "(server='host:port') has this")
        return dm

    @property
    def session(self):
        """str or None: The server's session this mirror is attached to; None for a local mirror."""
        return self._dm.session if self._remote and self._dm is not None else None

    @property
    def last_saturation(self):
        """Saturation: What the server clamped in the last frame this object sent (served mirrors; a local
        mirror reports nothing clamped)."""
        return self._dm.last_saturation if self._remote and self._dm is not None else \
            _remote.Saturation(0, 0, 0, ())

    def reserve(self):
        """Take the session's reservation: until :meth:`release`, :meth:`close` or this process ends, other
        clients' writes are refused with ``ERR_DRIVER_ALREADY_OPEN``. Served mirrors only."""
        with self._lock:
            self._served("reserve").reserve()

    def release(self):
        """Give the session's reservation back. Served mirrors only."""
        with self._lock:
            self._served("release").release()

    def channels(self):
        """Return the session's channels as ``{name: (gain, values)}``; the default channel (of :meth:`send`) is
        named ``""``. Served mirrors only."""
        with self._lock:
            return self._served("channels").channels()

    def watch(self, with_values=True):
        """Yield every frame applied to the served mirror, whoever writes it: first the frame applied now, then
        each new one, as :class:`Frame` with its saturation report. Watching reserves nothing. Leave the loop
        (or close the generator) to end the watch; it ends by itself when the session is closed.

        Parameters
        ----------
        with_values : bool, optional
            False leaves the frame values out (sequence, time and saturation only).
        """
        with_values = _flag(with_values, "with_values")
        with self._lock:
            dm = self._served("watch")
        return dm.watch(with_values)


class Channel:
    """A named channel of a served mirror's session: the mirror shows the sum of ``gain x values`` over the
    session's channels, each actuator clamped to 0..1 (a flat, a loop and a probe written by separate programs).

    Parameters
    ----------
    mirror : Mirror
        A mirror opened through a server.
    name : str
        The channel's name (not empty: the empty name is the mirror's own, written by :meth:`Mirror.send`).
    gain : float, optional
        Factor of the channel's values in the sum.

    Examples
    --------
    >>> loop = Channel(dm, "loop", gain=0.5)                # doctest: +SKIP
    >>> loop.send(np.full(dm.n_actuators, 0.2)).clamped
    0
    """

    def __init__(self, mirror, name, gain=1.0):
        if not isinstance(mirror, Mirror):
            raise TypeError(f"mirror must be a mirrorkit.Mirror, got {type(mirror).__name__}")
        if not isinstance(name, str) or not name:
            raise ValueError(f"name must be a non-empty str, got {name!r}")
        gain = _number(gain, "gain")
        if not math.isfinite(gain):
            raise ValueError(f"gain must be finite, got {gain}")
        with mirror._lock:
            mirror._served(f"Channel({name!r})")
        self._mirror = mirror
        self._name = name
        self._gain = gain

    @property
    def name(self):
        """str: The channel's name."""
        return self._name

    @property
    def gain(self):
        """float: Factor of the channel's values in the sum; a new gain counts from the next :meth:`send`."""
        return self._gain

    @gain.setter
    def gain(self, value):
        value = _number(value, "gain")
        if not math.isfinite(value):
            raise ValueError(f"gain must be finite, got {value}")
        self._gain = value

    def send(self, values):
        """Set the channel's values and send the new sum to the mirror.

        Parameters
        ----------
        values : array_like
            ``n_actuators`` values (or a grid picture, as :meth:`Mirror.send`); they may lie outside 0..1, the
            sum is clamped.

        Returns
        -------
        Saturation
            The actuators clamped in the frame sent.
        """
        m = self._mirror
        a = _floats(values, "values")
        if not (a.shape == (m._n,) or (a.ndim == 2 and m._mask is not None and a.shape == m._mask.shape)):
            a = m._frame(a)  # raises with the shapes it takes
        elif a.ndim == 2:
            a = a[m._mask]
        if not np.all(np.isfinite(a)):
            raise ValueError("values must be finite")
        with m._lock:
            return m._served("Channel.send").set_channel(self._name, np.ascontiguousarray(a), self._gain)

    def clear(self):
        """Take the channel out of the sum and send the new sum.

        Returns
        -------
        Saturation
            The actuators clamped in the frame sent.
        """
        m = self._mirror
        with m._lock:
            return m._served("Channel.clear").clear_channel(self._name)
