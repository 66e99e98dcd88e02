#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root).
# Safe to run again: apt skips what is already there.
#
# A mirror in the middle of a sync can answer one package index with the wrong
# size; apt-get update then exits non-zero although every package we need may
# still be installable from the other indexes. So the update is retried a few
# times and then we go on: the install itself decides, and names the package it
# could not get.
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive

# With --native-only, only what the Linux build needs (scripts/demo.sh): no
# foreign architecture, no wine, no mingw.
native_only=0
[ "${1:-}" = --native-only ] && native_only=1

if [ "$native_only" = 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386 || { echo "install-deps: cannot add the i386 architecture" >&2; exit 1; }
fi

updated=0
update_log=$(mktemp)
for attempt in 1 2 3 4; do
  if apt-get update -qq 2>"$update_log"; then updated=1; break; fi
  cat "$update_log" >&2
  echo "install-deps: apt-get update failed (attempt $attempt of 4)" >&2
  sleep $((attempt * 5))
done
[ "$updated" = 1 ] || echo "install-deps: going on with the package indexes apt has; the install decides" >&2
# The suites whose index could not be had (".../dists/SUITE/...").
failed_suites=$(grep -o 'Failed to fetch [^ ]*/dists/[^/ ]*' "$update_log" | sed 's|.*/dists/||' | sort -u)
rm -f "$update_log"

packages=(g++ cmake ninja-build make git python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev zlib1g-dev)
if [ "$native_only" = 0 ]; then
  packages+=(clang libclang-rt-14-dev
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
    wine wine32:i386 wine64 xvfb xauth zip unzip)
fi

install() { apt-get install -y -qq --no-install-recommends "$@" "${packages[@]}" >/dev/null; }

# The package sources with the given suites left out: deb822 stanzas lose the
# suite (and are switched off when none is left), one-line entries go.
sources_without() {
  local dir=$1; shift
  mkdir -p "$dir"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v drop="$*" '
      BEGIN { n = split(drop, d, " "); for (i = 1; i <= n; i++) skip[d[i]] = 1 }
      /^[[:space:]]*deb(-src)?[[:space:]]/ { split($0, w, /[[:space:]]+/); s = ($2 ~ /^\[/) ? w[4] : w[3]; if (s in skip) next }
      /^Suites:/ { out = ""; m = split(substr($0, 8), w, /[[:space:]]+/)
                   for (i = 1; i <= m; i++) if (w[i] != "" && !(w[i] in skip)) out = out " " w[i]
                   if (out == "") { print "Suites: none"; print "Enabled: no"; next }
                   print "Suites:" out; next }
      { print }' "$f" > "$dir/$(basename "$f")"
  done
}

if ! install; then
  ok=0
  if [ -n "$failed_suites" ]; then
    # A suite whose index for one architecture is missing makes the versions
    # of the two architectures disagree (multi-arch packages must match); the
    # install can still be had from the other suites alone.
    echo "install-deps: retrying without the suites whose index failed:" $failed_suites >&2
    parts=$(mktemp -d)
    sources_without "$parts" $failed_suites
    if install -o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$parts"; then ok=1; fi
    rm -rf "$parts"
  fi
  if [ "$ok" != 1 ]; then
    echo "install-deps: the install failed; packages that could not be had:" >&2
    for p in "${packages[@]}"; do
      if ! apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]'; then
        echo "  $p" >&2
      fi
    done
    exit 1
  fi
fi
