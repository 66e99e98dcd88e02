#!/usr/bin/env bash
# Runs a Windows program under wine with a virtual X display of its own, for
# tests that open windows. The program gets its own wine prefix beside the
# build tree's shared one (so its wineserver, and the desktop process bound to
# this display, belong to this run alone); the wineserver is waited for before
# the display goes away.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = "/" ] && dir=$(pwd)
  export WINEPREFIX="$dir/wineprefix-x"
fi
if [ -n "${DISPLAY:-}" ] || ! command -v xvfb-run >/dev/null; then
  exec "$here/wine-run.sh" "$@"
fi
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  status=0
  "$0/wine-run.sh" "$@" || status=$?
  wineserver -w || true
  exit $status' "$here" "$@"
