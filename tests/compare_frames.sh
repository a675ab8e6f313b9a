#!/bin/sh
# A cross build draws the frames this machine's build draws: frame_raw, built for Windows and run
# under Wine or built for ARM64 and run under the emulator, and this machine's morvane-render
# must write equal colour and depth bytes, on screens wide and tall, tiny and odd-sized, at
# frames across the breathing cycle. ARM64 computes reciprocals exactly: its reference is the
# exact-reciprocal morvane-render.
#   compare_frames.sh FRAME_RAW REFERENCE_RENDER WORK_DIR RUNNER...
set -eu
program=$1 reference=$2 work=$3
shift 3
cases="1920x1080:5:600 1920x1080:5:601 1366x768:24074:563 600x1024:777:355 401x301:777:355 12x12:1:1 12x12:1:2
       12x12:1:3 13x17:42:5000 333x251:33436:1475 1001x77:2:99 77x1001:4242:227 320x240:2:99"
rm -rf "$work" && mkdir -p "$work"
# shellcheck disable=SC2086  # the runner's words, one word per case
timeout 300 "$@" "$program" "$work" $cases
n=0 status=0
for case in $cases; do
    screen=${case%%:*} frame=${case##*:} seed=${case#*:} seed=${seed%:*}
    timeout 120 "$reference" --screen "$screen" --seed "$seed" --frame "$frame" \
        --colour-raw "$work/reference.colour" --depth-raw "$work/reference.depth" >/dev/null
    for buffer in colour depth; do
        if ! cmp -s "$work/$n.$buffer" "$work/reference.$buffer"; then
            echo "screen $screen, seed $seed, frame $frame: the $buffer buffers differ" >&2
            status=1
        fi
    done
    n=$((n + 1))
done
[ $status -ne 0 ] || { echo "$n frames, colour and depth, equal"; rm -rf "$work"; }
exit $status
