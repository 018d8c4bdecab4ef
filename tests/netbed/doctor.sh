# shellcheck shell=bash
# Helpers for the tests of zumzum-chat-doctor; sourced after netbed.sh.
#   doctor_init <zumzum-chat> <zumzum-probe> <zumzum-chat-doctor>   netbed_init, then checks the tools
#   doctor_dir <name>                       a program folder with the chat and the doctor; path in NB_DIR
#   doctor_lan_with_chat                    hosts A (.1) and B (.2), the chat running on B, A sniffing
#                                           presence into arrivals.out; a doctor folder in $doctor
#   doctor_run <key> <folder> <name> [wrapper... --]   runs the doctor on a host (through a wrapper such
#                                           as setpriv); JSON in $NB_TMP/<name>.json, messages in
#                                           <name>.err, exit status in NB_STATUS

doctor_init()
{
    NB_DOCTOR=${3:?path of zumzum-chat-doctor}
    netbed_init "$1" "$2"
    [ -x "$NB_DOCTOR" ] || netbed_fail "no doctor at $NB_DOCTOR"
    command -v jq >/dev/null || netbed_skip "jq is not installed"
}

doctor_dir()
{
    netbed_program_dir "$1"
    cp "$NB_DOCTOR" "$NB_DIR/zumzum-chat-doctor" || netbed_fail "cannot copy the doctor"
}

doctor_lan_with_chat()
{
    netbed_add_host A 1 zz-alpha
    netbed_add_host B 2 zz-bravo
    netbed_sniff A 50011 arrivals --incoming
    netbed_program_dir chat-B
    netbed_start_program B "$NB_DIR"
    netbed_wait 30 doctor_joined "$NB_TMP/arrivals.out" 198.18.0.2 || netbed_fail "the chat on B did not start"
    doctor_dir doctor
    # shellcheck disable=SC2034 # read by the test scripts
    doctor=$NB_DIR
}

doctor_run()
{
    local key=$1 dir=$2 name=$3 wrapper=()
    shift 3
    if [ $# -gt 0 ]; then
        while [ "$1" != -- ]; do
            wrapper+=("$1")
            shift
        done
    fi
    NB_STATUS=0
    netbed_on "$key" "${wrapper[@]}" "$dir/zumzum-chat-doctor" --json >"$NB_TMP/$name.json" 2>"$NB_TMP/$name.err" ||
        NB_STATUS=$?
    jq -e . "$NB_TMP/$name.json" >/dev/null || netbed_fail "$name: the output is not JSON: $(head -c 400 "$NB_TMP/$name.json")"
    netbed_log "$name: exit status $NB_STATUS, problems: $(doctor_codes "$name")"
}

# The problem codes of a run, space-separated in order.
doctor_codes()
{
    jq -r '[.problems[].code] | join(" ")' "$NB_TMP/$1.json"
}

doctor_expect_code()
{
    local name=$1 code=$2
    jq -e --arg code "$code" 'any(.problems[]; .code == $code)' "$NB_TMP/$name.json" >/dev/null ||
        netbed_fail "$name: no problem '$code' in: $(cat "$NB_TMP/$name.json")"
}

doctor_expect_status()
{
    [ "$NB_STATUS" = "$2" ] || netbed_fail "$1: exit status $NB_STATUS, expected $2; output: $(cat "$NB_TMP/$1.json")"
}

# Waits until a presence watcher has seen a join notice from the address.
doctor_joined()
{
    grep -q " $2 $(netbed_hex 1)09" "$1" 2>/dev/null
}
