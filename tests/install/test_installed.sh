#!/usr/bin/env bash
# The Debian packages as a user gets them: built with scripts/package.sh, installed with apt-get, and
# /usr/bin/zumzum-chat started by an unprivileged user on a host of the namespace test LAN. It must
# bind the chat port 1000 (the capability from postinst), broadcast its join notice, leave on
# SIGTERM and save set.txt in that user's config folder, /usr/bin not being writable. Afterwards
# the package, the packages it brought in, the user and the namespaces are gone again.
# Needs root; skips (77) without it or without network namespaces.
# The checks' conditions are strings for eval, quoted so that they expand when checked.
# shellcheck disable=SC2016
set -u
cd "$(dirname "$0")/../.." || exit 1
root=$(pwd)
user=zzinstall

[ "$(id -u)" = 0 ] || { echo "SKIPPED: installing a package needs root"; exit 77; }
if dpkg-query -W -f='${db:Status-Status}' zumzum-chat 2>/dev/null | grep -q installed; then
    echo "SKIPPED: zumzum-chat is installed already; this test would remove it"
    exit 77
fi
id "$user" >/dev/null 2>&1 && { echo "SKIPPED: a user $user exists already"; exit 77; }
# netbed.sh skips the same way, but only after the package build; this saves it.
probe_ns="zz-install-probe-$$"
ip netns add "$probe_ns" 2>/dev/null || { echo "SKIPPED: cannot make a network namespace"; exit 77; }
ip netns delete "$probe_ns"

log() { echo "[$(date +%H:%M:%S)] $*"; }
failures=()
passed=0
check()
{
    local what=$1
    shift
    if "$@"; then
        log "PASS: $what"
        passed=$((passed + 1))
    else
        log "FAIL: $what"
        failures+=("$what")
    fi
}

installed_packages()
{
    dpkg-query -W -f='${db:Status-Status} ${Package}:${Architecture}\n' | awk '$1 == "installed" { print $2 }' | sort
}

# What the test adds, it removes: the package and whatever its installation brought in, the user.
# The build dependencies stay, like the tools the other tests install.
before=""
user_made=0
restore()
{
    if dpkg-query -W -f='${db:Status-Status}' zumzum-chat 2>/dev/null | grep -q installed; then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq zumzum-chat >/dev/null
    fi
    local added
    added=$(installed_packages | comm -13 "$before" -)
    if [ -n "$added" ]; then
        log "removing what the installation brought in: ${added//$'\n'/ }"
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $added >/dev/null
    fi
    [ "$user_made" = 1 ] && userdel --remove "$user" 2>/dev/null
    user_made=0
}

start=$SECONDS
log "building the package"
package_log=$(mktemp)
if ! bash scripts/package.sh >"$package_log" 2>&1; then
    cat "$package_log"
    rm -f "$package_log"
    echo "FAIL: scripts/package.sh failed"
    exit 1
fi
deb=$(tail -n 1 "$package_log")
rm -f "$package_log"
log "built $deb in $((SECONDS - start)) s"

