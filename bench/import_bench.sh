#!/usr/bin/env bash
# Import at scale: tamix_bench_import over N sample records (default 2,000,000) into a new
# index, printing the rate of each slice of 250,000 records, the final merge, the overall
# rate and the index's bytes a record.
# Given a second build (another version of tamix-server's sources), the runs alternate
# between the two, this build first, and a table sets the medians of each side by side.
# Usage: bench/import_bench.sh [BUILD_DIR [OTHER_BUILD_DIR]]   (default build/)
#   BENCH_RECORDS=N   records to import (the sample file is made once and kept)
#   BENCH_RUNS=N      runs of each build (default 1)
#   BENCH_SLICE=N     records a slice (default 250000)
#   BENCH_DATA=DIR    where the sample and the indexes go (default BUILD_DIR/bench-data;
#                     2,000,000 records take about 8 GB of XML and 6 GB of index)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
other=${2:-}
records=${BENCH_RECORDS:-2000000}
runs=${BENCH_RUNS:-1}
slice=${BENCH_SLICE:-250000}
data=${BENCH_DATA:-$build/bench-data}
for dir in "$build" $other; do
    [[ -x $dir/bench/tamix_bench_import ]] || { echo "build first: $dir/bench/tamix_bench_import is missing" >&2; exit 1; }
done
mkdir -p "$data"
sample=$data/sample-$records.xml
[[ -s $sample ]] || "$build/server/tamix-server" sample --count "$records" --out "$sample"
echo "== import: $records sample records ($(du -mL "$sample" | cut -f1) MB of PubMed XML), $runs run(s) a build"

builds=("$build")
[[ -n $other ]] && builds+=("$other")
results=$(mktemp -d)
trap 'rm -rf "$results"; rm -f "$data"/import-bench.sqlite*' EXIT
for run in $(seq "$runs"); do
    for i in "${!builds[@]}"; do
        echo "-- run $run, ${builds[$i]}"
        "${builds[$i]}/bench/tamix_bench_import" "$sample" "$data/import-bench.sqlite" "$slice" |
            tee "$results/$i.$run"
    done
done

# The value of each line of a run: records/s of slices and overall, seconds of the merge,
# bytes a record.
values() {
    awk '/^slice/ { name = $2 $3; sub(/:$/, "", name); print name, $4 }
         /final merge/ { print "merge(s)", $(NF - 1) }
         /^overall/ { print "overall", $(NF - 4); print "bytes/record", $(NF - 1) }' "$1"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo
echo "== medians of $runs run(s): records/s of each slice and overall"
if [[ -n $other ]]; then
    printf '  %-22s %10s %10s %7s\n' "" this other ratio
else
    printf '  %-22s %10s\n' "" this
fi
values "$results/0.1" | while read -r name _; do
    line=$(printf '  %-22s' "$name")
    mine=$(for f in "$results"/0.*; do values "$f" | awk -v n="$name" '$1 == n { print $2 }'; done | median)
    format='%10.0f'
    [[ $name == merge* ]] && format='%10.1f'
    line+=$(printf " $format" "$mine")
    if [[ -n $other ]]; then
        theirs=$(for f in "$results"/1.*; do values "$f" | awk -v n="$name" '$1 == n { print $2 }'; done | median)
        line+=$(printf " $format %7.2f" "$theirs" "$(awk -v a="$mine" -v b="$theirs" 'BEGIN { print (b > 0 ? a / b : 0) }')")
    fi
    echo "$line"
done
