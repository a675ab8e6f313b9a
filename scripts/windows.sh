#!/bin/sh
# Cross-builds the Windows program from Linux: build/windows/morvane.exe, one static .exe that
# needs nothing beside it. Installs the MinGW-w64 cross compiler when it is missing, builds
# the picture tool natively first (build/native-tools) and hands it to the cross build.
#   scripts/windows.sh           the program only
#   scripts/windows.sh --tests   the program and the Windows test programs
#   scripts/windows.sh --package the program, then the zip that ships it (with the README and
#                                the licence): build/windows/packages/morvane-*-windows-x86_64.zip
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

tests=OFF
package=false
for argument in "$@"; do
    case $argument in
    --tests) tests=ON ;;
    --package) package=true ;;
    *) echo "usage: scripts/windows.sh [--tests] [--package]" >&2; exit 2 ;;
    esac
done

jobs=${MORVANE_JOBS:-2}
native_dir=build/native-tools
cross_dir=build/windows

. "$root/scripts/apt-packages.sh"

missing=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 ||
    command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 ||
    missing="$missing g++-mingw-w64-x86-64-posix"
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
# The picture tool is a program of this machine and reads the picture with libpng.
[ -e /usr/include/png.h ] || missing="$missing libpng-dev"
[ "$tests" = OFF ] || [ -e /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
# shellcheck disable=SC2086  # one word per package; none missing installs nothing
install_packages $missing

# 1. The picture tool, built for this machine: the cross build runs it, it cannot run its own.
#    With the tests, morvane-render too: the Windows frames are compared with its. A native
#    build named in MORVANE_NATIVE_BUILD (make test's) lends both instead of a build of its own.
if [ -n "${MORVANE_NATIVE_BUILD:-}" ]; then
    native_dir=$MORVANE_NATIVE_BUILD
else
    cmake -S . -B "$native_dir" -DCMAKE_BUILD_TYPE=Release \
        -DMORVANE_WINDOW=OFF -DMORVANE_TOOLS="$tests" -DMORVANE_BENCH=OFF -DMORVANE_TESTS=OFF >/dev/null
fi
cmake --build "$native_dir" --target picture_to_source -j "$jobs"
native_render=""
if [ "$tests" = ON ]; then
    cmake --build "$native_dir" --target morvane-render -j "$jobs"
    native_render="$(cd "$native_dir" && pwd)/morvane-render"
fi

# 2. The Windows program (and its tests), statically linked.
gtest_dir=""
target="--target morvane"
# With the tests, what only the Windows build can show: its platform layer, the program, its
# frames. The core's own tests run in the native builds; the frames show it compiled alike here.
[ "$tests" = ON ] && gtest_dir=/usr/src/googletest && target="--target morvane --target test_win32_platform --target frame_raw"
cmake -S . -B "$cross_dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DMORVANE_PICTURE_TOOL="$(cd "$native_dir" && pwd)/picture_to_source" \
    -DMORVANE_WINDOW=ON -DMORVANE_TOOLS=OFF -DMORVANE_BENCH=OFF \
    -DMORVANE_TESTS="$tests" -DMORVANE_GTEST_SOURCE_DIR="$gtest_dir" \
    -DMORVANE_NATIVE_RENDER="$native_render" >/dev/null
# shellcheck disable=SC2086  # one word per target
cmake --build "$cross_dir" $target -j "$jobs"

echo "windows.sh: built $cross_dir/morvane.exe"

# 3. The zip. morvane-render.exe is not in it: it needs libpng, which Debian does not build
#    for MinGW-w64, so it cannot be linked statically here.
if [ "$package" = true ]; then
    cpack --config "$cross_dir/CPackConfig.cmake"
fi
