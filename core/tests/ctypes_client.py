"""Drives a dummy mirror through KRV4 with ctypes, from a profile the script writes itself."""
import ctypes
import os
import sys
import tempfile

KRV_MAX_PATH = 260
MAX_DM_SIZE = 4096


class DM_DRIVER(ctypes.Structure):
    _fields_ = [("ChannelCount", ctypes.c_uint32), ("SerialNumber", ctypes.c_char * 12),
                ("HVAType", ctypes.c_uint32), ("UseFiber", ctypes.c_uint8), ("UseCL", ctypes.c_uint8),
                ("FiberMode", ctypes.c_uint8), ("HWRev", ctypes.c_uint32), ("Work64", ctypes.c_uint64),
                ("Work32", ctypes.c_uint32)]


class DM(ctypes.Structure):
    _fields_ = [("DriverType", ctypes.c_uint32), ("DevId", ctypes.c_int32), ("HVAType", ctypes.c_uint32),
                ("UseFiber", ctypes.c_uint32), ("UseCL", ctypes.c_uint32), ("BurstMode", ctypes.c_uint32),
                ("FiberMode", ctypes.c_uint32), ("ActCount", ctypes.c_uint32), ("MaxVoltage", ctypes.c_uint32),
                ("VoltageLimit", ctypes.c_uint32), ("MappingFile", ctypes.c_char * KRV_MAX_PATH),
                ("InactiveActuators", ctypes.c_uint32 * MAX_DM_SIZE),
                ("ProfilesPath", ctypes.c_char * KRV_MAX_PATH), ("MapsPath", ctypes.c_char * KRV_MAX_PATH),
                ("CalibrationsPath", ctypes.c_char * KRV_MAX_PATH),
                ("CalibrationFile", ctypes.c_char * KRV_MAX_PATH), ("SerialNumber", ctypes.c_char * 12),
                ("Driver", DM_DRIVER), ("State", ctypes.c_void_p), ("ActCountWidth", ctypes.c_uint32),
                ("Layout", ctypes.c_uint32), ("DriverCount", ctypes.c_uint32),
                ("ExtraDrivers", ctypes.POINTER(DM_DRIVER))]


def main():
    lib = ctypes.CDLL(sys.argv[1])
    lib.KRVErrorString.restype = ctypes.c_char_p
    lib.KRVVersionString.restype = ctypes.c_char_p
    assert ctypes.sizeof(DM) == 17816, ctypes.sizeof(DM)
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(tmp, "PYCTYPES140.dm"), "wb") as f:
            for line in ["type=2", "size=140", "maxv=100", "vlim=100"]:
                f.write(bytes(b ^ 0xA7 for b in line.encode()) + b"\n")
        dm = DM()
        for setter in (lib.KRVSetProfilesPath, lib.KRVSetMapsPath, lib.KRVSetCalibrationsPath):
            assert setter(ctypes.byref(dm), tmp.encode()) == 0
        rc = lib.KRVOpen(ctypes.byref(dm), b"PYCTYPES140")
        print("KRVOpen", rc, lib.KRVErrorString(rc).decode())
        assert rc == 0 and dm.ActCount == 140 and dm.ActCountWidth == 12
        frame = (ctypes.c_double * 140)(*[i / 139 for i in range(140)])
        assert lib.KRVSetArray(ctypes.byref(dm), frame, None) == 0
        back = (ctypes.c_double * 140)()
        assert lib.KRVGetArray(ctypes.byref(dm), back, 140) == 0
        assert all(abs(a - b) <= 1 / 65535 for a, b in zip(frame, back)), "read-back differs"
        assert lib.KRVClearArray(ctypes.byref(dm)) == 0
        assert lib.KRVGetArray(ctypes.byref(dm), back, 140) == 0 and max(back) == 0.0
        assert lib.KRVClose(ctypes.byref(dm)) == 0 and not dm.State
        assert lib.KRVVersionString() == b"4.2.1"
    print("ctypes client: ok")


if __name__ == "__main__":
    main()
