#!/usr/bin/env bash
# The Debian package as a user gets it: lintian (no errors), unpacked into a scratch root
# with dpkg-deb -x, every file it promises in place, and the installed tamix-server run
# from there: sample, import, serve, and a translation through the installed glossary.
# The service's first start, its unit and the AppStream metadata are checked too.
# Any fault stops the script with a message and status 1.
set -euo pipefail
deb=${1:?usage: tests/package_test.sh PACKAGE.deb}
[[ -f $deb ]] || { echo "package test: no package $deb" >&2; exit 1; }

work=$(mktemp -d /tmp/tamix-package-XXXXXX)
server_pid=
cleanup() {
    if [[ -n $server_pid ]]; then kill "$server_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "package test: FAILED: $*" >&2
    exit 1
}
step() { echo "-- $*"; }
trap 'echo "package test: FAILED at line $LINENO: $BASH_COMMAND" >&2' ERR

step "lintian"
# lintian exits non-zero on errors only; warnings and notes are printed for the record.
lintian --fail-on error --info --display-info --pedantic --color never "$deb" 2>&1 |
    grep -v "running with root privileges is not recommended" || fail "lintian reports errors"

root=$work/root
dpkg-deb -x "$deb" "$root"
version=$(dpkg-deb -f "$deb" Version)
step "unpacked tamix $version, $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"

step "files"
# The others are read by the steps below; lintian wants the copyright file.
for size in 256x256 48x48; do
    [[ -s $root/usr/share/icons/hicolor/$size/apps/tamix.png ]] || fail "the package lacks the $size icon"
done
for program in tamix tamix-server; do
    [[ $(file "$root/usr/bin/$program") == *", stripped"* ]] || fail "$program is not stripped"
done
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libsqlite3-0* ]] || fail "Depends lacks what the library scan finds: $depends"
[[ $depends == *libqt6webenginewidgets6* ]] || fail "Depends lacks Qt WebEngine: $depends"
[[ $depends == *ca-certificates* ]] || fail "Depends lacks ca-certificates (NCBI over https): $depends"
[[ $(dpkg-deb -f "$deb" Recommends) == *fonts-wqy-microhei* ]] || fail "no Chinese font recommended"

