#!/bin/sh
# The Windows build draws the same frames as the Linux build: both buffers of a few frames,
# drawn by frame_raw.exe under Wine and by morvane-render here, must be equal byte for byte.
#   compare_frames.sh FRAME_RAW.exe MORVANE_RENDER RUN_UNDER_WINE WORK_DIR
set -eu
exe=$1 render=$2 wine_runner=$3 work=$4
mkdir -p "$work"
status=0
for case in 1920x1080:5:600 1366x768:24074:563 320x240:2:99 400x300:777:355; do
    screen=${case%%:*} rest=${case#*:}
    seed=${rest%%:*} frame=${rest#*:}
    w=${screen%x*} h=${screen#*x}
    name="$work/$screen-$seed-$frame"
    rm -f "$name".*
    timeout 120 "$wine_runner" "$exe" "$w" "$h" "$seed" "$frame" "$name.win-colour" "$name.win-depth"
    timeout 120 "$render" --screen "$screen" --seed "$seed" --frame "$frame" \
        --colour-raw "$name.linux-colour" --depth-raw "$name.linux-depth" >/dev/null
    for buffer in colour depth; do
        if cmp -s "$name.win-$buffer" "$name.linux-$buffer"; then
            echo "screen $screen, seed $seed, frame $frame: $buffer buffers equal"
        else
            echo "screen $screen, seed $seed, frame $frame: the $buffer buffers differ" >&2
            status=1
        fi
    done
done
exit $status
