#!/usr/bin/env python3
"""`velko call --native` given the package zip, as a person gets it: velko
reads MANIFEST.XML, unpacks the module for this system into a temporary
folder of its own, and removes it again; a package without a module for this
system gets one line saying which file to unpack."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

MANIFEST = """<?xml version="1.0" encoding="UTF-8"?>
<bundle xmlns="http://v8.1c.ru/8.2/addin/bundle">
{}
</bundle>
"""
WINDOWS = '  <component os="Windows" path="a_velko1c83_native_win64.dll" type="native" arch="x86_64"/>'
LINUX = '  <component os="Linux" path="a_velko1c83_native_lin64.so" type="native" arch="x86_64"/>'


def make_package(path, module, components):
    with zipfile.ZipFile(path, "w") as package:
        # The manifest stored as it is, the module deflated: both ways a zip holds files.
        package.writestr(zipfile.ZipInfo("MANIFEST.XML"), MANIFEST.format("\n".join(components)),
                         compress_type=zipfile.ZIP_STORED)
        package.write(module, "a_velko1c83_native_lin64.so", compress_type=zipfile.ZIP_DEFLATED)


def main(velko, module):
    work = tempfile.mkdtemp(prefix="velko-native-package-test-")
    try:
        scratch = os.path.join(work, "tmp")
        os.mkdir(scratch)
        env = dict(os.environ, VELKO_COMMON_APPDATA=os.path.join(work, "data"), TMPDIR=scratch)

        package = os.path.join(work, "a_velko1c83_native.zip")
        make_package(package, module, [WINDOWS, LINUX])
        proc = subprocess.run([velko, "call", "--native", package, "GetVersion"], capture_output=True,
                              text=True, timeout=60, env=env)
        assert proc.returncode == 0, proc
        assert json.loads(proc.stdout)["return"] == "1.1.1.4", proc.stdout
        # The standard's English name reaches the settlement; a closed device answers false.
        proc = subprocess.run([velko, "call", "--native", package, "Settlement", ""], capture_output=True,
                              text=True, timeout=60, env=env)
        result = json.loads(proc.stdout)
        assert result["method"] == "Settelment" and result["return"] is False, result
        assert result["lastError"]["code"] == 70, result
        assert os.listdir(scratch) == [], os.listdir(scratch)  # the unpacked module is gone

        windows_only = os.path.join(work, "windows_only.zip")
        make_package(windows_only, module, [WINDOWS])
        proc = subprocess.run([velko, "call", "--native", windows_only, "GetVersion"], capture_output=True,
                              text=True, timeout=60, env=env)
        assert proc.returncode == 2, proc
        lines = proc.stderr.strip().splitlines()
        assert len(lines) == 1, proc.stderr
        assert "no module for Linux x86_64" in lines[0] and "unpack" in lines[0], lines[0]
        assert os.listdir(scratch) == [], os.listdir(scratch)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
