#!/usr/bin/env bash
# CTest's emulator for the Windows build: runs a program under Wine in a private prefix
# (ZEL_WINEPREFIX, default build/win/wine-prefix beside the program's build tree), quietly and
# without Mono or Gecko, then waits for the prefix's wineserver to end, so nothing stays running.
set -u
prefix=${ZEL_WINEPREFIX:-}
if [ -z "$prefix" ]; then
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  prefix=$dir/wine-prefix
fi
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
wine "$@"
rc=$?
wineserver -w
exit $rc
