# shellcheck shell=bash
# A LAN of network namespaces for the benchmarks, sourced by bench_burst.sh and bench_flood.sh:
# a bridge in a namespace of its own and one namespace per host, each joined to the bridge by a veth
# pair whose host end (eth0) is created inside the host's namespace. Host number i (1, 2, ...) gets
# 198.18.0.i/24, broadcast 198.18.0.255. Nothing is created in the machine's own namespace.
#
#   lan_create PREFIX a b c      # hosts a = 198.18.0.1, b = 198.18.0.2, c = 198.18.0.3
#   ip netns exec "$(lan_ns a)" ...
#   ip -n "$LAN_NS_BR" -s link show port-a
#   lan_destroy                  # from the caller's EXIT trap; safe to call twice
#   lan_wait_ready PID OUT ERR   # until the program PID has written "ready" to OUT
#
# The caller needs root and its own trap on EXIT that calls lan_destroy.

LAN_PREFIX=
LAN_NS_BR=
LAN_HOSTS=()

lan_ns() {
    echo "$LAN_PREFIX-$1"
}

lan_address() {
    local i
    for i in "${!LAN_HOSTS[@]}"; do
        if [ "${LAN_HOSTS[$i]}" = "$1" ]; then
            echo "198.18.0.$((i + 1))"
            return 0
        fi
    done
    return 1
}

lan_create() {
    LAN_PREFIX=$1
    shift
    LAN_HOSTS=("$@")
    LAN_NS_BR=$LAN_PREFIX-br
    local ns host address
    for ns in "$LAN_NS_BR" "${LAN_HOSTS[@]/#/$LAN_PREFIX-}"; do
        if ip netns list | grep -qw "$ns"; then
            echo "namespace $ns exists already" >&2
            LAN_HOSTS=()
            LAN_NS_BR=
            return 1
        fi
    done
    ip netns add "$LAN_NS_BR"
    ip -n "$LAN_NS_BR" link add br0 type bridge
    ip -n "$LAN_NS_BR" link set br0 up
    ip -n "$LAN_NS_BR" link set lo up
    for host in "${LAN_HOSTS[@]}"; do
        ns=$(lan_ns "$host")
        address=$(lan_address "$host")
        ip netns add "$ns"
        ip -n "$ns" link add eth0 type veth peer name "port-$host" netns "$LAN_NS_BR"
        ip -n "$LAN_NS_BR" link set "port-$host" master br0
        ip -n "$LAN_NS_BR" link set "port-$host" up
        ip -n "$ns" addr add "$address/24" broadcast 198.18.0.255 dev eth0
        ip -n "$ns" link set lo up
        ip -n "$ns" link set eth0 up
    done
    # The bridge forwards at once (no STP); wait until every other host reaches the first. The
    # pings also leave the first host's address resolved on the others.
    local first=${LAN_HOSTS[0]}
    for host in "${LAN_HOSTS[@]:1}"; do
        for _ in $(seq 50); do
            ip netns exec "$(lan_ns "$host")" ping -c1 -W1 "$(lan_address "$first")" >/dev/null 2>&1 && break
            sleep 0.1
        done
    done
}

lan_destroy() {
    local host
    for host in "${LAN_HOSTS[@]}"; do
        ip netns del "$(lan_ns "$host")" 2>/dev/null || true
    done
    if [ -n "$LAN_NS_BR" ]; then
        ip netns del "$LAN_NS_BR" 2>/dev/null || true
    fi
    LAN_HOSTS=()
    LAN_NS_BR=
}

# Waits up to 30 s for a started program's "ready" line; if it ends first or never says it, prints
# what it wrote and exits.
lan_wait_ready() {
    local pid=$1 out=$2 err=$3
    for _ in $(seq 300); do
        grep -q '^ready' "$out" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^ready' "$out" 2>/dev/null && return 0
    echo "the program did not start:" >&2
    cat "$out" "$err" >&2
    exit 1
}
