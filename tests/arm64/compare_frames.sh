#!/bin/sh
# The ARM64 build draws the picture of the exact-reciprocal build: the colour and depth bytes
# of morvane-render built for ARM64 (run under the emulator) and of the build machine's
# exact-reciprocal morvane-render must be equal, frame by frame, on screens wide and tall, tiny
# and odd-sized.
#   compare_frames.sh ARM64_RENDER NATIVE_EXACT_RENDER WORK_DIR EMULATOR...
set -eu
arm64=$1 native=$2 work=$3
shift 3
rm -rf "$work"
mkdir -p "$work"

# Screen, seed, first frame, frame count.
cases="1920x1080 5 600 2
1366x768 24074 563 1
600x1024 777 355 1
12x12 1 1 3
13x17 42 5000 1
333x251 33436 1475 1
1001x77 2 99 1
77x1001 4242 227 1
320x240 1 1 3"

run() {
    build=$1
    shift
    # One frame takes its file name as given.
    number=%d
    [ "$count" -gt 1 ] || number=$frame
    "$@" --screen "$screen" --seed "$seed" --frame "$frame" --count "$count" \
        --colour-raw "$work/$build-$screen-$seed-colour-$number.raw" \
        --depth-raw "$work/$build-$screen-$seed-depth-$number.raw" >/dev/null
}

status=0 compared=0
while read -r screen seed frame count; do
    run arm64 timeout 300 "$@" "$arm64"
    run native timeout 120 "$native"
    last=$((frame + count - 1))
    differ=""
    for number in $(seq "$frame" "$last"); do
        for buffer in colour depth; do
            name=$screen-$seed-$buffer-$number.raw
            if cmp -s "$work/arm64-$name" "$work/native-$name"; then
                compared=$((compared + 1))
            else
                differ="$differ $buffer@$number"
            fi
        done
    done
    if [ -z "$differ" ]; then
        echo "screen $screen, seed $seed, frames $frame to $last: colour and depth equal"
    else
        echo "screen $screen, seed $seed: these buffers differ:$differ" >&2
        status=1
    fi
done <<CASES
$cases
CASES
echo "$compared buffers equal"
[ $status -eq 0 ] && rm -rf "$work"
exit $status
