#!/usr/bin/env python3
"""Checks that every program a ctest test runs was built, before the tests run.

Usage: check_test_programs.py BUILD_DIR

Reads the tests of the build tree from `ctest --show-only=json-v1` and looks at
every path in each test's command that lies inside BUILD_DIR (the test program,
a DLL a check reads, the program handed to a runner). Prints the tests whose
files are missing and exits 1, so that a program left out of the build is
reported as a build fault, not found later as a failing test.
"""
import json
import os
import subprocess
import sys


def missing_files(build_dir, tests):
    build_dir = os.path.realpath(build_dir)
    missing = {}
    for test in tests:
        for argument in test.get("command") or []:
            # `script -qec "runner program args"` carries a whole command in one argument.
            for token in argument.split():
                path = token.split("=", 1)[1] if token.startswith("-D") and "=" in token else token
                if os.path.isabs(path) and os.path.realpath(path).startswith(build_dir + os.sep):
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
    missing = missing_files(build_dir, tests)
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
