"""mirrorkit and KrvDm on a two-unit USB mirror of emulated drive units (run under umockdev-wrapper)."""
import ctypes
import os

import numpy as np
import pytest

import krv
import mirrorkit
from conftest import write_map, write_profile

SERIAL = "PYUSB000300"


@pytest.fixture(scope="module")
def units(tmp_path_factory):
    """Two emulated 160-channel units and a 300-actuator profile over both; yields (bed library, bed, unit ids,
    profiles folder)."""
    bed_path, dravix = os.environ.get("KRV_TEST_USB_BED", ""), os.environ.get("KRV_TEST_DRAVIX", "")
    if not os.path.exists(bed_path) or not os.path.exists(dravix):
        pytest.skip("the emulated USB units or the host-driver server are not built")
    lib = ctypes.CDLL(bed_path)
    lib.bed_new.restype = ctypes.c_void_p
    lib.bed_delete.argtypes = lib.bed_available.argtypes = [ctypes.c_void_p]
    lib.bed_add_unit.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.bed_last_bulk.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t]
    lib.bed_last_bulk.restype = ctypes.c_long
    lib.bed_bulk_count.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.bed_bulk_count.restype = ctypes.c_size_t
    # The bed must exist before the first USB context of the process.
    bed = lib.bed_new()
    if not lib.bed_available(bed):
        lib.bed_delete(bed)
        pytest.skip("emulated USB units need umockdev-wrapper")
    assert lib.bed_register_server(dravix.encode()) == 0
    ids = [lib.bed_add_unit(bed, s) for s in (b"DUPY0000001", b"DUPY0000002")]
    root = tmp_path_factory.mktemp("usb")
    write_map(root / "usb320.map", [c + 1 if c < 300 else 4096 for c in range(320)])
    write_profile(root, SERIAL, type=0, size=300, maxv=200, vlim=150, driver_sn="DUPY0000001",
                  driver_sn2="DUPY0000002", map="usb320.map")
    yield lib, bed, ids, root
    # The server's USB context goes before the emulated units do.
    assert ctypes.CDLL("libKRV_USBAPI4.so.4").KRV_USBReleaseHostDriver() == 0
    lib.bed_delete(bed)


def sent(units):
    """Blocks each unit has received so far."""
    lib, bed, ids, _ = units
    return [lib.bed_bulk_count(bed, u) for u in ids]


def block(units, k, count):
    """Unit k's last block, once it has received count blocks."""
    lib, bed, ids, _ = units
    raw = (ctypes.c_uint8 * 320)()
    n = lib.bed_last_bulk(bed, ids[k], count, raw, 320)
    assert n == 320, f"unit {k}: no 320-byte block number {count} ({n})"
    return np.frombuffer(bytes(raw), dtype="<u2")


def test_default_mapping_covers_both_units(units):
    root = str(units[3])
    dm = krv.KrvDm()
    for setter in (dm.set_profiles_path, dm.set_maps_path, dm.set_calibrations_path):
        assert setter(root) == krv.NO_ERR
    assert dm.open_dm(SERIAL) == krv.NO_ERR
    mapping = list(dm.default_mapping())
    assert len(mapping) == 320 and mapping[:3] == [1, 2, 3] and mapping[299] == 300 and mapping[300:] == [4096] * 20
    assert dm.close_dm() == krv.NO_ERR


def test_frames_reach_both_units_in_channel_order(units):
    frame = (np.arange(300) % 100) / 99.0
    codes = np.floor(frame * 65535 * (150 / 200) + 0.5).astype(np.uint16)  # the kit rounds halves up
    with mirrorkit.Mirror(SERIAL, profiles=units[3]) as m:
        assert m.driver_type == mirrorkit.DriverType.USB and m.n_actuators == 300
        before = sent(units)
        m.send(frame)
        assert np.array_equal(block(units, 0, before[0] + 1), codes[:160])
        assert np.array_equal(block(units, 1, before[1] + 1), np.concatenate([codes[160:], np.zeros(20, np.uint16)]))
        assert np.abs(m.read() - frame).max() <= 1 / 65535 * 200 / 150
        m.poke(299, 1.0)
        assert block(units, 1, before[1] + 2)[139] == round(65535 * 0.75)
        with pytest.raises(mirrorkit.KrvError) as e:
            m.high_res(True)
        assert e.value.code == mirrorkit.ResultCode.ERR_NOT_IMPLEMENTED
        before = sent(units)
    # Closing zeroes the outputs.
    assert not block(units, 0, before[0] + 1).any() and not block(units, 1, before[1] + 1).any()
