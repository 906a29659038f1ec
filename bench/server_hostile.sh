#!/usr/bin/env bash
# tamix-server under the queries that once cost it most: a NUL byte, 32 nested
# parentheses, a date range written 64 times (and ORed 64 times). Each is asked 5 times
# in turn with a common term between; prints status, median and slowest time per query,
# and the server's peak resident memory (VmHWM) before and after them.
# Usage: bench/server_hostile.sh [BUILD_DIR]   (default build/)
# BENCH_INDEX=FILE serves that index; else 100,000 sample records (as server_bench.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
server=$build/server/tamix-server
data=$build/bench-data
mkdir -p "$data"
source "$root/bench/serve.sh"
[[ -x $server ]] || { echo "build first: $server is missing" >&2; exit 1; }

index=${BENCH_INDEX:-$data/index.sqlite}
if [[ ! -e $index ]]; then
    sample=$data/sample-100k.xml
    [[ -s $sample ]] || "$server" sample --count 100000 --out "$sample"
    "$server" import --index "$index" "$sample" 2>/dev/null
fi
start_tamix_server "$server" "$index" "$data/hostile.log" --quiet
base="http://127.0.0.1:$port/m/pubmed/?term="
hwm() { awk '/VmHWM/ {printf "%.0f MB", $2 / 1024}' "/proc/$tamix_server_pid/status"; }

repeat() { local out=; for _ in $(seq "$2"); do out+=$1; done; printf '%s' "$out"; }
declare -A queries=(
    [common]="patients"
    [nul]="a%00"
    [nested32]="$(repeat 'a(' 32)a$(repeat ')' 32)"
    [dp64]="$(repeat '1726%3A2025%5Bdp%5D+' 64)"
    [dp64-or]="$(repeat '1726%3A2025%5Bdp%5D+OR+' 64)patients"
)
echo "== $server, index $index"
curl -s -o /dev/null "${base}patients"
echo "  VmHWM after one common page: $(hwm)"
printf '  %-9s %6s %10s %10s\n' query status median slowest
for name in common nul nested32 dp64 dp64-or; do
    times=()
    for _ in 1 2 3 4 5; do
        out=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' "$base${queries[$name]}")
        status=${out% *}
        times+=("${out#* }")
        curl -s -o /dev/null "${base}patients"
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -g)
    printf '  %-9s %6s %8.1f ms %8.1f ms\n' "$name" "$status" \
        "$(sed -n 3p <<<"$sorted" | awk '{print $1 * 1000}')" "$(tail -1 <<<"$sorted" | awk '{print $1 * 1000}')"
done
echo "  VmHWM after them: $(hwm)"
