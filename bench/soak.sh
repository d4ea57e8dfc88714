#!/usr/bin/env bash
# bench/soak.sh [MINUTES]: soak test of the release server (default 10 minutes;
# CI runs `bench/soak.sh 1`).
#
# Runs the server against the stand-in simulator while nine dashboard clients
# (tarmis_dash) connect and leave in churn, some sending key commands, some
# leaving without a word, and restarts the stand-in now and then. A tenth
# client stays connected throughout. Every client talks to the server through
# tarmis_soak_proxy, a lossy network that drops 5 %, duplicates 10 % and
# reorders 5 % of the datagrams in both directions and delays each by up to
# 50 ms; clients send their disconnect three times, as an app on such a
# network would.
#
# It fails when:
# - the server exits, or a client ends other than served or refused while
#   the server is full (a client that loses its connection, or gets no
#   answer to its handshake);
# - the server leaves a gap of more than 200 ms between two updates to any
#   connected client (measured by the proxy as the server's packets arrive,
#   before the impairment), or the staying client sees no update for 5 s;
# - 3.5 s after the last clients left, ten new clients (straight to the
#   server) are not all served: a place was leaked;
# - memory grows: it samples the server's VmRSS every 5 s and fails when the
#   largest sample of the last minute is more than 16 KiB above the largest
#   of the first minute (runs shorter than two minutes compare their two
#   halves). Paths that run once (a full server refusing, a client timing
#   out, the stand-in restarting) are made to run in the first window, so
#   that later growth means memory kept per client, command or restart.
# Exits 0 when all held, 1 otherwise.
#
# As root it runs in private mount and network namespaces (its own /dev/shm
# and loopback), so other stand-ins and servers on the machine do not meet it.
set -u
MINUTES=${1:-10}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TARMIS_BENCH_BUILD:-$ROOT/build/release}

if [ -z "${TARMIS_BENCH_ISOLATED:-}" ] && [ "$(id -u)" = 0 ] && command -v unshare >/dev/null \
    && command -v ip >/dev/null && unshare --mount --net true 2>/dev/null; then
    exec unshare --mount --net sh -c \
        'mount -t tmpfs tmpfs /dev/shm && ip link set lo up && TARMIS_BENCH_ISOLATED=1 exec "$0" "$@"' \
        bash "$0" "$MINUTES"
fi

for p in tarmis_server tarmis_simulator tarmis_dash tarmis_soak_proxy; do
    [ -x "$BUILD/$p" ] || { echo "soak: $BUILD/$p missing (cmake --preset release && cmake --build --preset release -j2)"; exit 1; }
done

TMP=$(mktemp -d /tmp/tarmis_soak.XXXXXX)
PORT=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
SIM_PID=
SRV_PID=
PROXY_PID=
WATCH_PID=
CLIENT_PIDS=()

cleanup() {
    for pid in "${CLIENT_PIDS[@]}" $WATCH_PID $PROXY_PID $SRV_PID $SIM_PID; do
        kill -KILL "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

start_sim() {
    "$BUILD/tarmis_simulator" --quiet --fps 60 --seed $((RANDOM % 100)) >"$TMP/sim.out" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 100); do
        grep -q READY "$TMP/sim.out" 2>/dev/null && return 0
        kill -0 $SIM_PID 2>/dev/null || break
        sleep 0.05
    done
    echo "soak: stand-in did not start: $(cat "$TMP/sim.out")"
    return 1
}

# Each client gets a qport of its own: the server tells clients of one host
# apart by it.
QPORT=1000
next_qport() { QPORT=$((QPORT >= 60000 ? 1000 : QPORT + 1)); }

# Counts a client's exit code: served, refused while full, or anything else.
count_ending() {
    case $1 in
        0) DONE_OK=$((DONE_OK + 1)) ;;
        3) DONE_REFUSED=$((DONE_REFUSED + 1)) ;;
        *) DONE_OTHER=$((DONE_OTHER + 1)) ;;
    esac
}

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$SRV_PID/status" 2>/dev/null; }

