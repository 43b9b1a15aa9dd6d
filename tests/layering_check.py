#!/usr/bin/python3
"""The kit's layers, checked on the source tree and on the built binaries.

  layering_check.py --source DIR --cxx COMPILER [--production NAME=FILE ...] [--application NAME=FILE ...]
                    --openloop FILE

Fails when
- a file under core/ includes a header of pcie/, usb/ or openloop/;
- a program or binding (krvctl, _krv, the LabVIEW and MATLAB libraries, ShapeDesk, mirrorkit-server, the
  remote client library) includes an internal header,
  links krv_core (a static copy of the core shows as the core's own functions defined inside it), or
  needs a library other than the kit's shared ones for the core;
- a program carries the protocol's generated code (mirrorkit::v1) and also needs libKRV_Remote;
- a production binary carries emulator code or needs a test library;
- the open-loop library needs a back end's symbol;
- an internal header compiles without KRV_INTERNAL.
Violations listed in PENDING are known and being removed; they are reported, not failed, and a pending entry that
no longer occurs is reported so that it can be dropped.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

# (target, rule) pairs known to be open; none at present.
PENDING = set()

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
SOURCE_EXT = (".c", ".cpp", ".h", ".hpp", ".i")
# Symbols that only a static copy of the core defines.
CORE_FUNCTIONS = re.compile(r"\bMirrorKit::(read_profile|findModel|modelTable|KRVOpenCommon|createDMState|"
                            r"Log::configure)\(")
EMULATOR_CODE = re.compile(r"\bMirrorKit::(Emu|emu)::")
TEST_LIBRARIES = re.compile(r"libgtest|libgmock|libbenchmark|libumockdev|usb_fake_hostdrv|standin|krv_testsupport")


def sources(root):
    for base, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d != "tests" and not d.startswith(".")]
        for f in files:
            if f.endswith(SOURCE_EXT):
                yield os.path.join(base, f)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return INCLUDE.findall(f.read())


def header_names(root):
    names = set()
    for path in sources(root):
        if path.endswith((".h", ".hpp")):
            names.add(os.path.basename(path))
    return names


def run(cmd):
    return subprocess.run(cmd, capture_output=True, text=True, check=False)


def defined_symbols(path):
    out = run(["nm", "-C", "--defined-only", path]).stdout
    if not out:
        out = run(["nm", "-C", "-D", "--defined-only", path]).stdout
    return out


def needed(path):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run(["readelf", "-d", path]).stdout)


def pairs(values):
    out = []
    for v in values or []:
        name, _, path = v.partition("=")
        out.append((name, path))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--cxx", required=True)
    ap.add_argument("--production", action="append")
    ap.add_argument("--application", action="append")
    ap.add_argument("--openloop", required=True)
    args = ap.parse_args()
    src = args.source
    found = set()
    failures = []

    def violation(target, rule, detail):
        found.add((target, rule))
        if (target, rule) in PENDING:
            print(f"pending: {target}: {rule}: {detail}")
        else:
            failures.append(f"{target}: {rule}: {detail}")

    # The core includes nothing of the layers above it.
    above = set()
    for part in ("pcie", "usb", "openloop"):
        above |= header_names(os.path.join(src, part))
    for path in sources(os.path.join(src, "core")):
        for inc in includes(path):
            if os.path.basename(inc) in above or re.match(r"(pcie|usb|openloop)/", inc):
                violation("core", "includes a back-end or open-loop header", f"{os.path.relpath(path, src)}: {inc}")

    # Programs and bindings include public headers only.
    internal = {"krv/" + n for n in header_names(os.path.join(src, "core", "internal", "krv"))}
    app_dirs = {"krvctl": "tools/krvctl", "_krv": "bindings/python", "labview_matlab": "bindings/labview_matlab",
                "ShapeDesk": "shapedesk", "mirrorkit-server": "server", "KRV_Remote": "remote"}
    for name, folder in app_dirs.items():
        for path in sources(os.path.join(src, folder)):
            for inc in includes(path):
                if inc in internal:
                    violation(name, "includes an internal header", f"{os.path.relpath(path, src)}: {inc}")

    for name, path in pairs(args.application):
        symbols = defined_symbols(path)
        m = CORE_FUNCTIONS.search(symbols)
        if m:
            violation(name, "links a static copy of the core", m.group(0))
        if not any(lib.startswith("libKRV4.so") for lib in needed(path)):
            violation(name, "does not use the core library libKRV4.so", ", ".join(needed(path)))

    # The protocol's generated code is registered once per process: a program that carries its own copy (the
    # server) cannot also load the client library's.
    for name, path in pairs(args.application):
        if any(lib.startswith("libKRV_Remote.so") for lib in needed(path)):
            m = re.search(r"mirrorkit::v1::\w+", defined_symbols(path))
            if m:
                violation(name, "carries the protocol's code and also loads libKRV_Remote", m.group(0))

    for name, path in pairs(args.production) + pairs(args.application):
        m = EMULATOR_CODE.search(defined_symbols(path))
        if m:
            violation(name, "emulator code", m.group(0))
        for lib in needed(path):
            if TEST_LIBRARIES.search(lib):
                violation(name, "needs a test library", lib)

    undefined = run(["nm", "-D", "--undefined-only", args.openloop]).stdout
    for sym in re.findall(r"\b(KRV_PCIe\w+|KRV_USB\w+)\b", undefined):
        violation("KRV_OpenLoop4", "needs a back-end symbol", sym)

    # An internal header refuses to compile without KRV_INTERNAL, and compiles with it.
    with tempfile.TemporaryDirectory() as tmp:
        probe = os.path.join(tmp, "probe.cpp")
        with open(probe, "w") as f:
            f.write('#include "krv/DMState.h"\nint main() { return 0; }\n')
        base = [args.cxx, "-std=c++17", "-fsyntax-only", "-I", os.path.join(src, "core", "include"),
                "-I", os.path.join(src, "core", "internal"), probe]
        without = run(base)
        if without.returncode == 0 or "include <KRV.h> instead" not in without.stderr:
            failures.append("core: an internal header compiles without KRV_INTERNAL")
        if run(base + ["-DKRV_INTERNAL"]).returncode != 0:
            failures.append("core: the internal-header probe does not compile even with KRV_INTERNAL")

    for entry in sorted(PENDING - found):
        print(f"pending entry no longer occurs, drop it from PENDING: {entry}")
    for f in failures:
        print("LAYERING:", f)
    checked = len(pairs(args.production)) + len(pairs(args.application))
    print(f"{checked} binaries and the source tree checked; {len(failures)} violation(s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
