#!/usr/bin/env bash
# Runs the system: installs what is missing, builds everything that exists so far.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

cat <<'MSG'

TAMIX is built: the PubMed text unit and the page download (build/pubmed/).
Still to come, in this order:
  - tamix-server, the local PubMed Mobile server on a SQLite full-text index;
  - its translation endpoint;
  - the tamix browser (main window, view, favourites);
  - the PubMed search and article dialogs, end to end.
Until then there is nothing to open; ./scripts/test.sh runs every test.
MSG
