#!/bin/sh
# Cross-builds for 64-bit ARM Linux from an x86-64 Debian machine: build/arm64/morvane,
# morvane-render and morvane-bench, with Debian's cross compiler and the arm64 libraries of a
# multiarch system (scripts/install-deps.sh installs them, adding the arm64 architecture). The
# picture tool is built for this machine first (build/native-tools, or MORVANE_NATIVE_BUILD's)
# and handed to the cross build.
#   scripts/arm64.sh                      the three programs
#   scripts/arm64.sh --tests NATIVE_BUILD the programs and the ARM64 test programs, configured
#                                         to compare with NATIVE_BUILD's exact-reciprocal
#                                         morvane-render (tests/arm64; qemu-aarch64 runs them)
#   scripts/arm64.sh --package            the programs, then build/arm64/packages/*_arm64.deb
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

tests=OFF
make_package=false
native_build=""
while [ $# -gt 0 ]; do
    case $1 in
    --tests) tests=ON; native_build=${2:?"--tests needs the native build directory"}; shift ;;
    --package) make_package=true ;;
    *) echo "usage: scripts/arm64.sh [--tests NATIVE_BUILD] [--package]" >&2; exit 2 ;;
    esac
    shift
done

jobs=${MORVANE_JOBS:-2}
cross_dir=build/arm64

. "$root/scripts/apt-packages.sh"
install_arm64_cross_packages

# 1. The picture tool, built for this machine: the cross build runs it. With the tests, the
#    native build's exact-reciprocal morvane-render too, whose frames the ARM64 ones must equal.
#    A native build named in MORVANE_NATIVE_BUILD (make test's) lends the picture tool.
native_dir=${MORVANE_NATIVE_BUILD:-build/native-tools}
[ -n "${MORVANE_NATIVE_BUILD:-}" ] || cmake -S . -B "$native_dir" -DCMAKE_BUILD_TYPE=Release \
    -DMORVANE_WINDOW=OFF -DMORVANE_BENCH=OFF -DMORVANE_TESTS=OFF >/dev/null
cmake --build "$native_dir" --target picture_to_source -j "$jobs"
native_render=""
if [ "$tests" = ON ]; then
    native_build=$(cd "$native_build" && pwd)
    cmake --build "$native_build" --target morvane-render-exact -j "$jobs"
    native_render=$native_build/tests/morvane-render-exact
fi

# 2. The ARM64 programs (and, with the tests, only the test programs the emulated suite runs:
#    the rest of the suite runs natively on ARM64 machines). Configure options stay the same
#    with and without the tests, so that neither rebuilds the other's programs.
cmake -S . -B "$cross_dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DMORVANE_PICTURE_TOOL="$(cd "$native_dir" && pwd)/picture_to_source" -DMORVANE_E2E=OFF \
    -DMORVANE_TESTS=ON -DMORVANE_NATIVE_RENDER="$native_render" >/dev/null
targets="morvane morvane-render morvane-bench"
if [ "$tests" = ON ]; then
    targets="$targets $(cat "$cross_dir/tests/arm64/test-programs.txt")"
fi
# shellcheck disable=SC2086  # one word per target
cmake --build "$cross_dir" --target $targets -j "$jobs"
echo "arm64.sh: built $cross_dir/morvane, $cross_dir/morvane-render and $cross_dir/bench/morvane-bench"

if [ "$make_package" = true ]; then
    cmake --build "$cross_dir" --target morvane-documents -j "$jobs"
    cpack --config "$cross_dir/CPackConfig.cmake"
fi
