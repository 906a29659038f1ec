#!/usr/bin/env bash
# tamix-server's figures: import rate over 100,000 sample records (median of 3 runs),
# then result-page latency and throughput under wrk (2 threads, 8 and 32 keep-alive
# connections, 20 s each) for a common term, a rare term, page 900 of the common term
# and a date range ANDed with the common term, beside the stylesheet served by the same
# server in the same run as baseline.
# Usage: bench/server_bench.sh [BUILD_DIR]   (default build/; wrk from scripts/setup.sh)
# BENCH_INDEX=FILE skips the import and serves that index (for instance 1,000,000 sample
# records: tamix-server sample --count 1000000 --out s.xml; tamix-server import --index FILE s.xml).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
server=$build/server/tamix-server
data=$build/bench-data
duration=${BENCH_SECONDS:-20}
mkdir -p "$data"
source "$root/bench/serve.sh"
[[ -x $server ]] || { echo "build first: $server is missing" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing: run scripts/setup.sh" >&2; exit 1; }

if [[ -n ${BENCH_INDEX:-} ]]; then
    index=$BENCH_INDEX
    echo "== index: $index ($(du -m "$index" | cut -f1) MB), no import"
else
    index=$data/index.sqlite
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

base="http://127.0.0.1:$port"
declare -A targets=(
    [stylesheet]="/static/tamix.css"
    [common]="/m/pubmed/?term=patients"
    [rare]="/m/pubmed/?term=calciphylaxis"
    [page900]="/m/pubmed/?term=patients&page=900"
    [daterange]="/m/pubmed/?term=2001%3A2005%5Bdp%5D+AND+patients"
)
echo
results() { curl -s "$base${targets[$1]}" | grep -o '[0-9+]* results'; }
echo "== wrk: 2 threads, ${duration} s per row (common: $(results common), rare: $(results rare), daterange: $(results daterange))"
printf '  %-11s %5s %10s %9s %9s %7s\n' target conns "req/s" p50 p99 errors
for name in stylesheet common rare page900 daterange; do
    for conns in 8 32; do
        out=$(wrk -t2 -c"$conns" -d"${duration}s" --latency "$base${targets[$name]}")
        rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
        p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
        p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
        errors=$(awk '/Non-2xx/ {n += $NF} /Socket errors/ {gsub(",", ""); n += $4 + $6 + $8 + $10} END {print n + 0}' <<<"$out")
        printf '  %-11s %5d %10s %9s %9s %7s\n' "$name" "$conns" "$rps" "$p50" "$p99" "$errors"
    done
done
echo "  access log: $(wc -l <"$data/access.log") lines"
