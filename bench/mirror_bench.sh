#!/usr/bin/env bash
# tamix-server mirror's figures: 100,000 sample records in four files of 25,000 (as NLM's
# baseline files hold about 30,000), served from a download area on loopback (Python's
# http.server, whose listing links the files as Apache's does). Each of 3 rounds imports
# them with `tamix-server import` (the baseline) and then with `tamix-server mirror`, in
# random order; the summary gives the medians, their ratio, and the index size per record.
# Usage: bench/mirror_bench.sh [BUILD_DIR]   (default build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
server=$build/server/tamix-server
data=$build/bench-data/mirror
[[ -x $server ]] || { echo "build first: $server is missing" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 is missing" >&2; exit 1; }
mkdir -p "$data/area/baseline" "$data/area/updatefiles"

if [[ ! -s $data/area/baseline/pubmed26n0004.xml.gz.md5 ]]; then
    "$server" sample --count 100000 --out "$data/sample.xml"
    python3 - "$data/sample.xml" "$data/area/baseline" <<'PY'
import gzip, hashlib, sys
head, rest = open(sys.argv[1], encoding="utf-8").read().split("<PubmedArticleSet>\n", 1)
records = rest.replace("</PubmedArticleSet>\n", "").splitlines(keepends=True)
for i in range(4):
    name = f"pubmed26n{i + 1:04d}.xml.gz"
    body = head + "<PubmedArticleSet>\n" + "".join(records[i * 25000:(i + 1) * 25000]) + "</PubmedArticleSet>\n"
    data = gzip.compress(body.encode("utf-8"), 6)
    open(f"{sys.argv[2]}/{name}", "wb").write(data)
    open(f"{sys.argv[2]}/{name}.md5", "w").write(f"MD5({name})= {hashlib.md5(data).hexdigest()}\n")
PY
    rm -f "$data/sample.xml"
fi

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$data/area" >/dev/null 2>&1 &
http=$!
trap 'kill $http 2>/dev/null' EXIT
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/baseline/" >/dev/null && break; sleep 0.1; done

echo "== 100,000 sample records in 4 files ($(du -cm "$data"/area/baseline/*.gz | tail -1 | cut -f1) MB compressed)"
declare -a import_rates mirror_rates
run() { # kind -> records per second
    rm -rf "$data"/index.sqlite*
    local start end
    start=$(date +%s%N)
    if [[ $1 == import ]]; then
        "$server" import --index "$data/index.sqlite" "$data"/area/baseline/*.xml.gz 2>/dev/null
    else
        "$server" mirror --index "$data/index.sqlite" --from "http://127.0.0.1:$port/" 2>/dev/null
    fi
    end=$(date +%s%N)
    awk -v ns=$((end - start)) 'BEGIN { printf "%.0f", 100000 / (ns / 1e9) }'
}
for round in 1 2 3; do
    order=(import mirror)
    ((RANDOM % 2)) && order=(mirror import)
    for kind in "${order[@]}"; do
        rate=$(run "$kind")
        printf '  round %d %-6s %6d records/s\n' "$round" "$kind" "$rate"
        if [[ $kind == import ]]; then import_rates+=("$rate"); else mirror_rates+=("$rate"); fi
        [[ $kind == mirror ]] && size=$(du -cb "$data"/index.sqlite* | tail -1 | cut -f1)
    done
done
median() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
mi=$(median "${import_rates[@]}")
mm=$(median "${mirror_rates[@]}")
printf '  median: import %d records/s, mirror %d records/s (%.2f of import)\n' "$mi" "$mm" \
    "$(awk -v a="$mm" -v b="$mi" 'BEGIN { print a / b }')"
printf '  index after the mirror: %d MB, %d bytes per record\n' $((size / 1000000)) $((size / 100000))
