#!/usr/bin/env bash
# Time from process start to the start page loaded, and resident memory then (the
# browser process, and with the web engine's helper processes), median of 5 runs under
# Xvfb, the start page served by tamix-server over the sample index.
# Usage: bench/browser_startup.sh [BUILD_DIR]
set -euo pipefail
# One X server for all runs, so its own start-up is not counted.
if [[ -z ${TAMIX_BENCH_UNDER_XVFB:-} ]]; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24" env TAMIX_BENCH_UNDER_XVFB=1 bash "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=5
data=$build/bench-data
mkdir -p "$data"
index=$data/startup-index.sqlite
if [[ ! -e $index ]]; then
    "$build/server/tamix-server" sample --count 2000 --out "$data/startup.xml"
    "$build/server/tamix-server" import --index "$index" "$data/startup.xml" 2>/dev/null
fi
source "$root/bench/serve.sh"
start_tamix_server "$build/server/tamix-server" "$index" "$data/startup-server.log" --quiet

export TAMIX_PUBMED_HOST=127.0.0.1:$port TAMIX_REPORT_STARTUP=1 QT_QPA_PLATFORM=xcb
export QTWEBENGINE_CHROMIUM_FLAGS="--no-sandbox --disable-gpu --disable-background-networking"
ms=() rss=() tree=()
for run in $(seq $runs); do
    start=$(date +%s%3N)
    line=$("$build/app/tamix" 2>&1 | grep first-page-loaded)
    loaded=$(sed 's/.*first-page-loaded-epoch-ms=\([0-9]*\).*/\1/' <<<"$line")
    ms+=($((loaded - start)))
    rss+=($(sed 's/.* rss-kib=\([0-9]*\).*/\1/' <<<"$line"))
    tree+=($(sed 's/.*tree-rss-kib=\([0-9]*\).*/\1/' <<<"$line"))
    echo "  run $run: ${ms[-1]} ms, browser ${rss[-1]} KiB, with helpers ${tree[-1]} KiB"
done
median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
echo "median of $runs: start page loaded after $(median "${ms[@]}") ms;" \
     "resident $(( $(median "${rss[@]}") / 1024 )) MiB (browser), $(( $(median "${tree[@]}") / 1024 )) MiB (with helpers)"
