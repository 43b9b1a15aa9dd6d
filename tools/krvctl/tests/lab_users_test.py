#!/usr/bin/python3
"""A lab shares one computer: the kit installed once (here with DESTDIR into a temporary tree), used by root and by
ordinary users, each test step run as the user it concerns (setpriv). Root touches the PCIe cards first; a user of
the kit's group (plugdev) can then use them, and users who cannot are told why and what to do, by the kit itself
and by krvctl doctor. Needs root (it creates users and groups, and removes them again).

Usage: lab_users_test.py <build dir>"""
import grp
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

BUILD = None
GROUP = "plugdev"
SERIAL = "LABPCIE0032"
MIRROR = r"""
import sys
import numpy as np
import mirrorkit
try:
    with mirrorkit.Mirror(sys.argv[1]) as m:
        m.send(np.full(m.n_actuators, 0.25))
        print("sent", round(float(m.read()[5]), 3))
except mirrorkit.KrvError as e:
    print("refused", int(e.code))
    sys.exit(3)
"""


def run(args, env=None, check=True, **kw):
    r = subprocess.run(args, capture_output=True, text=True, env=env, timeout=120, **kw)
    if check and r.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(args), r.returncode, r.stdout, r.stderr))
    return r


class Lab(unittest.TestCase):
    """One installed kit, one install directory and one set of emulated cards for the whole lab."""

    @classmethod
    def setUpClass(cls):
        tag = str(os.getpid())
        cls.work = tempfile.mkdtemp(prefix="krv-lab-")
        os.chmod(cls.work, 0o755)
        cls.users = {}
        cls.locks = []
        try:
            cls.install()
            cls.make_users(tag)
            cls.make_data()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def install(cls):
        env = dict(os.environ, DESTDIR=os.path.join(cls.work, "root"))
        run(["cmake", "--install", BUILD, "--prefix", "/opt/mirrorkit"], env=env)
        cls.prefix = os.path.join(cls.work, "root/opt/mirrorkit")
        cls.bin = os.path.join(cls.prefix, "bin")
        cls.site = os.path.join(cls.prefix, "lib/python%d.%d/dist-packages" % sys.version_info[:2])
        for path, _, files in os.walk(os.path.join(cls.work, "root")):
            os.chmod(path, 0o755)

    @classmethod
    def make_users(cls, tag):
        # member: in the group. outsider: not in it. latecomer: added to it, but still in the session that
        # started before (run without the group, as a login of before the change would be).
        for role, groups in (("member", [GROUP]), ("outsider", []), ("latecomer", [GROUP])):
            name = "krvlab%s%s" % (tag, role[0])
            cmd = ["useradd", "--no-create-home", "--user-group", "--shell", "/usr/sbin/nologin"]
            if groups:
                cmd += ["--groups", ",".join(groups)]
            run(cmd + [name])
            home = os.path.join(cls.work, "home-" + role)
            os.mkdir(home)
            entry = pwd.getpwnam(name)
            os.chown(home, entry.pw_uid, entry.pw_gid)
            cls.users[role] = (name, entry.pw_uid, entry.pw_gid, home)

    @classmethod
    def make_data(cls):
        # The install directory as the mirrorkit package makes it: root's, group-writable for plugdev.
        gid = grp.getgrnam(GROUP).gr_gid
        cls.data = os.path.join(cls.work, "data")
        for sub in ("Profiles", "Map", "Calibration", "Shapes"):
            os.makedirs(os.path.join(cls.data, sub))
            os.chown(os.path.join(cls.data, sub), 0, gid)
            os.chmod(os.path.join(cls.data, sub), 0o2775)
        cls.store = os.path.join(cls.work, "registry.reg")
        cls.cards = os.path.join(cls.work, "cards")
        cls.lock = "krv-lab-%d" % os.getpid()
        cls.locks.append(cls.lock)
        root = cls.env()
        run([os.path.join(cls.bin, "krvctl"), "install-path", "--set", cls.data], env=root)
        server = [os.path.join(folder, "libDravix.so") for folder, _, files in os.walk(cls.prefix)
                  if "libDravix.so" in files]
        run([os.path.join(cls.bin, "krvregsvr"), "-s", server[0]], env=root)
        os.chmod(cls.store, 0o644)
        run([os.path.join(cls.bin, "krvctl"), "profile", "write", os.path.join(cls.data, "Profiles", SERIAL + ".dm"),
             "type=1", "size=32", "maxv=100", "vlim=100", "hva=2", "use_fiber=1", "fiber_mode=1"], env=root)
        # Cards for the lab: a set-group-ID folder of the group, so that the images are the group's.
        run(["install", "-d", "-m", "2775", "-g", GROUP, cls.cards])
        run([os.path.join(cls.bin, "pexcard"), "create", cls.cards], env=root)

    @classmethod
    def tearDownClass(cls):
        for name, *_ in cls.users.values():
            subprocess.run(["userdel", name], capture_output=True)
            subprocess.run(["groupdel", name], capture_output=True)
        for lock in cls.locks:
            if os.path.exists("/dev/shm/" + lock):
                os.unlink("/dev/shm/" + lock)
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def env(cls, role=None, **extra):
        home = cls.users[role][3] if role else os.path.join(cls.work, "home-root")
        os.makedirs(home, exist_ok=True)
        env = {"PATH": cls.bin + ":/usr/bin:/bin", "HOME": home, "LANG": "C.UTF-8", "LOCALAPPDATA": home,
               "KRV_REGISTRY_FILE": cls.store, "PEXLINK_DEVICE_DIR": cls.cards, "PEXLINK_LOCK_NAME": cls.lock,
               "PYTHONPATH": cls.site, "PYTHONDONTWRITEBYTECODE": "1"}
        env.update(extra)
        return env

    def as_user(self, role, args, env=None, check=False):
        name, uid, gid, _ = self.users[role]
        groups = ["--init-groups"] if role != "latecomer" else ["--clear-groups"]
        cmd = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid] + groups + ["--"] + args
        return run(cmd, env=env or self.env(role), check=check, cwd=self.users[role][3])

    def mirror(self, role=None, **extra):
        args = [sys.executable, "-c", MIRROR, SERIAL]
        if role is None:
            return run(args, env=self.env(**extra), check=False)
        return self.as_user(role, args, env=self.env(role, **extra))

    def doctor(self, role=None, **extra):
        args = [os.path.join(self.bin, "krvctl"), "doctor"]
        if role is None:
            return run(args, env=self.env(**extra), check=False)
        return self.as_user(role, args, env=self.env(role, **extra))

    def lock_path(self, name=None):
        return "/dev/shm/" + (name or self.lock)

    def open_images_to_everyone(self):
        # For the users outside the group: the cards themselves must not be what stops them.
        os.chmod(self.cards, 0o2777)
        for f in os.listdir(self.cards):
            os.chmod(os.path.join(self.cards, f), 0o666)

    # ---- the tests ----------------------------------------------------------------------------------------------

    def test_1_a_member_uses_the_cards_after_root(self):
        # Root's doctor is the first program of the lab to load the card library: it creates the lock.
        r = self.doctor()
        st = os.stat(self.lock_path())
        self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)), (0, grp.getgrnam(GROUP).gr_gid, 0o660),
                         r.stdout)
        self.assertIn("PCIe transfer lock: %s (%s, owner root:%s, mode 0660)" % (self.lock, self.lock_path(), GROUP),
                      r.stdout)
        self.assertEqual(0, r.returncode, r.stdout)
        self.assertEqual(grp.getgrgid(os.stat(os.path.join(self.cards, "PEXIO1")).st_gid).gr_name, GROUP)
        self.assertEqual(self.mirror().stdout.splitlines()[-1], "sent 0.25")

        r = self.mirror("member")
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertEqual(r.stdout.splitlines()[-1], "sent 0.25")
        r = self.doctor("member")
        self.assertNotIn("PROBLEM", r.stdout)
        self.assertIn("%s: PCIe mirror, 32 actuators" % SERIAL, r.stdout)
        self.assertIn("Profiles: %s/Profiles (writable)" % self.data, r.stdout)

    def test_2_outsider_is_told_to_join_the_group(self):
        self.doctor()  # the lock exists, made by root
        self.open_images_to_everyone()
        name = self.users["outsider"][0]
        r = self.mirror("outsider")
        self.assertEqual(3, r.returncode, r.stdout + r.stderr)
        self.assertIn("refused 16", r.stdout)
        out = r.stdout + r.stderr
        for needle in ("the PCIe transfer lock %s (%s, owner root:%s, mode 0660)" % (self.lock, self.lock_path(), GROUP),
                       "cannot be opened by user %s (permission denied)" % name,
                       "run sudo adduser %s %s, then log out and in again" % (name, GROUP)):
            self.assertIn(needle, out)

        r = self.doctor("outsider")
        self.assertEqual(1, r.returncode, r.stdout)
        self.assertIn("PROBLEM: the PCIe transfer lock %s" % self.lock, r.stdout)
        self.assertIn("so every PCIe transfer of this user fails", r.stdout)
        self.assertIn("PROBLEM: %s/Profiles is read-only for this user" % self.data, r.stdout)
        self.assertIn("-- user %s is not in the group %s: run sudo adduser %s %s, then log out and in again"
                      % (name, GROUP, name, GROUP), r.stdout)
        self.assertIn("PROBLEM: %s: this user cannot open the PCIe transfer lock" % SERIAL, r.stdout)

        # Writing a profile says the same, not only "Permission denied"; and nothing is written.
        target = os.path.join(self.data, "Profiles", "OUTSIDER001.dm")
        r = self.as_user("outsider", [os.path.join(self.bin, "krvctl"), "profile", "write", target, "type=2", "size=8"])
        self.assertEqual(1, r.returncode)
        self.assertIn("cannot write %s: " % target, r.stderr)
        self.assertIn("permission", r.stderr.lower())
        self.assertIn(" -- user %s is not in the group %s: run sudo adduser" % (name, GROUP), r.stderr)
        self.assertFalse(os.path.exists(target))

    def test_3_latecomer_is_told_to_log_in_again(self):
        self.doctor()
        self.open_images_to_everyone()
        name = self.users["latecomer"][0]
        again = "user %s was added to the group %s after this session started: log out and in again" % (name, GROUP)
        r = self.mirror("latecomer")
        self.assertEqual(3, r.returncode, r.stdout + r.stderr)
        self.assertIn(again, r.stdout + r.stderr)
        r = self.doctor("latecomer")
        self.assertIn("PROBLEM: %s/Shapes is read-only for this user" % self.data, r.stdout)
        self.assertIn(again, r.stdout)
        r = self.as_user("latecomer", [os.path.join(self.bin, "krvctl"), "profile", "write",
                                       os.path.join(self.data, "Profiles", "LATECOMER01.dm"), "type=2", "size=8"])
        self.assertEqual(1, r.returncode)
        self.assertIn(again, r.stderr)

    def test_4_a_lock_made_without_the_group(self):
        # A lock left by an older version of the kit, made root:root: members are refused and told how to mend it.
        old = "krv-lab-old-%d" % os.getpid()
        self.locks.append(old)
        self.doctor(PEXLINK_LOCK_NAME=old)
        os.chown(self.lock_path(old), 0, 0)
        r = self.mirror("member", PEXLINK_LOCK_NAME=old)
        self.assertEqual(3, r.returncode, r.stdout + r.stderr)
        self.assertIn("it belongs to the group root, not to %s, the group the kit's users share; run: sudo chgrp %s %s"
                      % (GROUP, GROUP, self.lock_path(old)), r.stdout + r.stderr)
        r = self.doctor(PEXLINK_LOCK_NAME=old)
        self.assertIn("PROBLEM: the PCIe transfer lock %s belongs to the group root, not to %s, so other users of %s "
                      "cannot use the PCIe cards -- run: sudo chgrp %s %s"
                      % (self.lock_path(old), GROUP, GROUP, GROUP, self.lock_path(old)), r.stdout)
        run(["chgrp", GROUP, self.lock_path(old)])
        self.assertEqual(0, self.mirror("member", PEXLINK_LOCK_NAME=old).returncode)

    def test_5_lock_names_with_slashes(self):
        # "/name" is the same lock as "name"; a name with another slash is refused with the reason.
        self.doctor()
        r = self.mirror("member", PEXLINK_LOCK_NAME="/" + self.lock)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        r = self.mirror("member", PEXLINK_LOCK_NAME="lab/cards")
        self.assertEqual(3, r.returncode, r.stdout + r.stderr)
        self.assertIn("the PCIe transfer lock name 'lab/cards' (PEXLINK_LOCK_NAME) is not valid", r.stdout + r.stderr)
        r = self.doctor("member", PEXLINK_LOCK_NAME="lab/cards")
        self.assertIn("PROBLEM: the PCIe transfer lock name 'lab/cards' (PEXLINK_LOCK_NAME) is not valid", r.stdout)

    def test_6_a_user_makes_cards_of_their_own(self):
        _, uid, gid, home = self.users["member"]
        folder = os.path.join(home, "my", "cards")
        r = self.as_user("member", ["sh", "-c", "umask 0; exec pexcard create \"$1\" --count 2", "sh", folder])
        self.assertEqual(0, r.returncode, r.stderr)
        for n in (1, 2):
            st = os.stat(os.path.join(folder, "PEXIO%d" % n))
            self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)), (uid, gid, 0o660))


if __name__ == "__main__":
    BUILD = sys.argv.pop(1)
    if os.geteuid() != 0:
        print("needs root (creates users and groups): skipped")
        sys.exit(77)
    for tool in ("setpriv", "useradd", "userdel"):
        if not shutil.which(tool):
            print("%s not installed: skipped" % tool)
            sys.exit(77)
    unittest.main()
