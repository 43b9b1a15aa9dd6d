#!/usr/bin/python3
"""libpexlink carries no emulated-card code and does not need the emulated-card library: its symbol table, its
dynamic symbols, its needed libraries and its bytes (also once stripped, as the packages install it) are searched
for what the emulator brings. The same search over libpexemu must find it there, so the search cannot pass by
finding nothing anywhere.
Usage: no_emulator_test.py <libpexlink> <libpexemu> <a program linked with libpexemu>"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

PEXLINK = PEXEMU = USER = None
# Names the emulator's code defines: its namespace, its C calls, its device provider and image helpers.
EMULATOR_SYMBOL = re.compile(r"\bEmu::|pexemu|emulat|CardProvider|createCards?Image|isCardImage", re.IGNORECASE)
# First bytes of every card image; the emulator's code holds them to recognise its images.
IMAGE_MAGIC = b"MirrorKitPexCard"


def output(*args):
    return subprocess.run(list(args), capture_output=True, text=True, timeout=120).stdout


def emulator_traces(path):
    """What in the library at path belongs to the emulator, one text per finding."""
    found = []
    for table in (["nm", "-C"], ["nm", "-C", "-D"]):  # a stripped library has the dynamic table only
        found += ["symbol: " + line for line in output(*table, path).splitlines() if EMULATOR_SYMBOL.search(line)]
    for line in output("readelf", "-d", path).splitlines():
        if "(NEEDED)" in line and re.search(r"emu", line, re.IGNORECASE):
            found.append("needed: " + line.strip())
    with open(path, "rb") as f:
        if IMAGE_MAGIC in f.read():
            found.append("bytes: the card image signature")
    return found


class NoEmulatorInPexlink(unittest.TestCase):
    def test_pexlink_has_no_emulator_code_and_needs_no_emulator(self):
        self.assertEqual([], emulator_traces(PEXLINK))

    def test_stripped_pexlink_has_none_either(self):
        with tempfile.TemporaryDirectory(prefix="pexlink-strip-") as tmp:
            stripped = os.path.join(tmp, "libpexlink.so.1")
            subprocess.run(["strip", "-o", stripped, PEXLINK], check=True, timeout=120)
            self.assertEqual([], emulator_traces(stripped))

    def test_the_search_finds_the_emulator_in_its_own_library(self):
        found = emulator_traces(PEXEMU)
        self.assertTrue([f for f in found if f.startswith("symbol: ") and "pexemu_device_provider" in f], found)
        self.assertTrue([f for f in found if "Emu::" in f], found)
        self.assertIn("bytes: the card image signature", found)

    def test_the_search_finds_the_emulator_where_it_is_needed(self):
        self.assertTrue([f for f in emulator_traces(USER) if f.startswith("needed: ") and "libpexemu.so.1" in f])


if __name__ == "__main__":
    PEXLINK, PEXEMU, USER = sys.argv[1:4]
    for tool in ("nm", "readelf", "strip"):
        if not shutil.which(tool):
            sys.exit("%s (binutils) is needed" % tool)
    unittest.main(argv=sys.argv[:1])
