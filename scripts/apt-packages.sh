# Sourced by every script that needs Debian packages. install_packages installs those of its
# packages that are not installed yet, through apt-get as root or through sudo, and does
# nothing when all are there. It returns non-zero, with a line on stderr, when it cannot. Each
# apt-get run has a deadline, so a stuck mirror fails the step instead of hanging it.
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
    if [ "$(id -u)" -eq 0 ]; then
        as_root=""
    elif command -v sudo >/dev/null 2>&1; then
        as_root="sudo"
    else
        echo "${0##*/}: need root or sudo to install$missing" >&2
        return 1
    fi
    echo "${0##*/}: installing$missing"
    # shellcheck disable=SC2086  # one word per package
    timeout 600 $as_root apt-get update -qq </dev/null &&
        timeout 900 $as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends $missing </dev/null
}
