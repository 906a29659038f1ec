#!/usr/bin/env bash
# Runs the system: installs what is missing, builds, makes the sample index when there
# is none, serves it on 127.0.0.1:8790 and opens the browser on its start page. Closing
# the browser stops the server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

server=build/server/tamix-server
index=${TAMIX_INDEX:-data/sample-index.sqlite}
make_sample_index() {
    mkdir -p "$(dirname "$index")"
    echo "Making the sample index $index (2,000 synthetic records) ..."
    "$server" sample --count 2000 --out data/sample-2000.xml
    "$server" import --index "$index" data/sample-2000.xml
}
[[ -e $index ]] || make_sample_index

log=data/tamix-server.log
server_pid=
trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true' EXIT INT TERM
for attempt in 1 2; do
    "$server" serve --index "$index" --listen 127.0.0.1:8790 2>>"$log" &
    server_pid=$!
    for _ in $(seq 50); do
        if curl -sf http://127.0.0.1:8790/ >/dev/null 2>&1; then break 2; fi
        if ! kill -0 "$server_pid" 2>/dev/null; then break; fi
        sleep 0.1
    done
    # The sample index of an older tamix-server is refused by this one: it is made anew.
    if [[ $attempt == 1 && -z ${TAMIX_INDEX:-} ]] && ! kill -0 "$server_pid" 2>/dev/null &&
        tail -n 2 "$log" | grep -q "made by an older tamix-server"; then
        rm -f "$index" "$index-wal" "$index-shm"
        make_sample_index
        continue
    fi
    if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "tamix-server did not start (is 127.0.0.1:8790 taken?); see $log" >&2
        exit 1
    fi
    break
done
echo "tamix-server serves $index on http://127.0.0.1:8790/ (log: $log)."

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
    cat <<'MSG'
There is no display to open the browser on. To run it on a virtual one:
    xvfb-run -a -s "-screen 0 1280x1024x24" ./scripts/run.sh
The server keeps serving http://127.0.0.1:8790/ until you press Ctrl-C.
MSG
    wait "$server_pid"
    exit 0
fi

# Chromium's sandbox cannot run as root.
if [[ $(id -u) -eq 0 ]]; then
    export QTWEBENGINE_CHROMIUM_FLAGS="${QTWEBENGINE_CHROMIUM_FLAGS:-} --no-sandbox"
fi
build/app/tamix "$@"