step "one version everywhere"
meta=$root/usr/share/metainfo/org.tamix.tamix.metainfo.xml
release=$(grep -o '<release version="[^"]*"' "$meta" | head -n 1 | cut -d'"' -f2)
changelog=$(zcat "$root/usr/share/doc/tamix/changelog.gz" | head -n 1 | sed 's/^tamix (\([^)]*\)).*/\1/')
desktop=$(sed -n 's/^X-TAMIX-Version=//p' "$root/usr/share/applications/tamix.desktop")
for pair in "metainfo release:$release" "changelog:$changelog" "desktop entry:$desktop"; do
    [[ ${pair#*:} == "$version" ]] || fail "${pair%%:*} says ${pair#*:}, the package $version"
done
for page in tamix tamix-server; do
    zcat "$root/usr/share/man/man1/$page.1.gz" | head -n 1 | grep -qF "\"tamix $version\"" ||
        fail "$page(1) names another version"
done

step "manual pages"
for page in tamix tamix-server; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
        "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "$page(1): $warnings"
done

step "AppStream metadata"
# The tree, so that the desktop entry and icons the metadata names are checked too.
appstreamcli validate-tree --pedantic --no-net "$root" || fail "appstreamcli rejects the metadata"

step "systemd unit"
unit=$root/usr/lib/systemd/system/tamix-server.service
# The unit names /usr/bin/tamix-server; here that program is the unpacked one.
sed "s|/usr/bin/tamix-server|$root/usr/bin/tamix-server|g" "$unit" >"$work/tamix-server.service"
MANPATH=$root/usr/share/man systemd-analyze verify "$work/tamix-server.service" ||
    fail "systemd-analyze verify rejects the unit"
for setting in User=_tamix StateDirectory=tamix-server NoNewPrivileges=yes ProtectSystem=strict \
    ProtectHome=yes PrivateTmp=yes PrivateDevices=yes MemoryDenyWriteExecute=yes \
    SystemCallFilter=@system-service "--listen 127.0.0.1:8790"; do
    grep -qF -- "$setting" "$unit" || fail "the unit lacks $setting"
done
grep -q "^u _tamix " "$root/usr/lib/sysusers.d/tamix-server.conf" || fail "no system user _tamix"

server=$root/usr/bin/tamix-server
step "the service serves a sample until its index exists, made once"
state=$work/state
mkdir "$state"
# A line's shell text, its continued lines joined and "$$" read as systemd does.
unit_shell() {
    sed -e ':a' -e '/\\$/N; s/\\\n/ /; ta' "$unit" |
        sed -n "s/^$1=\/bin\/sh -ec '\(.*\)'$/\1/p" | sed -e 's/\$\$/$/g' -e "s|/usr/bin/tamix-server|$server|g"
}
first_start=$(unit_shell ExecStartPre)
serve_line=$(unit_shell ExecStart)
[[ -n $first_start && -n $serve_line ]] || fail "no ExecStartPre or ExecStart shell in the unit"
export TAMIX_INDEX=$state/pubmed.sqlite
(cd "$state" && sh -ec "$first_start" 2>"$work/first.log") || fail "first start: $(cat "$work/first.log")"
[[ $(ls "$state") == sample.sqlite ]] || fail "the first start left: $(ls "$state")"
before=$(stat -c %Y:%s "$state/sample.sqlite")
sleep 1
(cd "$state" && sh -ec "$first_start") || fail "second start"
[[ $(stat -c %Y:%s "$state/sample.sqlite") == "$before" ]] || fail "a later start remade the sample"
# The serve line picks the sample now and the index once it exists; exec'd as "echo".
[[ $(cd "$state" && sh -ec "${serve_line/exec $server/exec echo}") == *"--index sample.sqlite "* ]] ||
    fail "without the index the service does not serve the sample"
cp "$state/sample.sqlite" "$TAMIX_INDEX"
[[ $(cd "$state" && sh -ec "${serve_line/exec $server/exec echo}") == *"--index $TAMIX_INDEX "* ]] ||
    fail "the service does not serve TAMIX_INDEX once it exists"
(cd "$state" && sh -ec "$first_start") || fail "start with the index"
unset TAMIX_INDEX

step "the mirror's units"
for name in tamix-mirror.service tamix-mirror.timer; do
    sed "s|/usr/bin/tamix-server|$root/usr/bin/tamix-server|g" \
        "$root/usr/lib/systemd/system/$name" >"$work/$name"
done
verified=$(cd "$work" && MANPATH=$root/usr/share/man systemd-analyze verify tamix-mirror.service tamix-mirror.timer 2>&1) ||
    fail "systemd-analyze verify rejects the mirror's units: $verified"
[[ -z $verified ]] || fail "systemd-analyze verify does not take every line of the mirror's units: $verified"
grep -qF 'ExecStart=/usr/bin/tamix-server mirror --index ${TAMIX_INDEX}' "$root/usr/lib/systemd/system/tamix-mirror.service" ||
    fail "the mirror's unit does not run tamix-server mirror on TAMIX_INDEX"
grep -q "^User=_tamix" "$root/usr/lib/systemd/system/tamix-mirror.service" ||
    fail "the mirror does not run as the server's user"
dpkg-deb -e "$deb" "$work/control"
! grep -q "enable.*tamix-mirror" "$work/control/postinst" || fail "the mirror is enabled on install"

step "tamix-server from the unpacked tree: sample, import, serve, translate"
"$server" sample --count 120 --out "$work/sample.xml" || fail "sample"
"$server" import --index "$work/index.sqlite" "$work/sample.xml" 2>"$work/import.log" ||
    fail "import: $(cat "$work/import.log")"

# Serves on a free port; sets port and server_pid.
start_server() {
    local program=$1 index=$2 log=$3
    : >"$log"
    "$program" serve --index "$index" --listen 127.0.0.1:0 2>"$log" &
    server_pid=$!
    port=
    for _ in $(seq 100); do
        port=$(sed -n 's|.*on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$log")
        [[ -n $port ]] && return 0
        kill -0 "$server_pid" 2>/dev/null || fail "serve did not start: $(cat "$log")"
        sleep 0.1
    done
    fail "serve did not say where it listens: $(cat "$log")"
}
stop_server() {
    kill -TERM "$server_pid"
    wait "$server_pid" || fail "serve did not stop cleanly on SIGTERM"
    server_pid=
}

start_server "$server" "$work/index.sqlite" "$work/serve.log"
grep -q "no glossary" "$work/serve.log" && fail "the installed glossary was not found: $(cat "$work/serve.log")"
# Each page, then what it must hold (grep -q would end curl's pipe early).
page() { curl -sf "http://127.0.0.1:$port$1" || fail "GET $1"; }
[[ $(page /) == *"120 records"* ]] || fail "start page"
[[ $(page "/m/pubmed/?term=trial") == *"PubMed Mobile"* ]] || fail "result page"
[[ $(page /m/pubmed/99000007) == *'class="title"'* ]] || fail "article page"
answer=$(curl -sf "http://127.0.0.1:$port/public/2.0/bmt/translate?client_id=Qx7TmWb2PaLk9RcVz4NsJd6E&q=Heart%20failure%20in%20patients&from=en&to=zh") ||
    fail "translation request"
# "Heart failure（心力衰竭）", every character escaped.
[[ $answer == *'\u0048\u0065\u0061\u0072\u0074\u0020\u0066\u0061\u0069\u006c\u0075\u0072\u0065\uff08\u5fc3\u529b\u8870\u7aed\uff09'* ]] ||
    fail "translation through the installed glossary: $answer"
stop_server

# The same program without the glossary in ../share/tamix has none: the one above was
# found relative to the program, not anywhere else.
mkdir -p "$work/bare/bin"
cp "$server" "$work/bare/bin/"
start_server "$work/bare/bin/tamix-server" "$work/index.sqlite" "$work/bare.log"
grep -q "no glossary found" "$work/bare.log" || fail "a glossary was found where none is"
stop_server

echo "package test: passed"
