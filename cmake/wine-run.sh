#!/usr/bin/env bash
# Runs a Windows program under wine with a prefix of the build tree's own, so
# no prefix left on the machine matters. The prefix is made on first use.
set -eu
prefix="${WINEPREFIX:-}"
if [ -z "$prefix" ]; then
  # The build tree is the nearest parent holding CMakeCache.txt.
  dir=$(pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = "/" ] && dir=$(pwd)
  prefix="$dir/wineprefix"
fi
export WINEPREFIX="$prefix"
# A kernel without 32-bit support cannot start wine's 32-bit loader, which the
# wine command tries first: there the 64-bit loader runs 64-bit programs.
launcher=wine
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
  launcher=/usr/lib/wine/wine64
  export WINELOADER="$launcher"
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Two test programs may start at once: one of them makes the prefix.
  ( flock 9; [ -f "$WINEPREFIX/system.reg" ] || { "$launcher" wineboot --init >/dev/null 2>&1; wineserver -w; } ) 9>"$WINEPREFIX.lock"
fi
exec "$launcher" "$@"
