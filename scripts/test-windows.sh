#!/bin/sh
# The Windows tests, from Linux: cross-builds morvane.exe and the Windows test programs
# (scripts/windows.sh --tests), then runs them through CTest under Wine in a virtual display of
# its own (xvfb-run), in a temporary Wine prefix whose wineserver it stops at the end. Installs
# Wine and the X tools when they are missing; where Wine cannot be installed the tests are
# skipped with a message, except on CI (CI=true), where the Windows build is shipped and that
# is a failure.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
say() { echo "test-windows.sh: $*"; }

# The Windows programs are built for x86-64, and Wine runs them only on an x86-64 machine: on
# any other (an ARM64 one) the tests cannot run, on CI or not.
case $(uname -m) in
x86_64 | amd64) ;;
*)
    say "SKIPPED: the Windows programs are for x86-64, and this is a $(uname -m) machine"
    exit 0
    ;;
esac

. "$root/scripts/apt-packages.sh"

# Wine for x86-64 alone: the program and its tests are 64-bit.
if ! command -v wine >/dev/null 2>&1 && { ! install_packages wine wine64 || ! command -v wine >/dev/null 2>&1; }; then
    [ "${CI:-}" = true ] && { say "FAILED: the Windows tests need Wine, and it cannot be installed here" >&2; exit 1; }
    say "SKIPPED: the Windows tests need Wine, and Wine cannot be installed here"
    exit 0
fi
install_packages xvfb xdotool x11-utils imagemagick python3
# Everything in a virtual display of its own.
[ -n "${MORVANE_WINDOWS_DISPLAY:-}" ] ||
    MORVANE_WINDOWS_DISPLAY=1 exec xvfb-run -a -s "-screen 0 1024x768x24" sh "$root/scripts/test-windows.sh" "$@"

started=$(date +%s)
scripts/windows.sh --tests
built=$(date +%s)

work=$(mktemp -d "${TMPDIR:-/tmp}/morvane-windows-tests.XXXXXX")
trap 'WINEPREFIX="$work/prefix" timeout 60 wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
WINEPREFIX="$work/prefix" WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="  # no installer dialog for .NET or HTML in a fresh prefix
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES

# The prefix is made before the tests, so that no test's time limit includes it.
timeout 300 wine wineboot --init || { say "could not set up a Wine prefix" >&2; exit 1; }
say "build $((built - started)) s, Wine prefix $(($(date +%s) - built)) s; now the tests"
timeout 1500 ctest --test-dir build/windows --output-on-failure -R '^(test_win32_platform|windows_.*)$'
