# Shared by scripts/run, scripts/test and scripts/fuzz: package installation, the builds, and
# the fuzzer runs.
# shellcheck shell=sh
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build"
WINDOWS_BUILD="$BUILD/windows"
NATIVE_BUILD="$BUILD/native"
FUZZ_BUILD="$BUILD/fuzz"
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
WINE=/usr/lib/wine/wine64

PACKAGES="cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine64 libasio-dev \
nlohmann-json3-dev libspdlog-dev libfmt-dev googletest libssl-dev"
# The fuzz build's compiler and libFuzzer, on top of the packages above.
FUZZ_PACKAGES="clang libclang-rt-14-dev"
FUZZ_TARGETS="request_line connection log_filter tun_alias json_text"

# Installs every package of PACKAGES that is missing (needs root on a fresh machine).
install_packages() {
    # shellcheck disable=SC2086
    install_missing $PACKAGES
}

# The same for FUZZ_PACKAGES.
install_fuzz_packages() {
    # shellcheck disable=SC2086
    install_missing $FUZZ_PACKAGES
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

# The fuzz build: one libFuzzer program per target in tests/fuzz, the portable core compiled
# with clang, coverage and the sanitizers.
build_fuzz() {
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_FUZZ=ON >/dev/null
    cmake --build "$FUZZ_BUILD" "$@"
}

# Runs every fuzz target for $1 seconds, all at once, one process each. New corpus entries go
# to build/fuzz/corpus/<target>, crash, hang and out-of-memory inputs to
# build/fuzz/artifacts/<target>. Prints a line per target; fails when any target failed.
run_fuzzers() {
    seconds=$1
    mkdir -p "$FUZZ_BUILD/logs"
    for t in $FUZZ_TARGETS; do
        rm -rf "$FUZZ_BUILD/artifacts/$t"
        mkdir -p "$FUZZ_BUILD/corpus/$t" "$FUZZ_BUILD/artifacts/$t"
        # A RUST_LOG value is short; the others read lines and files that may be long.
        max_len=65536
        [ "$t" = log_filter ] && max_len=4096
        # A hang is an input that takes more than 10 seconds.
        "$FUZZ_BUILD/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$FUZZ_BUILD/artifacts/$t/" \
            "$FUZZ_BUILD/corpus/$t" "$ROOT/tests/fuzz/corpus/$t" >"$FUZZ_BUILD/logs/$t.log" 2>&1 &
        eval "pid_$t=\$!"
    done
    failed=0
    pid=""
    for t in $FUZZ_TARGETS; do
        eval "pid=\$pid_$t"
        rc=0
        wait "$pid" || rc=$?
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
