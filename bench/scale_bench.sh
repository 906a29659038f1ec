#!/usr/bin/env bash
# Search at scale: for each size, sample records piped into a new index (no file of
# records: 10 million would be 40 GB of XML) with a few planted records older than all of
# them, the import's rate a slice (a tenth of the size), its peak memory and the index's
# bytes a record; then tamix_bench_search on the index, and where the planted records come.
# Usage: bench/scale_bench.sh [BUILD_DIR]        (default build/)
#   BENCH_SIZES="1000000 2000000 10000000"  sizes, in records
#   BENCH_DATA=DIR                           where the indexes go (default BUILD_DIR/scale-data;
#                                            10 million records take some 35 GB)
#   BENCH_ROUNDS=N                           rounds of tamix_bench_search (default 5)
#   BENCH_KEEP=1                             keep the indexes
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
sizes=${BENCH_SIZES:-"1000000 2000000 10000000"}
data=${BENCH_DATA:-$build/scale-data}
rounds=${BENCH_ROUNDS:-5}
server=$build/server/tamix-server
for tool in "$server" "$build/bench/tamix_bench_import" "$build/bench/tamix_bench_search"; do
    [[ -x $tool ]] || { echo "build first: $tool is missing" >&2; exit 1; }
done
mkdir -p "$data"
planted=$root/bench/planted.xml

for n in $sizes; do
    index=$data/index-$n.sqlite
    echo "== $n sample records and $(grep -c '<PubmedArticle>' "$planted") planted ones"
    # The planted records go in after the sample, a file of their own after standard input.
    "$server" sample --count "$n" | /usr/bin/time -f "import peak memory: %M KB" \
        "$build/bench/tamix_bench_import" - "$index" "$((n / 10))" "$planted"
    "$build/bench/tamix_bench_search" "$index" "$rounds"
    [[ -n ${BENCH_KEEP:-} ]] || rm -f "$index" "$index-wal" "$index-shm" "$index.lock"
done
