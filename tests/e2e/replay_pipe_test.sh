#!/usr/bin/env bash
# The replay reading a capture that is still being written, as from
# `tcpdump -w - | surgewatch-replay - FILTER > FILE` or `... | tee FILE`:
# every alert must be in the file as soon as it is printed, while the replay
# waits for more input, and still be there after the replay is killed.
. "$(dirname "$0")/lib.sh"
REPLAY="$BUILD_DIR/src/surgewatch-replay"

# Two flood alerts within the first 8 seconds of packet time.
"$BUILD_DIR/bench/surgewatch-gencap" -n 100000 -f 20 -H 3 -s 8 -r 3 \
    -o "$TEST_DIR/flood.pcap" 2>/dev/null || fail "cannot write the capture"
alerts=$'FLOOD: 198.18.0.1 - 3474.17 tcp packets/s from 10.1.143.237 [DSCP 00]\nFLOOD: 198.18.0.1 - 8688.17 packets/s'

# run NAME: the capture, then an open pipe, into the replay; its standard
# output reaches $TEST_DIR/NAME.out straight (file) or through tee (tee).
run() {
    local name=$1 fifo="$TEST_DIR/$1.fifo" file="$TEST_DIR/$1.out"
    mkfifo "$fifo"
    (
        cat "$TEST_DIR/flood.pcap"
        exec sleep 30
    ) >"$fifo" &
    local writer=$!
    on_exit "kill $writer 2>/dev/null"
    if [ "$name" = file ]; then
        "$REPLAY" - ip <"$fifo" >"$file" 2>"$TEST_DIR/$name.err" &
    else
        mkfifo "$fifo.out"
        tee "$file" <"$fifo.out" >/dev/null &
        on_exit "kill $! 2>/dev/null"
        "$REPLAY" - ip <"$fifo" >"$fifo.out" 2>"$TEST_DIR/$name.err" &
    fi
    local replay=$!
    on_exit "kill $replay 2>/dev/null"
    wait_for_line "$file" '^FLOOD: 198\.18\.0\.1 - 8688\.17 packets/s$' 10 ||
        fail "$name: the alerts are not in the file while the replay runs: $(cat "$file")"
    stop_process "$replay"
    [ "$STOPPED_STATUS" -eq 143 ] || fail "$name: the replay ended with $STOPPED_STATUS, not by SIGTERM"
    kill "$writer" 2>/dev/null || true
    [ "$(grep '^FLOOD' "$file")" = "$alerts" ] ||
        fail "$name: after the kill the file holds: $(cat "$file")"
}
run file
run tee
echo "PASS"
