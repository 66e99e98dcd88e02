#!/usr/bin/env python3
"""The README's "A cashier's day by hand" run as written there: the emulator
line and every `$velko call` line of its shell blocks, in order, each through
bash with the README's own `export` and `velko=` lines. Only where the README
points at a machine location is it moved: the built velko in place of
build/linux/tools/velko/velko, a private folder in place of /tmp. The port is
the README's (the driver's default, 16500)."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

README_VELKO = "build/linux/tools/velko/velko"


def blocks(readme, heading):
    section = readme.split("\n## " + heading, 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```sh\n(.*?)```", section, re.S)


def port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def main(velko, readme_path):
    with open(readme_path, encoding="utf-8") as f:
        readme = f.read()
    emulator_block, calls_block = blocks(readme, "A cashier's day by hand")[:2]
    scratch = tempfile.mkdtemp(prefix="velko-readme-")
    # The README's /tmp/ becomes the private folder first, then its binary
    # path the built one (which may itself lie below /tmp/).
    local = lambda line: line.replace("/tmp/", scratch + "/").replace(README_VELKO, velko)

    emulator_line = local(emulator_block.strip())
    port = int(re.search(r"--listen 127\.0\.0\.1:(\d+)", emulator_line).group(1))
    deadline = time.monotonic() + 60
    while not port_free(port):
        assert time.monotonic() < deadline, "port %d stays busy; the README's example needs it" % port
        time.sleep(1)

    lines = [l for l in calls_block.splitlines() if l.strip() and not l.lstrip().startswith("#")]
    prelude = [local(l) for l in lines if l.startswith("export ") or l.startswith("velko=")]
    calls = [l for l in lines if l.startswith("$velko call")]
    assert len(calls) >= 5, calls

    emu = subprocess.Popen(["bash", "-c", "exec " + emulator_line], stdout=subprocess.PIPE, text=True)
    try:
        assert emu.stdout.readline().startswith("listening on 127.0.0.1:%d" % port)
        receipt = None
        for call in calls:
            # The cancellation asks for the receipt number: the payment's params[3].
            stdin = receipt + "\n" if "Отменить" in call else ""
            proc = subprocess.run(["bash", "-c", "\n".join(prelude + [call])], input=stdin,
                                  capture_output=True, text=True, timeout=60)
            assert proc.returncode == 0, (call, proc.returncode, proc.stdout, proc.stderr)
            result = json.loads(proc.stdout)
            assert result["return"] is True and result["lastError"]["code"] == 0, (call, result)
            if "ОплатитьПлатежнойКартой" in call:
                pan, receipt, reference = result["params"][1], result["params"][3], result["params"][4]
                assert len(pan) >= 13 and pan[:-4] == "*" * (len(pan) - 4), result
                assert len(receipt) == 10 and receipt.isdigit() and reference, result
        assert "ИтогиДняПоКартам" in calls[-1] and "--set" in calls[-1]
        assert result["params"][1], "the settlement's slip"
        print("README examples: %d calls as written, all true" % len(calls))
    finally:
        emu.terminate()
        emu.wait(timeout=10)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
