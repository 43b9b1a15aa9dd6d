"""mirrorkit on dummy mirrors and emulated PCIe cards; open-loop results against the C exports called with ctypes."""
import ctypes
import gc
import os
import sys

import numpy as np
import pytest

import krv
import mirrorkit
from mirrorkit import Axis, KrvError, ResultCode, TriggerMode, TriggerType
from conftest import table

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "core", "tests"))
from ctypes_client import DM  # noqa: E402  the record as ctypes sees it


def dummy(tree, serial, size, **keys):
    tree.dummy(serial, size, **keys)
    return mirrorkit.Mirror(serial, profiles=tree.profiles)


def test_frames_arrive_as_sent(tree):
    with dummy(tree, "MKFRAME0137", 137) as m:
        assert (m.serial, m.n_actuators, m.grid_width) == ("MKFRAME0137", 137, 13)
        assert type(m.n_actuators) is int and m.layout == mirrorkit.Layout.CIRCULAR
        assert m.driver_type == mirrorkit.DriverType.DUMMY
        frame = np.linspace(0, 1, 137)
        m.send(frame)
        back = m.read()
        assert back.dtype == np.float64 and np.abs(back - frame).max() <= 0.5 / 65535
        back[0] = 7.0  # a copy: the mirror is not touched
        assert m.read()[0] == 0.0
        m.send(tuple(np.full(137, 2.0)))  # clamped by the kit
        assert np.all(m.read() == 1.0)
        m.poke(136, 0.25)
        assert abs(m.read()[136] - 0.25) < 1e-4 and m.read()[135] == 1.0
        m.clear()
        assert not m.read().any()


def test_grid_pictures_follow_the_model_table(tree):
    with dummy(tree, "MKGRID00137", 137) as m:
        r, c = np.mgrid[0:13, 0:13]
        disc = (r - 6) ** 2 + (c - 6) ** 2 <= 41  # the 137-actuator model: a disc on a 13 x 13 grid
        assert np.array_equal(m.grid_mask, disc)
        grid = m.to_grid(np.arange(137) / 136)
        assert np.array_equal(np.isnan(grid), ~disc)
        assert np.array_equal(grid[disc], np.arange(137) / 136)  # actuators numbered row by row
        # A picture sent back: only positions with an actuator count.
        picture = np.where(disc, grid, 123.0)
        m.send(picture)
        assert np.allclose(m.to_grid(), grid, atol=1e-5, equal_nan=True)
    with dummy(tree, "MKGRID00140", 140) as m:  # 12 x 12 without its corners
        assert m.grid_mask.sum() == 140 and not m.grid_mask[0, 0] and not m.grid_mask[11, 11]


def test_argument_mistakes_say_what_was_expected(tree):
    with dummy(tree, "MKARGS00032", 32) as m:
        with pytest.raises(ValueError, match=r"32 actuator values or a 6 x 6 grid, got shape \(31,\)"):
            m.send(np.zeros(31))
        with pytest.raises(TypeError, match="array of real numbers"):
            m.send(["a"] * 32)
        with pytest.raises(ValueError, match=r"actuator must be in 0\.\.31"):
            m.poke(32, 0.5)
        with pytest.raises(TypeError, match="actuator must be an int"):
            m.poke(1.5, 0.5)
        with pytest.raises(ValueError, match=r"pattern must have shape \(32,\)"):
            m.apply_pattern(np.zeros((2, 32)))
        with pytest.raises(ValueError, match=r"patterns must have shape \(32,\) or \(K, 32\)"):
            m.queue_patterns(np.zeros((2, 31)))
    with pytest.raises(ValueError, match="11 characters"):
        mirrorkit.Mirror("SHORT", profiles=tree.profiles)
    with pytest.raises(ValueError, match="device_id"):
        mirrorkit.Mirror("MKARGS00032", profiles=tree.profiles, device_id=0)


def test_failures_raise_with_the_kit_code(tree):
    with pytest.raises(KrvError) as e:
        mirrorkit.Mirror("MKNOPROF001", profiles=tree.profiles)
    assert e.value.code == ResultCode.ERR_OPENFILE and e.value.message == "Error opening file."
    with dummy(tree, "MKFAIL00137", 137) as m:
        with pytest.raises(KrvError) as e:
            m.surface_commands(np.zeros((10, 10)))
        assert e.value.code == ResultCode.ERR_INVALID_CALIBRATION
        with pytest.raises(KrvError) as e:
            m.play(np.zeros((2, 137)), 100.0)
        assert e.value.code == ResultCode.ERR_NOT_IMPLEMENTED and "configure_sequence" in str(e.value)
        with pytest.raises(KrvError) as e:
            m.load_calibration(tree.root / "missing.mat")
        assert e.value.code == ResultCode.ERR_OPENFILE
    assert isinstance(ResultCode.ERR_BADARG, int) and ResultCode.ERR_BADARG == krv.ERR_BADARG


