#!/bin/sh
# The Windows tests, from Linux: cross-builds morvane.exe and the Windows test programs
# (scripts/windows.sh --tests), then runs them all through CTest under Wine in a virtual
# display: the unit tests and the end-to-end test of the real program. Installs Wine and the
# X tools when they are missing; only where Wine cannot be installed are the tests skipped,
# with a message saying so. Uses a temporary Wine prefix and stops its wineserver at the end.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

say() { echo "test-windows.sh: $*"; }

. "$root/scripts/apt-packages.sh"

# Wine for x86-64 alone: the program and its tests are 64-bit, so no 32-bit architecture.
if ! command -v wine >/dev/null 2>&1; then
    if ! install_packages wine wine64 || ! command -v wine >/dev/null 2>&1; then
        say "SKIPPED: the Windows tests need Wine, and Wine cannot be installed here"
        exit 0
    fi
fi
missing=""
command -v Xvfb >/dev/null 2>&1 || missing="$missing xvfb"
command -v xdotool >/dev/null 2>&1 || missing="$missing xdotool"
command -v xwininfo >/dev/null 2>&1 || missing="$missing x11-utils"
command -v import >/dev/null 2>&1 || missing="$missing imagemagick"
command -v python3 >/dev/null 2>&1 || missing="$missing python3"
if [ -n "$missing" ]; then
    # shellcheck disable=SC2086  # one word per package
    install_packages $missing
fi

started=$(date +%s)
scripts/windows.sh --tests
built=$(date +%s)

# A prefix of our own, a display of our own; both go at the end whatever happens.
work=$(mktemp -d "${TMPDIR:-/tmp}/morvane-windows-tests.XXXXXX")
xvfb_pid=""
# shellcheck disable=SC2317  # run by the trap below
cleanup() {
    WINEPREFIX="$work/prefix" timeout 60 wineserver -k 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
tries=0
until grep -q . "$work/display" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
        say "Xvfb did not start" >&2
        exit 1
    fi
    sleep 0.1
done
DISPLAY=":$(cat "$work/display")"
WINEPREFIX="$work/prefix"
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="  # no installer dialog for .NET or HTML in a fresh prefix
export DISPLAY WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

# The prefix is made once, before the tests, so that no test's time limit includes it.
if ! timeout 300 wine wineboot --init; then
    say "could not set up a Wine prefix" >&2
    exit 1
fi
prepared=$(date +%s)
say "build $((built - started)) s, Wine prefix $((prepared - built)) s; now the tests"

# CTest's own summary closes the output.
timeout 1500 ctest --test-dir build/windows --output-on-failure
