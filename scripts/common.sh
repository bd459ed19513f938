# Shared by the scripts: install what is missing, configure and build.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${MF_BUILD_DIR:-$ROOT/build}

# Debian packages the build, the tests and the tools need.
PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libgtest-dev zlib1g-dev
          libdeflate-dev xvfb xauth zip unzip python3 attr desktop-file-utils dpkg-dev file
          fonts-dejavu dbus-daemon systemd rclone)

# ensure_packages [further packages a script needs...]
ensure_packages() {
    local missing=()
    for p in "${PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null; then
        echo "Missing packages: ${missing[*]} (install them as root)" >&2
        return 1
    fi
    local SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    echo "Installing: ${missing[*]}"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
}

# configure_and_build [cmake -D options...] [-- targets...]
configure_and_build() {
    local options=() targets=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
    [ "${1:-}" = "--" ] && shift
    targets=("$@")
    # A compiler cache, where one is installed, makes a rebuild in a second
    # clone or work tree take what the first one compiled.
    if command -v ccache >/dev/null; then
        options+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
        export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$ROOT")} CCACHE_NOHASHDIR=1
    fi
    cmake -S "$ROOT" -B "$BUILD" -G Ninja "${options[@]}" >/dev/null &&
        cmake --build "$BUILD" ${targets[@]:+--target "${targets[@]}"}
}
