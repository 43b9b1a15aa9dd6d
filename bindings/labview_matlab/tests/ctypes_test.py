"""The LabVIEW and MATLAB interfaces as those programs see them: ctypes records in each library's layout, driving
dummy mirrors, emulated PCIe cards and, under umockdev-wrapper, emulated USB drive units.

    ctypes_test.py --flavor labview|matlab --library LIB [--pexcard TOOL] [--usb-bed LIB --dravix LIB]
"""
import argparse
import ctypes
import math
import os
import subprocess
import sys
import tempfile
import unittest
from ctypes import POINTER, c_char_p, c_double, c_int16, c_int32, c_uint16, c_uint32, c_uint64

NO_ERR, ERR_NO_HW, ERR_SERIAL_NUMBER, ERR_INVALID_LUT = 0, 2, 4, 8
ERR_NOT_IMPLEMENTED, ERR_INVALID_SEQUENCE, ERR_BADARG = 11, 20, 25
ERR_INVALID_CALIBRATION, ERR_DRIVER_NOT_OPEN, ERR_DRIVER_ALREADY_OPEN = 27, 29, 30

SUFFIXES = ["GetNewDM", "OpenDM", "CloseDM", "SendData", "SendDataCustomMapping", "PokeDM", "GetActuatorData",
            "GetDefaultMapping", "SetSegment", "GetSegmentRange", "LoadCalibrationFile", "SetProfilesPath",
            "SetMapsPath", "SetCalibrationsPath", "SetDeviceId", "ConfigureSequence", "EnableSequence", "ConfigureDither",
            "EnableDither", "EnableHighRes", "CalculateSurface", "SetSurface", "ZernikeSurface", "ConfigureLog",
            "GetErrorString", "VersionString"]


class LabviewDM(ctypes.Structure):
    # LabVIEW aligns the pointer itself: four bytes of padding follow ActCountWidth.
    _fields_ = [("DriverType", c_uint16), ("DevId", c_int16), ("ActCount", c_uint32), ("ActCountWidth", c_uint32),
                ("MappingFile", c_char_p), ("Handle", c_uint64), ("Reserved", c_uint64 * 2)]


class MatlabDM(ctypes.Structure):
    _fields_ = [("DriverType", c_uint32), ("DevId", c_uint32), ("ActCount", c_uint32), ("ActCountWidth", c_uint32),
                ("MappingFile", c_char_p), ("Handle", c_uint64), ("Reserved", c_uint64 * 2)]


def scramble(lines):
    return b"".join(bytes(b ^ 0xA7 for b in line.encode()) + b"\n" for line in lines)


def doubles(values):
    return (c_double * len(values))(*values)


def words(values):
    return (c_uint32 * len(values))(*values)


def units(value, ratio=1.0):
    """Driver value of a command, as the kit rounds it (half away from zero)."""
    return int(min(max(value, 0.0), 1.0) * 65535 * ratio + 0.5)


class Flat:
    """One of the two libraries, called by the suffix its LabVIEW names share."""

    def __init__(self, path, flavor):
        self.labview = flavor == "labview"
        self.lib = ctypes.CDLL(path)
        self.Record = LabviewDM if self.labview else MatlabDM
        rec, dbl, u32 = POINTER(self.Record), POINTER(c_double), POINTER(c_uint32)
        i32 = c_int32
        count_t = i32 if self.labview else c_uint32
        self.signatures = {
            "GetNewDM": [rec], "OpenDM": [rec, c_char_p], "CloseDM": [rec], "SendData": [rec, dbl, i32],
            "SendDataCustomMapping": [rec, dbl, i32, u32, i32] if self.labview else [rec, dbl, u32, i32],
            "PokeDM": [rec, i32, c_double], "GetActuatorData": [rec, dbl, i32], "GetDefaultMapping": [rec, u32, i32],
            "SetSegment": [rec, i32, c_double, c_double, c_double, i32, i32],
            "GetSegmentRange": [rec, i32, i32, c_double, c_double, c_double, i32, dbl, dbl],
            "LoadCalibrationFile": [rec, c_char_p], "SetProfilesPath": [rec, c_char_p],
            "SetMapsPath": [rec, c_char_p], "SetCalibrationsPath": [rec, c_char_p], "SetDeviceId": [rec, i32],
            "ConfigureSequence": [rec, dbl, count_t, count_t, c_double], "EnableSequence": [rec, c_double, i32],
            "ConfigureDither": [rec, dbl, i32, dbl, i32] if self.labview else [rec, dbl, i32, dbl],
            "EnableDither": [rec, c_double, i32], "EnableHighRes": [rec, i32],
            "CalculateSurface": [rec, dbl, i32, i32, i32, i32, dbl, c_uint32, dbl, c_uint32],
            "SetSurface": [rec, dbl, i32, i32, i32, i32],
            "ZernikeSurface": [rec, dbl, i32, i32, i32, dbl, c_uint32],
            "ConfigureLog": [c_char_p, i32], "GetErrorString": [i32], "VersionString": [],
        }
        for suffix, argtypes in self.signatures.items():
            fn = getattr(self.lib, self.name(suffix))
            fn.argtypes = argtypes
            fn.restype = c_char_p if suffix in ("GetErrorString", "VersionString") else c_int32
            setattr(self, suffix, fn)

    def name(self, suffix):
        if self.labview:
            return "KRV_LVIF_" + suffix
        return "fnGetDM" if suffix == "GetNewDM" else "fn" + suffix