def test_with_closes_even_on_an_exception(tree):
    with pytest.raises(ZeroDivisionError):
        with dummy(tree, "MKWITH00032", 32) as m:
            m.send(np.full(32, 0.5))
            1 / 0
    assert m.closed
    with pytest.raises(KrvError) as e:
        m.read()
    assert e.value.code == ResultCode.ERR_DRIVER_NOT_OPEN
    m.close()  # again: nothing happens


def test_software_triggered_patterns(tree):
    with dummy(tree, "MKPATT00032", 32) as m:
        assert (m.trigger_type, m.trigger_mode) == (TriggerType.SOFTWARE, TriggerMode.ONCE)
        assert (TriggerType.RISING_EDGE.value, TriggerMode.ONCE.value) == (1, 1)  # python-microscope's values
        with pytest.raises(mirrorkit.DeviceError, match="no pattern queued"):
            m.trigger()
        patterns = np.array([np.full(32, v) for v in (0.1, 0.2, 0.3)])
        m.queue_patterns(patterns)
        patterns[1] = 0.9  # the queue holds its own copy
        seen = []
        for step in (m.trigger, m.next_pattern, m.trigger):
            step()
            seen.append(round(m.read()[5], 3))
        assert seen == [0.1, 0.2, 0.3]
        # The end of the queue is not silently the start of it again.
        with pytest.raises(IndexError, match="all 3 queued patterns have been applied"):
            m.trigger()
        assert round(m.read()[5], 3) == 0.3
        m.queue_patterns(np.full(32, 0.4))  # one pattern, 1-D
        m.trigger()
        assert abs(m.read()[31] - 0.4) < 1e-4
        with pytest.raises(IndexError):
            m.next_pattern()
        m.apply_pattern(np.full(32, 0.7))
        assert abs(m.read()[0] - 0.7) < 1e-4
        with pytest.raises(ValueError, match="needs a PCIe mirror"):
            m.set_trigger(TriggerType.RISING_EDGE, TriggerMode.ONCE)


def pcie(tree, serial, size):
    tree.profile(serial, type=1, size=size, maxv=200, vlim=200, hva=2, use_fiber=1, use_CL=0, fiber_mode=1,
                 burst_mode=0)
    return mirrorkit.Mirror(serial, profiles=tree.profiles)


def test_pcie_sequences_dither_and_high_resolution(tree, cards):
    with pcie(tree, "MKPCIE00008", 8) as m:
        assert m.driver_type == mirrorkit.DriverType.PCIE
        m.send(np.linspace(0, 1, 8))
        assert cards.frame(8) == [round(v * 65535) for v in np.linspace(0, 1, 8)]
        m.play(np.array([np.full(8, 0.0), np.full(8, 1.0)]), 1000.0)
        seq = cards.run("seq", cards.card(), "--count", "16").splitlines()
        assert "value     0  position    7  frame end" in seq[7]
        assert "value 65535  position    7  frame end  sequence end" in seq[15]
        regs = cards.regs()
        assert "SEQ_PERIOD               17  0x0000F424" in regs
        m.stop()
        assert "SEQ_PERIOD               17  0x00000000" in cards.regs()
        m.set_trigger(TriggerType.RISING_EDGE, TriggerMode.ONCE)
        m.queue_patterns(np.full((3, 8), 0.5))
        assert "SEQ_CONTROL              18  0x00000001" in cards.regs()
        with pytest.raises(mirrorkit.IncompatibleStateError, match="trigger type is not software"):
            m.trigger()
        with pytest.raises(mirrorkit.IncompatibleStateError, match="requires software trigger"):
            m.apply_pattern(np.full(8, 0.5))
        m.set_trigger(TriggerType.SOFTWARE, TriggerMode.ONCE)
        m.high_res(True)
        assert "high-res 1" in cards.regs()
        m.high_res(False)
        m.dither(np.array([0.0, 0.5, 1.0]), np.full(8, 1.0), rate_hz=1000.0)
        dither = cards.run("dither", cards.card(), "--count", "3")
        assert "00000000 00004000 00018000" in dither  # samples x 32768, the last marked
        assert "0000FFFF 0000FFFF 0000FFFF" in dither
        assert "DITHER_PERIOD             8  0x0000F424" in cards.regs()
        with pytest.raises(KrvError) as e:
            m.high_res(True)  # not while dithering
        assert e.value.code == ResultCode.ERR_INVALID_DITHER_RATE
        m.stop()
    assert "DITHER_PERIOD             8  0x00000000" in cards.regs()
    # A mirror that is collected closes too.
    m = pcie(tree, "MKPCIE00008", 8)
    m.play(np.full((2, 8), 0.5), 1000.0)
    del m
    gc.collect()
    assert "SEQ_PERIOD               17  0x00000000" in cards.regs()


