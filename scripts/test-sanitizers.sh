#!/bin/sh
# The tests again under the sanitizers, after the normal ones (make test runs this):
#   build/asan  AddressSanitizer + UndefinedBehaviorSanitizer (float-to-integer and pointer
#               overflow too): the core, the unit tests, morvane-render and the full screen sweep.
#   build/tsan  ThreadSanitizer: the programs that run a frame's two rasteriser workers.
# Every report is fatal, so CTest counts it as a failure.
# Usage: scripts/test-sanitizers.sh [asan|tsan]...   (both when none is named)
set -eu
cd "$(dirname "$0")/.."
jobs=${MORVANE_JOBS:-2}
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

[ $# -gt 0 ] || set -- asan tsan
for kind in "$@"; do
    started=$(date +%s)
    case $kind in
    asan)
        cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Release -DMORVANE_SANITIZE=address,undefined,float-cast-overflow,pointer-overflow \
            -DMORVANE_WINDOW=OFF -DMORVANE_BENCH=OFF -DMORVANE_TOOLS=ON -DMORVANE_SWEEP=full >/dev/null
        cmake --build build/asan -j "$jobs"
        ctest --test-dir build/asan --output-on-failure -j "$jobs"
        ;;
    tsan)
        threaded="test_host test_main_loop test_sweep"
        cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Release -DMORVANE_SANITIZE=thread \
            -DMORVANE_WINDOW=OFF -DMORVANE_BENCH=OFF -DMORVANE_TOOLS=OFF -DMORVANE_SWEEP=quick >/dev/null
        # shellcheck disable=SC2046,SC2086  # one word per target
        cmake --build build/tsan -j "$jobs" $(printf -- '--target %s ' $threaded)
        ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L "^($(echo "$threaded" | tr ' ' '|'))\$"
        ;;
    *) echo "usage: scripts/test-sanitizers.sh [asan|tsan]..." >&2; exit 2 ;;
    esac
    echo "test-sanitizers.sh: $kind built and tested in $(($(date +%s) - started)) s"
done
