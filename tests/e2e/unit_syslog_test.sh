#!/usr/bin/env bash
# The unit tests never write to the system log. Their flood and failure
# cases raise real alerts and reports, whose text must reach standard output
# only: the whole unit test binary runs with /dev/log pointing at this
# test's own rsyslogd, which must receive nothing.
. "$(dirname "$0")/lib.sh"
need_root
start_syslog

status=0
with_syslog "$BUILD_DIR/tests/unit_tests" --gtest_brief=1 >"$TEST_DIR/unit.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the unit tests ended with status $status: $(tail -n 20 "$TEST_DIR/unit.out")"
syslog_sync
messages=$(syslog_messages)
[ -z "$messages" ] || fail "the unit tests wrote to the system log:
$(head -n 20 <<<"$messages")"
grep -E "^\[  PASSED  \]" "$TEST_DIR/unit.out" || true
echo "nothing reached the system log"
