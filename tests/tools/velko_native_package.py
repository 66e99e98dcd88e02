#!/usr/bin/env python3
"""`velko call --native` given the package zip, as a person gets it: velko
reads MANIFEST.XML, unpacks the module for this system into a temporary
folder of its own, and removes it again; a package without a module for this
system gets one line saying which file to unpack.

Packages as the release makes them are read too: Info-ZIP's `zip` gives every
local header an extra field (Python's zipfile writes none), and so does the
release package where it was built. Crafted packages each get one line and
exit status 2, within bounded memory and time.

Usage: velko_native_package.py VELKO MODULE MANIFEST RELEASE_PACKAGE [--sanitized]
(RELEASE_PACKAGE need not exist; --sanitized: velko runs under AddressSanitizer,
which reserves more address space than any limit on it would allow)."""
import json
import os
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import zipfile
import zlib

MANIFEST = """<?xml version="1.0" encoding="UTF-8"?>
<bundle xmlns="http://v8.1c.ru/8.2/addin/bundle">
{}
</bundle>
"""
WINDOWS = '  <component os="Windows" path="a_velko1c83_native_win64.dll" type="native" arch="x86_64"/>'
LINUX = '  <component os="Linux" path="a_velko1c83_native_lin64.so" type="native" arch="x86_64"/>'
LINUX_MODULE = "a_velko1c83_native_lin64.so"

# Generous bounds for one `velko call` on a crafted package: a reader that
# inflates everything a zip declares, or recurses per character, ends far beyond.
TIMEOUT = 60
ADDRESS_SPACE = 768 << 20
PEAK_RSS_KB = 256 << 10


def make_package(path, module, components):
    with zipfile.ZipFile(path, "w") as package:
        # The manifest stored as it is, the module deflated: both ways a zip holds files.
        package.writestr(zipfile.ZipInfo("MANIFEST.XML"), MANIFEST.format("\n".join(components)),
                         compress_type=zipfile.ZIP_STORED)
        package.write(module, LINUX_MODULE, compress_type=zipfile.ZIP_DEFLATED)


def deflate(chunks):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return b"".join(packer.compress(chunk) for chunk in chunks) + packer.flush()


def entry(name, data, **fields):
    """One zip entry, deflated; `fields` overrides what the headers say
    (size, crc, packed bytes, local_extra, offset)."""
    return dict(dict(name=name, packed=deflate([data]), crc=zlib.crc32(data), size=len(data)), **fields)


def zip_bytes(entries, directory_offset=None):
    """A zip written field by field, so that a header can say what a test likes."""
    local, central = b"", b""
    for e in entries:
        name, extra = e["name"].encode(), e.get("local_extra", b"")
        offset = e.get("offset", len(local))
        local += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0x5C21, e["crc"], len(e["packed"]),
                             e["size"], len(name), len(extra)) + name + extra + e["packed"]
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0x5C21, e["crc"],
                               len(e["packed"]), e["size"], len(name), 0, 0, 0, 0, 0, offset) + name
    start = len(local) if directory_offset is None else directory_offset
    return local + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries),
                                         len(central), start, 0)


def first_local_extra(path):
    with open(path, "rb") as f:
        header = f.read(30)
    return struct.unpack("<H", header[28:30])[0]


def run_measured(command, env, sanitized):
    """Runs velko under an address-space limit (not under AddressSanitizer),
    killed after TIMEOUT; returns (exit status, stdout, stderr, its own peak
    resident kB, whether it was killed)."""
    def limit():
        if not sanitized:
            resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(command, stdout=out, stderr=err, env=env, preexec_fn=limit)
        killed = []
        timer = threading.Timer(TIMEOUT, lambda: (killed.append(True), proc.kill()))
        timer.start()
        try:
            _, status, usage = os.wait4(proc.pid, 0)  # the child's own rusage, unlike RUSAGE_CHILDREN
        finally:
            timer.cancel()
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return (proc.returncode, out.read().decode(), err.read().decode(errors="replace"), usage.ru_maxrss,
                bool(killed))


