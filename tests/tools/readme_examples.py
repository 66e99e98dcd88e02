#!/usr/bin/env python3
"""The README's "A cashier's day by hand" and the install guide's trial, each
run as written there twice in a row in one data folder against one emulator:
the second run must take its own numbers and end with the same settlement.

README: the emulator line and every `$velko call` line of its shell blocks, in
order, each through bash with the README's own `export` and `velko=` lines.
Guide: every `velko.exe call` line of its trial. Only where the text points at
a machine location, or asks the reader to fill in, is it changed: the built
velko in place of build/linux/tools/velko/velko and velko.exe (without --com,
which needs the registered DLL: velko's own copy of the driver answers the
same way), a private folder in place of /tmp and C:\\velko-trial, and
<receipt>, <reference> and <auth code> replaced by positions 3, 4 and 5 of the
payment just made, as the reader is told to. The port is the one thing more: the
texts' ports (16500, 16599) may be taken by an emulator the reader runs, or by
another checkout's suite, so the emulator listens on a free one, and that port
is written in place of the text's wherever a command names it, and given with
`--set ServerPort=` to the calls that rely on the default 16500."""
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

README_VELKO = "build/linux/tools/velko/velko"
# The settlement after a payment, its partial refund and a second payment cancelled.
SETTLED = ["ВОЗВРАТОВ: 1  НА СУММУ 40,50", "ОТМЕН: 1", "ИТОГО: 59,50"]


def blocks(readme, heading):
    section = readme.split("\n## " + heading, 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```sh\n(.*?)```", section, re.S)


DEFAULT_PORT = 16500


def start_emulator(args, text_port, env=None):
    """The emulator of the text on a free port in place of text_port; returns
    the process and the port it listens on."""
    listen = "127.0.0.1:%d" % text_port
    assert any(listen in a for a in args), (listen, args)
    args = [a.replace(listen, "127.0.0.1:0") for a in args]
    emu = subprocess.Popen(args, stdout=subprocess.PIPE, text=True, env=env)
    first = emu.stdout.readline()
    match = re.match(r"listening on 127\.0\.0\.1:(\d+)$", first.strip())
    if not match:
        emu.kill()
        emu.wait(timeout=10)
        raise AssertionError("the emulator did not say where it listens: %r" % first)
    return emu, int(match.group(1))


def on_port(call, text_port, port):
    """A call of the text pointed at the emulator's port: the text's port
    replaced where the call names it, given where it relies on the default."""
    call = call.replace("ServerPort=%d" % text_port, "ServerPort=%d" % port)
    if "ServerPort=" not in call:
        assert text_port == DEFAULT_PORT, call
        call = re.sub(r"\bcall\b", "call --set ServerPort=%d" % port, call, count=1)
    return call


def fill_in(line, payment):
    """The placeholders the reader fills in from the payment just made."""
    for name, position in (("<receipt>", 3), ("<reference>", 4), ("<auth code>", 5)):
        if name in line:
            assert payment, "%s before any payment: %s" % (name, line)
            line = line.replace(name, payment[position])
    return line


def run_day(calls, run_call):
    """Runs the calls in order; returns the settlement's slip. Every call
    answers true; a cancellation asks for the receipt number of the payment
    just made, on standard input."""
    payment = None
    payments = []
    result = None
    for call in calls:
        stdin = payment[3] + "\n" if payment and "Отменить" in call else ""
        proc = run_call(fill_in(call, payment), stdin)
        assert proc.returncode == 0, (call, proc.returncode, proc.stdout, proc.stderr)
        result = json.loads(proc.stdout)
        assert result["return"] is True and result["lastError"]["code"] == 0, (call, result)
        if "ОплатитьПлатежнойКартой" in call or "PayByPaymentCard" in call:
            payment = result["params"]
            pan, receipt, reference, auth = payment[1], payment[3], payment[4], payment[5]
            assert len(pan) >= 13 and pan[:-4] == "*" * (len(pan) - 4), result
            assert len(receipt) == 10 and receipt.isdigit() and reference and auth, result
            payments.append(receipt)
    assert "ИтогиДняПоКартам" in calls[-1] or "Settelment" in calls[-1], calls[-1]
    return payments, result["params"][1]


def check_days(name, run_once):
    seen = set()
    for day in (1, 2):
        payments, slip = run_once()
        assert not seen.intersection(payments), "%s, run %d: numbers of the first run again" % (name, day)
        seen.update(payments)
        for line in SETTLED:
            assert line in slip, "%s, run %d: no %r in the settlement:\n%s" % (name, day, line, slip)


def readme_day(velko, readme, scratch):
    emulator_block, calls_block = blocks(readme, "A cashier's day by hand")[:2]
    # The README's /tmp/ becomes the private folder first, then its binary
    # path the built one (which may itself lie below /tmp/).
    local = lambda line: line.replace("/tmp/", scratch + "/").replace(README_VELKO, velko)
    emulator_line = local(emulator_block.strip())
    text_port = int(re.search(r"--listen 127\.0\.0\.1:(\d+)", emulator_line).group(1))

    lines = [l for l in calls_block.splitlines() if l.strip() and not l.lstrip().startswith("#")]
    prelude = [local(l) for l in lines if l.startswith("export ") or l.startswith("velko=")]
    calls = [l for l in lines if l.startswith("$velko call")]
    assert len(calls) >= 6, calls

    emu, port = start_emulator(["bash", "-c", "exec " + emulator_line], text_port)

    def run_call(call, stdin):
        return subprocess.run(["bash", "-c", "\n".join(prelude + [on_port(call, text_port, port)])], input=stdin,
                              capture_output=True, text=True, timeout=60)

    try:
        check_days("README", lambda: run_day(calls, run_call))
    finally:
        emu.terminate()
        emu.wait(timeout=10)
    return len(calls)


def guide_trial(velko, guide, scratch):
    section = guide.split("\n## A trial day without a terminal", 1)[1].split("\n## ", 1)[0]
    listen = re.search(r"velko\.exe emulator --listen 127\.0\.0\.1:(\d+)", section)
    text_port = int(listen.group(1))
    calls = [l.strip() for l in section.splitlines() if l.strip().startswith("velko.exe call")]
    assert len(calls) >= 5, calls
    assert all("--set ServerPort=%d" % text_port in c for c in calls), calls
    data = os.path.join(scratch, "velko-trial")
    os.makedirs(data)
    env = dict(os.environ, VELKO_COMMON_APPDATA=data)
    emulator_args = [velko] + shlex.split(listen.group(0))[1:]
    emu, port = start_emulator(emulator_args, text_port, env)

    def run_call(call, stdin):
        args = [a for a in shlex.split(on_port(call, text_port, port))[1:] if a != "--com"]
        return subprocess.run([velko] + args, input=stdin, capture_output=True, text=True, timeout=60, env=env)

    try:
        check_days("guide", lambda: run_day(calls, run_call))
    finally:
        emu.terminate()
        emu.wait(timeout=10)
    return len(calls)


def main(velko, readme_path, guide_path):
    with open(readme_path, encoding="utf-8") as f:
        readme = f.read()
    with open(guide_path, encoding="utf-8") as f:
        guide = f.read()
    scratch = tempfile.mkdtemp(prefix="velko-readme-")
    try:
        n = readme_day(velko, readme, scratch)
        m = guide_trial(velko, guide, scratch)
        print("README day (%d calls) and guide trial (%d calls): twice each, all true, settled alike" % (n, m))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3])
