#!/bin/sh
# The main job: builds Tarmis Server and runs it on this machine against the
# simulator stand-in, which drives a believable race, so live values flow to
# dashboard apps on UDP port 2047 until Ctrl-C. Arguments are passed to the
# server (./run.sh -d -p 3000); with -t the server's built-in test pattern
# is used and no stand-in is started. The key messages that reach the
# stand-in are shown above the server's status lines. The exit code is the
# server's.
set -eu
cd "$(dirname "$0")"
. ./scripts/setup.sh

TARMIS_PACKAGES="cmake make g++"
tarmis_install_packages

# Configures and builds the release programs, showing each file as it is
# compiled (a first build takes minutes) and nothing when all is up to date.
echo "Building the release programs in build/release ..."
cmake --preset release >/dev/null
build_status=$(mktemp /tmp/tarmis_build_XXXXXX)
{ cmake --build --preset release -j"$(nproc)" 2>&1; echo $? >"$build_status"; } |
    grep --line-buffered -v -e 'Built target' -e '^g\?make\[[0-9]*\]: ' || true
status=$(cat "$build_status")
rm -f "$build_status"
if [ "$status" != 0 ]; then
    echo "The build failed (exit code $status)." >&2
    exit "$status"
fi
bin=./build/release

port=2047
with_sim=1
prev=""
for a in "$@"; do
    case "$a" in -t*|-T*|/t*|/T*) with_sim=0 ;; esac
    case "$prev" in -p*|-P*|/p*|/P*) port=$a ;; esac
    prev=$a
done

# Shows the stand-in's key lines. On a terminal the server redraws its two
# status lines in place, counting the lines it printed itself, so each key
# line takes the place of the status lines (clear them, print the line, two
# empty lines): the server's next redraw lands below it.
show_keys() {
    tty=0
    [ -t 1 ] && tty=1
    while IFS= read -r line; do
        case "$line" in
            KEY\ *)
                [ $tty = 1 ] && printf '\033[2A\033[J'
                echo "Stand-in received: ${line#KEY }"
                [ $tty = 1 ] && printf '\n\n'
                ;;
        esac
    done
}

sim_pid=""
show_pid=""
run_dir=""
stop_sim() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    if [ -n "$show_pid" ]; then kill "$show_pid" 2>/dev/null || true; fi
    if [ -n "$run_dir" ]; then rm -rf "$run_dir"; fi
    sim_pid=""
    show_pid=""
    run_dir=""
}
if [ $with_sim = 1 ]; then
    trap stop_sim EXIT INT TERM
    run_dir=$(mktemp -d /tmp/tarmis_run_XXXXXX)
    mkfifo "$run_dir/keys"
    "$bin/tarmis_simulator" --quiet >"$run_dir/keys" &
    sim_pid=$!
    show_keys <"$run_dir/keys" &
    show_pid=$!
    echo "Simulator stand-in started (pid $sim_pid); it shows every key it receives."
fi
echo "To watch the stream, run in another terminal:"
echo "    $bin/tarmis_dash --port $port"
echo "(or from another PC: tarmis_dash --host THIS_PC_ADDRESS --port $port)"
echo "A dashboard button press: $bin/tarmis_dash --port $port --command \"key 13\""
echo
status=0
"$bin/tarmis_server" "$@" || status=$?
if [ "$status" != 0 ]; then
    echo "tarmis_server ended with exit code $status." >&2
    echo "Is port $port taken (another ./run.sh)? Run ./run.sh -d and read log.txt." >&2
fi
exit "$status"
