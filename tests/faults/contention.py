#!/usr/bin/env python3
"""Several tills on one register: PROCESSES `velko session` processes, each
running OPERATIONS sales on cash register 1 against one emulator. Every
operation ends with 0 or 4501 (the numerator busy), the approved receipt
numbers are distinct, and the numerator advanced by exactly the operations
that got the lock.

usage: contention.py VELKO [--processes N] [--operations N] [--short N] [--runner WINE-RUN]
  Each count: the option, else VELKO_CONTENTION_PROCESSES or
  VELKO_CONTENTION_OPERATIONS, else (operations) --short, the test command's
  shorter run, else the full run of 4 x 200.
"""
import json
import subprocess
import sys
import time

from velko_harness import (RESULT_NUMERATOR_BUSY, DataFolder, Emulator, call, check, count_option, program,
                           read_journal, session_lines, use_runner, warm_up)


def main(argv):
    use_runner(argv)
    velko = argv[1]
    warm_up(velko)
    processes = count_option(argv, "--processes", "VELKO_CONTENTION_PROCESSES", 4)
    operations = count_option(argv, "--operations", "VELKO_CONTENTION_OPERATIONS", 200)
    data = DataFolder("velko-contention-")
    try:
        start = 1000
        data.seed_numerator(start)
        # Each sale holds the numerator a little longer than the exchange
        # alone would, so that the tills really queue and some give up (4501).
        with Emulator(velko, data.path, [{"op": "PUR", "times": 0, "action": "answer", "delay_ms": 20}]) as emu:
            tills = [subprocess.Popen(program(velko, "session"), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, env=data.env)
                     for _ in range(processes)]
            # Every till opens the device first (its pinpad test takes the
            # numerator too), then all of them sell at once.
            opens = 0
            for till in tills:
                for line in session_lines(emu.port, [], timeout_s=10).splitlines():
                    till.stdin.write(line + "\n")
                    till.stdin.flush()
                    answer = json.loads(till.stdout.readline())
                opens += 1
                check(answer.get("return") is True, "Open failed: %s" % answer)
            sales = "".join(json.dumps(call("PUR")) + "\n" for _ in range(operations))
            began = time.monotonic()
            for till in tills:
                till.stdin.write(sales)
                till.stdin.close()
            outputs = []
            for till in tills:
                out = till.stdout.read()
                till.wait(timeout=600)
                check(till.returncode == 0, "a till exited %d: %s" % (till.returncode, till.stderr.read()))
                outputs.append([json.loads(l) for l in out.splitlines()])
            elapsed = time.monotonic() - began

            results, receipts, locked = {}, [], opens
            for answers in outputs:
                check(len(answers) == operations, "a till answered %d lines" % len(answers))
                for a in answers:
                    code = 0 if a.get("return") is True else a.get("lastError", {}).get("code")
                    results[code] = results.get(code, 0) + 1
                    if code == 0:
                        receipts.append(a["params"][3])
                    if code != RESULT_NUMERATOR_BUSY:
                        locked += 1
            check(set(results) <= {0, RESULT_NUMERATOR_BUSY},
                  "operations ended with other codes than 0 and 4501: %s" % results)
            check(len(receipts) == len(set(receipts)), "an approved receipt number was handed out twice")
            nxt, void, _ = data.numerator()
            check(void == 0, "the numerator names receipt %d to void after clean sales" % void)
            check(nxt == start + locked, "the numerator moved from %d to %d, but %d operations got the lock"
                  % (start, nxt, locked))
            latest, transactions = read_journal(emu.journal)
            check(len(transactions) == len(receipts),
                  "the bank recorded %d transactions, the tills were told of %d" % (len(transactions), len(receipts)))
            check(sorted(int(r) for r in receipts) == sorted(latest),
                  "the receipts the tills were given differ from those the bank recorded")
        print("contention: %d processes x %d sales in %.1fs: %s; numerator %d -> %d"
              % (processes, operations, elapsed, results, start, nxt))
        return 0
    finally:
        data.remove()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
