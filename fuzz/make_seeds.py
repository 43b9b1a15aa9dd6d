#!/usr/bin/python3
"""Writes the fuzz targets' seed corpora into fuzz/corpus/ (committed; run again only to renew them).

Calibration tables and MAT files come from the test data generator (openloop/generator/make_testdata.py):
the 32-actuator continuous table, a 111-actuator segmented table with 5 samples per axis (the tests use 15),
and the reader's own test files. Profiles, maps, registry stores and krvctl settings follow the tests' files.
"""
import importlib.util
import io
import os
import struct
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def generator():
    path = os.path.join(HERE, "..", "openloop", "generator", "make_testdata.py")
    loader_info = importlib.util.spec_from_file_location("make_testdata", path)
    module = importlib.util.module_from_spec(loader_info)
    loader_info.loader.exec_module(module)
    return module


def put(target, name, data):
    os.makedirs(os.path.join(CORPUS, target), exist_ok=True)
    with open(os.path.join(CORPUS, target, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def scrambled(lines, eol=b"\n"):
    return b"".join(bytes(b ^ 0xA7 for b in line.encode()) + eol for line in lines)


def mat_bytes(gen, variables, compress):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "t.mat")
        gen.save(path, variables, compress)
        with open(path, "rb") as f:
            return f.read()


def calibration_seeds(gen):
    rng = np.random.default_rng(1032)
    table = gen.continuous_table(32, rng)
    v = gen.cdm_variables(32, table)
    put("calibration_continuous", "cdm_32.mat", mat_bytes(gen, v, False))
    put("calibration_continuous", "cdm_32_z.mat", mat_bytes(gen, v, True))
    put("calibration_continuous", "cdm_32_nounpow.mat", mat_bytes(gen, gen.cdm_variables(32, table, unpow="none"), False))
    four = [(0, 0), (1, 0), (0, 1), (1, 1)]
    put("calibration_continuous", "cdm_32_coeffs4.mat",
        mat_bytes(gen, gen.cdm_variables(32, table, coeffs=table["coeffs"][:4], orders=four), False))

    gen.HEX_L = 5
    hex_table = gen.hex_table(37, np.random.default_rng(2111))
    hv = gen.hex_variables(111, hex_table)
    put("calibration_segmented", "hex_111_l5.mat", mat_bytes(gen, hv, False))
    put("calibration_segmented", "hex_111_l5_z.mat", mat_bytes(gen, hv, True))
    put("calibration_segmented", "hex_111_l5_nooffsets.mat",
        mat_bytes(gen, gen.hex_variables(111, hex_table, offsets=False), False))


def mat_seeds(gen):
    with tempfile.TemporaryDirectory() as d:
        gen.write_mat_tests(d)
        for name in ("classes.mat", "classes_z.mat", "big_endian.mat", "little_utf16.mat"):
            with open(os.path.join(d, "mat", name), "rb") as f:
                put("mat", name, f.read())
    w = gen.RawWriter("little")
    put("mat", "one_double.mat", w.header() + w.matrix("x", np.array([[1.5]])))
    put("mat", "nested_cell.mat", w.header() + w.matrix("c", [[np.array([[2.0]]), "ab"], "cd"]))
    put("mat", "header_only.mat", w.header())


def profile_seeds():
    put("profile", "dummy140.dm", scrambled(["type=2", "size=140", "maxv=100", "vlim=100", "map=fuzz.map",
                                             "inactive=3:5,17,200", "calibration=cal.mat"]))
    put("profile", "dummy32_crlf.dm", scrambled(["type=2", "size=32", "maxv=200", "vlim=150"], b"\r\n"))
    put("profile", "pcie2.dm", scrambled(["type=1", "size=952", "maxv=300", "vlim=250", "hva=3", "use_fiber=1",
                                          "use_CL=0", "burst_mode=1", "fiber_mode=2", "hva2=3", "use_fiber2=1",
                                          "use_CL2=0", "fiber_mode2=-1", "driver_sn=PEX00000001",
                                          "driver_sn2=PEX00000002"]))
    put("profile", "usb_odd_lines.dm", scrambled(["type=0", "size=140", "x", "colour=blue", "driver_sn=USB1",
                                                  "inactive=0"]) + b"\xa7\n")


def map_seeds():
    def with_count(n, text):
        return struct.pack("<H", n - 1) + text.encode()
    put("map", "m140.map", with_count(140, "".join("%d\n" % ((i * 37) % 140) for i in range(140))))
    put("map", "m31.map", with_count(140, "".join("%d\n" % i for i in range(31))))
    put("map", "m200.map", with_count(140, "".join("%d\r\n" % i for i in range(200))))
    put("map", "odd_lines.map", with_count(40, "17 text\n\n-3\n4294967296\n" + "".join("%d\n" % i for i in range(36))))


def registry_seeds():
    store = ("Windows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
             "[HKEY_LOCAL_MACHINE\\Software\\Velmira]\r\n"
             "\"InstallPath\"=\"C:\\\\Program Files\\\\Kit \\\"4\\\"\"\r\n"
             "@=\"default text\"\r\n\"Count\"=dword:0000001f\r\n"
             "\"Blob\"=hex:01,02,03,\\\r\n  04,05\r\n"
             "\"Expand\"=hex(2):25,00,00,00\r\n\r\n"
             "[HKEY_CLASSES_ROOT\\CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32]\r\n"
             "@=\"/usr/lib/libDravix.so\"\r\n\"ThreadingModel\"=\"Both\"\r\n")
    put("registry", "export.reg", store + "\0HKEY_LOCAL_MACHINE\\Software\\Velmira\0InstallPath\0/opt/velmira")
    put("registry", "new_key.reg", store + "\0hkey_local_machine\\software\\velmira\\sub\\\0Name \"q\"\0a\\b")
    put("registry", "empty.reg", "\0HKEY_CURRENT_USER\\Software\\Velmira\\ShapeDesk\0\0last")


def roundtrip_seeds():
    put("krvctl_roundtrip", "readme.txt", "type=2\nsize=140\nmaxv=100\nvlim=100\nmap=m140.map\ninactive=1:7\n"
                                          "\0/opt/velmira")
    put("krvctl_roundtrip", "two_units.txt",
        "# PCIe mirror on two units\r\ntype=1\nsize=952\nmaxv=300\nvlim=250\nhva=3\nuse_fiber=1\nuse_CL=0\n"
        "burst_mode=1\nfiber_mode=2\nhva2=3\nuse_fiber2=-1\nuse_CL2=0\nfiber_mode2=1\ndriver_sn=PEX00000001\n"
        "driver_sn2=PEX00000002\ncalibration=cal 1.mat\ninactive=3: 5 ,17,200\n")
    put("krvctl_roundtrip", "path_only.txt", "\0/srv/velmira kit/\"4\"")


def main():
    gen = generator()
    calibration_seeds(gen)
    mat_seeds(gen)
    profile_seeds()
    map_seeds()
    registry_seeds()
    roundtrip_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
