#!/bin/bash
# bench/ctrlc_loop.sh: stops the Windows server with Ctrl-C again and again
# under Wine, with a dashboard connected, and counts the stops that hang.
#
# Usage, from the source tree:
#   bench/ctrlc_loop.sh [RUNS] [WIN_DIR] [DASH] [OUTPUT]
#     RUNS     how many stops (300)
#     WIN_DIR  the Windows build with tarmis_server.exe (build/windows)
#     DASH     the dashboard client that connects (build/native/tarmis_dash)
#     OUTPUT   "file": standard output goes to a file (the default);
#              "blocked": standard output is a pipe that stops being read
#              after the first status lines and is then filled, so the
#              status redraw is blocked in its write at the Ctrl-C, as when
#              console output is suspended on Windows
#
# One run: start tarmis_server.exe -t under Wine on a free port, wait for
# "Port = ", connect the dashboard and wait for its first update, wait a
# random 0..300 ms more, send SIGINT to the Wine process as the integration
# harness does (Wine turns it into CTRL_C_EVENT on a thread of its own), and
# wait at most 5 s for the process to end. With OUTPUT "blocked", the pipe
# is filled once the dashboard has its first update, and the Ctrl-C comes
# 2.2 s later (after the next redraw) plus the random wait; each run notes
# whether a thread of the server was seen blocked writing the pipe. A process still running after
# that is a hang: its threads' wait channels are printed and it is killed.
# Prints a summary line; exits 1 when any run hung or did not end with 0.
# As root it first moves into private mount and network namespaces, as
# soak.sh does, so that it cannot meet anyone else's server.
set -u
RUNS=${1:-300}
WIN_DIR=${2:-build/windows}
DASH=${3:-build/native/tarmis_dash}
OUTPUT=${4:-file}
case "$OUTPUT" in file|blocked) ;; *) echo "OUTPUT is file or blocked" >&2; exit 2 ;; esac
SERVER="$WIN_DIR/tarmis_server.exe"
[ -f "$SERVER" ] || { echo "no $SERVER: build the windows preset first" >&2; exit 2; }
[ -x "$DASH" ] || { echo "no $DASH: build tarmis_dash first" >&2; exit 2; }

if [ -z "${TARMIS_BENCH_ISOLATED:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null \
    && command -v ip >/dev/null && unshare --mount --net true 2>/dev/null; then
    exec unshare --mount --net sh -c \
        'mount -t tmpfs tmpfs /dev/shm && ip link set lo up && TARMIS_BENCH_ISOLATED=1 exec "$0" "$@"' \
        bash "$0" "$RUNS" "$WIN_DIR" "$DASH" "$OUTPUT"
fi

if [ -z "${WINEPREFIX:-}" ]; then
    . ./scripts/setup.sh
    tarmis_start_wine >/dev/null
fi
# Job control: every background job leads a process group of its own and
# keeps SIGINT at its default, as the harness's children do.
set -m

WORK=$(mktemp -d /tmp/tarmis_ctrlc_XXXXXX)
cleanup() {
    rm -rf "$WORK"
    if command -v tarmis_stop_wine >/dev/null; then tarmis_stop_wine; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A UDP port that nothing on this host holds.
free_port() {
    python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# True while any thread of process $1 is alive. A Wine process that hangs
# on its way out can have a zombie main thread and one thread still stuck.
running() {
    local t state
    for t in /proc/"$1"/task/*/stat; do
        state=$(awk '{print $3}' "$t" 2>/dev/null) || continue
        [ -n "$state" ] && [ "$state" != Z ] && return 0
    done
    return 1
}

# Waits until file $1 holds text $2, at most $3 tenths of a second.
wait_for_text() {
    local i=0
    while [ "$i" -lt "$3" ]; do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

hangs=0
blocked_seen=0
bad_codes=0
no_start=0
start=$(date +%s)
for run in $(seq 1 "$RUNS"); do
    port=$(free_port)
    out="$WORK/server.out"
    if [ "$OUTPUT" = blocked ]; then
        # A fresh pipe each run; the script holds both ends (fd 3), so a
        # write to it never fails, and a copier reads it into $out for now.
        rm -f "$WORK/out.fifo" "$out"
        mkfifo "$WORK/out.fifo"
        exec 3<>"$WORK/out.fifo"
        cat <&3 >"$out" &
        copier=$!
        WINEDEBUG=-all wine "$SERVER" -t -p "$port" >"$WORK/out.fifo" 2>/dev/null </dev/null 3<&- &
    else
        WINEDEBUG=-all wine "$SERVER" -t -p "$port" >"$out" 2>/dev/null </dev/null &
    fi
    server=$!
    if ! wait_for_text "$out" "Port = " 600; then
        echo "run $run: the server did not start"
        no_start=$((no_start + 1))
        kill -KILL -"$server" 2>/dev/null
        wait "$server" 2>/dev/null
        if [ "$OUTPUT" = blocked ]; then kill "$copier" 2>/dev/null; exec 3>&-; fi
        continue
    fi
    "$DASH" --port "$port" --json --duration 30 >"$WORK/dash.out" 2>/dev/null </dev/null 3<&- &
    dash=$!
    wait_for_text "$WORK/dash.out" '{' 100 || echo "run $run: the dashboard got no update"
    if [ "$OUTPUT" = blocked ]; then
        wait_for_text "$out" "Clients connected" 50 || echo "run $run: no status lines"
        kill "$copier" 2>/dev/null
        wait "$copier" 2>/dev/null
        python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_NONBLOCK)
try:
    while os.write(fd, bytes(4096)) > 0: pass
except BlockingIOError: pass' "$WORK/out.fifo"
        sleep 2.2
        grep -qs pipe_write /proc/"$server"/task/*/wchan && blocked_seen=$((blocked_seen + 1))
    fi
    sleep "0.$(printf '%03d' $((RANDOM % 300)))"

    kill -INT "$server"
    waited=0
    while running "$server" && [ "$waited" -lt 50 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    if running "$server"; then
        hangs=$((hangs + 1))
        echo "run $run: HANG, still running 5 s after Ctrl-C"
        for t in /proc/"$server"/task/*; do
            echo "  thread ${t##*/}: $(cat "$t/comm" 2>/dev/null) waits in $(cat "$t/wchan" 2>/dev/null)"
        done
        if command -v gdb >/dev/null; then
            gdb -p "$server" -batch -ex "thread apply all bt 12" 2>/dev/null | grep -E '^(Thread|#)' |
                sed 's/^/  /' >"$WORK/bt.txt"
            cat "$WORK/bt.txt"
        fi
        kill -KILL -"$server" 2>/dev/null
        wait "$server" 2>/dev/null
    else
        wait "$server"
        code=$?
        if [ "$code" != 0 ]; then
            bad_codes=$((bad_codes + 1))
            echo "run $run: exit code $code"
        fi
    fi
    kill -KILL -"$dash" 2>/dev/null
    wait "$dash" 2>/dev/null
    [ "$OUTPUT" = blocked ] && exec 3>&-
    [ $((run % 25)) = 0 ] && echo "after $run runs: $hangs hangs ($(( $(date +%s) - start )) s)"
done
echo "ctrlc_loop: $RUNS runs, $hangs hangs, $bad_codes other exit codes, $no_start failed starts," \
     "$(( $(date +%s) - start )) s"
[ "$OUTPUT" = blocked ] && echo "ctrlc_loop: in $blocked_seen runs a thread was seen blocked writing the pipe"
[ "$hangs" = 0 ] && [ "$bad_codes" = 0 ] && [ "$no_start" = 0 ]
