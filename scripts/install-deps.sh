#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Morvane need, and nothing
# when they are all present already. Uses sudo only when not run as root.
set -euo pipefail

packages=(
  cmake make g++ pkg-config          # the build
  libsdl2-dev                        # the window on Linux
  libpng-dev                         # the picture embedded at build time, the offline tools
  libgtest-dev libbenchmark-dev      # tests and benchmarks
  libx11-dev                         # the end-to-end tests' close-button helper
  xvfb xauth x11-utils xdotool       # a virtual screen, and looking at and typing into windows
  imagemagick                        # screenshots
  qemu-user                          # older processors, emulated (tests/older_processors.sh)
  sway grim wtype                    # a headless Wayland session with no X, its screenshots and keys
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything needed is installed"
  exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
  echo "install-deps: missing ${missing[*]}, and this script only knows apt-get (Debian, Ubuntu);" \
       "install them with your system's package manager" >&2
  exit 1
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: missing ${missing[*]}; run this script as root or install sudo" >&2
    exit 1
  fi
  as_root=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
echo "install-deps: done"
