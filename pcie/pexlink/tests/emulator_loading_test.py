#!/usr/bin/python3
"""How libpexlink comes by emulated cards: it loads libpexemu only when PEXLINK_DEVICE_DIR names a folder of card
images, finds it next to itself or on the loader's search path, and without it refuses the cards (no card found,
PEX_ERR_OPEN) while writing nothing to the console. Each case copies the libraries into a folder of its own and
runs a program that loads libpexlink from there.
Usage: emulator_loading_test.py <libpexlink> <libpexemu> <load_probe> <pexcard>"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

PEXLINK = PEXEMU = PROBE = PEXCARD = None
PEX_ERR_OPEN = 12
REVISION = 0x20000600


class EmulatorLoading(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="pexlink-loading-")
        self.root = self.tmp.name
        self.cards = os.path.join(self.root, "cards")
        os.makedirs(self.cards)
        subprocess.run([PEXCARD, "create", self.cards, "--count", "2", "--revision", hex(REVISION)],
                       check=True, capture_output=True, timeout=60)
        self.lock = "pexlink-loading-%d" % os.getpid()

    def tearDown(self):
        try:
            os.unlink("/dev/shm/" + self.lock)
        except FileNotFoundError:
            pass
        self.tmp.cleanup()

    def folder(self, name, *libraries):
        """A folder holding copies of the given libraries under their SONAMEs; returns its path."""
        path = os.path.join(self.root, name)
        os.makedirs(path)
        for library, soname in libraries:
            shutil.copy(library, os.path.join(path, soname))
        return path

    def probe(self, pexlink_dir, device_dir=None, search_path=None):
        env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "PEXLINK_DEVICE_DIR")}
        env["PEXLINK_LOCK_NAME"] = self.lock
        if device_dir:
            env["PEXLINK_DEVICE_DIR"] = device_dir
        if search_path:
            env["LD_LIBRARY_PATH"] = search_path
        result_file = os.path.join(self.root, "result.txt")
        # Run from the temporary root, so that no folder of the build is the working directory.
        run = subprocess.run([PROBE, os.path.join(pexlink_dir, "libpexlink.so.1"), result_file], cwd=self.root,
                             env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(0, run.returncode, run.stderr)
        self.assertEqual("", run.stdout, "the library wrote to the console")
        self.assertEqual("", run.stderr, "the library wrote to the console")
        with open(result_file) as f:
            fields = dict(item.split("=", 1) for item in f.read().split())
        os.unlink(result_file)
        return fields

    def test_found_next_to_libpexlink(self):
        both = self.folder("both", (PEXLINK, "libpexlink.so.1"), (PEXEMU, "libpexemu.so.1"))
        seen = self.probe(both, device_dir=self.cards)
        self.assertEqual(("2", "0", "0"), (seen["count"], seen["count_rc"], seen["read_rc"]))
        self.assertEqual(REVISION, int(seen["value"], 16))
        self.assertEqual(os.path.join(both, "libpexemu.so.1"), seen["emulator"])

    def test_found_on_the_search_path(self):
        alone = self.folder("alone", (PEXLINK, "libpexlink.so.1"))
        elsewhere = self.folder("elsewhere", (PEXEMU, "libpexemu.so.1"))
        seen = self.probe(alone, device_dir=self.cards, search_path=elsewhere)
        self.assertEqual(("2", "0"), (seen["count"], seen["read_rc"]))
        self.assertEqual(os.path.join(elsewhere, "libpexemu.so.1"), seen["emulator"])

    def test_missing_library_refuses_the_cards_silently(self):
        alone = self.folder("alone", (PEXLINK, "libpexlink.so.1"))
        seen = self.probe(alone, device_dir=self.cards)
        self.assertEqual("none", seen["emulator"])
        self.assertEqual(("0", "0"), (seen["count"], seen["count_rc"]))  # no card counted
        self.assertEqual(PEX_ERR_OPEN, int(seen["read_rc"]))
        self.assertEqual(0xFFFFFFFF, int(seen["value"], 16), "a refused read wrote its output")

    def test_not_loaded_without_a_device_folder(self):
        both = self.folder("both", (PEXLINK, "libpexlink.so.1"), (PEXEMU, "libpexemu.so.1"))
        seen = self.probe(both)
        self.assertEqual("none", seen["emulator"])


if __name__ == "__main__":
    PEXLINK, PEXEMU, PROBE, PEXCARD = sys.argv[1:5]
    unittest.main(argv=sys.argv[:1])
