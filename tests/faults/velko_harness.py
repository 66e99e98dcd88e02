"""Shared pieces of the fault, contention and soak runs: `velko emulator` and
`velko session` as separate processes, the numerator file and the emulator's
journal and log as the evidence."""
import json
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time

# Financial operations: each is a transaction the bank records by receipt number.
FINANCIAL = {"PUR", "PAY", "REF", "AUT", "CMP", "ACT", "XTR", "XRE"}


def card_data(card):
    """The card data a card reading returns for this card (the emulator's
    token), as the host passes it back to a payment."""
    return "VK1:" + "".join("%02X" % (ord(c) ^ 0x5A) for c in card)


CARD = card_data("4276380012345678")
REFERENCE = "000012345678"  # the reference number of an earlier transaction

# The recorded operations as the host calls them: the method, its parameter
# array, and where the receipt number comes back (None: the host passes it in).
OPERATIONS = {
    "PUR": ("PayByPaymentCard", [None, CARD, 100, None, None, None, None], 3),
    "PAY": ("Payment", [None, CARD, 100, None, None, None, None], 3),
    "REF": ("ReturnPaymantByPaymantCard", [None, CARD, 100, "", REFERENCE, None, None], 3),
    "AUT": ("AuthorizePreSales", [None, CARD, 100, None, None, None, None], 3),
    "CMP": ("AuthorizeCompletion", [None, None, 100, "{AUT}", REFERENCE, "", None], None),
    "ACT": ("GiftCardActivate", [100, None, None, None, None, None], 2),
    "XTR": ("LoyaltySale", [CARD, None, None, None, None, None], 2),
    "XRE": ("LoyaltyRefund", [CARD, 100, None, None, None, None], 2),
}

# How the programs run: natively, or (for the Windows build) through a runner
# such as cmake/wine-run.sh, with the paths handed to them in Windows form.
RUNNER = []


def use_runner(argv):
    """Takes "--runner PATH" out of argv: velko is then a Windows program
    started through that runner (wine)."""
    if "--runner" in argv:
        i = argv.index("--runner")
        RUNNER[:] = [argv[i + 1]]
        del argv[i:i + 2]


def warm_up(velko):
    """Under wine the first process of a cold wineserver may take most of a
    minute to start; one call first keeps that out of the cases' time limits."""
    if RUNNER:
        subprocess.run(program(velko, "call", "GetVersion"), capture_output=True, timeout=300)


def program(velko, *args):
    return RUNNER + [velko] + list(args)


def target_path(path):
    """A path as the program under test names it: under wine, drive Z: is /."""
    return "Z:" + path.replace("/", "\\") if RUNNER else path


RESULT_TIMEOUT = 74
RESULT_NUMERATOR_BUSY = 4501


