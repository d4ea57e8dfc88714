# scripts/setup.sh: shared steps of test.sh and run.sh (sourced, POSIX sh).

TARMIS_PACKAGES="cmake make g++ libgtest-dev g++-mingw-w64-x86-64-posix wine wine64 xvfb clang libclang-rt-14-dev libfaketime icoutils unzip chromium zbar-tools"

# Installs the packages that are missing, with apt-get, once.
tarmis_install_packages() {
    missing=""
    for p in $TARMIS_PACKAGES; do
        dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    if [ "$(id -u)" != 0 ]; then
        echo "Packages are missing; run this as root so that apt-get can install them." >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq $missing >/dev/null
}

# Configures and builds one preset (native, release, windows).
tarmis_build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j"$(nproc)"
}

# Starts Xvfb on a free display and a private Wine prefix for this run, and
# arranges for both to be stopped when the script ends.
tarmis_start_wine() {
    TARMIS_RUN_DIR=$(mktemp -d /tmp/tarmis_run_XXXXXX)
    export WINEPREFIX="$TARMIS_RUN_DIR/wineprefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -nolisten tcp >/dev/null 2>&1 &
    TARMIS_XVFB_PID=$!
    export DISPLAY=":$n"
    trap tarmis_stop_wine EXIT INT TERM
    i=0
    while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    echo "Preparing a private Wine prefix in $WINEPREFIX ..."
    wine wineboot --init >/dev/null 2>&1 || true
    # A persistent wine server keeps every test's start-up short.
    wineserver -p >/dev/null 2>&1 || true
}

tarmis_stop_wine() {
    if [ -n "${WINEPREFIX:-}" ]; then wineserver -k >/dev/null 2>&1 || true; fi
    if [ -n "${TARMIS_XVFB_PID:-}" ]; then kill "$TARMIS_XVFB_PID" 2>/dev/null || true; fi
    if [ -n "${TARMIS_RUN_DIR:-}" ]; then rm -rf "$TARMIS_RUN_DIR"; fi
}

# Prints, for each test that failed in the last ctest run of build tree $1,
# its name and the end of its output (from ctest's own log).
tarmis_report_ctest_failures() {
    list="$1/Testing/Temporary/LastTestsFailed.log"
    log="$1/Testing/Temporary/LastTest.log"
    [ -s "$list" ] || return 0
    cut -d: -f2- "$list" | while IFS= read -r name; do
        echo "---- failed: $name (the end of its output)"
        awk -v name="$name" '
            $0 ~ "^[0-9]+/[0-9]+ Test: " && substr($0, index($0, "Test: ") + 6) == name { on = 1; n = 0; next }
            on && /^<end of output>/ { on = 0 }
            on { line[n++ % 40] = $0 }
            END { s = n > 40 ? n - 40 : 0; for (i = s; i < n; i++) print line[i % 40] }
        ' "$log"
    done
}

# Names the tests of ctest output $1 (build tree $2) that failed a first run
# and passed the second (a skipped test, "***Skipped", failed nothing).
tarmis_report_second_runs() {
    list="$2/Testing/Temporary/LastTestsFailed.log"
    grep -E 'Test +#[0-9]+: .*\*\*\*' "$1" | grep -v -E '\*\*\*Skipped' | sed -E 's/.*Test +#([0-9]+): /\1:/; s/ \.\.+.*$//' | sort -u |
        while IFS= read -r test; do
            [ -s "$list" ] && grep -q "^${test%%:*}:" "$list" && continue
            echo "test.sh: passed only on its second run: ${test#*:} (its first run's output is above)"
        done
}
