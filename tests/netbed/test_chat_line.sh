#!/usr/bin/env bash
# A line typed into the real window reaches every host as one broadcast with exactly the bytes
# name TAB text TAB address in code page 932: Japanese pasted through the clipboard (with the
# WAVE DASH that Linux produces, which Windows peers know as 81 60, and ¥ ¦ é, which Windows writes as
# its best fit 5C 7C 65), ASCII typed key by key. Return on an empty input line sends nothing.
# Usage: test_chat_line.sh <zumzum-chat> <zumzum-probe>

source "$(dirname "$0")/netbed.sh"
netbed_init "$@"
command -v xclip >/dev/null || netbed_skip "xclip is not installed"
netbed_add_host A 1 zz-alpha
netbed_add_host B 2 zz-bravo
netbed_add_host C 3 zz-charlie

name='山田太郎'
netbed_program_dir alpha
printf '%s\t0\t1\t0\t0\t6630\t4455\t255.255.255.0\t0\t1000\r\n' "$name" | iconv -f UTF-8 -t CP932 >"$NB_DIR/set.txt" ||
    netbed_fail "iconv cannot write CP932"

netbed_listen B 1000 bravo
netbed_listen C 1000 charlie
netbed_sniff A 1000 sent

netbed_start_x
netbed_open_window A "$NB_DIR"
pid=$NB_PID
window=$NB_WINDOW

# Checks that line <n> reached B and C, and left A once, as a broadcast with the bytes of <text>.
expect_everywhere()
{
    local n=$1 text=$2 hex log
    hex=$(netbed_three_fields_hex "$name" "$text" 198.18.0.1)
    for log in bravo charlie sent; do
        netbed_wait_lines "$NB_TMP/$log.out" "$n" 30 || netbed_fail "line $n ('$text') did not reach $log"
        netbed_expect_line "$NB_TMP/$log.out" "$n" 198.18.0.1 "$hex" 198.18.0.255 "$log: line $n ('$text')"
    done
}

netbed_log "Japanese through the clipboard"
# U+301C WAVE DASH as Linux input methods give it; on the wire it must be 81 60, the code page
# 932 form, which iconv gives for U+FF5E.
netbed_clipboard 'こんにちは abc 〜①ｱ ¥¦é'
netbed_paste
xdotool key --clearmodifiers Return
expect_everywhere 1 'こんにちは abc ～①ｱ \|e'
sed -n 1p "$NB_TMP/bravo.out" | grep -q '616263208160' || netbed_fail "the wave dash is not 81 60 on the wire"
sed -n 1p "$NB_TMP/bravo.out" | grep -q '205c7c6509' || netbed_fail "¥¦é are not 5C 7C 65 on the wire"

netbed_log "ASCII typed key by key"
xdotool type --delay 40 'Hello, world! 123 ~'
xdotool key --clearmodifiers Return
expect_everywhere 2 'Hello, world! 123 ~'

netbed_log "Return on the empty input line sends nothing"
xdotool key --clearmodifiers Return
xdotool type --delay 40 'end'
xdotool key --clearmodifiers Return
expect_everywhere 3 'end'

kill -TERM "$pid"
netbed_wait_exit "$pid" 30 || netbed_fail "the program did not end after SIGTERM"
[ "$NB_STATUS" = 0 ] || netbed_fail "the program ended with status $NB_STATUS"
for log in bravo charlie sent; do
    [ "$(wc -l <"$NB_TMP/$log.out")" = 3 ] || netbed_fail "$log saw more than three lines: $(cat "$NB_TMP/$log.out")"
done
netbed_log "passed"
