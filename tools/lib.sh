# shellcheck shell=bash
# Shell functions shared by tools/dev and the scripts beside it (soak.sh, fuzz.sh, package.sh).
# Sourced, never run: it only defines functions, so that sourcing it changes no shell option, no
# directory and no variable of the script that does.

# The Debian packages that building Talven and running its tests need (one name per line).
build_packages() {
    # The fonts are the faces Talven stands in for the form's 黑体, 宋体 and 楷体.
    # qtbase5-private-dev: the receive box's layout releases Qt's line records (terminal/receivelayout.cpp).
    printf '%s\n' cmake g++ make qtbase5-dev qtbase5-dev-tools qtbase5-private-dev libqt5serialport5-dev \
        fonts-noto-cjk fonts-arphic-uming fonts-arphic-ukai
}

# Runs apt-get without questions, as root or through sudo.
apt_get() {
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -y "$@" </dev/null
}

# Installs those of the named Debian packages that are not installed yet. The package lists are
# updated first, as a fresh machine has none.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    apt_get update
    apt_get install --no-install-recommends "${missing[@]}"
}

# Installs what is missing of build_packages and of the packages named in the arguments.
install_build_packages() {
    local packages
    mapfile -t packages < <(build_packages)
    install_missing "${packages[@]}" "$@"
}

# Configures the build directory $1 with the CMake arguments that follow, and builds it.
build() {
    cmake -S . -B "$1" "${@:2}"
    cmake --build "$1" -j"$(nproc)"
}

# Prints a heading for the next step of a script.
step() {
    echo "== $*"
}

# Ends the script with a message naming it.
fail() {
    echo "${0##*/}: FAILED: $*" >&2
    exit 1
}
