#!/usr/bin/env bash
# ufw itself on the doctor's host of a LAN where a chat runs: enabled with its default deny, the
# doctor must name it, for the chat's UDP ports and the share server's TCP ports; once the
# package's profile is allowed, neither. ufw runs only inside the host's
# network namespace, in a mount namespace of its own over copies of /etc/ufw, /lib/ufw and
# /etc/default/ufw; the machine's files and firewall are checked unchanged at the end.
# Usage: test_doctor_ufw.sh <zumzum-chat> <zumzum-probe> <zumzum-chat-doctor>

source "$(dirname "$0")/netbed.sh"
source "$(dirname "$0")/doctor.sh"
doctor_init "$@"
command -v ufw >/dev/null || netbed_skip "ufw is not installed"
command -v iptables >/dev/null || netbed_skip "iptables is not installed"
profile="$(dirname "$0")/../../data/ufw/zumzum-chat"

machine_state()
{
    find /etc/ufw /lib/ufw /etc/default/ufw -type f -exec sha256sum {} + | sort
    iptables -S
    ip6tables -S
}
before=$(machine_state) || netbed_fail "cannot read the machine's ufw files and rules"

copy="$NB_TMP/ufw"
if ! { mkdir "$copy" && cp -a /etc/ufw "$copy/etc" && cp -a /lib/ufw "$copy/lib" &&
    cp -a /etc/default/ufw "$copy/default" && cp "$profile" "$copy/etc/applications.d/zumzum-chat"; }; then
    netbed_fail "cannot copy ufw's files"
fi
# Inside `ip netns exec`, whose own mount namespace is made before these binds and so cannot undo
# them; they end with the command.
# shellcheck disable=SC2016 # expanded by the inner shell
over_copy=(unshare --mount --propagation private sh -c 'mount --bind "$0/etc" /etc/ufw &&
    mount --bind "$0/lib" /lib/ufw && mount --bind "$0/default" /etc/default/ufw && exec "$@"' "$copy")

doctor_lan_with_chat

netbed_on A "${over_copy[@]}" ufw --force enable >"$NB_TMP/ufw.log" 2>&1 || netbed_fail "ufw enable failed"
grep -q '^ENABLED=yes' "$copy/etc/ufw.conf" || netbed_fail "ufw did not write into the copy"
doctor_run A "$doctor" deny "${over_copy[@]}" --
doctor_expect_status deny 1
doctor_expect_code deny firewall
jq -e '.problems[] | select(.code == "firewall") | .message | contains("ufw allow zumzum-chat")' \
    "$NB_TMP/deny.json" >/dev/null || netbed_fail "deny: the message does not give the ufw command"
# The share server's TCP range is denied as well, and the same profile allows it.
jq -e '.problems[] | select(.code == "share-firewall") | .message | contains("50012〜50019")' \
    "$NB_TMP/deny.json" >/dev/null || netbed_fail "deny: the share ports are not named: $(cat "$NB_TMP/deny.json")"

netbed_on A "${over_copy[@]}" ufw allow zumzum-chat >>"$NB_TMP/ufw.log" 2>&1 || netbed_fail "ufw allow failed"
doctor_run A "$doctor" allowed "${over_copy[@]}" --
jq -e 'any(.problems[]; .code == "firewall" or .code == "share-firewall") | not' "$NB_TMP/allowed.json" >/dev/null ||
    netbed_fail "allowed: still named: $(cat "$NB_TMP/allowed.json")"

[ "$(machine_state)" = "$before" ] || netbed_fail "the machine's ufw files or rules changed"
netbed_log "passed"
