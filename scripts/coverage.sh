#!/usr/bin/env bash
# Line and branch coverage of the product by the CTest suite: a build with gcc's
# --coverage, the whole suite, then gcovr over the product's folders (not tests, fuzz
# targets, benchmarks or generated files). The last line is "lines: NN.N %".
# Usage: scripts/coverage.sh [BUILD_DIR]        (default build-coverage/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-$root/build-coverage}

bash scripts/setup.sh >/dev/null

# Atomic counters: the server's threads would otherwise race on them and leave negative
# branch counts, which gcovr refuses.
flags="--coverage -fprofile-update=atomic"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMIX_BENCHMARKS=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$build" -j "$(nproc)"
find "$build" -name '*.gcda' -delete
# A failing test still counts what it ran; the suite's verdict is the exit status.
status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" || status=$?

filters=()
for folder in app shell dialogs pubmed server res; do
    filters+=(--filter "$folder/")
done
summary=$(gcovr --root "$root" --object-directory "$build" "${filters[@]}" \
    --exclude '.*_autogen/.*' --print-summary --output /dev/null "$build")
echo "$summary"
lines=$(sed -n 's/^lines: \([0-9.]*\)%.*/\1/p' <<<"$summary")
echo "lines: $lines %"
exit "$status"
