#!/bin/sh
# The static checks (make lint): clang-tidy with the checks of .clang-tidy (tests/.clang-tidy
# for the tests) and cppcheck, over the renderer, the window program, the tools and the tests.
# Clean means no finding at all; a false positive is suppressed where it occurs, with the
# reason beside it.
# Installs clang-tidy and cppcheck when they are missing.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

jobs=${MORVANE_JOBS:-2}
dir=build/lint
say() { echo "lint.sh: $*"; }

. "$root/scripts/apt-packages.sh"
command -v clang-tidy >/dev/null 2>&1 || install_packages clang-tidy
command -v cppcheck >/dev/null 2>&1 || install_packages cppcheck

# The compile commands of every Linux target, and the one generated source they name (the
# embedded picture, which is data and is not checked itself). The benchmarks (bench/) are
# not part of it.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DMORVANE_BENCH=OFF >/dev/null
cmake --build "$dir" --target picture_to_source -j "$jobs" >/dev/null
mkdir -p "$dir/generated"
"$dir/picture_to_source" scene/picture.png "$dir/generated/texture_rgb.cpp"

# Our sources, once each, as the compile commands name them.
sources=$(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$dir/compile_commands.json" | grep -v "/$dir/" | sort -u)

status=0
say "clang-tidy on $(echo "$sources" | wc -l) files"
# shellcheck disable=SC2086  # one word per file
if ! echo "$sources" | xargs -P "$jobs" -n 1 clang-tidy -p "$dir" --quiet >"$dir/clang-tidy.log" 2>&1; then
    status=1
fi
grep -E 'warning:|error:' "$dir/clang-tidy.log" || true

say "cppcheck"
if ! cppcheck --project="$dir/compile_commands.json" -i "$dir" --library=googletest \
    --enable=warning,performance,portability --std=c++20 --inline-suppr \
    --suppress=missingIncludeSystem --error-exitcode=1 -q -j "$jobs" 2>"$dir/cppcheck.log"; then
    status=1
fi
cat "$dir/cppcheck.log"

if [ "$status" -eq 0 ]; then
    say "clean"
else
    say "findings above (full output in $dir/clang-tidy.log and $dir/cppcheck.log)"
fi
exit "$status"
