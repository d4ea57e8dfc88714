#!/usr/bin/env bash
# fuzz/run.sh [seconds]: builds the fuzz preset, then runs each fuzz target
# in turn for `seconds` (default 30). Before fuzzing, a target replays its
# saved crash inputs in fuzz/regressions/<target>/. New inputs go to
# build/fuzz/corpus/<target>/ (the seeds in fuzz/corpus/ stay as they are),
# crash inputs to build/fuzz/artifacts/<target>/, libFuzzer's own output to
# build/fuzz/logs/<target>.log (one summary line a target is printed; the
# log's end only when the target failed). Exits nonzero when any target
# crashed, leaked, timed out or failed a replay.
set -u
cd "$(dirname "$0")/.."
seconds=${1:-30}

cmake --preset fuzz >/dev/null || exit 2
cmake --build --preset fuzz -j2 || exit 2

declare -A max_len=([fuzz_intake]=16384 [fuzz_session_info]=8192 [fuzz_tokenize]=4096
                    [fuzz_shm]=8192 [fuzz_relay]=1024 [fuzz_ibt]=16384)
failed=()
for target in fuzz_intake fuzz_session_info fuzz_tokenize fuzz_shm fuzz_relay fuzz_ibt; do
    bin=build/fuzz/fuzz/$target
    regressions=fuzz/regressions/$target
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
        echo "== $target: replaying $(ls "$regressions" | wc -l) inputs of $regressions"
        mkdir -p build/fuzz/logs
        if ! "$bin" -runs=1 "$regressions"/* >"build/fuzz/logs/$target.replay.log" 2>&1; then
            failed+=("$target (regression)")
            echo "== $target FAILED a replay; the end of build/fuzz/logs/$target.replay.log:"
            tail -n 60 "build/fuzz/logs/$target.replay.log"
            continue
        fi
    fi
    work=build/fuzz/corpus/$target
    artifacts=build/fuzz/artifacts/$target/
    log=build/fuzz/logs/$target.log
    mkdir -p "$work" "$artifacts" build/fuzz/logs
    echo "== $target: fuzzing for ${seconds}s"
    if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -max_len="${max_len[$target]}" -artifact_prefix="$artifacts" -print_final_stats=1 \
            "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
        failed+=("$target")
        echo "== $target FAILED; the end of $log:"
        tail -n 60 "$log"
        continue
    fi
    awk '/^Done [0-9]+ runs/ { d = $0 } /^stat::new_units_added/ { n = $2 }
         END { printf "   %s, %s new inputs\n", d, n }' "$log"
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all fuzz targets passed"
