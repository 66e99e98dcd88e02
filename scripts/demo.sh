#!/usr/bin/env bash
# The main job on a fresh Debian machine (as root): installs what the Linux
# build needs, builds the velko command, and plays a cashier's day with
# `velko demo` against the built-in terminal-server emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${VELKO_SKIP_INSTALL:-0}" != 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends g++ cmake ninja-build make \
    googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev >/dev/null
fi
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target velko >/dev/null
exec build/linux/tools/velko/velko demo
