"""The Mirror class: one deformable mirror driven with numpy arrays."""
import enum
import numbers
import os

import numpy as np

import krv as _kit

from ._errors import KrvError, ResultCode, check


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
    """What advances a queued pattern: a call of :meth:`Mirror.next_pattern`, or a rising edge at the PCIe card's
    trigger input."""
    SOFTWARE = 0
    RISING_EDGE = 1


class TriggerMode(enum.Enum):
    """What one trigger does: apply one pattern."""
    ONCE = 0


def _number(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a real number, got {type(value).__name__}")
    return float(value)


def _index(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an int, got {type(value).__name__}")
    return int(value)


def _floats(values, what):
    try:
        a = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be an array of real numbers") from None
    return a


class Mirror:
    """One deformable mirror, opened by its serial number.

    The mirror opens on construction and closes on :meth:`close`, at the end of a ``with`` block (also when the
    block ends with an exception) and when the object is collected. Every failure of the kit raises
    :class:`KrvError` with the kit's result code; argument mistakes raise ``TypeError`` or ``ValueError``.

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

    Raises
    ------
    KrvError
        The mirror could not be opened (no profile, no hardware, ...).

    Examples
    --------
    >>> with Mirror("DEMO140-001") as dm:                   # doctest: +SKIP
    ...     dm.send(np.full(dm.n_actuators, 0.5))
    ...     frame = dm.read()
    """

    def __init__(self, serial, profiles=None, device_id=None):
        self._dm = None
        if not isinstance(serial, str):
            raise TypeError(f"serial must be a str of {_kit.KRV_SERIAL_NUMBER_LEN} characters, "
                            f"got {type(serial).__name__}")
        if len(serial) != _kit.KRV_SERIAL_NUMBER_LEN:
            raise ValueError(f"serial must have {_kit.KRV_SERIAL_NUMBER_LEN} characters, got {serial!r}")
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
        check(dm.open_dm(serial), f"open_dm({serial!r})")
        self._dm = dm
        self._send = dm.send_data
        self._serial = serial
        self._n = dm.num_actuators()
        self._width = dm.num_actuators_width()
        self._driver = DriverType(dm.driver_type())
        self._layout = Layout(dm.layout())
        mask = np.array(dm.grid_mask(), dtype=bool)
        self._mask = mask.reshape(self._width, self._width) if mask.size else None
        self._patterns = None
        self._next = 0
        self._trigger = (TriggerType.SOFTWARE, TriggerMode.ONCE)

    # Life cycle ---------------------------------------------------------------------------------------------

    def close(self):
        """Close the mirror: the driver zeroes the outputs and releases the hardware.

        Closing a closed mirror does nothing.
        """
        dm, self._dm = self._dm, None
        if dm is not None:
            rc = dm.close_dm()
            if rc not in (_kit.NO_ERR, _kit.ERR_DRIVER_NOT_OPEN):
                raise KrvError(rc, "close_dm")

    @property
    def closed(self):
        """bool: True once the mirror is closed."""
        return self._dm is None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

    def __del__(self):
        # The object may be half-built when its constructor raised.
        if getattr(self, "_dm", None) is not None:
            self._dm.close_dm()
            self._dm = None

    def __repr__(self):
        state = "closed" if self.closed else f"{self._n} actuators, {self._driver.name}"
        return f"<mirrorkit.Mirror {self._serial!r}: {state}>"

    def _kit(self):
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
        numbered row by row), or None when the kit places no actuators for this mirror."""
        return None if self._mask is None else self._mask.copy()

    # Frames -------------------------------------------------------------------------------------------------

    def _frame(self, values, what="values"):
        a = _floats(values, what)
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
            ``n_actuators`` commands in actuator order, from 0 to 1 (values outside are clamped); or, on
            continuous mirrors, a ``grid_width x grid_width`` array whose positions without an actuator are
            ignored.

        Raises
        ------
        ValueError
            The array has another shape.
        KrvError
            The driver failed.
        """
        # The common case goes straight through: the module copies a float64 array in one block.
        if type(values) is np.ndarray and values.shape == (self._n,) and values.dtype == np.float64 \
                and values.flags.c_contiguous and self._dm is not None:
            rc = self._send(values)
        else:
            rc = self._kit().send_data(self._frame(values))
        if rc:
            raise KrvError(rc, "send_data")

    def read(self):
        """Return the frame applied to the mirror.

        Returns
        -------
        numpy.ndarray
            A new float64 array of ``n_actuators`` values in 0..1 (16-bit resolution).
        """
        v = self._kit().get_actuator_data()
        check(self._dm.get_status() if len(v) != self._n else 0, "get_actuator_data")
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
        check(self._kit().poke(actuator, _number(value, "value")), "poke")

    def clear(self):
        """Set every actuator to 0."""
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
            ``grid_width x grid_width`` float64 values, NaN where no actuator sits; ready for
            ``matplotlib.pyplot.imshow``.
        """
        if self._mask is None:
            raise ValueError(f"the kit places no actuators on a grid for {self._n} actuators")
        a = self.read() if values is None else _floats(values, "values")
        if a.shape != (self._n,):
            raise ValueError(f"values must hold {self._n} actuator values, got shape {a.shape}")
        grid = np.full(self._mask.shape, np.nan)
        grid[self._mask] = a
        return grid

    # Patterns -----------------------------------------------------------------------------------------------

    def _pattern(self, pattern):
        a = _floats(pattern, "pattern")
        if a.shape != (self._n,):
            raise ValueError(f"pattern must have shape ({self._n},), got {a.shape}")
        return np.ascontiguousarray(a)

    def _patterns_of(self, patterns):
        a = _floats(patterns, "patterns")
        if a.ndim != 2 or a.shape[1] != self._n or a.shape[0] < 1:
            raise ValueError(f"patterns must have shape (K, {self._n}) with K >= 1, got {a.shape}")
        # Refused when queued, not when its turn comes: a NaN or infinity is no command.
        bad = np.argwhere(~np.isfinite(a))
        if bad.size:
            raise ValueError(f"patterns must be finite; pattern {bad[0][0]}, actuator {bad[0][1]} is {a[tuple(bad[0])]}")
        return np.ascontiguousarray(a)

    def apply_pattern(self, pattern):
        """Apply one pattern now.

        Parameters
        ----------
        pattern : array_like
            1-D, ``n_actuators`` commands in 0..1.
        """
        self.send(self._pattern(pattern))

    @property
    def trigger_type(self):
        """TriggerType: What advances queued patterns."""
        return self._trigger[0]

    @property
    def trigger_mode(self):
        """TriggerMode: What one trigger does."""
        return self._trigger[1]

    def set_trigger(self, ttype, tmode):
        """Choose what advances queued patterns.

        Parameters
        ----------
        ttype : TriggerType
            ``SOFTWARE`` (every mirror: :meth:`next_pattern`) or ``RISING_EDGE`` (PCIe mirrors: the card's trigger
            input, through its sequencer).
        tmode : TriggerMode
            ``ONCE``: one pattern per trigger.
        """
        if not isinstance(ttype, TriggerType) or not isinstance(tmode, TriggerMode):
            raise TypeError("set_trigger takes a TriggerType and a TriggerMode")
        if ttype == TriggerType.RISING_EDGE and self._driver != DriverType.PCIE:
            raise ValueError(f"a hardware trigger needs a PCIe mirror; this one is {self._driver.name}")
        if ttype != self._trigger[0] and self._trigger[0] == TriggerType.RISING_EDGE:
            check(self._kit().enable_sequence(0.0, False), "enable_sequence")
        self._trigger = (ttype, tmode)
        self._patterns = None

    def queue_patterns(self, patterns):
        """Queue patterns to be applied one per trigger.

        With a software trigger each :meth:`next_pattern` applies the next row, starting again with the first after
        the last. With a rising-edge trigger the rows are loaded into the card's sequencer, which outputs the next
        one at each rising edge of its trigger input.

        Parameters
        ----------
        patterns : array_like
            ``K x n_actuators`` commands in 0..1.
        """
        a = self._patterns_of(patterns)
        if self._trigger[0] == TriggerType.RISING_EDGE:
            check(self._kit().configure_sequence(a.ravel(), 0.0, self._n, a.shape[0]), "configure_sequence")
            check(self._dm.enable_sequence(0.0, True), "enable_sequence")
        self._patterns = a
        self._next = 0

    def next_pattern(self):
        """Apply the next queued pattern (software trigger).

        Raises
        ------
        RuntimeError
            No patterns are queued, or the trigger is not the software one.
        """
        if self._trigger[0] != TriggerType.SOFTWARE:
            raise RuntimeError("next_pattern needs the software trigger; the card's input advances the patterns")
        if self._patterns is None:
            raise RuntimeError("no patterns queued; call queue_patterns first")
        row = self._patterns[self._next]
        self._next = (self._next + 1) % self._patterns.shape[0]
        self.send(row)

    # PCIe card features -------------------------------------------------------------------------------------

    def play(self, patterns, rate_hz):
        """Play patterns from the PCIe card's sequencer at a fixed rate, repeating after the last.

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
        check(self._kit().configure_sequence(a.ravel(), 0.0, self._n, a.shape[0]), "configure_sequence")
        check(self._dm.enable_sequence(rate, True), "enable_sequence")

    def stop(self):
        """Stop the PCIe card's sequencer and ditherer."""
        check(self._kit().enable_sequence(0.0, False), "enable_sequence")
        check(self._dm.enable_dither(0.0, False), "enable_dither")

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
        w = _floats(waveform, "waveform")
        g = _floats(gains, "gains")
        if w.ndim != 1 or not 1 <= w.size <= 2048:
            raise ValueError(f"waveform must be 1-D with 1 to 2048 samples, got shape {w.shape}")
        if g.shape != (self._n,):
            raise ValueError(f"gains must have shape ({self._n},), got {g.shape}")
        rate = _number(rate_hz, "rate_hz")
        check(self._kit().configure_dither(np.ascontiguousarray(w), np.ascontiguousarray(g)), "configure_dither")
        check(self._dm.enable_dither(rate, rate > 0), "enable_dither")

    def high_res(self, enabled):
        """Switch the PCIe card's high-resolution mode on or off.

        Parameters
        ----------
        enabled : bool
        """
        check(self._kit().enable_high_res(bool(enabled)), "enable_high_res")

    # Open loop ----------------------------------------------------------------------------------------------

    def load_calibration(self, path):
        """Load an open-loop calibration table (a MAT file); it replaces the loaded one only on success.

        Parameters
        ----------
        path : str or os.PathLike
        """
        check(self._kit().load_calibration_file(os.fspath(path)), "load_calibration_file")

    def zernike(self, coefficients, dm_diameter=0, aperture_only=False):
        """Return the phase map of Zernike terms on the actuator grid.

        Parameters
        ----------
        coefficients : array_like or dict
            Coefficients in nanometres by OSA/ANSI index (piston 0, tilts 1 and 2, defocus 4, ...): an array
            of up to 1024 values, or a dict ``{index: nm}``.
        dm_diameter : int, optional
            Aperture diameter in actuator spacings; 0 for ``grid_width - 3``.
        aperture_only : bool, optional
            Return only the centred ``(D + 1) x (D + 1)`` block over the aperture (D the aperture diameter):
            the map :meth:`set_surface` expects for that aperture.

        Returns
        -------
        numpy.ndarray
            ``grid_width x grid_width`` phase map in nanometres (outside the aperture each value is held within
            the aperture's range), or the aperture block.
        """
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
        rc, phase = self._kit().zernike_surface(np.ascontiguousarray(c), _index(dm_diameter, "dm_diameter"), 0)
        check(rc, "zernike_surface")
        grid = np.array(phase).reshape(self._width, self._width)
        if not aperture_only:
            return grid
        d = dm_diameter or self._width - 3
        first = int(np.floor((self._width - 1) / 2 - d / 2))
        return grid[first:first + d + 1, first:first + d + 1].copy()

    def _phase(self, phase_nm, dm_diameter, absolute, best_effort):
        p = _floats(phase_nm, "phase_nm")
        if p.ndim != 2 or p.size == 0:
            raise ValueError(f"phase_nm must be a 2-D map (rows x columns), got shape {p.shape}")
        options = (_kit.DM_SURFACE_ABSOLUTE_DEFLECTION if absolute else 0) | \
                  (_kit.DM_SURFACE_BEST_EFFORT if best_effort else 0)
        return np.ascontiguousarray(p).ravel(), p.shape[1], p.shape[0], _index(dm_diameter, "dm_diameter"), options

    def surface_commands(self, phase_nm, dm_diameter=0, absolute=False, best_effort=False):
        """Calculate the commands that shape the mirror to a phase map, without sending them.

        Needs a calibration (:meth:`load_calibration` or the profile's).

        Parameters
        ----------
        phase_nm : array_like
            2-D phase map in nanometres over the aperture, any size.
        dm_diameter : int, optional
            Aperture diameter in actuator spacings; 0 for ``grid_width - 3``.
        absolute : bool, optional
            Take the map as absolute deflection instead of relative to the mirror's resting shape.
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
        rc, commands, low = self._kit().calculate_surface(flat, width, height, diameter, options)
        check(rc, "calculate_surface")
        return np.array(commands), np.array(low).reshape(self._width, self._width)

    def set_surface(self, phase_nm, dm_diameter=0, absolute=False, best_effort=False):
        """Shape the mirror to a phase map: :meth:`surface_commands`, then send.

        Parameters are those of :meth:`surface_commands`.
        """
        flat, width, height, diameter, options = self._phase(phase_nm, dm_diameter, absolute, best_effort)
        check(self._kit().set_surface(flat, width, height, diameter, options), "set_surface")

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
        rc = self._kit().set_segment(_index(segment, "segment"), _number(piston, "piston"),
                                     _number(x_tilt, "x_tilt"), _number(y_tilt, "y_tilt"), bool(apply_offsets),
                                     bool(send))
        check(rc, "set_segment")

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
        rc, lo, hi = self._kit().get_segment_range(_index(segment, "segment"), int(axis), _number(piston, "piston"),
                                                   _number(x_tilt, "x_tilt"), _number(y_tilt, "y_tilt"),
                                                   bool(apply_offsets))
        check(rc, "get_segment_range")
        return lo, hi
