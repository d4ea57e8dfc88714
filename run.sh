#!/bin/sh
# The main job: builds Tarmis Server and runs it on this machine in test
# mode (a built-in test pattern stands in for the simulator), serving
# dashboard apps on UDP port 2047 until Ctrl-C. Extra arguments are passed
# to the server, e.g. ./run.sh -d -p 3000.
set -eu
cd "$(dirname "$0")"
. ./scripts/setup.sh

TARMIS_PACKAGES="cmake make g++"
tarmis_install_packages
tarmis_build release >/dev/null

exec ./build/release/tarmis_server -t "$@"
