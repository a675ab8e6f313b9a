#!/bin/sh
# morvane-render on emulated older processors (qemu-user): Nehalem (SSE4.2, no AVX) takes the
# SSE2 paths, Haswell (AVX2, no AVX-512) the AVX2 ones. A few small frames on each; every run
# must finish, and both processors must write the same colour and depth bytes and the same
# pictures. The emulator computes the reciprocal estimates exactly, so the runs are compared
# with each other, never with runs on the real processor.
# Usage: tests/older_processors.sh MORVANE_RENDER PATHS_PROBE WORK_DIR
# Without qemu-x86_64 (Debian package qemu-user) the test is skipped (exit 77), and fails on CI
# (CI=true).
set -eu

render=$1 probe=$2 work=$3
say() { echo "older_processors.sh: $*"; }

if ! command -v qemu-x86_64 >/dev/null 2>&1; then
    if [ "${CI:-}" = true ]; then
        say "FAILED: qemu-x86_64 is missing (Debian package qemu-user; scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
    say "SKIPPED: qemu-x86_64 is missing (Debian package qemu-user; scripts/install-deps.sh installs it)"
    exit 77
fi

rm -rf "$work"
mkdir -p "$work"

# Runs a program on an emulated processor; its output goes to $work/out, its errors (without the
# emulator's notes on features of the model it does not emulate) to $work/err.
emulate() {
    cpu=$1
    shift
    status=0
    timeout 120 qemu-x86_64 -cpu "$cpu" "$@" >"$work/out" 2>"$work/err.all" || status=$?
    grep -v "^qemu-x86_64: warning: TCG doesn't support requested feature" "$work/err.all" >"$work/err" || true
    if [ "$status" -ne 0 ]; then
        case $status in
        124) what="did not finish within 120 s" ;;
        132) what="stopped at an illegal instruction" ;;
        *) what="exited with status $status" ;;
        esac
        say "FAILED: $* on $cpu $what" >&2
        cat "$work/err" >&2
        exit 1
    fi
}

# Screen, seed, first frame, frame count: small screens, near and far zooms, the ray
# generator's fixed points among the seeds.
frames="160x120 1 1 2
400x300 7 600 2
333x251 24074 912 1
320x240 33436 1500 1"

for cpu in Nehalem Haswell; do
    case $cpu in
    Nehalem) expected="SSE2" rays="SSE2" ;;
    Haswell) expected="AVX2" rays="AVX2 steep, SSE2 other" ;;
    esac
    emulate "$cpu" "$probe"
    paths=$(cat "$work/out")
    if [ "$paths" != "$(printf 'shading %s\nrays %s' "$expected" "$rays")" ]; then
        say "FAILED: on $cpu, where the $expected paths should run, the probe says:" >&2
        echo "$paths" >&2
        exit 1
    fi
    started=$(date +%s)
    while read -r screen seed frame count; do
        emulate "$cpu" "$render" --screen "$screen" --seed "$seed" --frame "$frame" --count "$count" \
            --colour-raw "$work/$cpu-$screen-colour-%d.raw" --depth-raw "$work/$cpu-$screen-depth-%d.raw" \
            --png "$work/$cpu-$screen-%d.png"
    done <<FRAMES
$frames
FRAMES
    written=0
    for file in "$work/$cpu"-*; do
        [ -f "$file" ] && written=$((written + 1))
    done
    say "$cpu: $(echo "$paths" | tr '\n' ' ')- $written files in $(($(date +%s) - started)) s"
done

# The same files from both, byte for byte.
compared=0
for nehalem in "$work"/Nehalem-*; do
    haswell="$work/Haswell-${nehalem#"$work"/Nehalem-}"
    if ! cmp "$nehalem" "$haswell"; then
        say "FAILED: ${nehalem##*/} and ${haswell##*/} differ" >&2
        exit 1
    fi
    compared=$((compared + 1))
done
if [ "$compared" -ne 18 ]; then
    say "FAILED: $compared files written on Nehalem, 18 expected" >&2
    exit 1
fi
say "the SSE2 and AVX2 paths wrote the same $compared files (colour, depth, PNG)"
rm -rf "$work"
