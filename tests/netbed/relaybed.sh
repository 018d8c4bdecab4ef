# shellcheck shell=bash disable=SC2034
# Two subnets joined by relays, on top of netbed.sh; sourced by the relay tests and the relay
# benchmark. Subnet A is netbed.sh's LAN (198.18.0.0/24), subnet B a second bridge (198.19.0.0/24);
# a router namespace R (198.18.0.254 and 198.19.0.254, the hosts' default gateway) forwards
# unicasts between them and, as routers do, no broadcast. The broker is mosquitto on R, TLS only
# on port 8883, with a CA and certificate made here, a password file and an ACL that gives the relay
# users zumzum-chat/v1/# and nothing else; it persists its retained messages across restarts.
#
#   relaybed_init <zumzum-chat> <zumzum-probe> <zumzum-chat-relay>   skips (77) without mosquitto/openssl
#   relaybed_add_host <key> <A|B> <last octet> <host name>
#   relaybed_start_broker <log name>             on R; pid in NB_BROKER_PID, log $NB_TMP/<log name>.log
#   relaybed_stop_broker                         SIGTERM, so that it saves its retained messages
#   relaybed_write_config <key> <name>           $NB_TMP/<name>.conf for a relay on that host
#   relaybed_start_relay <key> <log name> [options...]   pid in NB_PID; logs in as NB_RELAY_USER
#                                                with NB_RELAY_PASSWORD
#   relaybed_start_relays                        relay-a on RA and relay-b on RB, both active; pids in
#                                                relay_a and relay_b
#   relaybed_stop_relay <pid>                    SIGTERM; fails unless it ends with status 0
#   relaybed_wait_log <log name> <word> <seconds> [count]   a relay log line starting with "<word>:"
#   relaybed_mqtt <key> <pub|sub> <arguments...> the broker's own clients, as user relay with TLS

# shellcheck source=netbed.sh
source "$(dirname "${BASH_SOURCE[0]}")/netbed.sh"

NB_BROKER_PID=""
NB_BROKER_DIR=""
NB_RELAY_USER=relay
NB_RELAY_PASSWORD="zz-relay-secret-$RANDOM$RANDOM"

relaybed_init()
{
    NB_RELAY=${3:?path of zumzum-chat-relay}
    netbed_init "$1" "$2"
    local missing
    missing=$(tl_missing_tool mosquitto mosquitto_passwd mosquitto_pub mosquitto_sub openssl) &&
        netbed_skip "$missing is not installed"
    [ -x "$NB_RELAY" ] || netbed_fail "no relay at $NB_RELAY"
    netbed_add_subnet 198.19.0
    relaybed_add_router
    relaybed_make_broker_files
}

relaybed_add_host()
{
    if [ "$2" = A ]; then
        netbed_add_host "$1" "$3" "$4"
    else
        netbed_add_host "$1" "$3" "$4" "$NB_SUBNET_LAN" 198.19.0
    fi
}

relaybed_add_router()
{
    local ns="${NB_PREFIX}R"
    ip netns add "$ns" || netbed_fail "cannot make namespace $ns"
    NB_NAMESPACES+=("$ns")
    NB_NS[R]=$ns
    NB_IP[R]=198.18.0.254
    NB_HOST[R]=zz-router
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 2>/dev/null
    ip netns exec "$ns" sysctl -qw net.ipv4.ip_forward=1 || netbed_fail "no forwarding on the router"
    ip -n "$ns" link set lo up || netbed_fail "lo of the router"
    local lan leg network
    for leg in 0 1; do
        lan=$NB_LAN network=198.18.0
        [ "$leg" = 1 ] && lan=$NB_SUBNET_LAN network=198.19.0
        ip -n "$lan" link add p254 type veth peer name "eth$leg" netns "$ns" || netbed_fail "router leg $leg"
        ip -n "$lan" link set p254 master br0 up || netbed_fail "cannot plug the router into $lan"
        ip -n "$ns" addr add "$network.254/24" broadcast "$network.255" dev "eth$leg" || netbed_fail "router address"
        ip -n "$ns" link set "eth$leg" up || netbed_fail "router leg $leg does not come up"
    done
}

