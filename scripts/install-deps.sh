#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root).
# Safe to run again: apt skips what is already there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  g++ cmake ninja-build make git python3 \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  nlohmann-json3-dev libcli11-dev \
  clang libclang-rt-14-dev \
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools \
  wine wine32:i386 wine64 xvfb xauth zip unzip >/dev/null