def crafted_packages(work):
    """(what, zip file, a text its one line of error must hold). Each is
    refused before its module would load, so the module is any bytes."""
    so = os.urandom(16384)
    manifest = entry("MANIFEST.XML", MANIFEST.format(LINUX).encode())
    zero = bytes(1 << 20)
    rows = [
        ("an attribute value that never closes",
         zip_bytes([entry("MANIFEST.XML", b'<component os="' + b"a" * 40000)]), "names no module"),
        ("20,000 elements never closed", zip_bytes([entry("MANIFEST.XML", b"<component " * 20000)]),
         "names no module"),
        ("200,000 elements never closed, past the manifest's cap",
         zip_bytes([entry("MANIFEST.XML", b"<component " * 200000)]), "MANIFEST.XML declares"),
        ("16 bytes declared, 512 MiB inflated",
         zip_bytes([manifest, dict(name=LINUX_MODULE, packed=deflate([zero] * 512), crc=0, size=16)]),
         "more than the 16 bytes it declares"),
        ("4 GiB declared", zip_bytes([manifest, entry(LINUX_MODULE, so, size=0xFFFFFFFF)]), "declares 4294967295"),
        ("deflate data cut short",
         zip_bytes([manifest, entry(LINUX_MODULE, so, packed=deflate([so])[:1000])]), "ends early"),
        ("a local header offset that wraps a 32-bit sum",
         zip_bytes([manifest, entry(LINUX_MODULE, so, offset=0xFFFFFFF0)]), "damaged entry"),
        ("a central directory beyond the end", zip_bytes([manifest], directory_offset=0xFFFFFFFE),
         "damaged central directory"),
    ]
    files = []
    for number, (what, data, expected) in enumerate(rows):
        path = os.path.join(work, f"crafted{number}.zip")
        with open(path, "wb") as f:
            f.write(data)
        files.append((what, path, expected))
    # Larger than any package: refused before it is read (sparse, so it costs no disk).
    huge = os.path.join(work, "huge.zip")
    with open(huge, "wb") as f:
        f.write(zip_bytes([manifest]))
        f.truncate(100 << 20)
    files.append(("a 100 MiB file", huge, "larger than 64 MiB"))
    return files


def release_like_packages(work, module, manifest, release):
    """(what, zip file) of packages whose local headers carry extra fields."""
    packages = []
    # Python's zipfile writes no extra field; this one has it in the local header only.
    with open(module, "rb") as f:
        so = f.read()
    handmade = os.path.join(work, "local_extra.zip")
    with open(handmade, "wb") as f:
        timestamp = b"\x55\x54\x09\x00\x03" + struct.pack("<II", 1767225600, 1767225600)
        f.write(zip_bytes([entry("MANIFEST.XML", MANIFEST.format(LINUX).encode(), local_extra=timestamp),
                           entry(LINUX_MODULE, so, local_extra=timestamp + b"\x75\x78\x0b\x00" + bytes(11))]))
    packages.append(("a local header with an extra field", handmade))
    if shutil.which("zip"):
        folder = os.path.join(work, "info-zip")
        os.mkdir(folder)
        shutil.copy(manifest, os.path.join(folder, "MANIFEST.XML"))
        shutil.copy(module, os.path.join(folder, LINUX_MODULE))
        infozip = os.path.join(work, "info-zip.zip")
        subprocess.run(["zip", "-q", infozip, "MANIFEST.XML", LINUX_MODULE], cwd=folder, check=True)
        assert first_local_extra(infozip) > 0, "zip wrote no extra field: the row tests nothing"
        packages.append(("made by Info-ZIP zip, as the release package is", infozip))
    else:
        print("note: no Info-ZIP zip here; the hand-made extra field stands in for it")
    if os.path.exists(release):
        assert first_local_extra(release) > 0, f"{release} has no extra field"
        packages.append(("the release package", release))
    else:
        print(f"note: {release} is not built here (the mingw-i686 package target makes it)")
    return packages


def main(velko, module, manifest, release, sanitized):
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

        for what, path in release_like_packages(work, module, manifest, release):
            row_env = env
            if sanitized and path == release:
                # The release module carries a C++ runtime of its own, whose
                # never-freed exception pool LeakSanitizer reports once it is unloaded.
                options = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
                row_env = dict(env, ASAN_OPTIONS=options)
            proc = subprocess.run([velko, "call", "--native", path, "GetVersion"], capture_output=True,
                                  text=True, timeout=60, env=row_env)
            assert proc.returncode == 0, (what, proc)
            assert json.loads(proc.stdout)["return"] == "1.1.1.4", (what, proc.stdout)

        for what, path, expected in crafted_packages(work):
            code, out, err, peak_kb, killed = run_measured([velko, "call", "--native", path, "GetVersion"], env,
                                                           sanitized)
            assert not killed, (what, f"ran past {TIMEOUT} s")
            lines = err.strip().splitlines()
            assert code == 2 and out == "", (what, code, out, err[-2000:])
            assert len(lines) == 1 and expected in lines[0], (what, expected, err[-2000:])
            assert peak_kb < PEAK_RSS_KB, (what, f"{peak_kb} kB resident at the peak")
            assert os.listdir(scratch) == [], (what, os.listdir(scratch))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    arguments = [a for a in sys.argv[1:] if a not in ("--sanitized", "")]  # cmake may pass an empty one
    main(*arguments, sanitized="--sanitized" in sys.argv[1:])
