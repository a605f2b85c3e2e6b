#!/usr/bin/env bash
# Fuzz campaign: runs every libFuzzer target (or the ones named) for MINUTES each, growing
# its corpus in tests/fuzz/corpus/NAME, then minimises that corpus (-merge=1) and prints the
# executions and findings per target. Findings (crash-, leak-, timeout-, oom- inputs) land in
# build-fuzz/findings/. Exit status 1 when any target found something.
#
#   tools/fuzz.sh [MINUTES] [NAME...]      default 10 minutes, every target
#   FUZZ_JOBS=N                            targets run side by side (default 2)
#   FUZZ_RUNS=N                            a target also stops after N executions
#   FUZZ_WORKERS=N                         processes per target on its one corpus (default 1)
#
# Targets run niced, each in a private network namespace (tools/netns-run). The logs of a
# campaign stay in build-fuzz/campaign-DATE-PID/.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
minutes=${1:-10}
shift || true
jobs=${FUZZ_JOBS:-2}
runs=${FUZZ_RUNS:--1}
workers=${FUZZ_WORKERS:-1}
# Each worker takes its share of the executions.
worker_runs=$((runs < 0 ? -1 : (runs + workers - 1) / workers))
build=$root/build-fuzz
findings=$build/findings
logs=$build/campaign-$(date +%Y%m%d-%H%M%S)-$$
# A handle allocates large loop records for every input; a smaller quarantine keeps them in
# reused memory instead of fresh pages (use-after-free is still seen within 16 MiB).
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}

if [ ! -f "$build/build.ninja" ]; then
    mkdir -p "$build"
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DNYX_FUZZ=ON -DNYX_BENCH=OFF >"$build/configure.log" 2>&1 ||
        { cat "$build/configure.log"; exit 1; }
fi
nice -n 10 cmake --build "$build" -j "$jobs" || exit 1

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for f in tests/fuzz/fuzz_*.cpp; do
        n=${f##*/fuzz_}
        targets+=("${n%.cpp}")
    done
fi

# Options a target needs beyond the defaults.
flags_of() {
    case $1 in
    cli) echo "-max_len=12000" ;; # lines reach their limit only in long inputs
    esac
}

# Workers share the corpus folder: each one picks up what the others add (-reload).
campaign() { # name
    local name=$1 exe=$build/tests/fuzz/fuzz_$1 corpus=$root/tests/fuzz/corpus/$1
    local merged=$logs/$name.merged w
    mkdir -p "$corpus" "$findings"
    for ((w = 1; w <= workers; w++)); do
        local log=$logs/$name.$w.log
        {
            nice -n 10 tools/netns-run "$exe" -max_total_time=$((minutes * 60)) -runs="$worker_runs" \
                -print_final_stats=1 -artifact_prefix="$findings/$name-" $(flags_of "$name") \
                "$corpus" >"$log" 2>&1
            echo "exit $?" >>"$log"
        } &
    done
    wait
    rm -rf "$merged" && mkdir -p "$merged"
    nice -n 10 tools/netns-run "$exe" -merge=1 $(flags_of "$name") "$merged" "$corpus" \
        >"$logs/$name.merge.log" 2>&1 && rm -rf "$corpus" && mv "$merged" "$corpus"
}

mkdir -p "$logs"
touch "$logs/.start"
running=0
for name in "${targets[@]}"; do
    [ -x "$build/tests/fuzz/fuzz_$name" ] || { echo "no target fuzz_$name"; exit 1; }
    echo "== fuzz_$name: $minutes min"
    campaign "$name" &
    running=$((running + 1))
    if [ $running -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

status=0
printf '\n%-10s %14s %9s %8s %8s\n' target executions exec/s corpus findings
for name in "${targets[@]}"; do
    logs_of=("$logs/$name".[0-9]*.log)
    execs=$(awk '/stat::number_of_executed_units/ {n++; s += $2} END {if (n) print s}' "${logs_of[@]}")
    rate=$(awk '/stat::average_exec_per_sec/ {n++; s += $2} END {if (n) print s}' "${logs_of[@]}")
    found=$(find "$findings" -name "$name-*" -newer "$logs/.start" 2>/dev/null | wc -l)
    files=$(find "tests/fuzz/corpus/$name" -type f | wc -l)
    printf '%-10s %14s %9s %8s %8s\n' "$name" "${execs:-?}" "${rate:-?}" "$files" "$found"
    if [ "$found" != 0 ] || [ "$(grep -l '^exit 0$' "${logs_of[@]}" | wc -l)" != "$workers" ]; then
        status=1
        grep -h -m3 -E '^==[0-9]+==ERROR|SUMMARY|^fuzz_' "${logs_of[@]}" | sed "s/^/  $name: /"
    fi
done
exit $status
