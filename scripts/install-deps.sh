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
for attempt in 1 2 3 4; do
  if apt-get update -qq; then updated=1; break; fi
  echo "install-deps: apt-get update failed (attempt $attempt of 4)" >&2
  sleep $((attempt * 5))
done
[ "$updated" = 1 ] || echo "install-deps: going on with the package indexes apt has; the install decides" >&2

packages=(g++ cmake ninja-build make git python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev)
if [ "$native_only" = 0 ]; then
  packages+=(clang libclang-rt-14-dev
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    wine wine32:i386 wine64 xvfb xauth zip unzip)
fi

if ! apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null; then
  echo "install-deps: the install failed; packages that could not be had:" >&2
  for p in "${packages[@]}"; do
    if ! apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]'; then
      echo "  $p" >&2
    fi
  done
  exit 1
fi
