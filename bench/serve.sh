# Sourced by the benchmark scripts: starts tamix-server on a free loopback port, sets
# $port, and stops every server it started when the script exits.
# start_tamix_server SERVER INDEX LOG [serve options...]
tamix_server_pids=()
start_tamix_server() {
    local server=$1 index=$2 log=$3
    shift 3
    "$server" serve --index "$index" --listen 127.0.0.1:0 "$@" 2>"$log" &
    tamix_server_pids+=($!)
    trap 'kill "${tamix_server_pids[@]}" 2>/dev/null || true' EXIT
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's|.* on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$log")
        [[ -n $port ]] && return 0
        sleep 0.1
    done
    echo "tamix-server did not start; see $log" >&2
    return 1
}