def count_option(argv, name, env_name, full):
    """A count from the command line, else the environment, else the shorter
    run the test command asks for (--short N), else the full run."""
    if name in argv:
        return int(argv[argv.index(name) + 1])
    if os.environ.get(env_name):
        return int(os.environ[env_name])
    if "--short" in argv and name == "--operations":
        return int(argv[argv.index("--short") + 1])
    return full


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Emulator:
    """`velko emulator` on a free loopback port, with a script, a journal file
    and a log file in the case's folder."""

    def __init__(self, velko, folder, rules=(), journal=None):
        self.folder = folder
        self.journal = journal or os.path.join(folder, "journal.jsonl")
        self.log = os.path.join(folder, "emulator-log.jsonl")
        script = os.path.join(folder, "script-%d.jsonl" % time.monotonic_ns())
        with open(script, "w", encoding="utf-8") as f:
            for rule in rules:
                f.write(json.dumps(rule, ensure_ascii=False) + "\n")
        self.proc = subprocess.Popen(
            program(velko, "emulator", "--listen", "127.0.0.1:0", "--script", target_path(script),
                    "--journal", target_path(self.journal), "--log", target_path(self.log)),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        first = self.proc.stdout.readline().strip()
        check(first.startswith("listening on 127.0.0.1:"), "emulator did not start: %r" % first)
        self.port = int(first.rsplit(":", 1)[1])

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=10)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def log_lines(self):
        if not os.path.exists(self.log):
            return []
        out = []
        with open(self.log, encoding="utf-8", errors="replace") as f:
            for line in f:
                try:
                    out.append(json.loads(line))
                except ValueError:
                    pass
        return out

    def wait_for_request(self, op, count=1, timeout=10.0):
        """Until the log shows `count` requests of operation `op`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            seen = [l for l in self.log_lines() if l.get("direction") == "request" and l.get("operation") == op]
            if len(seen) >= count:
                return
            time.sleep(0.02)
        raise Failure("the emulator never saw %d %s request(s)" % (count, op))


def read_journal(path):
    """The journal's entries by receipt, the latest line of each winning, and
    every distinct transaction written (receipt, op, rrn)."""
    latest, transactions = {}, set()
    if not os.path.exists(path):
        return latest, transactions
    with open(path, encoding="utf-8") as f:
        for line in f:
            try:
                j = json.loads(line)
            except ValueError:
                continue
            if "receipt" not in j:
                continue
            latest[j["receipt"]] = j
            transactions.add((j["receipt"], j["op"], j.get("rrn", "")))
    return latest, transactions


class DataFolder:
    """A temporary VELKO_COMMON_APPDATA with the numerator of register 1."""

    def __init__(self, prefix="velko-faults-"):
        self.path = tempfile.mkdtemp(prefix=prefix)
        self.env = dict(os.environ, VELKO_COMMON_APPDATA=target_path(self.path))

    def numerator_path(self, ecr=1):
        return os.path.join(self.path, "velko32", "ECR%d" % ecr)

    def numerator(self, ecr=1):
        """(next receipt, receipt to void, the bytes after the record)."""
        with open(self.numerator_path(ecr), "rb") as f:
            data = f.read()
        check(len(data) >= 8, "the numerator file holds %d bytes, fewer than 8" % len(data))
        nxt, void = struct.unpack("<II", data[:8])
        return nxt, void, data[8:]

    def seed_numerator(self, nxt, void=0, tail=b"", ecr=1):
        os.makedirs(os.path.dirname(self.numerator_path(ecr)), exist_ok=True)
        with open(self.numerator_path(ecr), "wb") as f:
            f.write(struct.pack("<II", nxt, void) + tail)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


def session_lines(port, calls, timeout_s=1, extra_settings=()):
    lines = [{"set": "ServerPort", "value": port}, {"set": "AnswerTimeOut", "value": timeout_s}]
    lines += [{"set": k, "value": v} for k, v in extra_settings]
    lines.append({"call": "Open", "params": [None]})
    lines += calls
    return "".join(json.dumps(l, ensure_ascii=False) + "\n" for l in lines)


def run_session(velko, env, port, calls, timeout_s=1, wall=120):
    """Runs the calls in one `velko session`; returns the answers to the calls
    (the settings' and Open's answers are checked and dropped)."""
    stdin = session_lines(port, calls, timeout_s)
    proc = subprocess.run(program(velko, "session"), input=stdin, capture_output=True, text=True,
                          timeout=wall, env=env)
    check(proc.returncode == 0, "velko session exited %d: %s" % (proc.returncode, proc.stderr))
    answers = [json.loads(l) for l in proc.stdout.splitlines()]
    check(len(answers) == 3 + len(calls), "velko session answered %d lines for %d: %s"
          % (len(answers), 3 + len(calls), proc.stdout))
    opened = answers[2]
    check(opened.get("return") is True, "Open failed: %s" % opened)
    return answers[3:]


def start_session(velko, env, port, calls, timeout_s=1):
    """A `velko session` left running (to be killed); stdin is given whole."""
    proc = subprocess.Popen(program(velko, "session"), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    proc.stdin.write(session_lines(port, calls, timeout_s))
    proc.stdin.flush()
    return proc


def call(op, aut_receipt=""):
    method, params, _ = OPERATIONS[op]
    params = [aut_receipt if p == "{AUT}" else p for p in params]
    return {"call": method, "params": params}


def approved_receipt(op, answer):
    """The receipt number the host learnt for an approved operation ("" when
    the method does not hand one back), or None when it was not approved."""
    if answer.get("return") is not True:
        return None
    index = OPERATIONS[op][2] if op in OPERATIONS else None
    return answer["params"][index] if index is not None else ""


def check_invariants(data, emulator_journal, logs, host_approved, numerator_tail=b""):
    """After a case: the numerator is whole, no receipt number served two
    transactions, and every transaction the bank approved is either known to
    the host as approved or cancelled.

    host_approved: list of (op, receipt) the host was told were approved; a
    receipt of "" matches any one transaction of that operation."""
    nxt, void, tail = data.numerator()
    check(tail == numerator_tail, "the numerator's trailing bytes changed: %r" % tail)
    check(void == 0, "the numerator still names receipt %d to void after the follow-up" % void)

    latest, transactions = read_journal(emulator_journal)
    receipts = [r for r, _, _ in transactions]
    check(len(receipts) == len(set(receipts)),
          "a receipt number served two transactions: %s" % sorted(transactions))
    for r in receipts:
        check(r < nxt, "receipt %d was used but the numerator's next is %d" % (r, nxt))

    # Every financial request carries a receipt number never used before,
    # and the bank never had to say "a receipt with that number exists".
    seen = set()
    for line in logs:
        tags = line.get("tags") or []
        if line.get("direction") == "request" and line.get("operation") in FINANCIAL:
            r = receipt_of(tags)
            check(r not in seen, "receipt %s was sent for two financial requests" % r)
            seen.add(r)
        if line.get("direction") == "answer" and not line.get("note"):  # not a scripted answer
            check(response_code(tags) != "B9", "the bank saw a receipt number twice: %s" % tags)

    pending = list(host_approved)
    for receipt, entry in sorted(latest.items()):
        if entry["status"] != "approved" or entry.get("voided") or entry["op"] not in FINANCIAL:
            continue
        match = next((p for p in pending if p[0] == entry["op"] and
                      (p[1] == "" or int(p[1]) == receipt)), None)
        check(match is not None,
              "the bank approved %s receipt %d but the host was not told and it was not voided (host: %s)"
              % (entry["op"], receipt, host_approved))
        pending.remove(match)


def _tag(tags, *codes):
    # The log's tags: [hex code, value] pairs in message order.
    for pair in tags or []:
        if isinstance(pair, list) and len(pair) == 2 and pair[0] in codes:
            return pair[1]
    return None


def receipt_of(tags):
    return _tag(tags, "03", "83")


def response_code(tags):
    return _tag(tags, "9b")