@pytest.fixture
def c_kit():
    """The C exports through ctypes, on a record of their own."""
    libdir = os.environ.get("KRV_TEST_LIBDIR", "")
    if not libdir:
        pytest.skip("KRV_TEST_LIBDIR not set")
    core = ctypes.CDLL(os.path.join(libdir, "libKRV4.so"))
    openloop = ctypes.CDLL(os.path.join(libdir, "libKRV_OpenLoop4.so"))
    return core, openloop


def test_open_loop_results_equal_the_c_exports(tree, c_kit):
    core, openloop = c_kit
    cal = table("cdm_137.mat")
    tree.dummy("MKOPEN00137", 137)
    dm = DM()
    for setter, path in ((core.KRVSetProfilesPath, tree.profiles), (core.KRVSetMapsPath, tree.maps),
                         (core.KRVSetCalibrationsPath, tree.calibrations)):
        assert setter(ctypes.byref(dm), str(path).encode()) == 0
    assert core.KRVOpen(ctypes.byref(dm), b"MKOPEN00137") == 0
    try:
        assert core.KRVLoadCalibrationFile(ctypes.byref(dm), cal.encode()) == 0
        with mirrorkit.Mirror("MKOPEN00137", profiles=tree.profiles) as m:
            m.load_calibration(cal)
            phase = m.zernike({4: 150.0, 3: -40.0})
            coeffs = (ctypes.c_double * 5)(0, 0, 0, -40.0, 150.0)
            c_phase = (ctypes.c_double * 169)()
            assert openloop.KRVZernikeSurface(ctypes.byref(dm), coeffs, 5, 0, 0, c_phase, 169) == 0
            assert np.array_equal(phase, np.array(c_phase).reshape(13, 13))
            assert np.array_equal(m.zernike([0, 0, 0, -40.0, 150.0]), phase)
            target = phase[1:12, 1:12] * 0.5
            commands, low = m.surface_commands(target)
            flat = np.ascontiguousarray(target).ravel()
            c_cmd, c_low = (ctypes.c_double * 137)(), (ctypes.c_double * 169)()
            assert openloop.KRVCalculateSurfaceEx(
                ctypes.byref(dm), flat.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), 11, 11, 0, 0, c_cmd, 137,
                c_low, 169) == 0
            assert np.array_equal(commands, np.array(c_cmd)) and np.array_equal(low, np.array(c_low).reshape(13, 13))
            m.set_surface(target)
            assert np.abs(m.read() - commands).max() <= 0.5 / 65535

            lo, hi = m.segment_range(0, Axis.PISTON)
            c_lo, c_hi = ctypes.c_double(), ctypes.c_double()
            assert openloop.KRVGetSegmentRange(ctypes.byref(dm), 0, 0, ctypes.c_double(0), ctypes.c_double(0),
                                               ctypes.c_double(0), False, ctypes.byref(c_lo),
                                               ctypes.byref(c_hi)) == 0
            assert (lo, hi) == (c_lo.value, c_hi.value)
            with pytest.raises(KrvError) as e:
                m.segment_range(0, Axis.X_TILT)
            assert e.value.code == ResultCode.ERR_NOT_IMPLEMENTED
    finally:
        core.KRVClose(ctypes.byref(dm))


def test_help_is_the_reference():
    public = [n for n in dir(mirrorkit.Mirror) if not n.startswith("_")]
    for name in public:
        doc = getattr(mirrorkit.Mirror, name).__doc__
        assert doc and doc.strip(), name
    for name in ("send", "surface_commands", "zernike", "dither", "queue_patterns"):
        doc = getattr(mirrorkit.Mirror, name).__doc__
        assert "Parameters\n        ----------" in doc, name
    assert "Returns" in mirrorkit.Mirror.surface_commands.__doc__
    assert "Raises" in mirrorkit.Mirror.__doc__


def kit_aperture(m, d):
    """Actuators inside the aperture of the kit's Zernike terms, as a grid mask."""
    w = m.grid_width
    c = (w - 1) / 2
    r, q = np.mgrid[0:w, 0:w]
    return (np.hypot(r - c, q - c) * (c / (d / 2)) / np.ceil(c) <= 1.0) & m.grid_mask


