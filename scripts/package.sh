#!/usr/bin/env bash
# Builds the Debian package tamix_<version>_<arch>.deb from the build tree in build/
# (configured and built here, so an up-to-date tree costs nothing) and prints the
# package's path as the last line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh >&2
# Files and folders of the package take their modes from the staging tree.
umask 022
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMIX_GUI=ON >/dev/null
cmake --build build -j "$(nproc)" >&2
rm -rf build/package
(cd build && cpack --config CPackConfig.cmake) >&2
packages=(build/package/tamix_*.deb)
if [[ ${#packages[@]} -ne 1 || ! -f ${packages[0]} ]]; then
    echo "package: expected one package in build/package, found: ${packages[*]}" >&2
    exit 1
fi
echo "$root/${packages[0]}"