# A CA, the broker's certificate for both of its addresses, one password for the users relay and
# relay-2, and an ACL that confines both to the relay topics.
relaybed_make_broker_files()
{
    local dir="$NB_TMP/broker"
    NB_BROKER_DIR=$dir
    mkdir -p "$dir/store" || netbed_fail "no broker folder"
    {
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
            -subj /CN=zz-test-ca -keyout "$dir/ca.key" -out "$dir/ca.crt" &&
            openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=zz-broker \
                -keyout "$dir/server.key" -out "$dir/server.csr" &&
            openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -CAcreateserial \
                -days 2 -out "$dir/server.crt" \
                -extfile <(printf 'subjectAltName=IP:198.18.0.254,IP:198.19.0.254\n')
    } >"$dir/openssl.log" 2>&1 || netbed_fail "openssl: $(tail -n 3 "$dir/openssl.log")"
    : >"$dir/passwd"
    : >"$dir/acl"
    local user
    for user in relay relay-2; do
        mosquitto_passwd -b "$dir/passwd" "$user" "$NB_RELAY_PASSWORD" || netbed_fail "mosquitto_passwd"
        printf 'user %s\ntopic readwrite zumzum-chat/v1/#\n' "$user" >>"$dir/acl"
    done
    cat >"$dir/mosquitto.conf" <<EOF
user root
listener 8883
cafile $dir/ca.crt
certfile $dir/server.crt
keyfile $dir/server.key
allow_anonymous false
password_file $dir/passwd
acl_file $dir/acl
persistence true
persistence_location $dir/store/
log_dest stderr
log_type error
log_type warning
log_type notice
log_type information
log_timestamp false
connection_messages true
# Without it each delivery to a relay can wait for that relay's delayed acknowledgement.
set_tcp_nodelay true
EOF
}

relaybed_broker_listening()
{
    grep -q 'Opening ipv4 listen socket on port 8883' "$NB_TMP/$1.log" 2>/dev/null &&
        ip netns exec "${NB_NS[R]}" ss -Hltn 'sport = :8883' | grep -q LISTEN
}

relaybed_start_broker()
{
    netbed_spawn R "$1" mosquitto -c "$NB_BROKER_DIR/mosquitto.conf"
    NB_BROKER_PID=$NB_PID
    netbed_wait 20 relaybed_broker_listening "$1" || netbed_fail "mosquitto does not start"
}

relaybed_stop_broker()
{
    kill -TERM "$NB_BROKER_PID"
    netbed_wait_exit "$NB_BROKER_PID" 20 || netbed_fail "mosquitto does not end"
}

# The relay's configuration file goes to $NB_TMP/<name>.conf, its credentials beside it.
relaybed_write_config()
{
    local key=$1 name=$2
    local network=${NB_IP[$key]%.*}
    printf 'username = %s\npassword = %s\n' "$NB_RELAY_USER" "$NB_RELAY_PASSWORD" >"$NB_TMP/$name.credentials"
    cat >"$NB_TMP/$name.conf" <<EOF
# relay $name on ${NB_HOST[$key]}
broker = mqtts://$network.254:8883
credentials = $NB_TMP/$name.credentials
ca = $NB_BROKER_DIR/ca.crt
site = $name
stats-interval = 1
EOF
}

relaybed_start_relay()
{
    local key=$1 name=$2
    shift 2
    relaybed_write_config "$key" "$name"
    netbed_spawn "$key" "$name" "$NB_RELAY" --config "$NB_TMP/$name.conf" "$@"
}

relaybed_start_relays()
{
    relaybed_start_relay RA relay-a
    relay_a=$NB_PID
    relaybed_start_relay RB relay-b
    relay_b=$NB_PID
    local log
    for log in relay-a relay-b; do
        relaybed_wait_log "$log" active 20 || netbed_fail "$log did not become active"
    done
}

relaybed_stop_relay()
{
    kill -TERM "$1"
    netbed_wait_exit "$1" 20 || netbed_fail "a relay does not end after SIGTERM"
    [ "$NB_STATUS" = 0 ] || netbed_fail "a relay ended with status $NB_STATUS after SIGTERM"
}

# Prints nothing while the log does not exist yet.
relaybed_log_count()
{
    grep -c "^$2:" "$NB_TMP/$1.log" 2>/dev/null
}

relaybed_log_has()
{
    local count
    count=$(relaybed_log_count "$1" "$2")
    [ "${count:-0}" -ge "${3:-1}" ]
}

relaybed_wait_log()
{
    netbed_wait "$3" relaybed_log_has "$1" "$2" "${4:-1}"
}

relaybed_mqtt()
{
    local key=$1 tool=$2
    shift 2
    netbed_on "$key" "mosquitto_$tool" -h "${NB_IP[$key]%.*}.254" -p 8883 --cafile "$NB_BROKER_DIR/ca.crt" \
        -V mqttv5 -u relay -P "$NB_RELAY_PASSWORD" "$@"
}
