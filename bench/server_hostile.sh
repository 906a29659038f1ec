#!/usr/bin/env bash
# tamix-server under the queries that once cost it most: a NUL byte, 32 nested
# parentheses, a date range written 64 times (and ORed 64 times), and 63 common words
# ORed in Best Match and first-author order (each round a new search). Each is asked 5
# times in turn with a common term between; prints status, median and slowest time per query,
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
hwm() { awk '/VmHWM/ {printf "%.0f MB", $2 / 1024}' "/proc/${tamix_server_pids[0]}/status"; }

repeat() { local out=; for _ in $(seq "$2"); do out+=$1; done; printf '%s' "$out"; }
declare -A queries=(
    [common]="patients"
    [nul]="a%00"
    [nested32]="$(repeat 'a(' 32)a$(repeat ')' 32)"
    [dp64]="$(repeat '1726%3A2025%5Bdp%5D+' 64)"
    [dp64-or]="$(repeat '1726%3A2025%5Bdp%5D+OR+' 64)patients"
    # 62 common words ORed, in Best Match and author order; each round adds a word of its
    # own so that no round is answered from the cache of orders.
    [or62-best]="$(printf '%s+OR+' patients were and the of in to with for was by or on at \
        outcome primary group groups events adverse mild data analysed regression findings \
        consistent subgroups age sex baseline randomly assigned usual care followed months \
        reduced ci significant difference observed between enrolled secondary included \
        occurred participants mostly multivariable adjusted comorbidities treatment centre \
        defined across these we no study trial cohort effect)evidence"
)
queries[or62-author]=${queries[or62-best]}
echo "== $server, index $index"
curl -s -o /dev/null "${base}patients"
echo "  VmHWM after one common page: $(hwm)"
printf '  %-11s %6s %10s %10s\n' query status median slowest
declare -A suffixes=([or62-best]="&sort=relevance" [or62-author]="&sort=author")
for name in common nul nested32 dp64 dp64-or or62-best or62-author; do
    times=()
    for round in 1 2 3 4 5; do
        target="$base${queries[$name]}"
        [[ -n ${suffixes[$name]:-} ]] && target+="+OR+round$round$RANDOM${suffixes[$name]}"
        out=$(curl -s -o /dev/null -w '%{http_code} %{time_total}' "$target")
        status=${out% *}
        times+=("${out#* }")
        curl -s -o /dev/null "${base}patients"
    done
    sorted=$(printf '%s\n' "${times[@]}" | sort -g)
    printf '  %-11s %6s %8.1f ms %8.1f ms\n' "$name" "$status" \
        "$(sed -n 3p <<<"$sorted" | awk '{print $1 * 1000}')" "$(tail -1 <<<"$sorted" | awk '{print $1 * 1000}')"
done
echo "  VmHWM after them: $(hwm)"
