#!/usr/bin/env bash
# `cmake --install` into a private prefix: the programs, the manual pages
# (compressed), unit and examples land where expected; the manual pages
# lint clean; the timeline program draws; the unit verifies against the
# installed program and keeps its hardening; every rsyslog example is valid
# configuration.
. "$(dirname "$0")/lib.sh"
own_network

prefix="$TEST_DIR/usr"
cmake --install "$BUILD_DIR" --prefix "$prefix" >"$TEST_DIR/install.log" ||
    fail "cmake --install failed: $(cat "$TEST_DIR/install.log")"

expected=(
    bin/surgewatch-replay
    lib/systemd/system/surgewatch@.service
    sbin/surgewatch
    share/doc/surgewatch/README.md
    share/doc/surgewatch/changelog.gz
    share/doc/surgewatch/copyright
    share/doc/surgewatch/examples/mtail/surgewatch.mtail
    share/doc/surgewatch/examples/prometheus/surgewatch-rules-test.yml
    share/doc/surgewatch/examples/prometheus/surgewatch-rules.yml
    share/doc/surgewatch/examples/rsyslog/20-surgewatch-forward.conf
    share/doc/surgewatch/examples/rsyslog/25-surgewatch-metrics.conf
    share/doc/surgewatch/examples/rsyslog/30-surgewatch-local.conf
    share/doc/surgewatch/examples/rsyslog/surgewatch-collector.conf
    share/doc/surgewatch/examples/surgewatch.conf
    share/man/man1/surgewatch-replay.1.gz
    share/man/man1/surgewatch-timeline.1.gz
    share/man/man8/surgewatch.8.gz
    bin/surgewatch-timeline
)
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort) ||
    fail "installed files differ from the expected layout (< expected, > installed)"

# Both programs run from where they were installed: the usage line with the
# name as invoked, on standard output only, and status 255.
check_usage "$prefix/sbin/surgewatch" "<interface> <filter>"
check_usage "$prefix/bin/surgewatch-replay" "<file> <filter>"

