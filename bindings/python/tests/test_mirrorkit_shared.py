"""mirrorkit in a shared process: threads on one mirror, one Mirror per mirror, the kit's messages in logging,
python-microscope's enumerations and errors."""
import gc
import logging
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import krv
import mirrorkit
from mirrorkit import KrvError, ResultCode


def dummy(tree, serial, size, **keys):
    tree.dummy(serial, size, **keys)
    return mirrorkit.Mirror(serial, profiles=tree.profiles)


def uniform(frame):
    return frame.min() == frame.max()


def test_threads_share_one_mirror_frame_by_frame(tree):
    # Large frames widen the time in which two unserialised sends would interleave.
    with dummy(tree, "MKTHRD04096", 4096) as m:
        stop = threading.Event()
        failures = []

        def sender(value):
            frame = np.full(4096, value)
            try:
                while not stop.is_set():
                    m.send(frame)
            except Exception as e:  # noqa: BLE001  reported below
                failures.append(e)

        # One of the senders' frames first, so that no read can see the mirror's starting zeros on a busy machine.
        m.send(np.full(4096, 0.25))
        threads = [threading.Thread(target=sender, args=(v,)) for v in (0.25, 0.75)]
        for t in threads:
            t.start()
        try:
            reads = [m.read() for _ in range(3000)]
        finally:
            stop.set()
            for t in threads:
                t.join()
        assert not failures
        assert sum(not uniform(r) for r in reads) == 0
        assert {round(r[0], 2) for r in reads} == {0.25, 0.75}
        assert uniform(m.read())


def test_close_waits_for_the_call_in_progress(tree):
    m = dummy(tree, "MKCLOS04096", 4096)
    outcome = []

    def sender():
        frame = np.full(4096, 0.5)
        try:
            while True:
                m.send(frame)
                m.read()
        except KrvError as e:
            outcome.append(e.code)
        except Exception as e:  # noqa: BLE001
            outcome.append(e)

    t = threading.Thread(target=sender)
    t.start()
    threading.Event().wait(0.05)
    m.close()
    t.join(timeout=30)
    assert outcome == [ResultCode.ERR_DRIVER_NOT_OPEN]


def test_a_mirror_is_open_once_per_process(tree):
    first = dummy(tree, "MKONCE00032", 32)
    with pytest.raises(KrvError) as e:
        mirrorkit.Mirror("MKONCE00032", profiles=tree.profiles)  # the notebook cell run again
    assert e.value.code == ResultCode.ERR_DRIVER_ALREADY_OPEN
    assert "MKONCE00032 is already open in this process" in str(e.value)
    first.send(np.full(32, 0.5))
    assert np.allclose(first.read(), 0.5, atol=1e-4)
    first.close()
    second = mirrorkit.Mirror("MKONCE00032", profiles=tree.profiles)
    # A mirror that was never closed but collected frees its serial number too.
    del second
    gc.collect()
    # Opens racing for one serial number: one wins.
    results = []

    def opener():
        try:
            results.append(mirrorkit.Mirror("MKONCE00032", profiles=tree.profiles))
        except KrvError as err:
            results.append(err.code)

    threads = [threading.Thread(target=opener) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    opened = [r for r in results if isinstance(r, mirrorkit.Mirror)]
    assert len(opened) == 1 and results.count(ResultCode.ERR_DRIVER_ALREADY_OPEN) == 3
    opened[0].close()
    # A failed open leaves nothing behind.
    with pytest.raises(KrvError):
        mirrorkit.Mirror("MKONCE00099", profiles=tree.profiles)
    with pytest.raises(KrvError) as e:
        mirrorkit.Mirror("MKONCE00099", profiles=tree.profiles)
    assert e.value.code == ResultCode.ERR_OPENFILE


def test_kit_messages_go_to_logging_under_mirrorkit(tree, caplog, capfd):
    assert logging.getLogger("mirrorkit").level == logging.WARNING
    tree.dummy("MKLOGS00032", 32, map="absent.map")
    caplog.set_level(logging.WARNING, logger="mirrorkit")
    with pytest.raises(KrvError):
        mirrorkit.Mirror("MKLOGS00032", profiles=tree.profiles)
    assert not [r for r in caplog.records if r.levelno < logging.WARNING]
    caplog.set_level(logging.DEBUG, logger="mirrorkit")
    with pytest.raises(KrvError):
        mirrorkit.Mirror("MKLOGS00032", profiles=tree.profiles)
    loaded = [r for r in caplog.records if "Loading map file" in r.getMessage()]
    assert loaded and loaded[0].name == "mirrorkit.KRV.API" and loaded[0].levelno == logging.DEBUG
    out, err = capfd.readouterr()
    assert "Loading map file" not in out + err  # logging's handlers, not the console


SCRIPT = """
import sys
import mirrorkit
m = mirrorkit.Mirror("MKSTDO00032", profiles=sys.argv[1])
m.send([0.5] * 32)
m.close()
print("done")
"""


def test_a_program_gets_no_kit_lines_on_its_standard_output(tree):
    tree.dummy("MKSTDO00032", 32)
    env = dict(os.environ, KRV_OPENLOOP_LIBRARY="absent.so")  # the open warns that the library is missing
    run = subprocess.run([sys.executable, "-c", SCRIPT, str(tree.profiles)], env=env, capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "done\n"
    # Python's last-resort handler shows the warning on standard error; the debug lines stay out.
    assert "LoadLibrary returned 0" in run.stderr and "DEBUG" not in run.stderr


FAKE_MICROSCOPE = '''
import enum


class MicroscopeError(Exception):
    pass


class IncompatibleStateError(MicroscopeError):
    pass


class DeviceError(MicroscopeError):
    pass


class TriggerType(enum.Enum):
    SOFTWARE = 0
    RISING_EDGE = 1
    FALLING_EDGE = 2
    PULSE = 3


class TriggerMode(enum.Enum):
    ONCE = 1
    BULB = 2
    STROBE = 3
    START = 4
'''

MICROSCOPE_SCRIPT = """
import sys
import microscope
import mirrorkit
m = mirrorkit.Mirror("MKMICR00032", profiles=sys.argv[1])
m.set_trigger(microscope.TriggerType.SOFTWARE, microscope.TriggerMode.ONCE)
assert m.trigger_type is mirrorkit.TriggerType.SOFTWARE and m.trigger_mode is mirrorkit.TriggerMode.ONCE
try:
    m.trigger()
except microscope.DeviceError as e:
    assert isinstance(e, mirrorkit.DeviceError)
try:
    m.set_trigger(microscope.TriggerType.RISING_EDGE, microscope.TriggerMode.ONCE)
except ValueError as e:
    assert "PCIe" in str(e)
assert issubclass(mirrorkit.IncompatibleStateError, microscope.IncompatibleStateError)
m.queue_patterns([[0.5] * 32, [0.25] * 32])
m.trigger()
m.trigger()
try:
    m.trigger()
except IndexError:
    print("ok")
m.close()
"""


def test_python_microscope_enumerations_and_errors_where_installed(tree, tmp_path):
    (tmp_path / "site" / "microscope").mkdir(parents=True)
    (tmp_path / "site" / "microscope" / "__init__.py").write_text(textwrap.dedent(FAKE_MICROSCOPE))
    tree.dummy("MKMICR00032", 32)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path / "site"), os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run([sys.executable, "-c", MICROSCOPE_SCRIPT, str(tree.profiles)], env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "ok\n"
