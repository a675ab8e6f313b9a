#!/bin/sh
# What users get, run from where they get it:
#   test_package.sh install BUILD VERSION   `cmake --install` into a temporary DESTDIR
#   test_package.sh deb BUILD VERSION       the Debian package: its metadata and file list,
#                                           lintian, and the programs unpacked from it
set -eu
mode=$1 build=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
fail() { echo "test_package $mode: $*" >&2; exit 1; }

# Every file, and nothing else: the benchmarks and the tests are not installed.
expected="./usr/bin/morvane
./usr/bin/morvane-render
./usr/share/applications/morvane.desktop
./usr/share/doc/morvane/LICENSE
./usr/share/doc/morvane/README.md
./usr/share/doc/morvane/changelog.gz
./usr/share/doc/morvane/copyright
./usr/share/icons/hicolor/128x128/apps/morvane.png
./usr/share/man/man1/morvane-render.1.gz
./usr/share/man/man1/morvane.1.gz"

if [ "$mode" = install ]; then
    DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
    files=$(cd "$root" && find . -type f | sort)
else
    cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; fail "cpack failed"; }
    deb=$work/morvane_${version}_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || fail "no $deb"
    info=$(dpkg-deb --info "$deb")
    for field in "Package: morvane" "Version: $version" "Section: graphics" "Maintainer: " \
                 "Depends: .*libc6 (>= " "Depends: .*libsdl2-2.0-0 (>= " "Depends: .*libpng16-16 (>= "; do
        echo "$info" | grep -q "^ $field" || fail "no '$field' in the control file:
$info"
    done
    contents=$(dpkg-deb --contents "$deb")
    echo "$contents" | awk '$2 != "root/root" { exit 1 }' || fail "files not owned by root:
$contents"
    files=$(echo "$contents" | awk '!/\/$/ { print $6 }' | sort)
    lintian --fail-on error,warning "$deb" || fail "lintian found faults"
    dpkg-deb -x "$deb" "$root"
fi
[ "$files" = "$expected" ] || fail "files: $files
expected: $expected"

# The programs, from there.
[ "$("$root/usr/bin/morvane" --version)" = "morvane $version" ] || fail "morvane --version"
[ "$("$root/usr/bin/morvane-render" --version)" = "morvane-render $version" ] || fail "morvane-render --version"
"$root/usr/bin/morvane-render" --screen 50x40 --seed 3 --frame 9 --png "$work/installed.png"
"$build/morvane-render" --screen 50x40 --seed 3 --frame 9 --png "$work/built.png"
cmp -s "$work/installed.png" "$work/built.png" || fail "the installed morvane-render draws another frame"
desktop-file-validate "$root/usr/share/applications/morvane.desktop" || fail "the desktop entry is not valid"
for page in morvane morvane-render; do
    gzip -dc "$root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH $(echo "$page" | tr '[:lower:]' '[:upper:]') \"1\"" || fail "man page $page"
done
echo "test_package $mode: passed"
