#!/usr/bin/env bash
# tamix-server's figures: import rate over 100,000 sample records (median of 3 runs),
# then result-page latency and throughput under wrk (2 threads, 8 and 32 keep-alive
# connections, 20 s each) for a common term, a rare term and page 900 of the common
# term, beside the stylesheet served by the same server in the same run as baseline.
# Given a second build (another version of tamix-server), both serve the same index and
# each row runs 3 times a server, interleaved (10 s each), reporting medians and the
# ratio of this build to the other.
# Usage: bench/server_bench.sh [BUILD_DIR [OTHER_BUILD_DIR]]   (default build/; wrk from
# scripts/setup.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
other=${2:-}
server=$build/server/tamix-server
data=$build/bench-data
duration=${BENCH_SECONDS:-$([[ -n $other ]] && echo 10 || echo 20)}
mkdir -p "$data"
source "$root/bench/serve.sh"
[[ -x $server ]] || { echo "build first: $server is missing" >&2; exit 1; }
[[ -z $other || -x $other/server/tamix-server ]] || { echo "$other/server/tamix-server is missing" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing: run scripts/setup.sh" >&2; exit 1; }

sample=$data/sample-100k.xml
[[ -s $sample ]] || "$server" sample --count 100000 --out "$sample"

echo "== import: 100,000 sample records ($(du -m "$sample" | cut -f1) MB of PubMed XML)"
rates=()
for run in 1 2 3; do
    rm -f "$data"/index.sqlite*
    start=$(date +%s%N)
    "$server" import --index "$data/index.sqlite" "$sample" 2>/dev/null
    end=$(date +%s%N)
    rate=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.0f", 100000 / (ns / 1e9) }')
    rates+=("$rate")
    printf '  run %d: %.0f records/s\n' "$run" "$rate"
done
median=$(printf '%s\n' "${rates[@]}" | sort -n | sed -n 2p)
printf '  median: %.0f records/s; index %s MB\n' "$median" "$(du -cm "$data"/index.sqlite* | tail -1 | cut -f1)"

start_tamix_server "$server" "$data/index.sqlite" "$data/access.log"
this_port=$port
if [[ -n $other ]]; then
    start_tamix_server "$other/server/tamix-server" "$data/index.sqlite" "$data/other-access.log"
    other_port=$port
fi

base="http://127.0.0.1:$this_port"
declare -A targets=(
    [stylesheet]="/static/tamix.css"
    [common]="/m/pubmed/?term=patients"
    [rare]="/m/pubmed/?term=calciphylaxis"
    [page900]="/m/pubmed/?term=patients&page=900"
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
median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }

echo
echo "== wrk: 2 threads, ${duration} s per run (common: $(curl -s "$base${targets[common]}" | grep -o '[0-9+]* results'), rare: $(curl -s "$base${targets[rare]}" | grep -o '[0-9+]* results'))"
if [[ -z $other ]]; then
    printf '  %-11s %5s %10s %9s %9s %7s\n' target conns "req/s" p50 p99 errors
    for name in stylesheet common rare page900; do
        for conns in 8 32; do
            run_wrk "$this_port" "${targets[$name]}" "$conns"
            printf '  %-11s %5d %10s %9s %9s %7s\n' "$name" "$conns" "$rps" "$p50" "$p99" "$errors"
        done
    done
else
    echo "  this build: $build; other: $other; medians of 3 runs each, interleaved"
    printf '  %-11s %5s %10s %10s %6s %9s %9s %7s\n' target conns "req/s" "other" ratio p50 "p50 other" errors
    for name in stylesheet common rare page900; do
        for conns in 8 32; do
            mine=() theirs=() p50s=() other_p50s=() all_errors=0
            for run in 1 2 3; do
                # Alternate which server goes first, so that drift hurts both alike.
                for which in $([[ $((run % 2)) == 1 ]] && echo "this other" || echo "other this"); do
                    if [[ $which == this ]]; then
                        run_wrk "$this_port" "${targets[$name]}" "$conns"
                        mine+=("$rps") p50s+=("$p50ms")
                    else
                        run_wrk "$other_port" "${targets[$name]}" "$conns"
                        theirs+=("$rps") other_p50s+=("$p50ms")
                    fi
                    all_errors=$((all_errors + errors))
                done
            done
            a=$(median3 "${mine[@]}") b=$(median3 "${theirs[@]}")
            printf '  %-11s %5d %10s %10s %6s %9s %9s %7s\n' "$name" "$conns" "$a" "$b" \
                "$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", a / b }')" \
                "$(median3 "${p50s[@]}")ms" "$(median3 "${other_p50s[@]}")ms" "$all_errors"
        done
    done
fi
echo "  access log: $(wc -l <"$data/access.log") lines"
