#!/usr/bin/env bash
# Builds both Windows presets and the release zip (build/mingw-i686/a_velko1c83-<version>.zip).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 -j2
cmake --build --preset mingw-i686 -j2 --target package
ls -l build/mingw-i686/a_velko1c83-*.zip
