#!/usr/bin/env bash
# Packs the finished build, lints the packages and checks their contents, then installs them
# here: the installed client, started by its command, shows the total of the installed server,
# started with its unit's command line; a higher version keeps the database; removing keeps the
# state and purging takes it. Every path ends with both packages purged. Runs in a network
# namespace of its own (tests/support/isolate.sh --net).
# Usage: package.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
[ "$(id -u)" = 0 ] || { echo "needs root to install packages: skipped" && exit 77; }

# One package test on the machine at a time (other worktrees run the same test).
exec 9>/run/lock/brannoc-package-test.lock
flock -w 200 9 || fail "another package test holds the lock"
state() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true; }
for p in brannoc brannoc-server; do
    case $(state $p) in "" | not-installed) ;; *) echo "$p is on this machine: skipped" && exit 77 ;; esac
done
for d in /var/lib/brannoc-server /var/lib/private/brannoc-server /run/brannoc-server; do
    [ ! -e $d ] || { echo "$d exists: skipped" && exit 77; }
done

work=$(mktemp -d "$build/package-test.XXXXXX")
# The screen's file lives outside /tmp, which the display's own mount namespace hides.
fbdir=$(mktemp -d /dev/shm/brannoc-package-fb.XXXXXX)
apt=(apt-get -y -qq --no-install-recommends -o DPkg::Lock::Timeout=120)
pids=()
cleanup() {
    local status=$?
    set +e
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    "${apt[@]}" purge brannoc brannoc-server >>"$work/apt.log" 2>&1
    rm -rf /var/lib/brannoc-server /var/lib/private/brannoc-server /run/brannoc-server
    [ "$status" = 0 ] || tail -n 20 "$work"/*.log >&2
    rm -rf "$work" "$fbdir"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# wait_for SECONDS COMMAND...: true once the command succeeds, false when the time is up.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

"$src/scripts/package" --only-pack "$build" --out "$work/debs" >/dev/null
client=$(echo "$work"/debs/brannoc_*.deb)
server=$(echo "$work"/debs/brannoc-server_*.deb)
lintian --fail-on error,warning "$client" "$server" >"$work/lintian.log" 2>&1 &
lint=$!
pids+=("$lint")

# Every file named in the install rules, and the whole asset tree the client reads.
contents() { dpkg-deb --contents "$1" | awk '{print substr($6, 2)}'; }
expect=(/usr/games/brannoc /usr/games/brannoc-click /usr/lib/games/brannoc/brannoc /usr/share/applications/brannoc.desktop
    /usr/share/icons/hicolor/64x64/apps/brannoc.png /usr/share/man/man6/brannoc.6.gz /usr/share/man/man6/brannoc-click.6.gz
    /usr/share/doc/brannoc/copyright /usr/share/doc/brannoc/changelog.gz)
while read -r f; do expect+=("/usr/share/games/brannoc/assets/${f#./}"); done \
    < <(cd "$build/assets" && find texture audio font -type f)
for f in "${expect[@]}"; do contents "$client" | grep -qx "$f" || fail "brannoc lacks $f"; done
for f in /usr/sbin/brannoc-server /usr/sbin/brannoc-web /lib/systemd/system/brannoc-server.service \
    /lib/systemd/system/brannoc-web.service /etc/default/brannoc-server /etc/default/brannoc-web \
    /usr/share/man/man8/brannoc-server.8.gz /usr/share/man/man8/brannoc-web.8.gz \
    /usr/share/brannoc-server/default.jpg /usr/share/doc/brannoc-server/copyright; do
    contents "$server" | grep -qx "$f" || fail "brannoc-server lacks $f"
done

"${apt[@]}" install "$client" "$server" >"$work/apt.log" 2>&1 || fail "the packages do not install"

for unit in brannoc-server brannoc-web; do
    systemd-analyze verify "/lib/systemd/system/$unit.service" || fail "$unit.service does not verify"
    exposure=$(systemd-analyze security --offline=true "/lib/systemd/system/$unit.service" |
        sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    echo "$unit.service exposure: $exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "$unit.service is exposed"
done

# The server as its unit starts it: the unit's defaults, then /etc/default, then its command line.
# The folders are the ones systemd would make.
unit=/lib/systemd/system/brannoc-server.service
mkdir -p /var/lib/brannoc-server /run/brannoc-server
start_server() {
    : >"$work/server.log"
    (
        eval "export $(sed -n 's/^Environment=//p' $unit)"
        set -a
        . /etc/default/brannoc-server
        eval "exec $(sed -n 's/^ExecStart=//p' $unit)"
    ) 2>"$work/server.log" &
    server_pid=$!
    pids+=("$server_pid")
    wait_for 20 grep -q "listening on" "$work/server.log" || fail "the installed server did not start"
}
stop_server() {
    kill "$server_pid"
    wait "$server_pid" || fail "the server did not stop cleanly"
}
admin() { brannoc-server --admin-socket /run/brannoc-server/admin.sock "$@"; }
total() { admin status | sed -n 's/^total: //p'; }
start_server
[ "$(total)" = 0 ] || fail "status does not answer with the new database's total"

# The client through its installed command, on an Xvfb whose screen is a file: the band holding
# the total is read straight from it (rows 89 to 139 of the main window at the top left).
fifo=$work/display
mkfifo "$fifo"
setpriv --pdeathsig TERM unshare -m sh -c 'mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /var/lib/xkb &&
    exec Xvfb -displayfd 3 -screen 0 640x800x24 -br -nolisten tcp -noreset -fbdir "$0"' "$fbdir" \
    3>"$fifo" 2>/dev/null &
pids+=($!)
display=$(timeout 30 head -n1 "$fifo") || fail "Xvfb did not start"
fb=$fbdir/Xvfb_screen0
word() { od -An -t u4 --endian=big -j "$1" -N 4 "$fb" | tr -d ' '; }
# The XWD header and colour map come before the pixels.
pixels=$(($(word 0) + $(word 76) * 12))
line=$(word 48)
band() { dd if="$fb" iflag=skip_bytes,count_bytes skip=$((pixels + 89 * line)) count=$((51 * line)) 2>/dev/null | md5sum; }
# A band read twice alike, 0.1 s apart, and unlike those given.
settled_besides() {
    local a b
    a=$(band) && sleep 0.1 && b=$(band)
    [ "$a" = "$b" ] || return 1
    for other in "$@"; do [ "$a" != "$other" ] || return 1; done
    shown=$a
}
blank=$(band)
(cd / && DISPLAY=:$display ALSOFT_DRIVERS=null exec /usr/games/brannoc) >"$work/client.log" 2>&1 &
pids+=($!)
wait_for 30 grep -q ": whoami (" "$work/server.log" || fail "the installed client did not connect"
wait_for 30 settled_besides "$blank" || fail "the client drew no total"
zero=$shown
admin set 4321 >/dev/null
wait_for 10 settled_besides "$zero" || fail "the client does not show the server's new total"
admin set 0 >/dev/null
shows_zero() { [ "$(band)" = "$zero" ]; }
wait_for 10 shows_zero || fail "the client does not show the total going back"
admin set 4321 >/dev/null
stop_server

# A higher version over this one keeps the database.
mkdir "$work/next"
dpkg-deb -R "$server" "$work/next/tree"
sed -i 's/^Version: .*/&+1/' "$work/next/tree/DEBIAN/control"
dpkg-deb -b "$work/next/tree" "$work/next/brannoc-server.deb" >/dev/null
"${apt[@]}" install "$work/next/brannoc-server.deb" >>"$work/apt.log" 2>&1 || fail "the upgrade does not install"
dpkg-query -W -f='${Version}' brannoc-server | grep -q '+1$' || fail "the upgrade did not happen"
start_server
[ "$(total)" = 4321 ] || fail "the upgrade lost the total"
stop_server

"${apt[@]}" remove brannoc-server >>"$work/apt.log" 2>&1 || fail "brannoc-server does not remove"
[ -f /var/lib/brannoc-server/tally.db ] || fail "removing took the database"
"${apt[@]}" purge brannoc brannoc-server >>"$work/apt.log" 2>&1 || fail "the packages do not purge"
[ ! -e /var/lib/brannoc-server ] || fail "purging left the state"

wait "$lint" || { cat "$work/lintian.log" >&2 && fail "lintian"; }
echo "lintian: no error or warning on either package"
