# Sourced by the Windows scripts: install_packages installs Debian packages through apt-get,
# as root or through sudo, and returns non-zero (with a line on stderr) when it cannot. Each
# apt-get run has a deadline, so a stuck mirror fails the step instead of hanging it.
install_packages() {
    if [ "$(id -u)" -eq 0 ]; then
        as_root=""
    elif command -v sudo >/dev/null 2>&1; then
        as_root="sudo"
    else
        echo "${0##*/}: need root or sudo to install: $*" >&2
        return 1
    fi
    echo "${0##*/}: installing $*"
    timeout 600 $as_root apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive timeout 900 $as_root apt-get install -y -qq --no-install-recommends "$@" ||
        return 1
}
