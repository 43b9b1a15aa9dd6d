"""The _krv module: KrvDm's checks and mends, constants, vectors, argument errors, docstrings, the interpreter lock."""
import array
import os
import pathlib
import re
import threading
import time

import numpy as np
import pytest

import _krv
import krv
from conftest import table


def opened(tree, serial, size, **keys):
    tree.dummy(serial, size, **keys)
    dm = tree.point(krv.KrvDm())
    assert dm.open_dm(serial) == krv.NO_ERR
    return dm


def test_open_twice_keeps_the_mirror_open(tree):
    dm = opened(tree, "PYOPEN00140", 140)
    assert dm.open_dm("PYOPEN00140") == krv.ERR_DRIVER_ALREADY_OPEN
    assert dm.get_status() == krv.NO_ERR  # the refused open records nothing
    assert dm.send_data([0.25] * 140) == krv.NO_ERR
    assert abs(dm.get_actuator_data()[139] - 0.25) < 1e-4
    assert dm.close_dm() == krv.NO_ERR
    assert dm.num_actuators() == 0


def test_frames_of_the_wrong_length_send_nothing(tree):
    dm = opened(tree, "PYSEND00140", 140)
    assert dm.send_data(np.full(140, 0.5)) == krv.NO_ERR
    for n in (139, 141):
        assert dm.send_data([0.9] * n) == krv.ERR_INVALID_ACTUATOR_COUNT
    assert dm.send_data_custom_mapping([0.9] * 140, list(range(139))) == krv.ERR_INVALID_LUT
    assert np.allclose(np.array(dm.get_actuator_data()), 0.5, atol=1e-4)
    assert dm.send_data_custom_mapping([0.75] * 140, list(range(140))) == krv.NO_ERR
    assert np.allclose(np.array(dm.get_actuator_data()), 0.75, atol=1e-4)


def test_closed_mirror_answers_not_open():
    dm = krv.KrvDm()
    assert len(dm.get_actuator_data()) == 0
    assert dm.get_status() == krv.ERR_DRIVER_NOT_OPEN
    assert dm.send_data([]) == krv.ERR_DRIVER_NOT_OPEN
    assert dm.poke(0, 0.5) == krv.ERR_DRIVER_NOT_OPEN
    assert dm.set_segment(0, 0, 0, 0, False, True) == krv.ERR_INIT_DRIVER
    assert dm.load_calibration_file("any.mat") == krv.ERR_INIT_DRIVER
    assert dm.get_segment_range(0, krv.DM_Piston, 0, 0, 0, False) == [krv.ERR_INIT_DRIVER, 0.0, 0.0]
    assert dm.enable_high_res(True) == krv.ERR_NOT_IMPLEMENTED


def test_dither_gains_checked_before_the_driver(tree):
    dm = opened(tree, "PYDITH00140", 140)
    assert dm.configure_dither([0.5] * 8, [0.1] * 139) == krv.ERR_INVALID_DITHER_GAIN
    assert dm.configure_dither([0.5] * 8, [0.1] * 140) == krv.ERR_NOT_IMPLEMENTED  # not a PCIe mirror
    assert dm.configure_sequence([0.1] * 5, 0.0, 2, 3) == krv.ERR_INVALID_SEQUENCE


def test_device_id_limits():
    dm = krv.KrvDm()
    assert dm.set_device_id(0) == krv.ERR_BADARG
    assert dm.set_device_id(-1) == krv.ERR_BADARG
    assert dm.set_device_id(krv.KRV_DEV_ID_QUERY_PROFILE) == krv.NO_ERR
    assert dm.set_device_id(2) == krv.NO_ERR


def test_surface_of_the_wrong_size_never_reaches_the_library(tree):
    dm = opened(tree, "PYSURF00137", 137)
    assert dm.load_calibration_file(table("cdm_137.mat")) == krv.NO_ERR
    status, commands, low = dm.calculate_surface(np.zeros(100), 10, 10)
    assert status == krv.NO_ERR and len(commands) == 137 and len(low) == 13 * 13
    assert dm.poke(0, 0.5) == krv.NO_ERR
    status, _, _ = dm.calculate_surface([0.0] * 99, 10, 10)
    assert status == krv.ERR_BADARG
    assert dm.get_status() == krv.NO_ERR  # the poke's, not a library result
    assert dm.set_surface([0.0] * 99, 10, 10) == krv.ERR_BADARG
    status, phase = dm.zernike_surface([0, 0, 0, 0, 100.0])
    assert status == krv.NO_ERR and len(phase) == 169