class Tree:
    """An install tree of the test's own: profiles, maps, an empty calibration folder."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="krv-flat-")
        self.root = self.tmp.name
        for sub in ("Profiles", "Map", "Calibration"):
            os.makedirs(os.path.join(self.root, sub))

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def profile(self, serial, lines):
        with open(self.path("Profiles", serial + ".dm"), "wb") as f:
            f.write(scramble(lines))

    def map(self, name, entries):
        with open(self.path("Map", name), "w") as f:
            f.write("".join(f"{e}\n" for e in entries))
        return self.path("Map", name)


OPTS = None
LIB = None
TREE = None
FIRST_HANDLES = []


class FlatCase(unittest.TestCase):
    """Opens records with a handle and paths into the tree; closes whatever a test left open."""

    def setUp(self):
        self.records = []

    def tearDown(self):
        for r in self.records:
            LIB.CloseDM(r)

    def record(self):
        r = LIB.Record()
        self.assertEqual(LIB.GetNewDM(r), NO_ERR)
        for setter, sub in ((LIB.SetProfilesPath, "Profiles"), (LIB.SetMapsPath, "Map"),
                            (LIB.SetCalibrationsPath, "Calibration")):
            self.assertEqual(setter(r, TREE.path(sub).encode()), NO_ERR)
        self.records.append(r)
        return r

    def opened(self, serial):
        r = self.record()
        rc = LIB.OpenDM(r, serial.encode())
        self.assertEqual(rc, NO_ERR, LIB.GetErrorString(rc))
        return r

    def send_custom(self, r, frame, custom):
        if LIB.labview:
            return LIB.SendDataCustomMapping(r, doubles(frame), len(frame), words(custom), len(custom))
        # One count for both arrays.
        count = max(len(frame), len(custom))
        return LIB.SendDataCustomMapping(r, doubles(frame + [0.0] * (count - len(frame))), words(custom), count)

    def read_back(self, r, count):
        out = doubles([-1.0] * count)
        self.assertEqual(LIB.GetActuatorData(r, out, count), NO_ERR)
        return list(out)


class Library(unittest.TestCase):
    def test_record_layout_and_exports(self):
        rec = LIB.Record
        self.assertEqual(ctypes.sizeof(rec), 48)
        self.assertEqual([getattr(rec, f).offset for f in ("ActCount", "MappingFile", "Handle", "Reserved")],
                         [4, 16, 24, 32] if LIB.labview else [8, 16, 24, 32])
        nm = subprocess.run(["nm", "-D", "--defined-only", OPTS.library], capture_output=True, text=True, check=True)
        exported = sorted(line.split()[-1] for line in nm.stdout.splitlines() if line.strip())
        self.assertEqual(exported, sorted(LIB.name(s) for s in SUFFIXES))

    def test_texts(self):
        self.assertEqual(LIB.VersionString(), b"4.2.1")
        self.assertEqual(LIB.GetErrorString(1), b"Uknown error.")
        self.assertEqual(LIB.GetErrorString(-1), b"Unknown error code.")

    def test_first_handles_of_the_process(self):
        self.assertEqual(FIRST_HANDLES[:2], [32, 33])
        again = LIB.Record(Handle=32)
        # LabVIEW refuses a record that has a handle; MATLAB leaves handles other than 0 and 1 alone.
        self.assertEqual(LIB.GetNewDM(again), ERR_DRIVER_ALREADY_OPEN if LIB.labview else NO_ERR)
        self.assertEqual(again.Handle, 32)
        self.assertEqual(LIB.GetNewDM(None), ERR_BADARG)


class Dummy(FlatCase):
    @classmethod
    def setUpClass(cls):
        cls.map = list(range(31, -1, -1))
        cls.map_path = TREE.map("dummy32.map", cls.map)
        TREE.profile("FLATDUMMY01", ["type=2", "size=32", "maxv=100", "vlim=100", "map=dummy32.map"])
        TREE.profile("FLATDUMMY02", ["type=2", "size=140", "maxv=100", "vlim=100"])

    def test_open_send_poke_read_close(self):
        r = self.opened("FLATDUMMY01")
        self.assertEqual((r.DriverType, r.DevId, r.ActCount, r.ActCountWidth), (2, 1, 32, 6))
        self.assertEqual(r.MappingFile.decode(), self.map_path)
        frame = [i / 31 for i in range(32)]
        self.assertEqual(LIB.SendData(r, doubles(frame + [0.5] * 8), 40), NO_ERR)  # more values than actuators
        self.assertEqual(LIB.PokeDM(r, 3, 0.25), NO_ERR)
        self.assertEqual(LIB.PokeDM(r, 32, 0.25), 9)  # actuator id
        frame[3] = 0.25
        back = self.read_back(r, 32)
        self.assertTrue(all(abs(a - b) <= 1 / 65535 for a, b in zip(frame, back)), back)
        self.assertEqual(LIB.GetActuatorData(r, doubles([0] * 31), 31), ERR_BADARG)
        mapping = words([7] * 32)
        self.assertEqual(LIB.GetDefaultMapping(r, mapping, 32), NO_ERR)
        self.assertEqual(list(mapping), self.map)
        self.assertEqual(LIB.CloseDM(r), NO_ERR)
        # The record keeps its fields; the mirror behind it is closed.
        self.assertEqual((r.DevId, r.ActCount), (1, 32))
        self.assertEqual(LIB.SendData(r, doubles(frame), 32), ERR_DRIVER_NOT_OPEN)

    def test_send_data_checks(self):
        r = self.record()
        self.assertEqual(LIB.SendData(r, doubles([0.0] * 32), 32), ERR_DRIVER_NOT_OPEN)  # ActCount 0
        self.assertEqual(LIB.SendData(None, doubles([0.0]), 1), ERR_BADARG)
        r = self.opened("FLATDUMMY01")
        big = doubles([0.5] * 4097)
        self.assertEqual(LIB.SendData(r, big, 4097), ERR_BADARG)
        self.assertEqual(LIB.SendData(r, big, 31), ERR_BADARG)
        self.assertEqual(LIB.SendData(r, None, 32), ERR_BADARG)
        self.assertEqual(LIB.GetActuatorData(r, doubles([0] * 4097), 4097), ERR_BADARG)
        # A record that claims fewer actuators than the mirror has cannot make the library read past the values.
        r.ActCount = 8
        self.assertEqual(LIB.SendData(r, doubles([0.5] * 8), 8), ERR_BADARG)
        self.assertEqual(max(self.read_back(r, 32)), 0.0)

    def test_custom_mapping_checks(self):
        r = self.opened("FLATDUMMY01")
        values, table = doubles([0.5] * 32), words(list(range(32)))
        if LIB.labview:
            self.assertEqual(LIB.SendDataCustomMapping(r, values, 32, None, 32), ERR_INVALID_LUT)
            self.assertEqual(LIB.SendDataCustomMapping(r, None, 32, table, 32), ERR_BADARG)
            self.assertEqual(LIB.SendDataCustomMapping(r, values, 0, table, 32), ERR_BADARG)
            self.assertEqual(LIB.SendDataCustomMapping(r, values, 32, table, 4097), ERR_BADARG)
            self.assertEqual(LIB.SendDataCustomMapping(r, values, 32, table, 0), ERR_BADARG)
            self.assertEqual(LIB.SendDataCustomMapping(r, values, 32, table, 32), NO_ERR)
        else:
            self.assertEqual(LIB.SendDataCustomMapping(r, values, None, 32), ERR_INVALID_LUT)
            self.assertEqual(LIB.SendDataCustomMapping(r, values, table, 4097), ERR_BADARG)
            self.assertEqual(LIB.SendDataCustomMapping(r, values, table, 31), ERR_BADARG)
            self.assertEqual(LIB.SendDataCustomMapping(r, values, table, 32), NO_ERR)
        self.assertTrue(all(abs(v - 0.5) <= 1 / 65535 for v in self.read_back(r, 32)))

    def test_short_map_is_refused(self):
        r = self.opened("FLATDUMMY01")
        self.assertEqual(LIB.SendData(r, doubles([0.25] * 32), 32), NO_ERR)
        if LIB.labview:
            # One entry short: the last actuator would be routed to channel 0. (MATLAB's one count covers values
            # and map: a map short of the actuators is short of values too; see the USB case for channels.)
            self.assertEqual(LIB.SendDataCustomMapping(r, doubles([0.5] * 32), 32, words(range(31)), 31),
                             ERR_INVALID_LUT)
            self.assertEqual(LIB.SendDataCustomMapping(r, doubles([0.5] * 32), 32, words(range(1)), 1),
                             ERR_INVALID_LUT)
        self.assertTrue(all(abs(v - 0.25) <= 1 / 65535 for v in self.read_back(r, 32)))

    def test_values_that_are_not_numbers_are_refused(self):
        r = self.opened("FLATDUMMY01")
        self.assertEqual(LIB.SendData(r, doubles([0.25] * 32), 32), NO_ERR)
        for bad in (math.nan, math.inf, -math.inf):
            self.assertEqual(LIB.SendData(r, doubles([0.5] * 31 + [bad]), 32), ERR_BADARG)
            self.assertEqual(self.send_custom(r, [bad] + [0.5] * 31, list(range(32))), ERR_BADARG)
            self.assertEqual(LIB.PokeDM(r, 0, bad), ERR_BADARG)
        self.assertTrue(all(abs(v - 0.25) <= 1 / 65535 for v in self.read_back(r, 32)))

    def test_reconnecting_again_and_again_keeps_the_memory_it_takes(self):
        # The cycle the README describes: zero the record, new handle, open, send, close.
        frame = doubles([0.5] * 140)

        def cycles(count):
            for _ in range(count):
                r = LIB.Record()
                assert LIB.GetNewDM(r) == NO_ERR
                assert LIB.SetProfilesPath(r, TREE.path("Profiles").encode()) == NO_ERR
                assert LIB.OpenDM(r, b"FLATDUMMY02") == NO_ERR
                assert LIB.SendData(r, frame, 140) == NO_ERR
                assert LIB.CloseDM(r) == NO_ERR

        cycles(300)
        before = resident_bytes()
        cycles(3000)
        grown = resident_bytes() - before
        # A closed handle used to keep its 17.8 KB mirror record: 53 MB over these cycles.
        self.assertLess(grown, 3000 * 256, f"{grown} bytes more after 3000 reconnections")

    def test_open_refusals(self):
        r = self.record()
        handle = r.Handle
        r.DevId = 5
        self.assertEqual(LIB.OpenDM(r, b"FLATDUMMY01"), ERR_DRIVER_ALREADY_OPEN)
        self.assertEqual((r.Handle, r.ActCount), (handle, 0))
        r.DevId = 0
        # The refused call did not open the mirror: this open is the first.
        self.assertEqual(LIB.OpenDM(r, b"FLATDUMMY01"), NO_ERR)
        self.assertEqual(r.ActCount, 32)

        r = LIB.Record(DriverType=3)
        self.assertEqual(LIB.OpenDM(r, b"FLATDUMMY01"), 6)  # invalid driver type
        r = LIB.Record(ActCount=0x80000000)
        self.assertEqual(LIB.OpenDM(r, b"FLATDUMMY01"), ERR_BADARG)
        self.assertEqual(LIB.OpenDM(None, b"FLATDUMMY01"), ERR_BADARG)

        for r in (self.record(), LIB.Record()):
            self.assertEqual(LIB.OpenDM(r, b"FLATDUMMY1"), ERR_SERIAL_NUMBER)
            self.assertEqual(r.Handle, 0)
            self.assertEqual(LIB.OpenDM(r, None), ERR_SERIAL_NUMBER)

    def test_handle_not_in_the_table(self):
        stranger = LIB.Record(Handle=987654, ActCount=32)
        self.assertEqual(LIB.OpenDM(stranger, b"FLATDUMMY01"), ERR_BADARG)
        self.assertEqual(LIB.SendData(stranger, doubles([0.0] * 32), 32), ERR_BADARG)
        self.assertEqual(LIB.CloseDM(stranger), ERR_BADARG)
        self.assertEqual(LIB.SetMapsPath(stranger, TREE.root.encode()), ERR_BADARG)
        with open(OPTS.log_file, encoding="utf-8", errors="replace") as f:
            self.assertIn("invalid map<K, T> key", f.read())

    def test_close_and_reopen(self):
        self.assertEqual(LIB.CloseDM(LIB.Record()), NO_ERR)
        self.assertEqual(LIB.CloseDM(None), ERR_BADARG)
        r = self.opened("FLATDUMMY02")
        self.assertEqual(LIB.CloseDM(r), NO_ERR)
        self.assertEqual(LIB.CloseDM(r), NO_ERR)  # closed already
        # The closed handle reads as a closed mirror; its map file text stays readable.
        self.assertEqual(LIB.SendData(r, doubles([0.0] * 140), 140), ERR_DRIVER_NOT_OPEN)
        self.assertEqual(r.MappingFile, b"")
        # It cannot be opened again: a record whose device id the caller cleared by hand is refused.
        spent = LIB.Record(Handle=r.Handle)
        self.assertEqual(LIB.OpenDM(spent, b"FLATDUMMY02"), ERR_BADARG)
        self.assertEqual(LIB.SetProfilesPath(spent, TREE.root.encode()), ERR_BADARG)
        # The record still shows the old device id until the caller clears it.
        self.assertEqual(LIB.OpenDM(r, b"FLATDUMMY02"), ERR_DRIVER_ALREADY_OPEN)
        ctypes.memset(ctypes.byref(r), 0, ctypes.sizeof(r))
        self.assertEqual(LIB.GetNewDM(r), NO_ERR)
        self.assertEqual(LIB.SetProfilesPath(r, TREE.path("Profiles").encode()), NO_ERR)
        self.assertEqual(LIB.OpenDM(r, b"FLATDUMMY02"), NO_ERR)
        self.assertEqual(r.ActCount, 140)
        # Path setters need a handle.
        self.assertEqual(LIB.SetProfilesPath(LIB.Record(), TREE.root.encode()), ERR_BADARG)

    def test_pcie_only_calls(self):
        r = self.opened("FLATDUMMY01")
        seq = doubles([0.5] * 64)
        self.assertEqual(LIB.EnableHighRes(r, 1), ERR_NOT_IMPLEMENTED)
        self.assertEqual(LIB.EnableSequence(r, 100.0, 1), ERR_NOT_IMPLEMENTED)
        self.assertEqual(LIB.EnableDither(r, 100.0, 1), ERR_NOT_IMPLEMENTED)
        self.assertEqual(LIB.ConfigureSequence(r, seq, 1, 33, 0.0), ERR_INVALID_SEQUENCE)  # frame > ActCount
        self.assertEqual(LIB.ConfigureSequence(r, seq, 0, 32, 0.0), ERR_INVALID_SEQUENCE)
        self.assertEqual(LIB.ConfigureSequence(r, seq, 65537, 1, 0.0), ERR_INVALID_SEQUENCE)
        self.assertEqual(LIB.ConfigureSequence(r, None, 1, 32, 0.0), ERR_BADARG)
        self.assertEqual(LIB.ConfigureSequence(r, seq, 2, 32, 0.0), ERR_NOT_IMPLEMENTED)
        wave, gains = doubles([0.5] * 4), doubles([1.0] * 32)
        if LIB.labview:
            self.assertEqual(LIB.ConfigureDither(r, wave, 4, gains, 31), ERR_BADARG)
            self.assertEqual(LIB.ConfigureDither(r, wave, 4, gains, 32), ERR_NOT_IMPLEMENTED)
        else:
            self.assertEqual(LIB.ConfigureDither(r, wave, 4, gains), ERR_NOT_IMPLEMENTED)

    def test_open_loop_calls(self):
        r = self.opened("FLATDUMMY01")  # 32 actuators, 6 across, 1500 nm stroke
        lo, hi = c_double(-1), c_double(-1)
        self.assertEqual(LIB.GetSegmentRange(r, 4, 0, 0.0, 0.0, 0.0, 0, ctypes.byref(lo), ctypes.byref(hi)), NO_ERR)
        self.assertEqual((lo.value, hi.value), (0.0, 1500.0))
        self.assertEqual(LIB.GetSegmentRange(r, 4, 1, 0.0, 0.0, 0.0, 0, ctypes.byref(lo), ctypes.byref(hi)),
                         ERR_NOT_IMPLEMENTED)
        self.assertEqual(LIB.SetSegment(r, 4, 750.0, 0.0, 0.0, 0, 1), NO_ERR)
        self.assertAlmostEqual(self.read_back(r, 32)[4], 0.5, delta=1 / 65535)
        self.assertEqual(LIB.SetSegment(r, 4, -1.0, 0.0, 0.0, 0, 1), 28)  # out of range
        phase = doubles([0.0] * 16)
        self.assertEqual(LIB.ZernikeSurface(r, doubles([42.0]), 1, 0, 0, phase, 16), NO_ERR)  # D = 3, N = 4
        self.assertEqual(list(phase), [42.0] * 16)
        self.assertEqual(LIB.ZernikeSurface(r, doubles([42.0]), 1, 0, 0, phase, 15), ERR_BADARG)
        commands = doubles([0.0] * 32)
        self.assertEqual(LIB.CalculateSurface(r, doubles([0.0] * 36), 6, 6, 0, 0, commands, 32, None, 0),
                         ERR_INVALID_CALIBRATION)
        self.assertEqual(LIB.SetSurface(r, doubles([0.0] * 36), 6, 6, 0, 0), ERR_INVALID_CALIBRATION)
        self.assertEqual(LIB.SetSurface(r, doubles([0.0] * 36), 6, 6, 0, 4), ERR_BADARG)
        self.assertEqual(LIB.LoadCalibrationFile(r, TREE.path("Calibration", "none.mat").encode()), 10)


class MatlabAttach(FlatCase):
    def test_attach_to_the_last_opened(self):
        TREE.profile("FLATATTACH1", ["type=2", "size=32", "maxv=100", "vlim=100"])
        TREE.profile("FLATATTACH2", ["type=2", "size=140", "maxv=100", "vlim=100"])
        probe = LIB.Record(Handle=1)
        self.assertEqual(LIB.GetNewDM(probe), NO_ERR)  # none open: a new handle
        self.assertGreaterEqual(probe.Handle, 32)
        first = self.opened("FLATATTACH1")
        second = self.opened("FLATATTACH2")
        self.opened("FLATATTACH1")
        LIB.CloseDM(self.records[-1])  # the highest handle, but closed
        attach = LIB.Record(Handle=1)
        self.assertEqual(LIB.GetNewDM(attach), NO_ERR)
        self.assertEqual((attach.Handle, attach.ActCount, attach.DevId, attach.ActCountWidth),
                         (second.Handle, 140, 1, 12))
        self.assertGreater(second.Handle, first.Handle)
        self.assertEqual(LIB.SendData(attach, doubles([0.25] * 140), 140), NO_ERR)
        self.assertAlmostEqual(self.read_back(second, 140)[139], 0.25, delta=1 / 65535)



def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def pexcard(*args):
    return subprocess.run([OPTS.pexcard, *args], capture_output=True, text=True, check=True).stdout


class PCIe(FlatCase):
    """One emulated card; the profile's voltage limit is half the amplifier's maximum."""

    @classmethod
    def setUpClass(cls):
        if not OPTS.pexcard:
            raise unittest.SkipTest("no pexcard tool")
        cls.card = os.path.join(OPTS.card_dir, "PEXIO1")
        TREE.map("pcie140.map", range(140))
        TREE.profile("FLATPCIE001", ["type=1", "size=140", "maxv=200", "vlim=100", "hva=2", "use_fiber=1",
                                     "use_CL=0", "fiber_mode=1", "burst_mode=0", "map=pcie140.map"])

    def frame_on_card(self, count):
        values = []
        for line in pexcard("frame", self.card, "--actuators", str(count)).splitlines():
            values += [int(v) for v in line.split(":")[1].split()]
        return values

    def test_custom_mapping_reaches_the_card(self):
        r = self.opened("FLATPCIE001")
        self.assertEqual((r.DriverType, r.DevId, r.ActCount, r.ActCountWidth), (1, 1, 140, 12))
        self.assertTrue(r.MappingFile.endswith(b"pcie140.map"))
        custom = [(7 * a) % 140 for a in range(140)]
        frame = [a / 139 for a in range(140)]
        self.assertEqual(self.send_custom(r, frame, custom), NO_ERR)
        lut = [int(w, 16) for line in pexcard("lut", self.card, "--count", "140").splitlines()
               for w in line.split(":")[1].split()]
        self.assertEqual(lut, custom)
        self.assertEqual(self.frame_on_card(140), [units(v, 0.5) for v in frame])
        # The custom map is now the mirror's: a plain send keeps it, the default map comes back on request.
        self.assertEqual(LIB.SendData(r, doubles([0.5] * 140), 140), NO_ERR)
        self.assertEqual(self.frame_on_card(3), [units(0.5, 0.5)] * 3)
        default = words([0] * 140)
        self.assertEqual(LIB.GetDefaultMapping(r, default, 140), NO_ERR)
        self.assertEqual(list(default), list(range(140)))

    def lut_on_card(self, count, card=None):
        return [int(w, 16) for line in pexcard("lut", card or self.card, "--count", str(count)).splitlines()
                for w in line.split(":")[1].split()]

    def test_custom_mapping_the_card_cannot_take_is_refused(self):
        r = self.opened("FLATPCIE001")
        self.assertEqual(LIB.SendData(r, doubles([0.25] * 140), 140), NO_ERR)
        lut = self.lut_on_card(140)
        beyond = list(range(140))
        beyond[3] = 5000  # beyond the channels the fiber link addresses
        self.assertEqual(self.send_custom(r, [0.75] * 140, beyond), ERR_INVALID_LUT)
        self.assertEqual(self.lut_on_card(140), lut)
        self.assertEqual(self.frame_on_card(140), [units(0.25, 0.5)] * 140)
        if LIB.labview:
            # A map short of the actuators would route the rest to channel 0.
            self.assertEqual(LIB.SendDataCustomMapping(r, doubles([0.75] * 140), 140, words(range(100)), 100),
                             ERR_INVALID_LUT)
            self.assertEqual(self.lut_on_card(140), lut)
            self.assertEqual(self.frame_on_card(140), [units(0.25, 0.5)] * 140)

    def test_a_chosen_card_is_the_one_driven(self):
        TREE.profile("FLATPCIE002", ["type=1", "size=140", "maxv=200", "vlim=100", "hva=2", "use_fiber=1",
                                     "use_CL=0", "fiber_mode=1", "burst_mode=0", "map=pcie140.map"])
        second = os.path.join(OPTS.card_dir, "PEXIO2")
        first_frame = self.frame_on_card(140)
        r = self.record()
        self.assertEqual(LIB.SetDeviceId(r, 0), ERR_BADARG)
        self.assertEqual(LIB.SetDeviceId(LIB.Record(), 2), ERR_BADARG)  # no handle
        self.assertEqual(LIB.SetDeviceId(r, 2), NO_ERR)
        self.assertEqual(LIB.OpenDM(r, b"FLATPCIE002"), NO_ERR)
        self.assertEqual(r.DevId, 2)
        self.assertEqual(LIB.SetDeviceId(r, 1), ERR_DRIVER_ALREADY_OPEN)
        self.assertEqual(LIB.SendData(r, doubles([1.0] * 140), 140), NO_ERR)
        values = []
        for line in pexcard("frame", second, "--actuators", "140").splitlines():
            values += [int(v) for v in line.split(":")[1].split()]
        self.assertEqual(values, [units(1.0, 0.5)] * 140)
        self.assertEqual(self.frame_on_card(140), first_frame)
        # A card that is not installed is not replaced by another.
        r3 = self.record()
        self.assertEqual(LIB.SetDeviceId(r3, 3), NO_ERR)
        self.assertEqual(LIB.OpenDM(r3, b"FLATPCIE002"), ERR_NO_HW)
        self.assertEqual(r3.Handle, 0)

    def test_unloading_the_library_closes_open_mirrors(self):
        # A child opens the mirror and switches high resolution on, then leaves without running any exit code:
        # only unloading the library first closes the mirror, which switches the mode off again. A child that
        # ends as programs do, with the mirror still open, closes it while the kit is alive and exits cleanly.
        for mode, expected in (("keep", "high-res 1"), ("unload", "high-res 0"), ("exit", "high-res 0")):
            done = subprocess.run([sys.executable, __file__, "--flavor", OPTS.flavor, "--library", OPTS.library,
                                   "--unload-child", mode, "--tree", TREE.root])
            self.assertEqual(done.returncode, 0, mode)
            self.assertIn(expected, pexcard("regs", self.card), mode)

    def test_sequence_dither_and_high_resolution(self):
        r = self.opened("FLATPCIE001")
        seq = doubles([0.0, 0.5, 1.0, 0.25, 0.75, 1.0])
        self.assertEqual(LIB.ConfigureSequence(r, seq, 2, 141, 0.0), ERR_INVALID_SEQUENCE)
        self.assertEqual(LIB.ConfigureSequence(r, seq, 0, 3, 0.0), ERR_INVALID_SEQUENCE)
        self.assertEqual(LIB.ConfigureSequence(r, seq, 2, 3, 0.001), NO_ERR)
        words_on_card = pexcard("seq", self.card, "--count", "6").splitlines()
        self.assertEqual([int(line.split()[3]) for line in words_on_card],
                         [units(v, 0.5) for v in (0.0, 0.5, 1.0, 0.25, 0.75, 1.0)])
        self.assertIn("sequence end", words_on_card[5])
        self.assertEqual(LIB.EnableSequence(r, 1000.0, 1), NO_ERR)
        self.assertEqual(LIB.EnableSequence(r, -1.0, 1), 21)  # the back end's rate check
        self.assertEqual(LIB.EnableSequence(r, 0.0, 0), NO_ERR)
        if LIB.labview:
            self.assertEqual(LIB.ConfigureDither(r, doubles([0.5]), 1, doubles([0.1] * 139), 139), ERR_BADARG)
            self.assertEqual(LIB.ConfigureDither(r, doubles([0.5]), 1, doubles([0.1] * 140), 140), NO_ERR)
        else:
            self.assertEqual(LIB.ConfigureDither(r, doubles([0.5]), 1, doubles([0.1] * 140)), NO_ERR)
        self.assertEqual(LIB.EnableDither(r, 0.0, 0), NO_ERR)
        self.assertEqual(LIB.EnableHighRes(r, 1), NO_ERR)
        self.assertIn("high-res 1", pexcard("regs", self.card))
        self.assertEqual(LIB.EnableHighRes(r, 0), NO_ERR)
        self.assertIn("high-res 0", pexcard("regs", self.card))


class Usb(FlatCase):
    """A 160-channel drive unit; the map is indexed by channel and names actuators."""

    @classmethod
    def setUpClass(cls):
        if not OPTS.usb_bed:
            raise unittest.SkipTest("USB tests run in their own process under umockdev-wrapper")
        cls.bed = BED
        cls.unit = BED_UNIT
        TREE.map("usb160.map", [c if c < 140 else 4096 for c in range(160)])
        TREE.profile("FLATUSB0001", ["type=0", "size=140", "maxv=200", "vlim=200", "driver_sn=DUFLAT00001",
                                     "map=usb160.map"])

    def block(self, count):
        raw = (ctypes.c_uint8 * 320)()
        n = BED_LIB.bed_last_bulk(self.bed, self.unit, count, raw, 320)
        self.assertEqual(n, 320)
        return [raw[2 * c] | raw[2 * c + 1] << 8 for c in range(160)]

    def test_frames_follow_the_custom_map(self):
        r = self.opened("FLATUSB0001")
        self.assertEqual((r.DriverType, r.ActCount, r.ActCountWidth), (0, 140, 12))
        sent = BED_LIB.bed_bulk_count(self.bed, self.unit)
        custom = [139 - c if c < 140 else 4096 for c in range(160)]
        frame = [a / 150 for a in range(140)]
        self.assertEqual(self.send_custom(r, frame, custom), NO_ERR)
        block = self.block(sent + 1)
        self.assertEqual(block[:140], [units(frame[139 - c]) for c in range(140)])
        self.assertEqual(block[140:], [0] * 20)
        # A poke resends the applied frame through the mirror's own map, which the custom one did not replace.
        self.assertEqual(LIB.PokeDM(r, 139, 1.0), NO_ERR)
        block = self.block(sent + 2)
        self.assertEqual((block[0], block[138], block[139]), (0, units(frame[138]), 65535))

    def test_map_short_of_the_channels_is_refused(self):
        r = self.opened("FLATUSB0001")
        sent = BED_LIB.bed_bulk_count(self.bed, self.unit)
        # 150 entries for 160 channels: channels 150..159 would carry actuator 0.
        short = [139 - c for c in range(140)] + [4096] * 10
        self.assertEqual(self.send_custom(r, [0.5] * 140, short), ERR_INVALID_LUT)
        self.assertEqual(BED_LIB.bed_bulk_count(self.bed, self.unit), sent)

    def test_pcie_only_calls(self):
        r = self.opened("FLATUSB0001")
        self.assertEqual(LIB.EnableHighRes(r, 1), ERR_NOT_IMPLEMENTED)
        self.assertEqual(LIB.EnableHighRes(r, 0), ERR_NOT_IMPLEMENTED)
        self.assertEqual(LIB.EnableDither(r, 10.0, 1), ERR_NOT_IMPLEMENTED)
        self.assertEqual(LIB.ConfigureSequence(r, doubles([0.5] * 140), 1, 140, 0.0), ERR_NOT_IMPLEMENTED)
        self.assertEqual(LIB.ConfigureSequence(r, doubles([0.5] * 141), 1, 141, 0.0), ERR_INVALID_SEQUENCE)


BED_LIB = None
BED = None
BED_UNIT = -1


def unload_child(mode, root):
    """Opens FLATPCIE001 in the tree at root, high resolution on; unloads the library or not; ends at once."""
    lib = Flat(OPTS.library, OPTS.flavor)
    r = lib.Record()
    assert lib.GetNewDM(r) == NO_ERR
    assert lib.SetProfilesPath(r, os.path.join(root, "Profiles").encode()) == NO_ERR
    assert lib.SetMapsPath(r, os.path.join(root, "Map").encode()) == NO_ERR
    assert lib.OpenDM(r, b"FLATPCIE001") == NO_ERR
    assert lib.EnableHighRes(r, 1) == NO_ERR
    if mode == "exit":
        sys.exit(0)
    if mode == "unload":
        import _ctypes
        _ctypes.dlclose(lib.lib._handle)
    os._exit(0)


def main():
    global OPTS, LIB, TREE, BED_LIB, BED, BED_UNIT
    parser = argparse.ArgumentParser()
    parser.add_argument("--unload-child", choices=["keep", "unload", "exit"])
    parser.add_argument("--tree")
    parser.add_argument("--flavor", choices=["labview", "matlab"], required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--pexcard")
    parser.add_argument("--usb-bed")
    parser.add_argument("--dravix")
    OPTS, rest = parser.parse_known_args()
    if OPTS.unload_child:
        unload_child(OPTS.unload_child, OPTS.tree)

    TREE = Tree()
    # Everything the kit looks up in the environment points into the tree: no registry key, the log, the cards.
    os.environ["KRV_REGISTRY_FILE"] = TREE.path("registry.reg")
    os.environ["KRV"] = TREE.path("KRV4")
    os.environ["LOCALAPPDATA"] = TREE.root
    os.environ["PEXLINK_LOCK_NAME"] = "krv-flat-" + str(os.getpid())
    OPTS.log_file = TREE.path("flat.log")
    if OPTS.pexcard:
        OPTS.card_dir = TREE.path("cards")
        os.makedirs(OPTS.card_dir)
        pexcard("create", OPTS.card_dir, "--count", "2")
        os.environ["PEXLINK_DEVICE_DIR"] = OPTS.card_dir
    if OPTS.usb_bed:
        BED_LIB = ctypes.CDLL(OPTS.usb_bed)
        BED_LIB.bed_new.restype = ctypes.c_void_p
        for name in ("bed_delete", "bed_available", "bed_add_unit", "bed_last_bulk", "bed_bulk_count"):
            getattr(BED_LIB, name).argtypes = [ctypes.c_void_p]
        BED_LIB.bed_add_unit.argtypes = [ctypes.c_void_p, c_char_p]
        BED_LIB.bed_last_bulk.argtypes = [ctypes.c_void_p, c_int32, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t]
        BED_LIB.bed_last_bulk.restype = ctypes.c_long
        BED_LIB.bed_bulk_count.argtypes = [ctypes.c_void_p, c_int32]
        BED_LIB.bed_bulk_count.restype = ctypes.c_size_t
        BED = BED_LIB.bed_new()
        if not BED_LIB.bed_available(BED):
            print("emulated USB units need umockdev-wrapper: skipped")
            return 77
        assert BED_LIB.bed_register_server(OPTS.dravix.encode()) == 0
        BED_UNIT = BED_LIB.bed_add_unit(BED, b"DUFLAT00001")
        assert BED_UNIT >= 0

    LIB = Flat(OPTS.library, OPTS.flavor)
    assert LIB.ConfigureLog(OPTS.log_file.encode(), 4) == NO_ERR
    for _ in range(2):
        r = LIB.Record()
        assert LIB.GetNewDM(r) == NO_ERR
        FIRST_HANDLES.append(r.Handle)

    if OPTS.usb_bed:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(Usb)
    else:
        suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromTestCase(c)
                                   for c in (Library, Dummy, PCIe) + (() if LIB.labview else (MatlabAttach,)))
    ok = unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful()
    if OPTS.usb_bed:
        # The host driver's USB context goes before the emulated units do.
        usb = ctypes.CDLL("libKRV_USBAPI4.so.4")
        assert usb.KRV_USBReleaseHostDriver() == NO_ERR
        BED_LIB.bed_delete(BED)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