start_sim || exit 1
# With its debug log (in $TMP/log.txt), which tells on a failure which
# clients came and went.
(cd "$TMP" && exec "$BUILD/tarmis_server" -p "$PORT" -d >/dev/null 2>"$TMP/server.err") &
SRV_PID=$!
SEED=${TARMIS_SOAK_SEED:-$RANDOM}
"$BUILD/tarmis_soak_proxy" --server-port "$PORT" --seed "$SEED" >"$TMP/proxy.out" 2>&1 &
PROXY_PID=$!
PROXY_PORT=
for _ in $(seq 100); do
    PROXY_PORT=$(awk '/^PROXY READY port/ {print $4}' "$TMP/proxy.out")
    [ -n "$PROXY_PORT" ] && break
    sleep 0.05
done
[ -n "$PROXY_PORT" ] || { echo "soak: the proxy did not start: $(cat "$TMP/proxy.out")"; exit 1; }
sleep 0.5
# One client stays for the whole run and must keep receiving updates; the
# churn below fills at most the other nine places.
DASH=(--port "$PROXY_PORT" --disconnects 3)
"$BUILD/tarmis_dash" "${DASH[@]}" --qport 999 --json --name soakwatch --duration $((MINUTES * 60 + 30)) \
    >"$TMP/watch.out" 2>"$TMP/watch.err" &
WATCH_PID=$!
LAST_LINES=0
sleep 1

COMMANDS=("key a" "key 1" "key F1" "key 3 b" "key space" "nonsense text")
TOTAL=$((MINUTES * 60))
# Four pages: a path first taken late (a deeper stack, a heap block placed
# anew) may touch a page once; memory kept per client session, command or
# restart passes this within minutes of churn.
RSS_SLACK_KIB=16
WINDOW=$((TOTAL / 2 < 60 ? TOTAL / 2 : 60))
# Warm-up: every command once, a client that leaves without a word (its
# place times out), and ten at once, so that the server is full and refuses.
WARM=("${DASH[@]}" --qport 998 --duration 2 --name soakwarm --no-disconnect)
for c in "${COMMANDS[@]}"; do WARM+=(--command "$c"); done
"$BUILD/tarmis_dash" "${WARM[@]}" >/dev/null 2>&1 &
CLIENT_PIDS+=($!)
for i in $(seq 9); do
    next_qport
    "$BUILD/tarmis_dash" "${DASH[@]}" --qport $QPORT --duration 3 --name "soakfull$i" >/dev/null 2>&1 &
    CLIENT_PIDS+=($!)
