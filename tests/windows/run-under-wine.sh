#!/bin/sh
# Runs a Windows program under Wine for the tests: quiet, with no installer dialog for the
# .NET and HTML runtimes a fresh prefix would otherwise offer, in the caller's WINEPREFIX (the
# test flow makes a temporary one) or else in one of this user's under the temporary folder.
# The window tests open real windows: scripts/test-windows.sh gives them a virtual display.
#   run-under-wine.sh PROGRAM.exe [ARGUMENTS...]
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/morvane-wine-$(id -u)}"

if ! command -v wine >/dev/null 2>&1; then
    echo "run-under-wine.sh: wine is not installed (scripts/test-windows.sh installs it)" >&2
    exit 127
fi
exec wine "$@"
