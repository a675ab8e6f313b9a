#!/bin/sh
# The Windows build draws the same frames as the Linux build: both buffers of a few frames,
# drawn by frame_raw.exe under Wine and by morvane-render here, equal byte for byte.
#   compare_frames.sh FRAME_RAW.exe MORVANE_RENDER RUN_UNDER_WINE WORK_DIR
set -eu
exe=$1 render=$2 wine_runner=$3 work=$4
cases="1920x1080:5:600 1366x768:24074:563 320x240:2:99 401x301:777:355"
rm -rf "$work" && mkdir -p "$work"
# shellcheck disable=SC2086  # one word per case
timeout 300 "$wine_runner" "$exe" "$work" $cases
n=0 status=0
for case in $cases; do
    screen=${case%%:*} frame=${case##*:} seed=${case#*:} seed=${seed%:*}
    timeout 120 "$render" --screen "$screen" --seed "$seed" --frame "$frame" \
        --colour-raw "$work/linux.colour" --depth-raw "$work/linux.depth" >/dev/null
    for buffer in colour depth; do
        if cmp -s "$work/$n.$buffer" "$work/linux.$buffer"; then
            echo "screen $screen, seed $seed, frame $frame: $buffer buffers equal"
        else
            echo "screen $screen, seed $seed, frame $frame: the $buffer buffers differ" >&2
            status=1
        fi
    done
    n=$((n + 1))
done
exit $status
