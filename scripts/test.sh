#!/usr/bin/env bash
# The test command: installs what is needed (Debian, as root), builds the Linux,
# the sanitizer and both Windows presets, and runs their suites: natively (the
# fault, contention and soak runs among them, label "faults"), with
# AddressSanitizer and UBSan, and as Windows programs under wine with a prefix
# made inside each build tree (64-bit everywhere, 32-bit too where the kernel
# starts 32-bit programs); then each fuzz target for a bounded time.
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

# The Windows suites: the whole suite as 64-bit programs on every machine, and
# the same suite again as 32-bit programs where the kernel starts them (a kernel
# without 32-bit support cannot; the 32-bit preset is still built there, its
# programs listed and the release package made from it). VELKO_WINDOWS_SUITES
# chooses the suites ("x86_64 i686" by default): on a machine that runs 32-bit
# programs, VELKO_WINDOWS_SUITES=x86_64 rehearses the path of one that does not.
windows_suites=${VELKO_WINDOWS_SUITES:-x86_64 i686}
for suite in $windows_suites; do
  case $suite in
    x86_64 | i686) ;;
    *) echo "VELKO_WINDOWS_SUITES: unknown suite '$suite' (x86_64, i686)" >&2; exit 2 ;;
  esac
done
no_32bit_reason=
if ! probe=$(/lib/ld-linux.so.2 --version 2>&1 >/dev/null); then
  no_32bit_reason="this kernel starts no 32-bit programs (/lib/ld-linux.so.2: ${probe##*: })"
fi

# Whole presets, never a hand-kept list of targets: a test added to the tree is
# built wherever its suite is.
presets="linux linux-asan mingw-i686"
case " $windows_suites " in *" x86_64 "*) presets="$presets mingw-x86_64" ;; esac
for preset in $presets; do
  step "configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

status=0
passed=0
failed=0

# The release package first: the suites read it back as the host does.
step "release package"
cmake --build --preset mingw-i686 --target package || status=1
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

# What the suites may leave in the checkout: nothing (tests write below a
# temporary folder of their own).
checkout_state() { git status --porcelain --untracked-files=all 2>/dev/null || true; }
checkout_before=$(checkout_state)

# A suite runs only when every program its tests name was built.
run_suite() {
  local preset=$1
  step "tests: $preset"
  if ! python3 scripts/check_test_programs.py "build/$preset"; then
    failed=$((failed + 1))
    return 1
  fi
  run_ctest --preset "$preset" -j "$(nproc)"
}

not_run=()
for preset in linux linux-asan; do
  run_suite "$preset" || status=1
done
for suite in $windows_suites; do
  preset=mingw-$suite
  if [ "$suite" = i686 ] && [ -n "$no_32bit_reason" ]; then
    step "tests: $preset not run"
    echo "not run: $no_32bit_reason; built, with these tests:"
    ctest --test-dir "build/$preset" --show-only 2>/dev/null | grep -E '^ *Test +#' || true
    python3 scripts/check_test_programs.py "build/$preset" || status=1
    not_run+=("$preset ($no_32bit_reason)")
    continue
  fi
  run_suite "$preset" || status=1
done

checkout_after=$(checkout_state)
if [ "$checkout_after" != "$checkout_before" ]; then
  echo "the tests left files in the checkout:" >&2
  diff <(echo "$checkout_before") <(echo "$checkout_after") | grep '^>' >&2 || true
  status=1
fi

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
for suite in "${not_run[@]}"; do echo "suite not run here: $suite"; done
exit $status
