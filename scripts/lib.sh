# Shared by scripts/run and scripts/test: package installation and the two builds.
# shellcheck shell=sh
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build"
WINDOWS_BUILD="$BUILD/windows"
NATIVE_BUILD="$BUILD/native"
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
WINE=/usr/lib/wine/wine64

PACKAGES="cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine64 libasio-dev \
nlohmann-json3-dev libspdlog-dev libfmt-dev googletest libssl-dev"

# Installs every package above that is missing (needs root on a fresh machine).
install_packages() {
    missing=""
    for p in $PACKAGES; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing="$missing $p"
        fi
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages:$missing (run as root to install them)" >&2
        exit 1
    fi
    echo "installing:$missing"
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# The Windows build: qel-agent.exe, the test doubles and test programs (mingw-w64).
build_windows() {
    cmake -S "$ROOT" -B "$WINDOWS_BUILD" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WINEPREFIX="$WINEPREFIX" >/dev/null
    cmake --build "$WINDOWS_BUILD" "$@"
}

# The native build: the portable core and its tests under the sanitizers, and the
# end-to-end tests that drive the Windows build under Wine.
build_native() {
    cmake -S "$ROOT" -B "$NATIVE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DQEL_WINDOWS_BIN_DIR="$WINDOWS_BUILD/bin" -DQEL_WINEPREFIX="$WINEPREFIX" >/dev/null
    cmake --build "$NATIVE_BUILD" "$@"
}
