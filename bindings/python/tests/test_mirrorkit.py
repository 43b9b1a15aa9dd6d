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
            c_block = (ctypes.c_double * 121)()  # the aperture block: D = 10, N = 11
            assert openloop.KRVZernikeSurface(ctypes.byref(dm), coeffs, 5, 0, 0, c_block, 121) == 0
            assert np.array_equal(m.zernike({4: 150.0, 3: -40.0}, aperture_only=True),
                                  np.array(c_block).reshape(11, 11))

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
