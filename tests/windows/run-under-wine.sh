#!/bin/sh
# Runs a Windows program under Wine for the tests: quiet, with no installer dialog for the
# .NET and HTML runtimes a fresh prefix would otherwise offer, in the caller's WINEPREFIX (the
# test flow makes a temporary one) or else in one of this user's under the temporary folder.
# Without a display it starts a virtual one, since the window tests open real windows.
#   run-under-wine.sh PROGRAM.exe [ARGUMENTS...]
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/morvane-wine-$(id -u)}"

if ! command -v wine >/dev/null 2>&1; then
    echo "run-under-wine.sh: wine is not installed (scripts/test-windows.sh installs it)" >&2
    exit 127
fi
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" wine "$@"
fi
exec wine "$@"
