#!/bin/sh
# The ARM64 build draws the picture of the exact-reciprocal build: morvane-render built for ARM64
# (under the emulator) and the build machine's exact-reciprocal morvane-render must write equal
# colour and depth bytes, on screens wide and tall, tiny and odd-sized.
#   compare_frames.sh ARM64_RENDER NATIVE_EXACT_RENDER WORK_DIR EMULATOR...
set -eu
arm64=$1 native=$2 work=$3
shift 3
emulator="$*"  # words without blanks, such as qemu-aarch64 -L /
rm -rf "$work" && mkdir -p "$work"
status=0 compared=0
# Screen, seed, first frame, frame count.
while read -r screen seed frame count; do
    number=%d  # one frame takes its file name as given
    [ "$count" -gt 1 ] || number=$frame
    for build in arm64 native; do
        program="$native"
        [ $build = native ] || program="$emulator $arm64"
        # shellcheck disable=SC2086  # the emulator's words
        timeout 300 $program --screen "$screen" --seed "$seed" --frame "$frame" --count "$count" \
            --colour-raw "$work/$build-colour-$number" --depth-raw "$work/$build-depth-$number" >/dev/null
    done
    for number in $(seq "$frame" $((frame + count - 1))); do
        for buffer in colour depth; do
            if cmp -s "$work/arm64-$buffer-$number" "$work/native-$buffer-$number"; then
                compared=$((compared + 1))
            else
                echo "screen $screen, seed $seed, frame $number: the $buffer buffers differ" >&2
                status=1
            fi
        done
    done
done <<CASES
1920x1080 5 600 2
1366x768 24074 563 1
600x1024 777 355 1
12x12 1 1 3
13x17 42 5000 1
333x251 33436 1475 1
1001x77 2 99 1
77x1001 4242 227 1
320x240 1 1 3
CASES
echo "$compared buffers equal"
[ $status -eq 0 ] && rm -rf "$work"
exit $status