def test_default_mapping_is_the_map_file(tree):
    entries = [(11 * i) % 140 for i in range(140)]  # a permutation: each channel once
    (tree.maps / "perm.map").write_text("".join(f"{e}\n" for e in entries))
    dm = opened(tree, "PYMAPS00140", 140, map="perm.map")
    assert list(dm.default_mapping()) == entries
    # A profile without a map opens as a success; the mapping covers every channel.
    plain = opened(tree, "PYNOMAP0140", 140)
    assert len(plain.default_mapping()) == 140


def test_deleting_an_open_object_closes_the_mirror(tree, cards):
    tree.profile("PYPCIE00064", type=1, size=64, maxv=200, vlim=200, hva=2, use_fiber=1, use_CL=0, fiber_mode=1,
                 burst_mode=0)
    dm = tree.point(krv.KrvDm())
    assert dm.open_dm("PYPCIE00064") == krv.NO_ERR
    assert dm.send_data([1.0] * 64) == krv.NO_ERR
    assert cards.frame(64) == [65535] * 64
    assert dm.configure_sequence([0.5] * 128, 0.0, 64, 2) == krv.NO_ERR
    assert dm.enable_sequence(1000.0, True) == krv.NO_ERR
    assert "SEQ_PERIOD               17  0x0000F424" in cards.regs()  # 1 ms in 16 ns ticks
    del dm
    # Closing stops the sequencer the record started.
    assert "SEQ_PERIOD               17  0x00000000" in cards.regs()


def header_constants():
    """Every enumerator and integer #define of the public header, with its value."""
    header = pathlib.Path(__file__).resolve().parents[3] / "core" / "include" / "KRV.h"
    text = header.read_text()
    found = {m[0]: int(m[1], 0) for m in re.findall(r"^\s+([A-Z][A-Za-z0-9_]+) = (\w+),?$", text, re.M)}
    found.update({m[0]: int(m[1], 0) for m in re.findall(r"^#define (KRV_\w+|MAX_DM_SIZE) (0x[0-9A-Fa-f]+|\d+)$",
                                                          text, re.M)})
    return found


def test_constants_match_the_header():
    constants = header_constants()
    assert len(constants) == 37 + 8 + 5 + 3 + 3 + 3 + 5
    for name, value in constants.items():
        assert getattr(krv, name) == value, name
    assert (krv.KRV_MAX_PATH, krv.KRV_DEV_ID_QUERY_PROFILE, krv.ERR_INVALID_COEFFICIENTS) == (260, 65536, 36)
    dm = krv.KrvDm()
    assert dm.error_string(krv.ERR_UNKNOWN) == "Uknown error."
    assert dm.error_string(krv.ERR_INVALID_COEFFICIENTS) == "Unknown error code."
    assert krv.KrvDm.version_string() == "4.2.1"


def test_vectors_follow_the_list_protocol():
    v = krv.DoubleVector([1.0, 2.0, 3.0, 4.0])
    assert v[-1] == 4.0 and list(v[1:3]) == [2.0, 3.0] and list(v[::-1]) == [4.0, 3.0, 2.0, 1.0]
    v[1:3] = [20.0, 30.0, 35.0]
    assert list(v) == [1.0, 20.0, 30.0, 35.0, 4.0]
    del v[-2]
    v.append(5.0)
    v.insert(v.begin(), 0.5)
    assert v.pop() == 5.0 and (v.front(), v.back()) == (0.5, 4.0) and len(v) == v.size() == 5
    with pytest.raises(IndexError):
        v[5]
    i = krv.IntVector(3, 7)
    i.resize(5)
    assert list(i) == [7, 7, 7, 0, 0] and not i.empty()
    # numpy reads a vector in one block; the copy does not follow later changes.
    a = np.array(v)
    v[0] = -1.0
    assert a.dtype == np.float64 and a[0] == 0.5 and np.asarray(v)[0] == -1.0
    assert np.array(i).dtype == np.int32


