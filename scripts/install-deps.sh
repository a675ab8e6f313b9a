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
  help2man                           # the man pages, made from each program's --help
  dpkg-dev file                      # the Debian package's dependencies (dpkg-shlibdeps)
  desktop-file-utils lintian         # checking the desktop entry and the Debian package
)

. "$(dirname "$0")/apt-packages.sh"
install_packages "${packages[@]}"
# The ARM64 programs, cross-built and run under emulation (make arm64, make test); without them
# only those tests are skipped (and fail on CI).
install_arm64_cross_packages ||
    echo "install-deps: cannot install what the ARM64 cross build needs; its tests will be skipped" >&2
echo "install-deps: everything needed is installed"
