# Shared by the scripts: package installation, the builds, the fuzzer runs, and ending what
# they started on Ctrl+C.
# shellcheck shell=sh
set -eu

# A script finds the repository through its own path; a shell that sources this file (from the
# repository's root or its scripts folder) through the working folder.
if [ -f "$(dirname "$0")/lib.sh" ]; then
    ROOT=$(cd "$(dirname "$0")/.." && pwd)
elif [ -f scripts/lib.sh ]; then
    ROOT=$(pwd)
else
    echo "lib.sh: source it from the repository's root: . scripts/lib.sh" >&2
    # shellcheck disable=SC2317 # exit: when it is run instead of sourced
    return 1 2>/dev/null || exit 1
fi
BUILD="$ROOT/build"
WINDOWS_BUILD="$BUILD/windows"
NATIVE_BUILD="$BUILD/native"
FUZZ_BUILD="$BUILD/fuzz"
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
# QEL_WINE, QEL_WINESERVER
# shellcheck source=scripts/wine.env
. "$ROOT/scripts/wine.env"

PACKAGES="cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine64 libasio-dev \
nlohmann-json3-dev libspdlog-dev libfmt-dev googletest libssl-dev"

# Installs every package of PACKAGES that is missing (needs root on a fresh machine).
install_packages() {
    # shellcheck disable=SC2086
    install_missing $PACKAGES
}

# The fuzz build's compiler and libFuzzer: the clang on PATH, or the distribution's default
# one (the package clang) when there is none, and the compiler runtime of that clang's version.
install_fuzz_packages() {
    if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null; then
        install_missing clang
    fi
    major=$(clang --version 2>/dev/null | sed -n '1s/.*clang version \([0-9][0-9]*\).*/\1/p')
    if [ -z "$major" ]; then
        echo "cannot tell the version of clang ($(command -v clang || echo 'not found'))" >&2
        exit 1
    fi
    install_missing "libclang-rt-$major-dev"
}

install_missing() {
    missing=""
    for p in "$@"; do
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
    if [ -z "${APT_UPDATED:-}" ]; then
        apt-get update -qq
        APT_UPDATED=1
    fi
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

# The fuzz build: one libFuzzer program per target in tests/fuzz, the portable core compiled
# with clang, coverage and the sanitizers.
build_fuzz() {
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_FUZZ=ON >/dev/null
    cmake --build "$FUZZ_BUILD" "$@"
}

# The fuzz targets, one a line, as tests/fuzz/CMakeLists.txt defines them; the fuzz build's
# configuration writes this file.
FUZZ_TARGET_LIST="$FUZZ_BUILD/fuzz-targets.txt"

# Runs every fuzz target for $1 seconds, all at once, one process each. New corpus entries go
# to build/fuzz/corpus/<target>, crash, hang and out-of-memory inputs to
# build/fuzz/artifacts/<target>. Prints a line per target; fails when any target failed.
run_fuzzers() {
    seconds=$1
    if [ ! -s "$FUZZ_TARGET_LIST" ]; then
        echo "no fuzz targets in $FUZZ_TARGET_LIST: build the fuzzers first (build_fuzz)" >&2
        return 1
    fi
    targets=$(cat "$FUZZ_TARGET_LIST")
    mkdir -p "$FUZZ_BUILD/logs"
    # The fuzzers' process ids, in the order of $targets.
    set --
    for t in $targets; do
        rm -rf "$FUZZ_BUILD/artifacts/$t"
        mkdir -p "$FUZZ_BUILD/corpus/$t" "$FUZZ_BUILD/artifacts/$t"
        # A RUST_LOG value is short; the others read lines and files that may be long.
        max_len=65536
        [ "$t" = log_filter ] && max_len=4096
        # A hang is an input that takes more than 10 seconds.
        "$FUZZ_BUILD/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$FUZZ_BUILD/artifacts/$t/" \
            "$FUZZ_BUILD/corpus/$t" "$ROOT/tests/fuzz/corpus/$t" >"$FUZZ_BUILD/logs/$t.log" 2>&1 &
        set -- "$@" "$!"
        CHILDREN="$CHILDREN $!"
    done
    failed=0
    for t in $targets; do
        pid=$1
        shift
        rc=0
        wait "$pid" || rc=$?
        forget_child "$pid"
        log="$FUZZ_BUILD/logs/$t.log"
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        corpus=$(sed -n 's/.* corp: \([0-9]*\/[^ ]*\) .*/\1/p' "$log" | tail -n 1)
        kept=$(find "$FUZZ_BUILD/corpus/$t" -type f | wc -l)
        artifacts=$(find "$FUZZ_BUILD/artifacts/$t" -type f ! -name 'slow-unit-*')
        echo "$t: ${runs:-?} executions, corpus ${corpus:-?} (entries/size), $kept kept in build/fuzz/corpus/$t"
        if [ "$rc" != 0 ] || [ -n "$artifacts" ]; then
            failed=1
            echo "$t: FAILED (exit code $rc), log $log"
            for a in $artifacts; do
                echo "$t: artifact $a"
            done
            grep -E -A 12 '^==[0-9]+==|^SUMMARY|property failed|ALARM|out-of-memory' "$log" |
                head -n 40
        fi
    done
    return $failed
}

# What on_signal ends: the processes that a script runs in the background, and process groups
# as -<group id>.
CHILDREN=""

forget_child() {
    rest=""
    for c in $CHILDREN; do
        [ "$c" = "$1" ] || rest="$rest $c"
    done
    CHILDREN=$rest
}

# Runs "$@" as a process group of its own and waits for it. A trapped signal interrupts `wait`
# at once (while a command runs in the foreground, the shell holds its traps back until the
# command ends), and on_signal can then end the whole group: ctest leaves its running tests
# behind when only ctest is ended.
run_step() {
    setsid -w "$@" &
    step=$!
    CHILDREN="$CHILDREN -$step"
    rc=0
    wait "$step" || rc=$?
    forget_child "-$step"
    return "$rc"
}

# For the INT and TERM traps: ends what the script runs in the background, then exits with the
# status $1 (130 for INT, 143 for TERM), which runs the EXIT trap.
on_signal() {
    for c in $CHILDREN; do
        # dash's kill takes a negative id after the signal, but no "--".
        kill -TERM "$c" 2>/dev/null || true
    done
    wait
    exit "$1"
}
