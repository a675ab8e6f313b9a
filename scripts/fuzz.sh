#!/bin/sh
# Fuzzes morvane-render's command-line parser with libFuzzer for a while (make fuzz): builds
# build/fuzz with clang, AddressSanitizer and UndefinedBehaviorSanitizer, seeds a corpus with a
# few ordinary command lines and runs. A crash, a sanitizer report or an argument list that
# breaks a promise of the parser stops it and leaves the input as build/fuzz/crash-*.
#   MORVANE_FUZZ_SECONDS   how long to run (default 60)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

jobs=${MORVANE_JOBS:-2}
seconds=${MORVANE_FUZZ_SECONDS:-60}
dir=build/fuzz
say() { echo "fuzz.sh: $*"; }

# clang brings libFuzzer.
. "$root/scripts/apt-packages.sh"
command -v clang++ >/dev/null 2>&1 || install_packages clang

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
    -DMORVANE_SANITIZE=address,undefined -DMORVANE_FUZZ=ON \
    -DMORVANE_WINDOW=OFF -DMORVANE_TOOLS=OFF -DMORVANE_BENCH=OFF -DMORVANE_E2E=OFF >/dev/null
cmake --build "$dir" -j "$jobs" --target fuzz_render_options

# Seeds: ordinary command lines, their arguments separated by NUL bytes.
corpus=$dir/corpus
mkdir -p "$corpus"
seed() {
    name=$1
    shift
    printf '%s\n' "$@" | tr '\n' '\000' >"$corpus/seed-$name"
}
seed help --help
seed png --png a.png
seed full --screen=640x480 --seed 0 --frame=7 --count 2 --png f%03d.png --colour-raw=c%d.raw --depth-raw d-%-5u.raw
seed screen --screen 32768x600 --depth-raw x
seed percent --count 3 --png 100%%-%02i.png
seed last --frame 2147483618 --png=a

say "running for $seconds s"
cd "$dir"
./tests/fuzz_render_options -max_total_time="$seconds" -max_len=512 -print_final_stats=1 corpus
