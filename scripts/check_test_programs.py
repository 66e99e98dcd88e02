#!/usr/bin/env python3
"""Checks that every program a ctest test runs was built, before the tests run.

Usage: check_test_programs.py BUILD_DIR

Reads the tests of the build tree from `ctest --show-only=json-v1` and looks at
every path in each test's command that the build itself makes (an output that
`ninja -t targets all` lists: the test program, a DLL a check reads, the program
handed to a runner). Prints the tests whose programs are missing and exits 1, so
that a program left out of the build is reported as a build fault, not found
later as a failing test. Other paths (scratch folders, a package made by a
later step) are the test's own business.
"""
import json
import os
import subprocess
import sys


def build_outputs(build_dir):
    listing = subprocess.run(["ninja", "-C", build_dir, "-t", "targets", "all"],
                             check=True, capture_output=True, text=True).stdout
    return {os.path.realpath(os.path.join(build_dir, line.rsplit(": ", 1)[0]))
            for line in listing.splitlines() if ": " in line}


def missing_files(build_dir, tests, outputs):
    build_dir = os.path.realpath(build_dir)
    missing = {}
    for test in tests:
        for argument in test.get("command") or []:
            # `script -qec "runner program args"` carries a whole command in one argument.
            for token in argument.split():
                path = token.split("=", 1)[1] if token.startswith("-D") and "=" in token else token
                if os.path.isabs(path) and os.path.realpath(path) in outputs:
                    if not os.path.exists(path):
                        missing.setdefault(test["name"], []).append(path)
    return missing


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    build_dir = sys.argv[1]
    listing = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    tests = json.loads(listing).get("tests", [])
    missing = missing_files(build_dir, tests, build_outputs(build_dir))
    for name, paths in sorted(missing.items()):
        for path in paths:
            print(f"missing for test {name}: {path}", file=sys.stderr)
    if missing:
        print(f"{build_dir}: {len(missing)} of {len(tests)} tests have no program to run; "
              "the build left them out", file=sys.stderr)
        return 1
    print(f"{build_dir}: the programs of all {len(tests)} tests are built")
    return 0


if __name__ == "__main__":
    sys.exit(main())
