#!/usr/bin/env bash
# tamix-server's figures: import rate over 100,000 sample records (median of 3 runs),
# then result-page latency and throughput under wrk (2 threads, 8 and 32 keep-alive
# connections, 20 s each) for a common term, a rare term, page 900 of the common term
# and a date range ANDed with the common term, the common term by Best Match and two words
# by first author (after their first request these come from the server's cache of
# orders; tamix_bench_search times first requests), beside the stylesheet served by the
# same server in the same run as baseline.
# Given a second build (another version of tamix-server), both serve the same index and
# each row runs as 5 pairs of 6 s runs, one on each server back to back, reporting
# medians, the ratio of this build to the other, and CPU time per request.
# Usage: bench/server_bench.sh [BUILD_DIR [OTHER_BUILD_DIR]]   (default build/; wrk from
# scripts/setup.sh; BENCH_IMPORT=0 skips the import when the last run's index is there;
# BENCH_INDEX=FILE skips the import and serves that index, for instance 1,000,000 sample
# records: tamix-server sample --count 1000000 --out s.xml; tamix-server import --index FILE s.xml)
# BENCH_OTHER_INDEX=FILE: the other build serves that index instead (the same records
# imported by it, when the two builds' index layouts differ).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
other=${2:-}
server=$build/server/tamix-server
data=$build/bench-data
duration=${BENCH_SECONDS:-$([[ -n $other ]] && echo 6 || echo 20)}
mkdir -p "$data"
source "$root/bench/serve.sh"
[[ -x $server ]] || { echo "build first: $server is missing" >&2; exit 1; }
[[ -z $other || -x $other/server/tamix-server ]] || { echo "$other/server/tamix-server is missing" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing: run scripts/setup.sh" >&2; exit 1; }

index=${BENCH_INDEX:-$data/index.sqlite}
if [[ -n ${BENCH_INDEX:-} ]]; then
    echo "== index: $index ($(du -m "$index" | cut -f1) MB), no import"
elif [[ ${BENCH_IMPORT:-1} == 0 && -s $index ]]; then
    echo "== import skipped (BENCH_IMPORT=0): serving the index of the last run"
else
    sample=$data/sample-100k.xml
    [[ -s $sample ]] || "$server" sample --count 100000 --out "$sample"
    echo "== import: 100,000 sample records ($(du -m "$sample" | cut -f1) MB of PubMed XML)"
    rates=()
    for run in 1 2 3; do
        rm -f "$index"*
        start=$(date +%s%N)
        "$server" import --index "$index" "$sample" 2>/dev/null
        end=$(date +%s%N)
        rate=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.0f", 100000 / (ns / 1e9) }')
        rates+=("$rate")
        printf '  run %d: %.0f records/s\n' "$run" "$rate"
    done
    median=$(printf '%s\n' "${rates[@]}" | sort -n | sed -n 2p)
    printf '  median: %.0f records/s; index %s MB\n' "$median" "$(du -cm "$index"* | tail -1 | cut -f1)"
fi

start_tamix_server "$server" "$index" "$data/access.log"
this_port=$port
if [[ -n $other ]]; then
    start_tamix_server "$other/server/tamix-server" "${BENCH_OTHER_INDEX:-$index}" \
        "$data/other-access.log"
    other_port=$port
fi

base="http://127.0.0.1:$this_port"
declare -A targets=(
    [stylesheet]="/static/tamix.css"
    [common]="/m/pubmed/?term=patients"
    [rare]="/m/pubmed/?term=calciphylaxis"
    [page900]="/m/pubmed/?term=patients&page=900"
    [daterange]="/m/pubmed/?term=2001%3A2005%5Bdp%5D+AND+patients"
    [best]="/m/pubmed/?term=patients&sort=relevance"
    [author]="/m/pubmed/?term=heart+failure&sort=author"
)
# run_wrk PORT TARGET CONNECTIONS: sets rps, p50, p99 and errors (socket errors and
# answers other than 2xx); p50ms is p50 in milliseconds.
run_wrk() {
    local out
    out=$(wrk -t2 -c"$3" -d"${duration}s" --latency "http://127.0.0.1:$1$2")
    rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
    p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
    p50ms=$(awk -v t="$p50" 'BEGIN { v = t + 0; if (t ~ /us$/) v /= 1000; else if (t ~ /[0-9]s$/) v *= 1000; printf "%.2f", v }')
    errors=$(awk '/Non-2xx/ {n += $NF} /Socket errors/ {gsub(",", ""); n += $4 + $6 + $8 + $10} END {print n + 0}' <<<"$out")
}

echo
echo "== wrk: 2 threads, ${duration} s per run (common: $(curl -s "$base${targets[common]}" | grep -o '[0-9+]* results'), rare: $(curl -s "$base${targets[rare]}" | grep -o '[0-9+]* results'))"
if [[ -z $other ]]; then
    printf '  %-11s %5s %10s %9s %9s %7s\n' target conns "req/s" p50 p99 errors
    for name in stylesheet common rare page900 daterange best author; do
        for conns in 8 32; do
            run_wrk "$this_port" "${targets[$name]}" "$conns"
            printf '  %-11s %5d %10s %9s %9s %7s\n' "$name" "$conns" "$rps" "$p50" "$p99" "$errors"
        done
    done
else
    # Runs come in pairs, one on each server back to back (which goes first alternates),
    # so that a busy neighbour hurts both alike; the ratio is the median of the pairs'.
    # CPU is the server process's user and system time per request, which load elsewhere
    # changes little.
    pairs=${BENCH_PAIRS:-5}
    this_pid=${tamix_server_pids[0]} other_pid=${tamix_server_pids[1]}
    cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
    median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
    echo "  this build: $build; other: $other; medians of $pairs pairs of runs"
    printf '  %-11s %5s %9s %9s %6s %8s %8s %7s %7s %6s\n' target conns "req/s" other ratio \
        p50 "other" "CPU us" other errors
    for name in stylesheet common rare page900 daterange best author; do
        for conns in 8 32; do
            mine=() theirs=() ratios=() p50s=() other_p50s=() cpus=() other_cpus=() all_errors=0
            for pair in $(seq "$pairs"); do
                for which in $([[ $((pair % 2)) == 1 ]] && echo "this other" || echo "other this"); do
                    pid=$([[ $which == this ]] && echo "$this_pid" || echo "$other_pid")
                    before=$(cpu_ticks "$pid")
                    run_wrk "$([[ $which == this ]] && echo "$this_port" || echo "$other_port")" \
                        "${targets[$name]}" "$conns"
                    cpu=$(awk -v t=$(($(cpu_ticks "$pid") - before)) -v r="$rps" -v s="$duration" \
                        'BEGIN { printf "%.0f", t * 1e6 / '"$(getconf CLK_TCK)"' / (r * s) }')
                    if [[ $which == this ]]; then
                        mine+=("$rps") p50s+=("$p50ms") cpus+=("$cpu") a=$rps
                    else
                        theirs+=("$rps") other_p50s+=("$p50ms") other_cpus+=("$cpu") b=$rps
                    fi
                    all_errors=$((all_errors + errors))
                done
                ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')")
            done
            printf '  %-11s %5d %9.0f %9.0f %6.2f %6.2fms %6.2fms %7.0f %7.0f %6s\n' "$name" "$conns" \
                "$(median "${mine[@]}")" "$(median "${theirs[@]}")" "$(median "${ratios[@]}")" \
                "$(median "${p50s[@]}")" "$(median "${other_p50s[@]}")" "$(median "${cpus[@]}")" \
                "$(median "${other_cpus[@]}")" "$all_errors"
        done
    done
fi
echo "  access log: $(wc -l <"$data/access.log") lines"
