"""pexcard end to end: make images, write through the emulated driver, read registers and memories back."""
import os
import subprocess
import sys
import tempfile
import unittest

TOOL = sys.argv.pop(1) if len(sys.argv) > 1 else "pexcard"


def run(*args, env=None, ok=True):
    result = subprocess.run([TOOL, *args], capture_output=True, text=True, env=env)
    if ok and result.returncode != 0:
        raise AssertionError(f"pexcard {' '.join(args)} failed: {result.stderr}")
    return result


class PexcardTool(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="pexcard-")
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def test_create_and_show_registers(self):
        out = run("create", self.dir, "--count", "2", "--revision", "0x20000501").stdout
        self.assertIn("PEXIO2 revision 0x20000501", out)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "PEXIO1")))
        self.assertFalse(os.path.exists(os.path.join(self.dir, "PEXIO3")))
        card = os.path.join(self.dir, "PEXIO2")
        run("write", card, "1", "0x03E80042")
        regs = run("regs", card).stdout
        self.assertIn("REVISION                  0  0x20000501", regs)
        self.assertIn("type 2, CameraLink 0, fiber 1, fiber mode 0, high-res 0, length 1000", regs)
        self.assertIn("sequence memory 4096 words", regs)  # older firmware has the small memory

    def test_card_number_resolves_in_the_device_directory(self):
        run("create", self.dir)
        env = dict(os.environ, PEXLINK_DEVICE_DIR=self.dir)
        run("write", "1", "7", "5", env=env)
        self.assertIn("ORIENTATION               7  0x00000005", run("regs", "1", env=env).stdout)

    def test_tables_frames_and_sequences(self):
        run("create", self.dir)
        card = os.path.join(self.dir, "PEXIO1")
        run("write", card, "6", "0x80000000")
        run("write", card, "6", "3", "1", "0x10000")
        self.assertTrue(run("lut", card, "--count", "4").stdout.startswith(
            "     0: 00000003 00000001 00010000 00000000"))
        run("write", card, "32", "0x00020001", "0x00000003")
        frame = run("frame", card, "--actuators", "3").stdout.split()
        self.assertEqual(frame, ["0:", "1", "2", "3"])
        run("write", card, "19", "0x80000000")
        run("write", card, "19", "10", "0x1000B", "0x3002000C")
        seq = run("seq", card).stdout.splitlines()
        self.assertEqual(len(seq), 3)
        self.assertIn("value    12  position    2  frame end  sequence end", seq[2])
        log = run("log", card, "--last", "1").stdout
        self.assertIn("cmd 0x052 addr 19 count 3 status 0x0 0000000A 0001000B 3002000C", log)
        run("reset", card)
        self.assertIn("0 transfers", run("regs", card).stdout)

    def test_create_makes_the_folder_and_private_images(self):
        # Whatever the umask, images are read-write for their user and group only; missing folders are made.
        folder = os.path.join(self.dir, "lab", "cards")
        old = os.umask(0)
        try:
            run("create", folder, "--count", "2")
        finally:
            os.umask(old)
        for n in (1, 2):
            mode = os.stat(os.path.join(folder, f"PEXIO{n}")).st_mode & 0o7777
            self.assertEqual(oct(mode), oct(0o660))
        self.assertIn("REVISION                  0  0x20000600", run("regs", os.path.join(folder, "PEXIO2")).stdout)
        # A file in the way is reported, and nothing is made.
        blocker = os.path.join(self.dir, "file")
        open(blocker, "w").close()
        r = run("create", os.path.join(blocker, "cards"), ok=False)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot create the folder " + os.path.join(blocker, "cards"), r.stderr)

    def test_errors(self):
        self.assertEqual(run(ok=False).returncode, 2)
        self.assertEqual(run("regs", os.path.join(self.dir, "none"), ok=False).returncode, 1)
        self.assertEqual(run("frame", "--actuators", ok=False).returncode, 2)
        run("create", self.dir)
        card = os.path.join(self.dir, "PEXIO1")
        bad = run("write", card, "5000", "1", ok=False)
        self.assertEqual(bad.returncode, 1)
        self.assertIn("status 0xe0000001", bad.stderr)


if __name__ == "__main__":
    unittest.main()