done
START=$(date +%s)
FAIL=0
CHECKS=0
RESTARTS=0
CONNECTS=${#CLIENT_PIDS[@]}   # the warm-up's
DONE_OK=0
DONE_REFUSED=0
DONE_OTHER=0
SAMPLES=()       # "elapsed rss" pairs
# The first restart falls inside the first window, so that every path of
# the server has run once before the windows are compared.
NEXT_RESTART=$((START + WINDOW / 2))
NEXT_CHECK=$((START + 5))
NEXT_CLIENT=$START

echo "soak: $MINUTES min, server port $PORT, proxy port $PROXY_PORT (seed $SEED), windows of $WINDOW s (load $(cut -d' ' -f1-3 /proc/loadavg))"
while :; do
    NOW=$(date +%s)
    ELAPSED=$((NOW - START))
    [ $ELAPSED -ge $TOTAL ] && break

    if ! kill -0 $SRV_PID 2>/dev/null; then
        echo "soak: FAIL: the server exited after $ELAPSED s: $(cat "$TMP/server.err")"
        FAIL=1
        break
    fi

    # Churn: a new client every second while fewer than nine run, each
    # staying 1 to 8 s, half sending a key command, one in eight leaving
    # without the disconnect command (its place is held until it times out;
    # none in the last 30 s, so that every place is free soon after the end).
    ALIVE=()
    for pid in "${CLIENT_PIDS[@]}"; do
        if kill -0 "$pid" 2>/dev/null; then
            ALIVE+=("$pid")
        else
            wait "$pid"
            count_ending $?
        fi
    done
    CLIENT_PIDS=("${ALIVE[@]}")
    if [ ${#CLIENT_PIDS[@]} -lt 9 ] && [ "$NOW" -ge "$NEXT_CLIENT" ]; then
        NEXT_CLIENT=$((NOW + 1))
        next_qport
        ARGS=("${DASH[@]}" --qport $QPORT --duration $((1 + RANDOM % 8)) --name "soak$((RANDOM % 1000))")
        [ $((RANDOM % 2)) = 0 ] && ARGS+=(--command "${COMMANDS[RANDOM % ${#COMMANDS[@]}]}")
        [ $((RANDOM % 8)) = 0 ] && [ $ELAPSED -lt $((TOTAL - 30)) ] && ARGS+=(--no-disconnect)
        "$BUILD/tarmis_dash" "${ARGS[@]}" >/dev/null 2>&1 &
        CLIENT_PIDS+=($!)
        CONNECTS=$((CONNECTS + 1))
    fi

    if [ "$NOW" -ge $NEXT_RESTART ]; then
        kill -INT $SIM_PID 2>/dev/null
        wait $SIM_PID 2>/dev/null
        sleep $((1 + RANDOM % 3))
        start_sim || { FAIL=1; break; }
        RESTARTS=$((RESTARTS + 1))
        NEXT_RESTART=$((NOW + 45 + RANDOM % 30))
    fi

    if [ "$NOW" -ge $NEXT_CHECK ]; then
        # Keeps serving: the watching client is still connected and has
        # received more updates since the last check.
        LINES=$(wc -l <"$TMP/watch.out")
        if ! kill -0 $WATCH_PID 2>/dev/null; then
            echo "soak: FAIL: the watching client left after $ELAPSED s: $(cat "$TMP/watch.err")"
            FAIL=1
            break
        elif [ "$LINES" -le "$LAST_LINES" ]; then
            echo "soak: FAIL: no update for the watching client in the 5 s before $ELAPSED s"
            FAIL=1
        fi
        LAST_LINES=$LINES
        CHECKS=$((CHECKS + 1))
        NEXT_CHECK=$((NOW + 5))
        R=$(rss_kib)
        [ -n "$R" ] && SAMPLES+=("$ELAPSED $R")
    fi
    sleep 0.5
done

kill -0 $SRV_PID 2>/dev/null || { [ $FAIL = 1 ] || echo "soak: FAIL: the server is gone at the end"; FAIL=1; }

# Every client leaves as on Ctrl-C (its disconnect, three times); each has
# 10 s for it.
wait_gone() {   # PID: its exit code, 137 when it had to be killed
    for _ in $(seq 100); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$1" 2>/dev/null
    wait "$1"
}
for pid in "${CLIENT_PIDS[@]}" $WATCH_PID; do kill -TERM "$pid" 2>/dev/null; done
for pid in "${CLIENT_PIDS[@]}"; do
    wait_gone "$pid"
    count_ending $?
done
CLIENT_PIDS=()
wait_gone $WATCH_PID
WATCH_CODE=$?
WATCH_PID=
if [ $WATCH_CODE != 0 ]; then
    echo "soak: FAIL: the watching client ended with $WATCH_CODE: $(cat "$TMP/watch.err")"
    FAIL=1
fi
if [ $DONE_OTHER != 0 ]; then
    echo "soak: FAIL: $DONE_OTHER clients lost their connection or got no answer"
    FAIL=1
fi
LEFT=$(date +%s.%N)

# The proxy's account of the run: its gap check and the impairment done.
kill -TERM $PROXY_PID 2>/dev/null
wait_gone $PROXY_PID
PROXY_CODE=$?
PROXY_PID=
grep -v '^PROXY READY' "$TMP/proxy.out" | sed 's/^/soak: /'
# The network really was as lossy as it should be (a proxy that passed
# everything through would make every other check here meaningless).
if ! awk '/^PROXY to (server|clients):/ {
        r = $5; if (r < 500) { bad = 1; next }
        d = $7 / r; u = $9 / r; o = $11 / r
        if (d < 0.02 || d > 0.10 || u < 0.05 || u > 0.15 || o < 0.02 || o > 0.10) bad = 1
        seen++ }
        END { exit !(seen == 2 && !bad) }' "$TMP/proxy.out"; then
    echo "soak: FAIL: the proxy did not impair the traffic as asked"
    FAIL=1
fi
if [ $PROXY_CODE != 0 ]; then
    echo "soak: FAIL: the server left a client more than 200 ms without an update (proxy exit $PROXY_CODE)"
    FAIL=1
fi

# No leaked place: 3.5 s after the clients left, all ten are free again.
sleep "$(python3 -c "import time; print(max(0.0, $LEFT + 3.5 - time.time()))")"
FRESH=()
for i in $(seq 10); do
    "$BUILD/tarmis_dash" --port "$PORT" --qport $((61000 + i)) --count 5 --name "soakafter$i" \
        >/dev/null 2>"$TMP/after$i.err" &
    FRESH+=($!)
done
SERVED=0
for pid in "${FRESH[@]}"; do
    wait_gone "$pid" && SERVED=$((SERVED + 1))
done
echo "soak: after the clients left: $SERVED of 10 new clients served"
if [ $SERVED != 10 ]; then
    echo "soak: FAIL: a place was not freed: $(cat "$TMP"/after*.err | sort | uniq -c | head -3)"
    # The clients that connected last and were never removed.
    awk '/Client .* connected$/ {sub(/.* - Client /, ""); sub(/ connected$/, ""); n[$0]++}
         / - Client .* removed$/ {sub(/.* - Client /, ""); sub(/ removed$/, ""); n[$0]--}
         END {for (c in n) if (n[c] > 0) print "soak:   still connected: " c}' "$TMP/log.txt"
    [ -n "${TARMIS_SOAK_KEEP:-}" ] && { cp -r "$TMP" "$TMP.kept"; echo "soak: files kept in $TMP.kept"; }
    FAIL=1
fi

echo "soak: VmRSS samples (s:KiB): $(printf '%s ' "${SAMPLES[@]/ /:}")"
FIRST_MAX=0
LAST_MAX=0
for s in "${SAMPLES[@]}"; do
    t=${s% *}; r=${s#* }
    [ "$t" -lt $WINDOW ] && [ "$r" -gt $FIRST_MAX ] && FIRST_MAX=$r
    [ "$t" -ge $((TOTAL - WINDOW)) ] && [ "$r" -gt $LAST_MAX ] && LAST_MAX=$r
done
echo "soak: $CONNECTS clients started ($DONE_OK served, $DONE_REFUSED refused while full, $DONE_OTHER other endings), $RESTARTS stand-in restarts, $CHECKS checks, ${#SAMPLES[@]} VmRSS samples"
echo "soak: VmRSS largest in the first $WINDOW s ${FIRST_MAX} KiB, in the last $WINDOW s ${LAST_MAX} KiB (allowed: +${RSS_SLACK_KIB} KiB)"
if [ $FIRST_MAX = 0 ] || [ $LAST_MAX = 0 ]; then
    echo "soak: FAIL: too few VmRSS samples"
    FAIL=1
elif [ $LAST_MAX -gt $((FIRST_MAX + RSS_SLACK_KIB)) ]; then
    echo "soak: FAIL: VmRSS grew by $((LAST_MAX - FIRST_MAX)) KiB"
    FAIL=1
fi
[ $FAIL = 0 ] && echo "soak: PASS" || echo "soak: FAILED"
exit $FAIL
