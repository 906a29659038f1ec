#!/usr/bin/env bash
# tamix-server under hostile load, measured from outside in one run, on an index of
# 100,000 sample records: a new client's request alone and while 300 clients trickle
# their headers and 200 keep-alive clients sit idle (median of 60 requests), 200
# keep-alive clients asking at once (median of 7 rounds), then wrk with 512 connections
# (3 runs): socket errors and answers other than 2xx.
# Usage: bench/hostile_load.sh [BUILD_DIR]   (default build/; wrk from scripts/setup.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
server=$build/server/tamix-server
hostile=$build/bench/tamix_bench_hostile
data=$build/bench-data
duration=${BENCH_SECONDS:-10}
target=/m/pubmed/?term=patients
mkdir -p "$data"
source "$root/bench/serve.sh"
[[ -x $server && -x $hostile ]] || { echo "build first: $server or $hostile is missing" >&2; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing: run scripts/setup.sh" >&2; exit 1; }

sample=$data/sample-100k.xml
index=$data/hostile.sqlite
[[ -s $sample ]] || "$server" sample --count 100000 --out "$sample"
[[ -s $index ]] || "$server" import --index "$index" "$sample" 2>/dev/null

start_tamix_server "$server" "$index" "$data/hostile-serve.log" --quiet
echo "$(sed -n 's/^tamix-server: //p' "$data/hostile-serve.log" | head -1)"
"$hostile" --port "$port" --target "$target"

echo
echo "== wrk: 2 threads, 512 connections, ${duration} s a run, $target"
printf '  %-4s %10s %9s %9s %14s %8s\n' run "req/s" p50 p99 "socket errors" non-2xx
rates=()
for run in 1 2 3; do
    out=$(wrk -t2 -c512 -d"${duration}s" --latency "http://127.0.0.1:$port$target")
    rps=$(awk '/Requests\/sec/ {print $2}' <<<"$out")
    rates+=("$rps")
    p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
    socket=$(awk '/Socket errors/ {gsub(",", ""); n += $4 + $6 + $8 + $10} END {print n + 0}' <<<"$out")
    non2xx=$(awk '/Non-2xx/ {n += $NF} END {print n + 0}' <<<"$out")
    printf '  %-4d %10s %9s %9s %14s %8s\n' "$run" "$rps" "$p50" "$p99" "$socket" "$non2xx"
done
printf '  median: %s req/s\n' "$(printf '%s\n' "${rates[@]}" | sort -n | sed -n 2p)"