# Manual pages: no mandoc warning or error; man finds each by name in its
# section (the monitor 8, the user commands 1); the header names the
# section's volume without "BSD" before it, with groff as man runs it and
# with mandoc, and the footer names the project.
for page in "$prefix"/share/man/man[18]/*.gz; do
    mandoc -T lint -W warning "$page" >"$TEST_DIR/lint.out" 2>&1 ||
        fail "mandoc lint of $(basename "$page"): $(cat "$TEST_DIR/lint.out")"
done
for entry in 8:surgewatch 1:surgewatch-replay 1:surgewatch-timeline; do
    section=${entry%%:*} name=${entry#*:}
    found=$(MANPATH="$prefix/share/man" man -w "$section" "$name") || fail "man does not find $name($section)"
    [ "$found" = "$prefix/share/man/man$section/$name.$section.gz" ] || fail "man finds $name($section) at $found"
    [ "$section" = 8 ] && volume="System Manager's Manual" || volume="General Commands Manual"
    for formatter in "man -l" "mandoc -T utf8"; do
        $formatter "$found" 2>/dev/null | col -bx >"$TEST_DIR/page.txt"
        head -n 1 "$TEST_DIR/page.txt" | grep -qE "^${name^^}\($section\) +$volume +${name^^}\($section\)\$" ||
            fail "$formatter $name: header [$(head -n 1 "$TEST_DIR/page.txt")]"
        tail -n 1 "$TEST_DIR/page.txt" | grep -qE '^surgewatch +[A-Z][a-z]+ [0-9]+, [0-9]{4} +surgewatch$' ||
            fail "$formatter $name: footer [$(tail -n 1 "$TEST_DIR/page.txt")]"
    done
done

# The manual page's example of a start-up failure is what the program
# prints, but for the source file and line, which the page shows as
# "FILE LINE"; its system log copy goes to this test's rsyslogd.
example=$(sed -n '/^Compiling filter `ip and`\.\.\.$/,/^\.Ed$/p' "$(dirname "$0")/../../man/surgewatch.8" | sed '$d')
[ -n "$example" ] || fail "no start-up failure example in surgewatch.8"
start_syslog
printed=$(with_syslog "$prefix/sbin/surgewatch" lo 'ip and' | sed -n '/^Compiling filter/,$p' |
    sed -E 's/ *$//; /^$/d; s/^[a-z_]+\.cpp [0-9]+ /FILE LINE /') || true
[ "$printed" = "$example" ] || fail "surgewatch.8 shows [$example], the program prints [$printed]"
syslog_sync
grep -q '^177 surgewatch: .*Cannot compile filter: ' "$SYSLOG_FILE" ||
    fail "the failure did not reach the test's system log: $(syslog_messages)"

# The timeline program runs from where it was installed and draws a timed
# replay with gnuplot, which says nothing.
[ -x "$prefix/bin/surgewatch-timeline" ] || fail "surgewatch-timeline is not executable"
printf '%s\n' "2026-12-10T11:31:07Z FLOOD: 198.51.100.5 - 2000.17 tcp packets/s from 192.0.2.7 [DSCP 2E]" |
    "$prefix/bin/surgewatch-timeline" "$TEST_DIR/timeline.png" >"$TEST_DIR/timeline.out" 2>&1 ||
    fail "installed surgewatch-timeline failed: $(cat "$TEST_DIR/timeline.out")"
[ ! -s "$TEST_DIR/timeline.out" ] || fail "installed surgewatch-timeline said: $(cat "$TEST_DIR/timeline.out")"
[ "$(head -c 4 "$TEST_DIR/timeline.png" | od -An -c | tr -d ' ')" = "211PNG" ] ||
    fail "installed surgewatch-timeline wrote no PNG"

# The unit starts the program that was installed with it; systemd's own
# checker loads it (with an instance), finds that program and its manual
# page (Documentation=man:surgewatch(8)), and rates its exposure low.
unit="$prefix/lib/systemd/system/surgewatch@.service"
grep -qxF "ExecStart=$prefix/sbin/surgewatch %I \${FILTER}" "$unit" ||
    fail "unexpected ExecStart: $(grep ExecStart "$unit")"
# It reports unknown or misspelt settings but still succeeds: any word from
# it is a failure.
MANPATH="$prefix/share/man" systemd-analyze verify "$unit" >"$TEST_DIR/verify.out" 2>&1 ||
    fail "systemd-analyze verify: $(cat "$TEST_DIR/verify.out")"
[ ! -s "$TEST_DIR/verify.out" ] || fail "systemd-analyze verify: $(cat "$TEST_DIR/verify.out")"
systemd-analyze security --offline=true --threshold=25 "$unit" >"$TEST_DIR/security.out" 2>&1 ||
    fail "exposure above 2.5: $(tail -1 "$TEST_DIR/security.out")"

# Enabling an instance hooks it to boot and to its interface's device.
systemctl --root="$TEST_DIR" enable surgewatch@eth1.service >"$TEST_DIR/enable.out" 2>&1 ||
    fail "systemctl enable: $(cat "$TEST_DIR/enable.out")"
for wants in multi-user.target.wants sys-subsystem-net-devices-eth1.device.wants; do
    [ -L "$TEST_DIR/etc/systemd/system/$wants/surgewatch@eth1.service" ] || fail "enable made no link in $wants"
done

# Every rsyslog example parses, each alone as in /etc/rsyslog.d with a work
# directory for the forwarding queue.
for snippet in "$prefix"/share/doc/surgewatch/examples/rsyslog/*.conf; do
    printf 'global(workDirectory="%s")\ninclude(file="%s")\n' "$TEST_DIR" "$snippet" >"$TEST_DIR/check.conf"
    rsyslogd -N1 -f "$TEST_DIR/check.conf" >"$TEST_DIR/check.out" 2>&1 ||
        fail "rsyslogd rejects $(basename "$snippet"): $(cat "$TEST_DIR/check.out")"
done
# The mtail program compiles, as mtail loads it from /etc/mtail.
mtail --compile_only --progs "$prefix/share/doc/surgewatch/examples/mtail" --logtostderr \
    >"$TEST_DIR/mtail.out" 2>&1 || fail "mtail rejects the program: $(cat "$TEST_DIR/mtail.out")"
echo "install layout, usage, manual pages, unit, rsyslog and mtail examples: ok"