log "building the probe"
probe_build="$root/build/install-test"
{ cmake -S tests/install -B "$probe_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    nice cmake --build "$probe_build" --parallel 2 >/dev/null; } || { echo "FAIL: the probe does not build"; exit 1; }

# The netbed helpers: namespaces, probe, clean-up on every exit. Its EXIT trap is chained with
# the restore above once it is set.
# shellcheck source=../netbed/netbed.sh
source tests/netbed/netbed.sh

before="$probe_build/packages-before"
installed_packages >"$before"
log "installing $deb"
trap restore EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null 2>&1 ||
    { echo "FAIL: apt-get install $deb failed"; exit 1; }
program=/usr/bin/zumzum-chat
netbed_init "$program" "$probe_build/zumzum-probe"
trap 'netbed_cleanup; restore' EXIT
trap 'netbed_cleanup; restore; exit 1' INT TERM

check "postinst granted $program cap_net_bind_service" eval 'getcap "$program" | grep -q cap_net_bind_service'
if command -v desktop-file-validate >/dev/null; then
    check "the installed desktop entry validates" desktop-file-validate /usr/share/applications/org.example.ZumzumChat.desktop
fi
if command -v appstreamcli >/dev/null; then
    check "the installed metainfo validates" eval 'appstreamcli validate --no-net /usr/share/metainfo/org.example.ZumzumChat.metainfo.xml >/dev/null'
fi
# The firewall files open the chat's UDP ports and the share server's TCP range.
if command -v ufw >/dev/null; then
    check "ufw reads the installed profile with the share ports" \
        eval 'ufw app info zumzum-chat | grep -q "50012:50019/tcp"'
fi
check "the installed firewalld service opens the share ports" \
    grep -q '<port protocol="tcp" port="50012-50019"/>' /usr/lib/firewalld/services/zumzum-chat.xml
check "the icon is in the hicolor theme" test -s /usr/share/icons/hicolor/48x48/apps/org.example.ZumzumChat.png

# The relay's package beside it: it installs, its unit stays disabled, and it runs.
relay_deb=$(find "$(dirname "$deb")" -maxdepth 1 -name 'zumzum-chat-relay_*.deb' | head -n 1)
install_relay() { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$relay_deb" >/dev/null 2>&1; }
check "the relay package installs" install_relay
check "zumzum-chat-relay --help runs" eval '/usr/sbin/zumzum-chat-relay --help | grep -q -- --broker'
check "the relay's unit is not enabled by the package" \
    eval '[ "$(systemctl is-enabled zumzum-chat-relay.service 2>/dev/null)" = disabled ]'
check "the relay with the shipped relay.conf ends as not configured (78)" \
    eval '/usr/sbin/zumzum-chat-relay 2>/dev/null; [ $? = 78 ]'

useradd --create-home --user-group --shell /usr/sbin/nologin "$user" || netbed_fail "cannot make the user $user"
user_made=1
home=$(getent passwd "$user" | cut -d: -f6)

netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo
netbed_listen B 50011 presence
# setpriv execs the program (runuser would stay its parent), so SIGTERM goes to the program itself;
# --reset-env gives the user's HOME and no XDG_CONFIG_HOME.
# A runtime folder in the home, so that Qt makes none in /tmp that would outlive the user.
install -d -m 0700 -o "$user" -g "$user" "$home/runtime"
netbed_spawn A installed setpriv --reuid="$user" --regid="$user" --init-groups --reset-env \
    env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$home/runtime" "$program"
pid=$NB_PID

join=$(netbed_three_fields_hex 1 zz-alpha 198.18.0.1)
leave=$(netbed_three_fields_hex 2 zz-alpha 198.18.0.1)
seen_join() { grep -q " 198.18.0.1 $join 198.18.0.255 " "$NB_TMP/presence.out"; }
check "the join notice reaches host B" netbed_wait 30 seen_join
bound_1000() { ip netns exec "${NB_NS[A]}" ss -H -u -l -n -p 'sport = :1000' | grep -q "pid=$pid,"; }
check "the program holds UDP port 1000" netbed_wait 10 bound_1000
check "the program runs as $user" eval '[ "$(ps -o user= -p "$pid")" = "$user" ]'

kill -TERM "$pid"
seen_leave() { grep -q " 198.18.0.1 $leave 198.18.0.255 " "$NB_TMP/presence.out"; }
check "the leave notice after SIGTERM" netbed_wait 30 seen_leave
if netbed_wait_exit "$pid" 30; then
    check "the program ends with status 0 after SIGTERM" test "$NB_STATUS" = 0
else
    check "the program ends after SIGTERM" false
    echo "---- what it printed:"
    tail -n 20 "$NB_TMP/installed.log"
fi
settings="$home/.config/zumzum-chat/set.txt"
check "set.txt is saved in $settings" test -s "$settings"
check "set.txt is owned by $user" eval '[ "$(stat -c %U "$settings" 2>/dev/null)" = "$user" ]'
check "nothing is written beside the executable" test ! -e /usr/bin/set.txt

# The doctor as the same user: the chat's set.txt, and port 1000 through its own capability. Host B
# runs no chat, so nobody answering is the only finding.
doctor="$NB_TMP/doctor.json"
status=0
netbed_on A setpriv --reuid="$user" --regid="$user" --init-groups --reset-env \
    env XDG_RUNTIME_DIR="$home/runtime" /usr/bin/zumzum-chat-doctor --json >"$doctor" 2>"$NB_TMP/doctor.log" ||
    status=$?
check "the doctor ends with status 1 (nobody answers)" test "$status" = 1
check "the doctor reads $settings" eval '[ "$(jq -r .settings.path "$doctor")" = "$settings" ]'
check "the doctor's live check runs as $user and finds only no-peers" \
    eval '[ "$(jq -c "[.problems[].code]" "$doctor")" = "[\"no-peers\"]" ]'

trap - EXIT INT TERM
netbed_cleanup
restore
check "the user is gone" eval '! id "$user" >/dev/null 2>&1'
check "the package is purged" eval '! dpkg-query -W -f="\${db:Status-Status}" zumzum-chat 2>/dev/null | grep -q installed'
check "the installed packages are as before" eval '[ -z "$(installed_packages | comm -3 "$before" -)" ]'

echo "install test took $((SECONDS - start)) s"
if [ ${#failures[@]} -gt 0 ]; then
    printf 'failed: %s\n' "${failures[@]}"
fi
echo "install: $passed passed, ${#failures[@]} failed"
[ ${#failures[@]} -eq 0 ]