@pytest.mark.parametrize("serial, size, cal", [("MKZERN00137", 137, "cdm_137.mat"),
                                               ("MKZERN00952", 952, "cdm_952_z.mat")])
def test_zernike_maps_put_the_terms_on_the_actuators(tree, serial, size, cal):
    path = table(cal)
    with dummy(tree, serial, size) as m:
        m.load_calibration(path)
        w = m.grid_width
        for coefficients, d in (({4: 150.0}, 0), ({4: 150.0, 3: -40.0, 7: 30.0}, 0), ({12: 60.0, 9: 25.0}, w - 5)):
            exact = m.zernike(coefficients, dm_diameter=d)  # the kit's values at the actuators' positions
            inside = kit_aperture(m, d or w - 3)
            pv = np.ptp(exact[inside])
            # The aperture map, resampled by set_surface, gives each actuator its own position's value.
            aperture = m.zernike(coefficients, dm_diameter=d, aperture_only=True)
            assert aperture.shape == (16 * (d or w - 3) + 1,) * 2
            commands, low = m.surface_commands(aperture, dm_diameter=d)
            error = (low - exact)[inside]
            assert np.abs(error).max() <= 0.002 * pv, (coefficients, np.abs(error).max(), pv)
            m.set_surface(aperture, dm_diameter=d)
            assert np.abs(m.read() - commands).max() <= 0.5 / 65535
            # set_zernike: the grid map itself, not resampled at all.
            m.set_zernike(coefficients, dm_diameter=d)
            direct, low = m.surface_commands(exact, dm_diameter=w - 1)
            assert np.array_equal(low, exact)
            assert np.abs(m.read() - direct).max() <= 0.5 / 65535
        if size == 137:
            # 150 nm RMS of defocus is 520 nm peak to valley (OSA/ANSI normalisation).
            assert abs(np.ptp(m.zernike({4: 150.0})[kit_aperture(m, 10)]) - 2 * np.sqrt(3) * 150) < 1e-9
            # The numpy evaluation of the aperture map is the kit's: at a map size whose pixels fall on the grid
            # positions' coordinates (none do for 13 wide), compare with the grid map through the same geometry.
            big = m.zernike({k: (-1) ** k * 10.0 for k in range(45)}, aperture_only=True)
            assert np.isfinite(big).all()
            with pytest.raises(TypeError, match="aperture_only must be True or False"):
                m.zernike({4: 1.0}, aperture_only="yes")


def test_zernike_terms_in_numpy_equal_the_kit_library(tree):
    from mirrorkit._mirror import _zernike_series
    with dummy(tree, "MKZSER00952", 952) as m:
        w = m.grid_width
        c = (w - 1) / 2
        k = (c / ((w - 3) / 2)) / np.ceil(c)
        dy, dx = np.mgrid[0:w, 0:w] - c
        rho, theta = np.hypot(dx, dy) * k, np.arctan2(dy, dx)
        inside = rho <= 1.0
        rng = np.random.default_rng(7)
        for count in (1, 3, 15, 66, 231):  # up to radial order 20
            coefficients = rng.normal(0, 50, count)
            kit = m.zernike(coefficients)
            ours = _zernike_series(coefficients, rho, theta)
            assert np.allclose(ours[inside], kit[inside], rtol=0, atol=1e-6 * np.abs(kit).max()), count


def test_flags_and_dac_counts_are_refused(tree):
    with dummy(tree, "MKFLAG00032", 32) as m:
        m.send(np.full(32, 0.5))
        for call in (lambda: m.surface_commands(np.ones((5, 5)), absolute="no"),
                     lambda: m.set_surface(np.ones((5, 5)), best_effort=1),
                     lambda: m.set_segment(0, 10.0, send="False"),
                     lambda: m.high_res(1)):
            with pytest.raises(TypeError, match="must be True or False"):
                call()
        # Integer commands above 1 are DAC counts, not fractions: refused, and nothing is sent.
        for call in (lambda: m.send(np.full(32, 30000)), lambda: m.send([0] * 31 + [2]),
                     lambda: m.apply_pattern(np.arange(32)), lambda: m.queue_patterns(np.full((2, 32), -1))):
            with pytest.raises(ValueError, match="not DAC counts"):
                call()
        assert np.allclose(m.read(), 0.5, atol=1e-4)
        m.send(np.ones(32, dtype=np.int64))  # 0 and 1 are commands too
        assert np.all(m.read() == 1.0)


