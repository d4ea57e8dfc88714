#!/bin/sh
# Runs every test of Tarmis Server: builds the native (ASan/UBSan) and the
# Windows builds, then runs the unit tests and the integration tests, the
# latter against both the native programs and the .exe files under Wine,
# the relay queue's stress test under ThreadSanitizer, and every fuzz
# target for 30 seconds, and a one-minute soak test of the release build;
# last it makes the Windows release zip and checks what it holds.
# Installs what it needs with apt-get when it is missing (run as root).
set -eu
cd "$(dirname "$0")"
. ./scripts/setup.sh

tarmis_install_packages
tarmis_build native
tarmis_build windows
tarmis_build tsan
# The release build with its test programs, which are compiled at -O3 with
# -Werror (not run), so that they build clean optimised as well; the preset
# itself leaves them out, as ./run.sh needs no test library.
cmake --preset release -DTARMIS_TESTS=ON >/dev/null
cmake --build --preset release -j"$(nproc)"

tarmis_start_wine
export TARMIS_WIN_DIR="$PWD/build/windows"

failed=""
rm -f build/native/Testing/Temporary/LastTestsFailed.log build/tsan/Testing/Temporary/LastTestsFailed.log
# The integration tests time real processes on a machine shared with the
# build; a test that fails is run once more, and one that passes only then is
# named at the end, so that a rare flake stays visible without failing a
# run that a real fault fails twice.
ctest_out=build/native/ctest-output.txt
{ ctest --test-dir build/native --output-on-failure -j2 --repeat until-pass:2 || echo "$?" >"$ctest_out.rc"; } |
    tee "$ctest_out"
[ -e "$ctest_out.rc" ] && { rm -f "$ctest_out.rc"; failed="$failed tests"; }
# The relay queue under ThreadSanitizer: a producer and a consumer racing.
ctest --preset tsan || failed="$failed tsan"
# Every fuzz target for 30 seconds (libFuzzer with ASan and UBSan).
bash fuzz/run.sh 30 || failed="$failed fuzz"
# A one-minute soak: churning clients, key commands, stand-in restarts, all
# through a lossy network (drops, duplicates, reorders, jitter).
bash bench/soak.sh 1 || failed="$failed soak"
# The Windows release zip: six files, stripped .exe files with the version
# resource and the manifest, the phone dashboard launcher and the texts with
# CRLF line ends.
sh packaging/check_package.sh build/windows || failed="$failed package"

tarmis_report_second_runs "$ctest_out" build/native
[ -z "$failed" ] && { echo "test.sh: every step passed"; exit 0; }
# Whoever reads only the end of the output still sees what failed.
tarmis_report_ctest_failures build/native
tarmis_report_ctest_failures build/tsan
echo "test.sh: FAILED:$failed"
exit 1
