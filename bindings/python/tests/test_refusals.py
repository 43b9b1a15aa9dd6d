"""Calls that must be refused rather than put a shape nobody asked for on the mirror: commands that are not numbers,
through mirrorkit, KrvDm and ctypes; a custom map on a PCIe mirror, which must reach the card's lookup table."""
import ctypes
import math
import os
import sys

import numpy as np
import pytest

import krv
import mirrorkit
from mirrorkit import KrvError, ResultCode

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "core", "tests"))
from ctypes_client import DM  # noqa: E402  the record as ctypes sees it

BAD = [math.nan, math.inf, -math.inf]


def test_mirrorkit_refuses_non_finite_commands(tree):
    tree.dummy("PYNAN000137", 137)
    with mirrorkit.Mirror("PYNAN000137", profiles=tree.profiles) as m:
        frame = np.linspace(0.1, 0.9, 137)
        m.send(frame)
        for bad in BAD:
            sent = np.full(137, 0.5)
            sent[100] = bad
            with pytest.raises(KrvError) as e:
                m.send(sent)  # float64 array: the module's direct path
            assert e.value.code == ResultCode.ERR_BADARG
            with pytest.raises(KrvError):
                m.send(list(sent))  # any other sequence
            with pytest.raises(KrvError):
                m.poke(3, bad)
            with pytest.raises(ValueError, match="finite"):
                m.queue_patterns(np.vstack([np.full(137, 0.5), sent]))
        assert np.abs(m.read() - frame).max() <= 0.5 / 65535


def test_krvdm_and_ctypes_refuse_non_finite_commands(tree):
    tree.dummy("PYNAN000032", 32)
    dm = tree.point(krv.KrvDm())
    assert dm.open_dm("PYNAN000032") == krv.NO_ERR
    assert dm.send_data([0.25] * 32) == krv.NO_ERR
    for bad in BAD:
        assert dm.send_data([0.5] * 31 + [bad]) == krv.ERR_BADARG
        assert dm.send_data_custom_mapping([bad] + [0.5] * 31, list(range(32))) == krv.ERR_BADARG
        assert dm.poke(0, bad) == krv.ERR_BADARG
    assert list(dm.get_actuator_data()) == pytest.approx([0.25] * 32, abs=1 / 65535)
    dm.close_dm()

    lib = ctypes.CDLL(os.path.join(os.environ["KRV_TEST_LIBDIR"], "libKRV4.so"))
    lib.KRVOpen.argtypes = [ctypes.POINTER(DM), ctypes.c_char_p]
    lib.KRVSetArray.argtypes = [ctypes.POINTER(DM), ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]
    lib.KRVSetSingle.argtypes = [ctypes.POINTER(DM), ctypes.c_uint32, ctypes.c_double]
    lib.KRVGetArray.argtypes = [ctypes.POINTER(DM), ctypes.POINTER(ctypes.c_double), ctypes.c_uint32]
    lib.KRVClose.argtypes = [ctypes.POINTER(DM)]
    rec = DM()
    rec.ProfilesPath = str(tree.profiles).encode()
    assert lib.KRVOpen(ctypes.byref(rec), b"PYNAN000032") == krv.NO_ERR
    try:
        values = (ctypes.c_double * 32)(*([0.75] * 32))
        assert lib.KRVSetArray(ctypes.byref(rec), values, None) == krv.NO_ERR
        for bad in BAD:
            values[7] = bad
            assert lib.KRVSetArray(ctypes.byref(rec), values, None) == krv.ERR_BADARG
            assert lib.KRVSetSingle(ctypes.byref(rec), 7, bad) == krv.ERR_BADARG
        back = (ctypes.c_double * 32)()
        assert lib.KRVGetArray(ctypes.byref(rec), back, 32) == krv.NO_ERR
        assert list(back) == pytest.approx([0.75] * 32, abs=1 / 65535)
    finally:
        lib.KRVClose(ctypes.byref(rec))


def card_table(cards, count):
    out = cards.run("lut", cards.card(), "--count", str(count))
    return [int(w, 16) for line in out.splitlines() for w in line.split(":")[1].split()]


def test_custom_mapping_on_pcie_reaches_the_card(tree, cards):
    (tree.maps / "ident64.map").write_text("".join(f"{c}\n" for c in range(64)))
    tree.profile("PYCUSTOM064", type=1, size=64, maxv=200, vlim=200, hva=2, use_fiber=1, use_CL=0, fiber_mode=1,
                 burst_mode=0, map="ident64.map")
    dm = tree.point(krv.KrvDm())
    assert dm.open_dm("PYCUSTOM064") == krv.NO_ERR
    reverse = list(range(63, -1, -1))
    frame = [a / 63 for a in range(64)]
    assert dm.send_data_custom_mapping(frame, reverse) == krv.NO_ERR
    assert card_table(cards, 64) == reverse
    assert cards.frame(64) == [round(v * 65535) for v in frame]
    # The default mapping's frames go out through the default map again.
    assert dm.send_data([0.5] * 64) == krv.NO_ERR
    assert card_table(cards, 64) == list(range(64))
    # A map the link cannot address is refused; the frame is not sent and the card keeps its table.
    beyond = list(range(64))
    beyond[9] = 5000
    assert dm.send_data_custom_mapping([1.0] * 64, beyond) == krv.ERR_INVALID_LUT
    assert card_table(cards, 64) == list(range(64))
    assert cards.frame(64) == [32768] * 64
    dm.close_dm()
