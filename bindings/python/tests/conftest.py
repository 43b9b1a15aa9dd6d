"""Shared set-up of the Python tests: a private install tree and registry store, profiles and maps, emulated cards.

The kit caches its install directory and sets up logging on the first open of the process, so the environment is
pointed at a temporary tree before anything imports the module.
"""
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

_ROOT = pathlib.Path(tempfile.mkdtemp(prefix="krv-pytest-"))
for _sub in ("Profiles", "Map", "Calibration"):
    (_ROOT / _sub).mkdir()
(_ROOT / "registry.reg").write_text(
    "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
    f'"InstallPath"="{_ROOT}"\r\n')
os.environ["KRV_REGISTRY_FILE"] = str(_ROOT / "registry.reg")
os.environ["LOCALAPPDATA"] = str(_ROOT)
# A card-access lock of this process's own, so that parallel test programs never wait for each other.
_LOCK = f"krv-pytest-{os.getpid()}"
os.environ["PEXLINK_LOCK_NAME"] = _LOCK


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(_ROOT, ignore_errors=True)
    try:
        os.unlink(f"/dev/shm/{_LOCK}")
    except OSError:
        pass


def write_profile(folder, serial, **keys):
    """A scrambled profile <folder>/<serial>.dm with the given keys (type, size, maxv, vlim, map, ...)."""
    text = b"".join(bytes(b ^ 0xA7 for b in f"{k}={v}".encode()) + b"\n" for k, v in keys.items())
    path = pathlib.Path(folder) / f"{serial}.dm"
    path.write_bytes(text)
    return path


def write_map(path, entries):
    pathlib.Path(path).write_text("".join(f"{e}\n" for e in entries))
    return path


class Tree:
    """An install tree of one test: Profiles, Map and Calibration folders."""

    def __init__(self, root):
        self.root = pathlib.Path(root)
        self.profiles = self.root / "Profiles"
        self.maps = self.root / "Map"
        self.calibrations = self.root / "Calibration"
        for p in (self.profiles, self.maps, self.calibrations):
            p.mkdir(parents=True, exist_ok=True)

    def profile(self, serial, **keys):
        return write_profile(self.profiles, serial, **keys)

    def dummy(self, serial, size, **keys):
        return self.profile(serial, type=2, size=size, maxv=100, vlim=100, **keys)

    def point(self, dm):
        """Points a KrvDm at this tree."""
        assert dm.set_profiles_path(str(self.profiles)) == 0
        assert dm.set_maps_path(str(self.maps)) == 0
        assert dm.set_calibrations_path(str(self.calibrations)) == 0
        return dm


@pytest.fixture
def tree(tmp_path):
    return Tree(tmp_path)


def table(name):
    """A generated calibration table; skips when the generated data is not there."""
    base = os.environ.get("KRV_TESTDATA_DIR", "")
    path = pathlib.Path(base) / "calibration" / name
    if not base or not path.exists():
        pytest.skip(f"generated test data {name} not found")
    return str(path)


class Cards:
    """Emulated PCIe interface cards made with the pexcard tool, in a folder of their own."""

    def __init__(self, folder, count=1, revision="0x20000600"):
        self.tool = os.environ.get("KRV_TEST_PEXCARD", "")
        if not os.path.exists(self.tool):
            pytest.skip("pexcard not available")
        self.dir = pathlib.Path(folder)
        self.dir.mkdir(parents=True, exist_ok=True)
        self.run("create", str(self.dir), "--count", str(count), "--revision", revision)
        os.environ["PEXLINK_DEVICE_DIR"] = str(self.dir)

    def run(self, *args):
        return subprocess.run([self.tool, *args], check=True, capture_output=True, text=True).stdout

    def card(self, n=1):
        return str(self.dir / f"PEXIO{n}")

    def frame(self, actuators, n=1):
        """Frame memory as driver values per actuator."""
        out = self.run("frame", self.card(n), "--actuators", str(actuators)).split()
        return [int(v) for v in out if not v.endswith(":")]

    def regs(self, n=1):
        return self.run("regs", self.card(n))


@pytest.fixture
def cards(tmp_path):
    c = Cards(tmp_path / "cards")
    yield c
    os.environ.pop("PEXLINK_DEVICE_DIR", None)
