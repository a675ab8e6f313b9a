#!/bin/sh
# The ARM64 tests, from another Linux machine (make test runs this): cross-builds the ARM64
# programs and test programs (scripts/arm64.sh --tests) and runs the tests labelled arm64 under
# qemu-aarch64 (tests/arm64). On an ARM64 machine there is nothing to do: the suite has just run
# natively. Where the cross compiler, the arm64 libraries or the emulator cannot be installed,
# the tests are skipped with a message saying so, and fail on CI (CI=true).
#   scripts/test-arm64.sh [NATIVE_BUILD]   the native build whose exact-reciprocal morvane-render
#                                          draws the reference frames (default build)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
native_build=${1:-build}
say() { echo "test-arm64.sh: $*"; }

case $(uname -m) in
aarch64 | arm64)
    say "SKIPPED: this machine is ARM64, and the suite ran natively"
    exit 0
    ;;
esac

. "$root/scripts/apt-packages.sh"
install_arm64_cross_packages || true
missing=""
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing="$missing aarch64-linux-gnu-g++"
command -v qemu-aarch64 >/dev/null 2>&1 || missing="$missing qemu-aarch64"
for package in libsdl2-dev:arm64 libpng-dev:arm64 libgtest-dev:arm64; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
if [ -n "$missing" ]; then
    if [ "${CI:-}" = true ]; then
        say "FAILED: missing$missing (scripts/install-deps.sh installs them on Debian)" >&2
        exit 1
    fi
    say "SKIPPED: missing$missing (scripts/install-deps.sh installs them on Debian)"
    exit 0
fi

started=$(date +%s)
MORVANE_NATIVE_BUILD=$native_build scripts/arm64.sh --tests "$native_build"
built=$(date +%s)
timeout 1200 ctest --test-dir build/arm64 -L arm64 --output-on-failure -j "${MORVANE_JOBS:-2}"
say "build $((built - started)) s, tests $(($(date +%s) - built)) s"
