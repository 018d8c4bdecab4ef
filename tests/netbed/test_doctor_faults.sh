#!/usr/bin/env bash
# The causes the doctor must name, each made on the doctor's host of a LAN where a chat runs:
# a mask in set.txt wider than the subnet, a firewall rule that drops the presence port, and a
# default route through a container bridge.
# Usage: test_doctor_faults.sh <zumzum-chat> <zumzum-probe> <zumzum-chat-doctor>

source "$(dirname "$0")/netbed.sh"
source "$(dirname "$0")/doctor.sh"
doctor_init "$@"
command -v nft >/dev/null || netbed_skip "nft is not installed"
doctor_lan_with_chat

# 255.255.0.0 on a /24: the derived 198.18.255.255 is off the subnet.
printf 'zz-alpha\t0\t1\t0\t0\t6630\t4455\t255.255.0.0\t0\t1000\r\n' >"$doctor/set.txt"
doctor_run A "$doctor" wide-mask
doctor_expect_status wide-mask 1
doctor_expect_code wide-mask broadcast-off-subnet
[ "$(jq -r .broadcastAddress "$NB_TMP/wide-mask.json")" = 198.18.255.255 ] || netbed_fail "wide-mask: broadcast address"
jq -e '.problems[] | select(.code == "broadcast-off-subnet") | .message | contains("255.255.255.0")' \
    "$NB_TMP/wide-mask.json" >/dev/null || netbed_fail "wide-mask: the message does not give the matching mask"
rm -f "$doctor/set.txt"

# A rule on the doctor's host that drops UDP 50011: root reads it, and the live check misses
# its own broadcast.
netbed_on A nft -f - <<'RULES' || netbed_fail "cannot add the nftables rule"
table inet zzdoctor {
    chain input {
        type filter hook input priority 0; policy accept;
        ct state established,related accept
        udp dport 50011 drop
    }
}
RULES
doctor_run A "$doctor" firewall
doctor_expect_status firewall 1
doctor_expect_code firewall firewall
doctor_expect_code firewall own-broadcast-not-heard
jq -e '.problems[] | select(.code == "firewall") | .message | contains("50011")' "$NB_TMP/firewall.json" >/dev/null ||
    netbed_fail "firewall: the message does not name the port"
netbed_on A nft delete table inet zzdoctor || netbed_fail "cannot remove the nftables rule"

# The same LAN again: nothing left over from the faults above.
doctor_run A "$doctor" repaired
doctor_expect_status repaired 0

# A user who is not root: the copy of the chat has no capability for port 1000, and the rules
# cannot be read.
chmod 755 "$NB_TMP" "$doctor"
doctor_run A "$doctor" user setpriv --reuid=65534 --regid=65534 --clear-groups --
doctor_expect_status user 1
[ "$(doctor_codes user)" = no-bind-permission ] || netbed_fail "user: problems $(doctor_codes user)"
grep -q 'sudo nft list ruleset' "$NB_TMP/user.err" || netbed_fail "user: no word on the unread firewall: $(cat "$NB_TMP/user.err")"

# A bridge named docker0 that carries the default route.
netbed_on A ip link add docker0 type bridge || netbed_fail "cannot make docker0"
netbed_on A ip addr add 198.19.0.1/24 dev docker0 || netbed_fail "address of docker0"
netbed_on A ip link set docker0 up || netbed_fail "docker0 does not come up"
netbed_on A ip route replace default via 198.19.0.254 dev docker0 onlink || netbed_fail "route through docker0"
doctor_run A "$doctor" docker
doctor_expect_status docker 1
doctor_expect_code docker container-bridge
[ "$(jq -r .interface.name "$NB_TMP/docker.json")" = docker0 ] || netbed_fail "docker: the chosen interface"
[ "$(jq -r '.interfaces[] | select(.name == "docker0") | .kind' "$NB_TMP/docker.json")" = bridge ] ||
    netbed_fail "docker: docker0 is not listed as a bridge"
[ "$(jq -r '.interfaces[] | select(.name == "eth0") | .kind' "$NB_TMP/docker.json")" = lan ] ||
    netbed_fail "docker: eth0 is not listed as the LAN"
netbed_log "passed"