def test_sequences_and_arrays_accepted_as_vectors(tree):
    dm = opened(tree, "PYVECT00032", 32)
    frame = np.linspace(0, 1, 32)
    for data in (tuple(frame), frame, list(frame), krv.DoubleVector(frame.tolist()), frame[::-1].copy()[::-1]):
        assert dm.send_data(data) == krv.NO_ERR
        assert np.allclose(np.array(dm.get_actuator_data()), frame, atol=1e-4)
    assert dm.send_data_custom_mapping(frame, np.arange(32, dtype=np.int32)) == krv.NO_ERR
    assert dm.send_data_custom_mapping(frame, tuple(range(32))) == krv.NO_ERR


def test_wrong_arguments_raise_with_the_wrapped_name():
    dm = krv.KrvDm()
    with pytest.raises(TypeError, match=r"in method 'KrvDm_poke', argument 2 of type 'int'"):
        dm.poke("one", 0.5)
    with pytest.raises(TypeError, match=r"Wrong number or type of arguments for overloaded function "
                                        r"'KrvDm_calculate_surface'\."):
        dm.calculate_surface([0.0], 1, 1, "wide")
    with pytest.raises(TypeError):
        dm.send_data(["a"] * 3)
    with pytest.raises(TypeError):
        dm.open_dm()
    # Flags take Python truth values.
    assert dm.set_segment(0, 0.0, 0.0, 0.0, 0, [1]) == krv.ERR_INIT_DRIVER
    assert dm.enable_dither(0.0, None) == dm.enable_dither(0.0, "") == krv.ERR_DRIVER_NOT_OPEN


def test_every_method_has_its_docstring_sections():
    methods = [n for n in dir(krv.KrvDm) if not n.startswith("_") and callable(getattr(krv.KrvDm, n))]
    assert len(methods) == 32
    for name in methods:
        doc = getattr(_krv, f"KrvDm_{name}").__doc__.strip()
        lines = doc.splitlines()
        assert lines[0].startswith(f"KrvDm_{name}(") and "->" in lines[0], name
        assert "Possible errors: " in doc and ":return: " in doc, name
        assert lines[2] and lines[2] != lines[0], name  # the summary line
        # Then a description of its own, before the list of errors.
        assert lines[3] == "" and lines[4] and not lines[4].startswith("Possible errors"), name
        params = [n.strip() for n in lines[0][lines[0].index("(") + 1:lines[0].index(")")].split(",")][1:]
        for param in params:
            pname = param.split("=")[0].split()[-1].lstrip("*")
            assert re.search(rf"^:param \S+ {re.escape(pname)}:", doc, re.M), (name, pname)
    assert _krv.KrvDm_open_dm.__doc__.strip().startswith(
        "KrvDm_open_dm(KrvDm self, char const * serial_number) -> int")
    assert ":param str serial_number:" in krv.KrvDm.open_dm.__doc__
    assert ":const:`ERR_INVALID_DITHER_GAIN`" in krv.KrvDm.configure_dither.__doc__
    assert ":return: Error status." in krv.KrvDm.send_data.__doc__


def longest_pause_during(call):
    """Runs call() while another thread ticks; returns (call seconds, longest gap between ticks during the call)."""
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            sum(range(200))

    t = threading.Thread(target=ticker)
    t.start()
    time.sleep(0.05)
    start = time.perf_counter()
    call()
    end = time.perf_counter()
    stop.set()
    t.join()
    inside = [start] + [x for x in ticks if start <= x <= end] + [end]
    return end - start, max(b - a for a, b in zip(inside, inside[1:]))


def test_library_calls_release_the_interpreter_lock(tree):
    dm = opened(tree, "PYLOCK00952", 952)
    path = table("cdm_952_z.mat")
    duration, pause = longest_pause_during(lambda: dm.load_calibration_file(path))
    assert dm.get_status() == krv.NO_ERR
    assert duration > 0.05, f"the load took {duration:.3f} s, too short to tell"
    # Holding the lock would stop the other thread for the whole call.
    assert pause < duration / 2, f"other thread paused {pause:.3f} s of {duration:.3f} s"


