#!/bin/sh
# The tests again under the sanitizers, after the normal ones (make test runs this):
#   build/asan  AddressSanitizer + UndefinedBehaviorSanitizer (float-to-integer and pointer
#               overflow too), every report fatal: the core, every unit-test program, morvane-render and the
#               full screen sweep (every size from 12x12 to 32768 rows, frames across a whole
#               breathing cycle).
#   build/tsan  ThreadSanitizer: the core and the programs that run the two rasteriser
#               workers of a frame (the frame driver, the worker pair, the main loop, the sweep).
# Usage: scripts/test-sanitizers.sh [asan|tsan]...   (both when none is named)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

jobs=${MORVANE_JOBS:-2}
say() { echo "test-sanitizers.sh: $*"; }

kinds=${*:-asan tsan}
for kind in $kinds; do
    case $kind in
    asan | tsan) ;;
    *) echo "usage: scripts/test-sanitizers.sh [asan|tsan]..." >&2; exit 2 ;;
    esac
done

# Every report ends the program with an error, so CTest counts it as a failure.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# Configures and builds one sanitizer build: directory, sanitizers, extra CMake options, targets.
build() {
    dir=$1 sanitizers=$2 options=$3
    shift 3
    started=$(date +%s)
    # shellcheck disable=SC2086  # one word per option
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DMORVANE_SANITIZE="$sanitizers" \
        -DMORVANE_WINDOW=OFF -DMORVANE_BENCH=OFF $options >/dev/null
    if [ $# -gt 0 ]; then
        targets=""
        for target in "$@"; do targets="$targets --target $target"; done
        # shellcheck disable=SC2086
        cmake --build "$dir" -j "$jobs" $targets
    else
        cmake --build "$dir" -j "$jobs"
    fi
    say "$dir built in $(($(date +%s) - started)) s"
}

for kind in $kinds; do
    case $kind in
    asan)
        build build/asan address,undefined,float-cast-overflow,pointer-overflow "-DMORVANE_TOOLS=ON -DMORVANE_SWEEP=full"
        ctest --test-dir build/asan --output-on-failure -j "$jobs"
        ;;
    tsan)
        threaded="test_pipeline test_host test_main_loop test_sweep"
        # shellcheck disable=SC2086
        build build/tsan thread "-DMORVANE_TOOLS=OFF -DMORVANE_SWEEP=quick" $threaded
        ctest --test-dir build/tsan --output-on-failure -j "$jobs" \
            -L "^($(echo $threaded | tr ' ' '|'))\$"
        ;;
    esac
done
