#!/bin/sh
# The ARM64 tests, from another Linux machine (make test runs this): cross-builds the ARM64
# programs and test programs (scripts/arm64.sh --tests) and runs the tests labelled arm64 under
# qemu-aarch64 (tests/arm64). On an ARM64 machine there is nothing to do: the suite has just run
# natively. Where the cross compiler, the arm64 libraries or the emulator cannot be installed,
# the tests are skipped with a message saying so, and fail on CI (CI=true).
#   scripts/test-arm64.sh [NATIVE_BUILD]   the native build whose exact-reciprocal morvane-render
#                                          draws the reference frames (default build)
set -eu
cd "$(dirname "$0")/.."
native_build=${1:-build}
say() { echo "test-arm64.sh: $*"; }

case $(uname -m) in
aarch64 | arm64) say "SKIPPED: this machine is ARM64, and the suite ran natively"; exit 0 ;;
esac

. scripts/apt-packages.sh
if ! install_arm64_cross_packages || ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null; then
    [ "${CI:-}" = true ] && { say "FAILED: the ARM64 cross compiler, libraries or emulator cannot be installed" >&2; exit 1; }
    say "SKIPPED: the ARM64 cross compiler, libraries or emulator cannot be installed here"
    exit 0
fi

started=$(date +%s)
MORVANE_NATIVE_BUILD=$native_build scripts/arm64.sh --tests "$native_build"
built=$(date +%s)
timeout 1200 ctest --test-dir build/arm64 -L arm64 --output-on-failure -j "${MORVANE_JOBS:-2}"
say "build $((built - started)) s, tests $(($(date +%s) - built)) s"
