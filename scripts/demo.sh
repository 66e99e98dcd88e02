#!/usr/bin/env bash
# The main job on a fresh Debian machine (as root): installs what the Linux
# build needs, builds the velko command, and plays a cashier's day with
# `velko demo` against the built-in terminal-server emulator.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${VELKO_SKIP_INSTALL:-0}" != 1 ]; then
  bash scripts/install-deps.sh --native-only
fi
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$(nproc)" --target velko >/dev/null
exec build/linux/tools/velko/velko demo
