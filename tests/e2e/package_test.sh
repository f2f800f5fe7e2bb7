#!/usr/bin/env bash
# The Debian package: cpack builds it from this build directory, dpkg
# installs it with its dependencies declared, the installed monitor runs,
# and purging it leaves nothing behind.
#
# It installs into the real system, so runs of this test (from other build
# directories too) take turns under one lock, and dpkg's own lock is waited
# for when another dpkg or apt holds it.
. "$(dirname "$0")/lib.sh"

exec 9>/tmp/surgewatch-package-test.lock
flock -w 90 9 || fail "another package test held the lock for 90 s"

# dpkg with its arguments, retried for up to 30 s while another package
# manager holds the dpkg lock.
dpkg_waiting() {
    local i
    for ((i = 0; i < 60; i++)); do
        if dpkg "$@" >"$TEST_DIR/dpkg.out" 2>&1; then
            return 0
        fi
        grep -q 'lock' "$TEST_DIR/dpkg.out" || break
        sleep 0.5
    done
    cat "$TEST_DIR/dpkg.out" >&2
    return 1
}

installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' surgewatch 2>/dev/null)" = installed ]
}

cpack -G DEB -B "$TEST_DIR/pkg" --config "$BUILD_DIR/CPackConfig.cmake" >"$TEST_DIR/cpack.out" 2>&1 ||
    fail "cpack failed: $(cat "$TEST_DIR/cpack.out")"
debs=("$TEST_DIR"/pkg/surgewatch_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single surgewatch_*.deb"
deb=${debs[0]}

# Declared metadata: the libraries the programs link, found by
# dpkg-shlibdeps (t64 names on newer releases).
[ "$(dpkg-deb -f "$deb" Package)" = surgewatch ] || fail "package name: $(dpkg-deb -f "$deb" Package)"
depends=$(dpkg-deb -f "$deb" Depends)
for library in 'libpcap0\.8(t64)?' 'libssl3(t64)?' 'libc6'; do
    grep -qE "(^|, )$library( |,|$)" <<<"$depends" || fail "Depends lacks $library: $depends"
done
mapfile -t files < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's|^\./|/|p' | grep -v '/$')
printf '%s\n' "${files[@]}" | grep -qx /usr/sbin/surgewatch || fail "no /usr/sbin/surgewatch in the package"
printf '%s\n' "${files[@]}" | grep -qx /usr/lib/systemd/system/surgewatch@.service ||
    fail "no systemd unit in the package"

on_exit "installed && dpkg --purge surgewatch >/dev/null 2>&1"
dpkg_waiting --install "$deb" || fail "dpkg --install failed"
installed || fail "surgewatch is not installed after dpkg --install"

# The installed programs: usage line and status 255.
check_usage() {
    local program=$1 arguments=$2 status=0
    "$program" >"$TEST_DIR/usage.out" 2>&1 || status=$?
    [ "$status" -eq 255 ] || fail "installed $program exited with $status, not 255"
    printf '\nUsage: %s %s\n' "$program" "$arguments" | cmp -s - "$TEST_DIR/usage.out" ||
        fail "installed $program printed: $(cat "$TEST_DIR/usage.out")"
}
check_usage /usr/sbin/surgewatch "<interface> <filter>"
check_usage /usr/bin/surgewatch-replay "<file> <filter>"
# The unit as installed names the installed program and its manual page.
out=$(systemd-analyze verify /usr/lib/systemd/system/surgewatch@.service 2>&1) && [ -z "$out" ] ||
    fail "systemd-analyze verify of the installed unit: $out"

dpkg_waiting --purge surgewatch || fail "dpkg --purge failed"
! installed || fail "surgewatch still installed after dpkg --purge"
[ -z "$(dpkg-query -W -f='${db:Status-Abbrev}' surgewatch 2>/dev/null | tr -d ' ')" ] ||
    [ "$(dpkg-query -W -f='${db:Status-Status}' surgewatch 2>/dev/null)" = not-installed ] ||
    fail "dpkg still knows surgewatch: $(dpkg-query -W -f='${db:Status-Abbrev}' surgewatch)"
for file in "${files[@]}"; do
    [ ! -e "$file" ] || fail "$file left after purge"
done
for dir in /usr/share/doc/surgewatch /var/lib/dpkg/info/surgewatch.list; do
    [ ! -e "$dir" ] || fail "$dir left after purge"
done
echo "package built, installed, run and purged: ok (${#files[@]} files)"
