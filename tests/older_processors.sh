#!/bin/sh
# morvane-render on emulated older processors (qemu-user): Nehalem (no AVX) must take the SSE2
# paths, Haswell (AVX2, no AVX-512) the AVX2 ones, every run must finish, and both must write
# the same colour, depth and PNG bytes. The emulator computes the reciprocal estimates exactly,
# so the runs are compared with each other, never with runs on the real processor.
# Usage: tests/older_processors.sh MORVANE_RENDER PATHS_PROBE WORK_DIR
# Without qemu-x86_64 (Debian package qemu-user) it is skipped (exit 77), and fails on CI.
set -eu
render=$1 probe=$2 work=$3
fail() { echo "older_processors.sh: FAILED: $*" >&2; exit 1; }

if ! command -v qemu-x86_64 >/dev/null 2>&1; then
    [ "${CI:-}" != true ] || fail "qemu-x86_64 is missing (scripts/install-deps.sh installs it)"
    echo "older_processors.sh: SKIPPED: qemu-x86_64 is missing (scripts/install-deps.sh installs it)"
    exit 77
fi
rm -rf "$work" && mkdir -p "$work"

# A program on an emulated processor, its output in $work/out.
emulate() {
    cpu=$1
    shift
    status=0
    timeout 150 qemu-x86_64 -cpu "$cpu" "$@" >"$work/out" 2>"$work/err" || status=$?
    [ "$status" -eq 0 ] || { grep -v "TCG doesn't support requested feature" "$work/err" >&2; fail "$* on $cpu: status $status (124: too slow, 132: an illegal instruction)"; }
}

for cpu in Nehalem Haswell; do
    expected="shading SSE2 rays SSE2 "
    [ "$cpu" = Nehalem ] || expected="shading AVX2 rays AVX2 steep, SSE2 other "
    emulate "$cpu" "$probe"
    [ "$(tr '\n' ' ' <"$work/out")" = "$expected" ] || fail "on $cpu the probe says: $(cat "$work/out")"
    # Small screens, near and far zooms, the ray generator's fixed points among the seeds.
    while read -r screen seed frame count; do
        emulate "$cpu" "$render" --screen "$screen" --seed "$seed" --frame "$frame" --count "$count" \
            --colour-raw "$work/$cpu-$screen-colour-%d.raw" --depth-raw "$work/$cpu-$screen-depth-%d.raw" \
            --png "$work/$cpu-$screen-%d.png"
    done <<FRAMES
160x120 1 1 2
400x300 7 600 2
333x251 24074 912 1
320x240 33436 1500 1
FRAMES
done

compared=0
for nehalem in "$work"/Nehalem-*; do
    cmp "$nehalem" "$work/Haswell-${nehalem#"$work"/Nehalem-}" || fail "${nehalem##*/} differs on Haswell"
    compared=$((compared + 1))
done
[ "$compared" -eq 18 ] || fail "$compared files written on Nehalem, 18 expected"
echo "older_processors.sh: the SSE2 and AVX2 paths wrote the same $compared files"
rm -rf "$work"
