#!/usr/bin/env bash
# The monitor's settings from the environment. A bad value is refused
# before anything is opened: one message naming the variable, the value
# and what is accepted, on standard output only, exit status 255, nothing in
# the system log. A good kernel buffer size is the size of the capture ring
# the running monitor maps (libpcap's ring is a whole number of 256 KiB
# blocks, so a size in MiB is kept exactly); unset, 256 MiB.
. "$(dirname "$0")/lib.sh"
need_root
start_syslog

ns="surgewatch-test-$$"
netns_add "$ns"

errors=0
mismatch() {
    echo "MISMATCH [$1]: $2" >&2
    errors=$((errors + 1))
}

count='expected a whole number from'
ident='expected 1 to 32 printable characters, none of them a blank, '"':'"' or '"'['"
# refused NAME VARIABLE VALUE EXPECTED
refused() {
    local name=$1 variable=$2 value=$3 expected=$4 status=0
    local out="$TEST_DIR/$name.out"
    (
        export "$variable=$value"
        with_syslog ip netns exec "$ns" "$SURGEWATCH" lo ip
    ) >"$out" 2>"$TEST_DIR/$name.err" || status=$?
    [ "$status" -eq 255 ] || mismatch "$name" "exit status $status"
    local actual
    actual=$(cat "$out"; printf .)
    [ "${actual%.}" = $'\nBad value for '"$variable: \`$value\` ($expected)"$'\n' ] ||
        mismatch "$name" "standard output $(printf '%q' "${actual%.}")"
    [ ! -s "$TEST_DIR/$name.err" ] || mismatch "$name" "standard error: $(cat "$TEST_DIR/$name.err")"
}

refused buffer_zero SURGEWATCH_BUFFER_MB 0 "$count 1 to 2047"
refused buffer_too_big SURGEWATCH_BUFFER_MB 2048 "$count 1 to 2047"
refused buffer_empty SURGEWATCH_BUFFER_MB '' "$count 1 to 2047"
refused buffer_unit SURGEWATCH_BUFFER_MB 64M "$count 1 to 2047"
refused buffer_signed SURGEWATCH_BUFFER_MB +64 "$count 1 to 2047"
refused heartbeat_negative SURGEWATCH_HEARTBEAT_SECONDS -1 "$count 0 to 86400"
refused heartbeat_too_long SURGEWATCH_HEARTBEAT_SECONDS 86401 "$count 0 to 86400"
refused heartbeat_fraction SURGEWATCH_HEARTBEAT_SECONDS 0.5 "$count 0 to 86400"
refused flows_zero SURGEWATCH_MAX_FLOWS 0 "$count 1 to 4294967295"
refused flows_too_many SURGEWATCH_MAX_FLOWS 4294967296 "$count 1 to 4294967295"
refused hosts_signed SURGEWATCH_MAX_HOSTS -1 "$count 1 to 4294967295"
refused hosts_exponent SURGEWATCH_MAX_HOSTS 1e6 "$count 1 to 4294967295"
refused ident_empty SURGEWATCH_SYSLOG_IDENT '' "$ident"
refused ident_blank SURGEWATCH_SYSLOG_IDENT 'surgewatch eth0' "$ident"
refused ident_colon SURGEWATCH_SYSLOG_IDENT 'surgewatch:eth0' "$ident"
refused ident_too_long SURGEWATCH_SYSLOG_IDENT surgewatch@abcdefghijklmnopqrstuv "$ident"
syslog_sync
[ -z "$(syslog_messages)" ] || mismatch refusals "system log: $(syslog_messages | head -n 3)"

# ring_size NAME [VARIABLE=VALUE]: the monitor started on lo with the
# setting; $RING is then the bytes of its packet-socket mappings.
ring_size() {
    local name=$1 out="$TEST_DIR/$1.ring.out"
    shift
    spawn_with_syslog env "$@" ip netns exec "$ns" "$SURGEWATCH" lo ip >"$out" 2>&1
    wait_for_line "$out" '^Detecting IP layer offset in bytes\.\.\. 14 done$' 30 ||
        fail "$name: the monitor did not start: $(cat "$out")"
    local range perms offset device inode path
    RING=""
    while read -r range perms offset device inode path; do
        if [[ $path == socket:* ]]; then RING+="$((0x${range#*-} - 0x${range%-*}))"; fi
    done <"/proc/$SPAWNED_PID/maps"
    stop_process "$SPAWNED_PID"
}
ring_size default
[ "$RING" = $((256 << 20)) ] || mismatch default_buffer "ring of '$RING' bytes, expected 256 MiB"
ring_size five SURGEWATCH_BUFFER_MB=5
[ "$RING" = $((5 << 20)) ] || mismatch buffer_5 "ring of '$RING' bytes, expected 5 MiB"

[ "$errors" -eq 0 ] || fail "$errors mismatches"
echo "PASS"
