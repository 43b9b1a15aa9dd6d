#!/usr/bin/python3
"""krvctl end to end: profile write and show, refused input, the demo install, version and result codes."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

KRVCTL = None
KRVCTL_DIST = None  # the krvctl that is installed, without the USB step
SCRAMBLE = 0xA7


def scramble(text):
    return bytes(b ^ SCRAMBLE for b in text.encode("latin-1"))


class Krvctl(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="krvctl-cli-")
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def run_krvctl(self, *args, stdin=None, env=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        return subprocess.run([KRVCTL, *args], input=stdin, capture_output=True, env=full_env, timeout=120)

    def assert_one_error_line(self, result, status, *fragments):
        err = result.stderr.decode("utf-8", "replace")
        self.assertEqual(status, result.returncode, err)
        lines = err.splitlines()
        self.assertEqual(1, len(lines), err)
        self.assertTrue(lines[0].startswith("krvctl: "), err)
        for f in fragments:
            self.assertIn(f, lines[0])

    def test_profile_round_trip_from_every_source(self):
        path = os.path.join(self.dir, "ROUNDTRIP01.dm")
        text = os.path.join(self.dir, "settings.txt")
        with open(text, "w") as f:
            f.write("# from a file\nsize=32\r\nmap=old.map\n\ninactive=2:3,31\n")
        r = self.run_krvctl("profile", "write", path, "--from", text, "type=2", "--maxv", "200",
                            "--vlim=180", "map=new map.map", "-", stdin=b"driver_sn=UNIT0000001\n")
        self.assertEqual(0, r.returncode, r.stderr)
        expected = ["type=2", "size=32", "maxv=200", "vlim=180", "map=new map.map", "inactive=2:3,31",
                    "driver_sn=UNIT0000001"]
        with open(path, "rb") as f:
            raw = f.read()
        # Scrambled line by line, LF after each, in the order the reader tests its keys.
        self.assertEqual(b"".join(scramble(line) + b"\n" for line in expected), raw)

        r = self.run_krvctl("profile", "show", path)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(expected, r.stdout.decode().splitlines())
        self.assertEqual(b"", r.stderr)

    def test_settings_from_standard_input_alone(self):
        path = os.path.join(self.dir, "STDIN000001.dm")
        r = self.run_krvctl("profile", "write", path, stdin=b"type=1\nsize=140\n")
        self.assertEqual(0, r.returncode, r.stderr)
        r = self.run_krvctl("profile", "show", path)
        self.assertEqual(["type=1", "size=140"], r.stdout.decode().splitlines())

    def test_refused_input_leaves_no_file_and_keeps_an_old_one(self):
        path = os.path.join(self.dir, "REFUSED0001.dm")
        r = self.run_krvctl("profile", "write", path, "type=2", "colour=red")
        self.assert_one_error_line(r, 2, "unknown profile key", "'colour'")
        self.assertFalse(os.path.exists(path))

        self.assertEqual(0, self.run_krvctl("profile", "write", path, "size=140").returncode)
        with open(path, "rb") as f:
            before = f.read()
        for bad in (["size=lots"], ["map=a\nb"], ["inactive=2:5"], ["size=10", "inactive=1:10"],
                    ["maxv=100", "vlim=101"], ["type=7"]):
            r = self.run_krvctl("profile", "write", path, *bad)
            self.assert_one_error_line(r, 2)
        r = self.run_krvctl("profile", "write", path, "--from", os.path.join(self.dir, "missing.txt"))
        self.assert_one_error_line(r, 1, "missing.txt")
        with open(path, "rb") as f:
            self.assertEqual(before, f.read())
        self.assertEqual(["REFUSED0001.dm"], os.listdir(self.dir))

    def test_rewrite_is_never_seen_half_done(self):
        # A mirror opening while its profile is rewritten reads the old file or the new one, never a mix or a
        # part of one, and no temporary file is left behind.
        import threading
        path = os.path.join(self.dir, "REWRITTEN01.dm")
        texts = [["type=2", "size=140", "maxv=100", "vlim=100", "inactive=1:3"],
                 ["type=2", "size=32", "maxv=200", "vlim=50", "map=" + "m" * 4000 + ".map"]]
        whole = [b"".join(scramble(line) + b"\n" for line in t) for t in texts]
        self.assertEqual(0, self.run_krvctl("profile", "write", path, *texts[0]).returncode)
        seen, stop = [], threading.Event()

        def read():
            while not stop.is_set():
                with open(path, "rb") as f:
                    seen.append(f.read())

        reader = threading.Thread(target=read)
        reader.start()
        try:
            for i in range(30):
                r = self.run_krvctl("profile", "write", path, *texts[(i + 1) % 2])
                self.assertEqual(0, r.returncode, r.stderr)
        finally:
            stop.set()
            reader.join()
        self.assertTrue(seen)
        self.assertEqual([], [s[:60] for s in seen if s not in whole])
        self.assertEqual(["REWRITTEN01.dm"], os.listdir(self.dir))

    def test_show_reports_lines_the_reader_skips(self):
        path = os.path.join(self.dir, "SKIPPED0001.dm")
        with open(path, "wb") as f:
            f.write(scramble("size=140") + b"\r\n" + scramble("x") + b"\n" + scramble("colour=red") + b"\n")
        r = self.run_krvctl("profile", "show", path)
        self.assertEqual(0, r.returncode)
        self.assertEqual(["size=140", "colour=red"], r.stdout.decode().splitlines())
        err = r.stderr.decode().splitlines()
        self.assertEqual(2, len(err), err)
        self.assertIn("line 2", err[0])
        self.assertIn("line 3", err[1])
        self.assertIn("unknown key", err[1])

        r = self.run_krvctl("profile", "show", os.path.join(self.dir, "NOSUCHFILE1.dm"))
        self.assert_one_error_line(r, 1, "NOSUCHFILE1.dm")

    def test_usage_errors(self):
        for args in ([], ["frobnicate"], ["profile"], ["profile", "write"], ["profile", "show"],
                     ["profile", "paint", "x"], ["demo", "--bogus"], ["demo", "--log-level", "loud"],
                     ["version", "extra"]):
            with self.subTest(args=args):
                self.assert_one_error_line(self.run_krvctl(*args), 2)

    def test_version_errors_and_help(self):
        r = self.run_krvctl("version")
        self.assertEqual(0, r.returncode)
        self.assertRegex(r.stdout.decode(), r"^\d+\.\d+\.\d+\n$")

        r = self.run_krvctl("errors")
        lines = r.stdout.decode().splitlines()
        self.assertEqual(37, len(lines))
        self.assertRegex(lines[0], r"^ 0\s+NO_ERR\s+No error\.$")
        self.assertRegex(lines[9], r"^ 9\s+ERR_ACTUATOR_ID\s+Invalid actuator ID\.$")
        self.assertRegex(lines[36], r"^36\s+ERR_INVALID_COEFFICIENTS\s+Unknown error code\.$")

        r = self.run_krvctl("--help")
        self.assertEqual(0, r.returncode)
        for word in ("profile write", "profile show", "demo", "version", "errors"):
            self.assertIn(word, r.stdout.decode())

    def demo_env(self):
        # A system store and home of our own: the demo must write neither.
        home = os.path.join(self.dir, "home")
        os.mkdir(home)
        return home, {"KRV_REGISTRY_FILE": os.path.join(self.dir, "system.reg"), "HOME": home,
                      "XDG_STATE_HOME": os.path.join(home, "state"), "LOCALAPPDATA": os.path.join(home, "local")}

    def test_demo_in_given_directory(self):
        home, env = self.demo_env()
        demo = os.path.join(self.dir, "demo")
        r = self.run_krvctl("demo", "--dir", demo, env=env)
        out = r.stdout.decode()
        self.assertEqual(0, r.returncode, out + r.stderr.decode())
        for text in ("DEMO140-001", "DEMO952-001", "No error.", "Invalid actuator ID. (as expected)",
                     "Bad argument. (as expected)", "demo finished: every result as expected"):
            self.assertIn(text, out)
        self.assertNotIn("UNEXPECTED", out)
        self.assertRegex(out, r"inactive actuator 17: sent [0-9.]+, reads [0-9.]+ \(a dummy mirror drives it\)")
        self.assertRegex(out, r"inactive actuator 475: sent [0-9.]+, reads [0-9.]+ \(a dummy mirror drives it\)")

        # The tree the kit was pointed at, and nothing outside it.
        for sub in ("Profiles", "Map", "Calibration", "Shapes"):
            self.assertTrue(os.path.isdir(os.path.join(demo, sub)), sub)
        with open(os.path.join(demo, "registry.reg")) as f:
            reg = f.read()
        self.assertIn("[HKEY_LOCAL_MACHINE\\Software\\Velmira]", reg)
        self.assertIn('"InstallPath"="%s"' % os.path.realpath(demo), reg)
        self.assertFalse(os.path.exists(env["KRV_REGISTRY_FILE"]))
        self.assertEqual([], os.listdir(home))
        self.assertTrue(os.path.isfile(os.path.join(demo, "Velmira", "MirrorKit.log")))

        for serial, count in (("DEMO140-001", 140), ("DEMO952-001", 952)):
            with open(os.path.join(demo, "Map", serial + ".map")) as f:
                entries = [int(line) for line in f]
            self.assertEqual(count, len(entries))
            self.assertEqual(list(range(count)), sorted(entries))  # every channel used exactly once
            r = self.run_krvctl("profile", "show", os.path.join(demo, "Profiles", serial + ".dm"))
            shown = r.stdout.decode().splitlines()
            self.assertIn("type=2", shown)
            self.assertIn("size=%d" % count, shown)
            self.assertIn("map=%s.map" % serial, shown)
            self.assertTrue(any(re.fullmatch(r"inactive=1:\d+", line) for line in shown), shown)

        # Running again over the same tree works as well.
        r = self.run_krvctl("demo", "--dir", demo, "--log-level", "off", env=env)
        self.assertEqual(0, r.returncode, r.stdout.decode())

    def test_installed_demo_says_why_the_usb_step_is_left_out(self):
        if not KRVCTL_DIST:
            self.skipTest("no installed krvctl given")
        _, env = self.demo_env()
        r = subprocess.run([KRVCTL_DIST, "demo", "--dir", os.path.join(self.dir, "demo")], capture_output=True,
                           env=dict(os.environ, **env), timeout=120)
        out = r.stdout.decode()
        self.assertEqual(0, r.returncode, out)
        step = out.split("== USB mirror on emulated drive units ==\n", 1)
        self.assertEqual(2, len(step), out)
        self.assertTrue(step[1].startswith("  skipped: the USB step drives drive units emulated with umockdev"), out)
        self.assertIn("demo finished: every result as expected", out)
        r = subprocess.run([KRVCTL_DIST, "--version"], capture_output=True, timeout=60)
        self.assertRegex(r.stdout.decode(), r"^krvctl \(MirrorKit\) \d+\.\d+\.\d+\n$")

    def test_demo_default_directory_is_fresh_and_kept(self):
        _, env = self.demo_env()
        env["TMPDIR"] = self.dir
        r = self.run_krvctl("demo", env=env)
        out = r.stdout.decode()
        self.assertEqual(0, r.returncode, out)
        m = re.search(r"^demo install directory: (\S+)", out, re.M)
        self.assertIsNotNone(m, out)
        self.assertEqual(os.path.realpath(self.dir), os.path.dirname(m.group(1)))
        self.assertTrue(os.path.basename(m.group(1)).startswith("krvctl-demo-"))
        self.assertTrue(os.path.isfile(os.path.join(m.group(1), "Profiles", "DEMO952-001.dm")))


if __name__ == "__main__":
    KRVCTL = sys.argv.pop(1)
    KRVCTL_DIST = sys.argv.pop(1) if len(sys.argv) > 1 else None
    unittest.main(verbosity=2)
