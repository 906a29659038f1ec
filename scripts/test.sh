#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, then runs the pure text unit's
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, the whole suite, and
# then builds the Debian package from the same build and checks it, and last runs
# every fuzz target for a bounded time on its committed corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMIX_SANITIZE=ON >/dev/null
cmake --build build-sanitize -j "$jobs"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"

echo "== text unit under ASan and UBSan"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
echo "== all tests"
ctest --test-dir build --output-on-failure -j "$jobs"
echo "== the Debian package"
package=$(bash scripts/package.sh | tail -n 1)
bash tests/package_test.sh "$package"
echo "== fuzz targets, 15 s each"
bash scripts/fuzz.sh -t 15 -j "$jobs"
