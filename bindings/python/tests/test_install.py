"""cmake --install puts _krv, krv.py and mirrorkit where Debian's python3 looks for the prefix, and they import
and drive a dummy mirror from there."""
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

SCRIPT = r"""
import os, sys, tempfile, pathlib
import numpy as np
import _krv, krv, mirrorkit
for m in (_krv, krv, mirrorkit):
    assert m.__file__.startswith(sys.argv[1]), m.__file__
tmp = pathlib.Path(tempfile.mkdtemp())
(tmp / "INSTALL0032.dm").write_bytes(
    b"".join(bytes(b ^ 0xA7 for b in line) + b"\n" for line in (b"type=2", b"size=32", b"maxv=10", b"vlim=10")))
with mirrorkit.Mirror("INSTALL0032", profiles=tmp) as m:
    m.send(np.full(32, 0.5))
    print(round(float(m.read()[31]), 4))
"""


def install(destdir, prefix):
    build = os.environ.get("KRV_TEST_BUILD_DIR", "")
    if not build:
        pytest.skip("KRV_TEST_BUILD_DIR not set")
    env = dict(os.environ, DESTDIR=str(destdir))
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, env=env, capture_output=True)
    return pathlib.Path(str(destdir) + prefix)


@pytest.mark.parametrize("prefix, folder", [
    ("/usr", "lib/python3/dist-packages"),
    ("/usr/local", f"lib/python{sys.version_info[0]}.{sys.version_info[1]}/dist-packages"),
])
def test_installed_modules_import_and_run(tmp_path, prefix, folder):
    # The folder is one of those the interpreter searches for this prefix.
    assert any(p.rstrip("/").endswith(f"{prefix}/{folder}".replace("//", "/")) or p == f"{prefix}/{folder}"
               for p in sys.path + [sysconfig.get_paths()["purelib"]]), sys.path
    root = install(tmp_path, prefix)
    site = root / folder
    assert (site / "krv.py").is_file() and (site / "mirrorkit" / "__init__.py").is_file()
    assert list(site.glob("_krv*.so"))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env.update(PYTHONPATH=str(site), LOCALAPPDATA=str(tmp_path), KRV_REGISTRY_FILE=str(tmp_path / "none.reg"),
               PYTHONDONTWRITEBYTECODE="1")
    out = subprocess.run([sys.executable, "-c", SCRIPT, str(site)], env=env, capture_output=True, text=True,
                         cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().splitlines()[-1] == "0.5"
