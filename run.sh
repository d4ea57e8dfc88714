#!/bin/sh
# The main job: builds Tarmis Server and runs it on this machine against the
# simulator stand-in, which drives a believable race, so live values flow to
# dashboard apps on UDP port 2047 until Ctrl-C. Arguments are passed to the
# server (./run.sh -d -p 3000); with -t the server's built-in test pattern
# is used and no stand-in is started.
set -eu
cd "$(dirname "$0")"
. ./scripts/setup.sh

TARMIS_PACKAGES="cmake make g++"
tarmis_install_packages
tarmis_build release >/dev/null
bin=./build/release

port=2047
with_sim=1
prev=""
for a in "$@"; do
    case "$a" in -t*|-T*|/t*|/T*) with_sim=0 ;; esac
    case "$prev" in -p*|-P*|/p*|/P*) port=$a ;; esac
    prev=$a
done

sim_pid=""
stop_sim() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
if [ $with_sim = 1 ]; then
    trap stop_sim EXIT INT TERM
    "$bin/tarmis_simulator" --quiet >/dev/null &
    sim_pid=$!
    echo "Simulator stand-in started (pid $sim_pid)."
fi
echo "To watch the stream, run in another terminal:"
echo "    $bin/tarmis_dash --port $port"
echo "(or from another PC: tarmis_dash --host THIS_PC_ADDRESS --port $port)"
echo
"$bin/tarmis_server" "$@" || true
