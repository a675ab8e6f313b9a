# Sourced by every script that needs Debian packages. install_packages installs those of its
# packages that are not installed yet, through apt-get as root or through sudo, and does
# nothing when all are there. It returns non-zero, with a line on stderr, when it cannot. Each
# apt-get run has a deadline, so a stuck mirror fails the step instead of hanging it.
# Sets as_root to what runs a command as root ("" when this is root, else sudo); returns
# non-zero, with a line on stderr saying what it was needed for, when there is neither.
find_root() {
    if [ "$(id -u)" -eq 0 ]; then
        as_root=""
    elif command -v sudo >/dev/null 2>&1; then
        as_root="sudo"
    else
        echo "${0##*/}: need root or sudo $1" >&2
        return 1
    fi
}

install_packages() {
    missing=""
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $package"
    done
    [ -n "$missing" ] || return 0
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "${0##*/}: missing$missing, and this script only knows apt-get (Debian, Ubuntu);" \
             "install them with your system's package manager" >&2
        return 1
    fi
    find_root "to install$missing" || return 1
    echo "${0##*/}: installing$missing"
    # shellcheck disable=SC2086  # one word per package
    timeout 600 $as_root apt-get update -qq </dev/null &&
        timeout 900 $as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends $missing </dev/null
}

# What cross-building for 64-bit ARM Linux and running the result under emulation need on
# another Debian machine: the cross compiler, qemu-user, and the arm64 libraries the programs
# and their tests link with, from the arm64 architecture of the same archive (multiarch), which
# this adds to dpkg when it is missing. Nothing on an ARM64 machine, which builds natively.
install_arm64_cross_packages() {
    [ "$(dpkg --print-architecture 2>/dev/null)" != arm64 ] || return 0
    if command -v dpkg >/dev/null 2>&1 && ! dpkg --print-foreign-architectures | grep -qx arm64; then
        # Debian's archive serves every architecture; elsewhere (Ubuntu: ports.ubuntu.com) the
        # arm64 packages come from another mirror, which only the administrator can add.
        if ! grep -qx "ID=debian" /etc/os-release 2>/dev/null; then
            echo "${0##*/}: add the arm64 architecture to dpkg, with a source of arm64 packages" >&2
            return 1
        fi
        find_root "to add the arm64 architecture to dpkg" || return 1
        echo "${0##*/}: adding the arm64 architecture to dpkg"
        $as_root dpkg --add-architecture arm64 || return 1
    fi
    install_packages g++-aarch64-linux-gnu qemu-user libsdl2-dev:arm64 libpng-dev:arm64 libgtest-dev:arm64
}