def test_vector_slices_convert_bounds_as_python_does():
    v = krv.DoubleVector([1.0, 2.0, 3.0])
    # Bounds far beyond the length are clipped, not taken as undefined indices.
    assert list(v[0:10 ** 30]) == [1.0, 2.0, 3.0] and list(v[-10 ** 30:2]) == [1.0, 2.0]
    # numpy integers are indices like any other.
    assert list(v[np.int64(1):]) == [2.0, 3.0] and list(v[:np.int32(-1)]) == [1.0, 2.0]
    assert list(v[np.int64(2):np.int64(0):-1]) == [3.0, 2.0]
    with pytest.raises(ValueError, match="slice step cannot be zero"):
        v[::0]
    with pytest.raises(TypeError):
        v[1.5:]
    i = krv.IntVector([1, 2, 3, 4])
    i[np.int64(1):np.int64(3)] = [9]
    del i[np.int64(-1):10 ** 20]
    assert list(i) == [1, 9]
    # Single items take numpy integers as well; an index beyond any length is an IndexError.
    i[np.int32(-1)] = 7
    assert (i[np.int64(1)], v[np.uint8(2)]) == (7, 3.0)
    with pytest.raises(IndexError):
        v[10 ** 30]


def test_vectors_keep_the_interpreter_lock_in_their_own_methods():
    v = krv.DoubleVector()
    n = 50000

    def grow():
        for _ in range(n):
            v.append(1.0)
            if len(v) > 4:
                v[-1]

    threads = [threading.Thread(target=grow) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Appends that ran side by side without the lock lost items or freed the same block twice.
    assert len(v) == 3 * n and sum(v) == 3 * n


def test_numpy_views_of_a_vector_never_see_its_items_move():
    v = krv.DoubleVector([1.0, 2.0, 3.0])
    shared = np.asarray(v)
    for k in range(1000):  # the items move to larger blocks several times
        v.append(float(k))
    assert shared.tolist() == [1.0, 2.0, 3.0]
    assert not shared.flags.writeable  # a write would never reach the vector
    copy = np.array(v)
    v[0] = -1.0
    assert copy[0] == 1.0 and copy.flags.writeable and np.asarray(v)[0] == -1.0
    ints = krv.IntVector([5, 6])
    view = np.asarray(ints)
    ints.clear()
    assert view.tolist() == [5, 6] and view.dtype == np.int32


def test_value_arguments_of_every_layout_send_the_same_frame(tree):
    dm = opened(tree, "PYVALS00032", 32)
    frame = np.linspace(0, 1, 32)
    strided = np.stack([frame, frame], axis=1)[:, 0]
    for data in (frame, frame.astype(np.float32), strided, frame.astype(">f8"), array.array("d", frame),
                 memoryview(array.array("d", frame)), [float(x) for x in frame]):
        assert dm.send_data(data) == krv.NO_ERR
        assert np.allclose(np.array(dm.get_actuator_data()), np.asarray(data, dtype=np.float64), atol=1e-4)
    with pytest.raises(TypeError, match=r"in method 'KrvDm_send_data', argument 2 of type 'DoubleVector'"):
        dm.send_data([0.5] * 31 + ["x"])
    with pytest.raises(TypeError, match=r"argument 3 of type 'IntVector'"):
        dm.send_data_custom_mapping(frame, [0.5] * 32)  # a map of channels holds integers
    with pytest.raises(TypeError):
        dm.send_data_custom_mapping(frame, [2 ** 40] * 32)


def test_kit_messages_reach_a_python_handler_and_no_console(tree, capfd):
    got = []
    try:
        krv._set_log_handler(lambda level, logger, message: got.append((level, logger, message)))
        dm = tree.point(krv.KrvDm())
        tree.dummy("PYLOGS00032", 32, map="absent.map")
        assert dm.open_dm("PYLOGS00032") != krv.NO_ERR  # the map file is missing
        out, err = capfd.readouterr()
        assert out == "" and err == ""
        assert any(logger.startswith("KRV.") and "absent.map" in message for _, logger, message in got), got
        assert {level for level, _, _ in got} <= {krv.KRV_LOG_TRACE, krv.KRV_LOG_DEBUG, krv.KRV_LOG_INFO,
                                                 krv.KRV_LOG_WARN, krv.KRV_LOG_ERROR, krv.KRV_LOG_FATAL}
        with pytest.raises(TypeError, match="callable or None"):
            krv._set_log_handler(42)
    finally:
        import mirrorkit  # the handler mirrorkit keeps in this process
        krv._set_log_handler(mirrorkit._mirror._forward_log)
