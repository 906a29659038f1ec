#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) into build-fuzz/ and runs each one on
# its committed corpus for a bounded time, two at a time. New inputs go to a temporary
# folder, so the committed corpus stays as it is. Fails, naming the targets, when any
# of them crashes; their crashing inputs are kept in build-fuzz/crashes/<what>/.
#
#   scripts/fuzz.sh [-t SECONDS] [-j JOBS] [WHAT...]    default: 20 s each, every target
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=20
jobs=2
while getopts "t:j:" option; do
    case $option in
    t) seconds=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMIX_FUZZ=ON \
    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j "$(nproc)"

if (($# > 0)); then
    targets=("$@")
else
    targets=()
    for dir in fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi
for what in "${targets[@]}"; do
    [[ -x build-fuzz/fuzz/fuzz_$what ]] || { echo "fuzz: no target fuzz_$what" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One target: its new inputs, its log and its exit status under $work/<what>/.
run() {
    local what=$1 dir=$work/$1
    mkdir -p "$dir/new" "$dir/artifacts"
    local status=0 dict=()
    [[ -e fuzz/$what.dict ]] && dict=(-dict="fuzz/$what.dict")
    "build-fuzz/fuzz/fuzz_$what" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$dir/artifacts/" -print_final_stats=1 "${dict[@]}" \
        "$dir/new" "fuzz/corpus/$what" >"$dir/log" 2>&1 || status=$?
    echo "$status" >"$dir/status"
}

running=0
for what in "${targets[@]}"; do
    if ((running >= jobs)); then
        wait -n || true
        running=$((running - 1))
    fi
    run "$what" &
    running=$((running + 1))
done
wait || true

failed=()
for what in "${targets[@]}"; do
    dir=$work/$what
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
    if [[ $(cat "$dir/status") == 0 ]]; then
        echo "fuzz_$what: ${runs:-?} runs, no fault"
        continue
    fi
    failed+=("fuzz_$what")
    mkdir -p "build-fuzz/crashes/$what"
    cp "$dir/artifacts/"* "build-fuzz/crashes/$what/" 2>/dev/null || true
    echo "fuzz_$what: FAILED (exit $(cat "$dir/status")); its log ends:"
    grep -v '^#' "$dir/log" | tail -40 | sed 's/^/    /'
    echo "    inputs kept in build-fuzz/crashes/$what/"
done

if ((${#failed[@]} > 0)); then
    echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${seconds} s each without a fault"
