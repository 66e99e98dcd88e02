#!/usr/bin/env bash
# The test command: installs what is needed (Debian, as root), builds the Linux,
# the 32-bit Windows and the sanitizer presets, and runs their suites: natively
# (the fault, contention and soak runs among them, label "faults"), as Windows
# programs under wine with a prefix made inside the build tree, and with
# AddressSanitizer and UBSan; then each fuzz target for a bounded time.
# Exits non-zero on any failure.
#
# The native soak and contention runs are the full ones; VELKO_SOAK_OPERATIONS
# and VELKO_CONTENTION_OPERATIONS set their counts everywhere (the sanitizer and
# wine runs are shorter by default). VELKO_FUZZ_SECONDS sets each fuzz target's time.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n== %s (%s)\n' "$1" "$(date +%H:%M:%S)"; }

if [ "${VELKO_SKIP_INSTALL:-0}" != 1 ]; then
  step "installing build and test dependencies"
  bash scripts/install-deps.sh
fi

# The Windows suite runs as 32-bit programs under wine where this machine can
# start 32-bit programs at all; a kernel without 32-bit support cannot, and
# there the same suite runs as 64-bit programs instead (the 32-bit build is
# still built and packaged).
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  windows_suite=mingw-i686
else
  windows_suite=mingw-x86_64
  echo "note: this kernel runs no 32-bit programs; the Windows suite runs as 64-bit programs" >&2
fi

presets="linux mingw-i686 linux-asan"
[ "$windows_suite" = mingw-x86_64 ] && presets="$presets mingw-x86_64"
for preset in $presets; do
  step "configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

status=0
passed=0
failed=0
# Runs ctest, shows its output, and adds its counts to the totals, read from
# the JUnit report ctest writes (a skipped test counts as passed).
run_ctest() {
  local report
  report=$(mktemp --suffix=.xml)
  ctest "$@" --output-junit "$report" 2>&1
  local rc=$?
  local counts
  counts=$(python3 scripts/junit_counts.py "$report")
  passed=$((passed + ${counts% *}))
  failed=$((failed + ${counts#* }))
  rm -f "$report"
  return "$rc"
}

for preset in linux $windows_suite linux-asan; do
  step "tests: $preset"
  run_ctest --preset "$preset" -j "$(nproc)" || status=1
done

if [ "$windows_suite" = mingw-i686 ]; then
  # The 64-bit DLLs under the real runtimes: the COM host stand-in, the Native
  # host stand-in, the demo through the Native DLL and the import checks (the
  # rest of the suite is the same code as the 32-bit run).
  step "configure and build: mingw-x86_64 (the DLLs and their host tests)"
  cmake --preset mingw-x86_64 >/dev/null
  cmake --build --preset mingw-x86_64 -j "$(nproc)" --target com_host_tests a_velko1c83 \
    native_host_tests a_velko1c83_native velko
  step "tests: mingw-x86_64 (COM, Native)"
  run_ctest --preset mingw-x86_64 -R '^(com_|native_)' || status=1
fi

step "release package"
cmake --build --preset mingw-i686 --target package || status=1

# A short, bounded fuzz run of each libFuzzer target (clang, sanitizers on).
step "fuzz: build"
if cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$(nproc)"; then
  for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    step "fuzz: $(basename "$target")"
    corpus="build/fuzz/corpus/$(basename "$target")"
    mkdir -p "$corpus"
    seeds="fuzz/seeds/$(basename "$target")"
    [ -d "$seeds" ] || seeds=
    "$target" -max_total_time="${VELKO_FUZZ_SECONDS:-24}" -rss_limit_mb=2048 "$corpus" $seeds 2>&1 | tail -n 3 \
      || status=1
  done
else
  status=1
fi

step "done"
echo "tests: $passed passed, $failed failed"
exit $status