def test_closed_mirror_refuses_every_call(tree):
    m = dummy(tree, "MKSHUT00032", 32)
    m.close()
    calls = [lambda: m.send(np.zeros(32)), m.read, lambda: m.poke(0, 0.1), m.clear, m.to_grid,
             lambda: m.to_grid(np.zeros(32)), lambda: m.queue_patterns(np.zeros((2, 32))), m.trigger,
             lambda: m.set_trigger(TriggerType.SOFTWARE, TriggerMode.ONCE), lambda: m.apply_pattern(np.zeros(32)),
             lambda: m.zernike({4: 1.0}), lambda: m.set_zernike({4: 1.0}), lambda: m.set_surface(np.ones((4, 4))),
             lambda: m.load_calibration("x.mat"), lambda: m.segment_range(0), m.stop]
    for call in calls:
        with pytest.raises(KrvError) as e:
            call()
        assert e.value.code == ResultCode.ERR_DRIVER_NOT_OPEN
    m.close()


def test_kit_errors_survive_pickling_and_process_pools(tree):
    import concurrent.futures
    import pickle
    e = KrvError(krv.ERR_OUT_OF_LUT_RANGE, "set_surface", "detail")
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is KrvError and (back.code, back.operation, back.detail, str(back)) == \
        (ResultCode.ERR_OUT_OF_LUT_RANGE, "set_surface", "detail", str(e))
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        with pytest.raises(KrvError) as raised:
            pool.submit(_open_in_worker, str(tree.profiles)).result(timeout=60)
    assert raised.value.code == ResultCode.ERR_OPENFILE


def _open_in_worker(profiles):
    mirrorkit.Mirror("MKNOSUCH001", profiles=profiles)


def test_leaving_a_with_block_keeps_the_users_exception(tree, caplog):
    class Unplugged:
        """A kit object whose close fails as it does after a USB unit was unplugged."""

        def __init__(self, dm):
            self.dm = dm

        def close_dm(self):
            self.dm.close_dm()
            return krv.ERR_NO_HW

        def __getattr__(self, name):
            return getattr(self.dm, name)

    with pytest.raises(ZeroDivisionError):
        with dummy(tree, "MKPLUG00032", 32) as m:
            m._dm = Unplugged(m._dm)
            1 / 0
    assert m.closed
    assert any("ERR_NO_HW" in r.getMessage() and r.name == "mirrorkit" for r in caplog.records)
    # Without an exception of the block's own, the failure of the close is the error.
    with pytest.raises(KrvError) as e:
        with dummy(tree, "MKPLUG00032", 32) as m:
            m._dm = Unplugged(m._dm)
    assert e.value.code == ResultCode.ERR_NO_HW and m.closed
    # The mirror counts as closed: it opens again.
    mirrorkit.Mirror("MKPLUG00032", profiles=tree.profiles).close()


def test_pattern_queue_follows_python_microscope(tree, cards):
    with pcie(tree, "MKMSCP00008", 8) as m:
        with pytest.raises(ValueError, match="SOFTWARE or RISING_EDGE trigger in ONCE mode"):
            m.set_trigger(TriggerType.FALLING_EDGE, TriggerMode.ONCE)
        with pytest.raises(ValueError, match="ONCE mode"):
            m.set_trigger(TriggerType.SOFTWARE, TriggerMode.STROBE)
        with pytest.raises(TypeError, match="must be a TriggerType"):
            m.set_trigger(1, TriggerMode.ONCE)
        # While the card's sequencer plays, a pattern applied by hand would be overwritten at once.
        m.play(np.full((2, 8), 0.25), 1000.0)
        with pytest.raises(mirrorkit.IncompatibleStateError, match="sequencer plays"):
            m.apply_pattern(np.full(8, 0.5))
        m.stop()
        m.apply_pattern(np.full(8, 0.5))
        assert cards.frame(8) == [round(0.5 * 65535)] * 8
        # A hardware trigger: the queue goes to the card; trigger() is for the software trigger only.
        m.set_trigger(TriggerType.RISING_EDGE, TriggerMode.ONCE)
        m.queue_patterns(np.full(8, 0.75))
        seq = cards.run("seq", cards.card(), "--count", "8").splitlines()
        assert "value 49151  position    7  frame end  sequence end" in seq[7]
        with pytest.raises(mirrorkit.IncompatibleStateError):
            m.trigger()
        m.set_trigger(TriggerType.SOFTWARE, TriggerMode.ONCE)
        with pytest.raises(mirrorkit.DeviceError):
            m.trigger()  # the queue went with the trigger
    assert issubclass(mirrorkit.IncompatibleStateError, RuntimeError)
    assert issubclass(mirrorkit.DeviceError, RuntimeError)
