#!/usr/bin/python3
"""Debian packages: built with CPack from the build tree, their fields and contents, lintian, and the
maintainer scripts run against a temporary root (KRV_INSTALL_ROOT), never the machine's own /etc."""
import glob
import grp
import os
import shutil
import stat
import subprocess
import sys
import unittest

BUILD = WORK = None
SERVER_KEY = "[HKEY_CLASSES_ROOT\\CLSID\\{615FAAA3-B515-4D4C-9F04-013D13FEB154}\\InprocServer32]"


def run(*args, env=None, check=True):
    full = dict(os.environ)
    full.update(env or {})
    r = subprocess.run(list(args), capture_output=True, text=True, env=full, timeout=900)
    if check and r.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(args), r.returncode, r.stdout, r.stderr))
    return r


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", WORK)
        cls.debs = {run("dpkg-deb", "--field", d, "Package").stdout.strip(): d
                    for d in glob.glob(os.path.join(WORK, "*.deb"))}

    def runtime_root(self):
        """The runtime package unpacked into a folder of its own (once)."""
        root = os.path.join(WORK, "runtime-files")
        if not os.path.isdir(root):
            run("dpkg-deb", "-x", self.debs["mirrorkit"], root)
        return root

    def field(self, package, name):
        return run("dpkg-deb", "--field", self.debs[package], name).stdout.strip()

    def contents(self, package):
        lines = run("dpkg-deb", "--contents", self.debs[package]).stdout.splitlines()
        return [line.split()[5].lstrip(".") for line in lines]

    def test_fields_contents_and_lintian(self):
        self.assertIn("mirrorkit", self.debs)
        self.assertIn("mirrorkit-dev", self.debs)
        self.assertIn("mirrorkit-emulators", self.debs)
        version = self.field("mirrorkit", "Version")
        depends = self.field("mirrorkit", "Depends")
        for library in ("libc6", "libstdc++6", "liblog4cxx15", "libusb-1.0-0", "libopencv-core406"):
            self.assertIn(library, depends)
        self.assertNotIn("umockdev", depends, "the installed programs carry no test library")
        self.assertIn("mirrorkit (= %s)" % version, self.field("mirrorkit-dev", "Depends"))
        for package in self.debs:
            if package not in ("mirrorkit", "mirrorkit-dev"):
                self.assertIn("mirrorkit (= %s)" % version, self.field(package, "Depends"), package)

        runtime = self.contents("mirrorkit")
        dev = self.contents("mirrorkit-dev")
        libdir = [p for p in runtime if p.endswith("/libKRV4.so.4")][0].rsplit("/", 1)[0]
        for name in ("libKRV4.so.4", "libKRV_OpenLoop4.so.4", "libKRV_PCIeAPI4.so.4", "libKRV_USBAPI4.so.4",
                     "libZernike.so.4", "libpexlink.so.1", "mirrorkit/libDravix.so"):
            self.assertIn(libdir + "/" + name, runtime)
        for tool in ("krvctl", "krvregsvr"):
            self.assertIn("/usr/bin/" + tool, runtime)
        # Emulated cards are a package of their own: the runtime neither ships nor needs them.
        emulators = self.contents("mirrorkit-emulators")
        self.assertIn(libdir + "/libpexemu.so.1", emulators)
        self.assertIn("/usr/bin/pexcard", emulators)
        self.assertFalse([p for p in runtime if "pexemu" in p or p.endswith("/pexcard")], "emulator in the runtime")
        self.assertNotIn("mirrorkit-emulators", depends)
        self.assertIn("/usr/lib/udev/rules.d/60-mirrorkit.rules", runtime)
        # Libraries with a versioned SONAME leave their bare .so link to the development package; those loaded
        # by file name (LabVIEW, MATLAB, the host-driver server) have no other name.
        self.assertFalse([p for p in runtime if p.endswith(".so") and any(q.startswith(p + ".") for q in runtime)],
                         "development links")
        for name in ("KRV.h", "KRV_OpenLoop.h", "KRV_PCIeAPI.h", "KRV_USB.h", "pexlink.h", "Zernike.h"):
            self.assertIn("/usr/include/mirrorkit/" + name, dev)
        self.assertIn(libdir + "/libKRV4.so", dev)
        self.assertIn(libdir + "/cmake/MirrorKit/MirrorKitConfig.cmake", dev)
        self.assertIn(libdir + "/pkgconfig/mirrorkit.pc", dev)
        everything = [p for package in self.debs for p in self.contents(package)]
        self.assertFalse([p for p in everything if "test" in p or "bench" in p or "libkrv_" in p])

        for path in runtime:
            if path.endswith(".so") or ".so." in path or path.startswith("/usr/bin/"):
                needed = run("readelf", "-d", os.path.join(self.runtime_root(), path.lstrip("/")), check=False).stdout
                self.assertNotIn("libpexemu", needed, path)

        control = run("dpkg-deb", "--ctrl-tarfile", self.debs["mirrorkit"]).stdout
        for member in ("postinst", "prerm", "postrm", "shlibs", "triggers"):
            self.assertIn(member, control)

        r = run("lintian", "--tag-display-limit", "0", *self.debs.values(), check=False)
        errors = [line for line in r.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual([], errors, r.stdout)

    def test_maintainer_scripts_on_a_temporary_root(self):
        root = os.path.join(WORK, "root")
        scripts = os.path.join(WORK, "control")
        shutil.rmtree(root, ignore_errors=True)
        run("dpkg-deb", "-x", self.debs["mirrorkit"], root)
        run("dpkg-deb", "-e", self.debs["mirrorkit"], scripts)
        env = {"KRV_INSTALL_ROOT": root}
        store = os.path.join(root, "etc/velmira/registry.reg")
        data = os.path.join(root, "var/lib/velmira")

        def script(name, *args):
            return run("sh", os.path.join(scripts, name), *args, env=env)

        def read_store():
            with open(store, encoding="utf-8") as f:
                return f.read()

        script("postinst", "configure")
        text = read_store()
        self.assertIn('"InstallPath"="%s"' % data, text)
        self.assertIn(SERVER_KEY.upper(), text.upper())
        self.assertIn("/mirrorkit/libDravix.so", text)
        try:
            plugdev = grp.getgrnam("plugdev").gr_gid
        except KeyError:
            plugdev = None
        for sub in ("Profiles", "Map", "Calibration", "Shapes"):
            st = os.stat(os.path.join(data, sub))
            self.assertEqual(0o2775, stat.S_IMODE(st.st_mode), sub)
            if plugdev is not None:
                self.assertEqual(plugdev, st.st_gid, sub)
        with open(os.path.join(root, "usr/lib/udev/rules.d/60-mirrorkit.rules")) as f:
            rule = f.read()
        for needle in ('ATTR{idVendor}=="1781"', 'ATTR{idProduct}=="0ed8"', 'ATTR{idProduct}=="0ed9"',
                       'GROUP="plugdev"'):
            self.assertIn(needle, rule)

        # The installed tools find everything through the store the script wrote.
        krvctl = os.path.join(root, "usr/bin/krvctl")
        run(krvctl, "profile", "write", os.path.join(data, "Profiles/PKGTEST0001.dm"), "type=2", "size=32",
            env={"KRV_REGISTRY_FILE": store})
        r = run(krvctl, "doctor", env={"KRV_REGISTRY_FILE": store, "LOCALAPPDATA": WORK}, check=False)
        self.assertEqual(0, r.returncode, r.stdout)
        self.assertIn("install directory: %s (InstallPath" % data, r.stdout)
        self.assertIn("host-driver server: registered", r.stdout)
        self.assertIn("PKGTEST0001: dummy mirror, 32 actuators", r.stdout)

        # The demo of the installed kit: without the emulators package its PCIe step says what it needs and the
        # rest passes; with it, the PCIe mirror runs on an emulated card through the installed libpexlink.
        demo_env = {"KRV_REGISTRY_FILE": os.path.join(WORK, "demo.reg"), "LOCALAPPDATA": WORK}
        r = run(krvctl, "demo", "--dir", os.path.join(WORK, "demo-runtime"), env=demo_env, check=False)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertIn("install the package mirrorkit-emulators", r.stdout)
        self.assertIn("demo finished: every result as expected", r.stdout)
        self.assertNotIn("KRVOpen(dm, \"DEMOPCIE140\")", r.stdout)
        cards = os.path.join(WORK, "demo-emulated", "pcie-cards")
        doctor_env = {"KRV_REGISTRY_FILE": store, "LOCALAPPDATA": WORK, "PEXLINK_DEVICE_DIR": cards}
        r = run(krvctl, "doctor", env=doctor_env, check=False)
        self.assertIn("PROBLEM: PEXLINK_DEVICE_DIR asks for emulated PCIe cards, but their library libpexemu.so.1 "
                      "is not installed", r.stdout)
        run("dpkg-deb", "-x", self.debs["mirrorkit-emulators"], root)
        r = run(krvctl, "demo", "--dir", os.path.join(WORK, "demo-emulated"), env=demo_env, check=False)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertIn("KRVOpen(dm, \"DEMOPCIE140\"): 0 No error.", r.stdout)
        self.assertIn("frame on the card: 70 of 70 words as expected", r.stdout)
        self.assertIn("demo finished: every result as expected", r.stdout)
        r = run(krvctl, "doctor", env=doctor_env, check=False)
        self.assertIn("PCIe cards: 1 found (emulated cards in %s)" % cards, r.stdout)
        self.assertNotIn("libpexemu", r.stdout)

        # Configuring again (an upgrade) keeps an install path the administrator chose.
        elsewhere = os.path.join(WORK, "elsewhere")
        run(krvctl, "install-path", "--set", elsewhere, env={"KRV_REGISTRY_FILE": store})
        script("postinst", "configure")
        self.assertIn('"InstallPath"="%s"' % elsewhere, read_store())
        run(krvctl, "install-path", "--set", data, env={"KRV_REGISTRY_FILE": store})

        # Removal unregisters the server; the install path and the users' files stay, also after a purge.
        script("prerm", "remove")
        text = read_store()
        self.assertNotIn("615FAAA3", text.upper())
        self.assertIn('"InstallPath"="%s"' % data, text)
        script("postrm", "remove")
        script("postrm", "purge")
        self.assertTrue(os.path.exists(os.path.join(data, "Profiles/PKGTEST0001.dm")))
        self.assertFalse(os.path.exists(store), "a store with only the kit's own key is removed on purge")


if __name__ == "__main__":
    BUILD, WORK = sys.argv[1], sys.argv[2]
    for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps", "fakeroot", "lintian"):
        if not shutil.which(tool):
            print("%s not installed: skipped" % tool)
            sys.exit(77)
    unittest.main(argv=sys.argv[:1])
