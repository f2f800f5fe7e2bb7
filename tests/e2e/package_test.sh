#!/usr/bin/env bash
# The Debian package: cpack builds it from this build directory, lintian
# finds no error in it, and dpkg installs, upgrades, removes and purges it
# in a root of this test's own (dpkg --root). The machine's own package
# database, any surgewatch installed on it, its systemd and its dpkg log
# are never touched.
#
# dpkg runs the maintainer scripts chrooted into that root, where a static
# busybox is the shell and a stand-in systemctl records its calls instead
# of talking to systemd. The scripts call systemctl only when
# /run/systemd/system exists (systemd running); the test runs them once
# without it and once with it.
. "$(dirname "$0")/lib.sh"
need_root

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

# Debian's checks: any error fails (warnings are printed only).
lintian --no-cfg "$deb" >"$TEST_DIR/lintian.out" 2>&1 || true
sed -n '/^[EW]: /p' "$TEST_DIR/lintian.out"
! grep -qE '^E: ' "$TEST_DIR/lintian.out" || fail "lintian found errors (above)"
grep -qE '^[EWIPNX]: |^running with root' "$TEST_DIR/lintian.out" || [ ! -s "$TEST_DIR/lintian.out" ] ||
    fail "lintian did not run: $(cat "$TEST_DIR/lintian.out")"

# What the package holds.
contents=$(dpkg-deb --fsys-tarfile "$deb" | tar -t)
mapfile -t files < <(sed -n 's|^\./|/|p' <<<"$contents" | grep -v '/$')
for file in /usr/sbin/surgewatch /usr/lib/systemd/system/surgewatch@.service \
    /usr/share/doc/surgewatch/copyright /usr/share/doc/surgewatch/changelog.gz \
    /usr/share/man/man8/surgewatch.8.gz /usr/share/man/man1/surgewatch-replay.1.gz \
    /usr/share/man/man1/surgewatch-timeline.1.gz \
    /usr/share/doc/surgewatch/examples/rsyslog/20-surgewatch-forward.conf \
    /usr/share/doc/surgewatch/examples/rsyslog/surgewatch-collector.conf \
    /usr/share/doc/surgewatch/examples/mtail/surgewatch.mtail \
    /usr/share/doc/surgewatch/examples/prometheus/surgewatch-rules.yml; do
    printf '%s\n' "${files[@]}" | grep -xF "$file" >/dev/null || fail "no $file in the package"
done
grep -qx './etc/surgewatch/' <<<"$contents" || fail "no /etc/surgewatch in the package"

# The machine's own state, compared at the end.
machine_state() {
    dpkg-query -W -f='${db:Status-Abbrev} ${Version}\n' surgewatch 2>&1 || true
    stat -c '%s %Y' /var/log/dpkg.log 2>/dev/null || true
}
machine_before=$(machine_state)

# The root: an empty package database, busybox for the maintainer scripts,
# a stand-in systemctl, and a systemd configuration with a link of another
# package's, which purging must leave alone.
root="$TEST_DIR/root"
mkdir -p "$root"/var/lib/dpkg/{info,updates} "$root"/var/log "$root"/tmp "$root"/bin \
    "$root"/etc/systemd/system/multi-user.target.wants
ln -s /usr/lib/systemd/system/other.service "$root"/etc/systemd/system/multi-user.target.wants/other.service
busybox=$(command -v busybox) || fail "no busybox (Debian package busybox-static)"
mkdir "$root/dev" && mknod -m 666 "$root/dev/null" c 1 3 || fail "cannot make $root/dev/null"
cp "$busybox" "$root/bin/busybox"
for applet in sh rm rmdir mkdir cat echo; do ln -s busybox "$root/bin/$applet"; done
chroot "$root" /bin/sh -c true 2>/dev/null || fail "$busybox does not run chrooted: it must be static (busybox-static)"
cat >"$root/bin/systemctl" <<'SH'
#!/bin/sh
echo "$*" >>/systemctl.calls
SH
chmod 755 "$root/bin/systemctl"
# The dependencies stand in the root's database as installed, with the
# versions that this machine has, so that dpkg checks the declared
# dependencies against them.
: >"$root/var/lib/dpkg/available"
for name in $(sed -E 's/\([^)]*\)//g; s/[|,]/\n/g' <<<"$depends" | tr -d ' ' | sort -u); do
    dpkg-query -W -f='Package: ${Package}\nStatus: install ok installed\nPriority: optional\nVersion: ${Version}\nArchitecture: ${Architecture}\nMulti-Arch: ${Multi-Arch}\nMaintainer: stand-in\nDescription: stand-in\n\n' \
        "$name" 2>/dev/null | sed '/^Multi-Arch: $/d' || true
done >"$root/var/lib/dpkg/status"

# dpkg on that root only: its files, its database and its log inside it,
# never the machine's.
in_root() {
    PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg --root="$root" --admindir="$root/var/lib/dpkg" \
        --log="$root/var/log/dpkg.log" "$@" \
        >"$TEST_DIR/dpkg.out" 2>&1 || fail "dpkg $*: $(cat "$TEST_DIR/dpkg.out")"
}
status_in_root() {
    dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${db:Status-Status}' surgewatch 2>/dev/null || true
}
# Checks what the stand-in systemctl was asked since the last check.
expect_calls() {
    local what=$1 expected=$2 calls=""
    [ -f "$root/systemctl.calls" ] && calls=$(cat "$root/systemctl.calls")
    rm -f "$root/systemctl.calls"
    [ "$calls" = "$expected" ] || fail "$what: systemctl calls were [$calls], not [$expected]"
}
# Everything in the root but dpkg's database and log, the shell and the
# recorded calls.
tree() {
    (cd "$root" && find . -mindepth 1 \( -path ./var -o -path ./bin -o -path ./dev -o -path ./tmp -o -path ./run \
        -o -name systemctl.calls \) -prune -o -print | sort)
}
tree_before=$(tree)

# 1. Without systemd: install, run, purge; systemctl is never called, and
#    purging leaves the root as it was.
in_root --install "$deb"
[ "$(status_in_root)" = installed ] || fail "not installed in the test's root: $(status_in_root)"
for file in "${files[@]}"; do
    [ -e "$root$file" ] || fail "$file not installed"
done
[ -d "$root/etc/surgewatch" ] || fail "/etc/surgewatch not made by the package"
check_usage "$root/usr/sbin/surgewatch" "<interface> <filter>"
check_usage "$root/usr/bin/surgewatch-replay" "<file> <filter>"
grep -qxF 'ExecStart=/usr/sbin/surgewatch %I ${FILTER}' "$root/usr/lib/systemd/system/surgewatch@.service" ||
    fail "unit in the package: $(grep ExecStart "$root/usr/lib/systemd/system/surgewatch@.service")"
expect_calls "install without systemd" ""
in_root --purge surgewatch
[ "$(status_in_root)" = not-installed ] || [ -z "$(status_in_root)" ] ||
    fail "dpkg still knows surgewatch after purge: $(status_in_root)"
expect_calls "purge without systemd" ""
diff <(echo "$tree_before") <(tree) || fail "purge left the root changed (< before, > after)"

# 2. With systemd: install; the manual page's example writes a filter
#    file; an instance is enabled; reinstalling (an upgrade) restarts the
#    running instances; removal stops them and keeps the filter file;
#    purge removes the instance's links and the .wants directory that only
#    they used.
mkdir -p "$root/run/systemd/system"
in_root --install "$deb"
expect_calls "first install" "--system daemon-reload"
example=$(grep -E '^# echo .*> /etc/surgewatch/eth1\.conf$' "$(dirname "$0")/../../man/surgewatch.8") ||
    fail "no echo ... > /etc/surgewatch/eth1.conf example in the manual page"
chroot "$root" /bin/sh -c "${example#\# }" || fail "the manual page's example fails: ${example#\# }"
grep -qx "FILTER='ip and dst net 198.51.100.0/24'" "$root/etc/surgewatch/eth1.conf" ||
    fail "the example wrote: $(cat "$root/etc/surgewatch/eth1.conf")"
systemctl --root="$root" enable surgewatch@eth1.service >"$TEST_DIR/enable.out" 2>&1 ||
    fail "systemctl enable: $(cat "$TEST_DIR/enable.out")"
links=("$root"/etc/systemd/system/{multi-user.target,sys-subsystem-net-devices-eth1.device}.wants/surgewatch@eth1.service)
for link in "${links[@]}"; do [ -L "$link" ] || fail "enable made no $link"; done

in_root --install "$deb"
expect_calls "upgrade" "--system daemon-reload
try-restart surgewatch@*.service"

in_root --remove surgewatch
expect_calls "remove" "stop surgewatch@*.service
--system daemon-reload"
[ ! -e "$root/usr/sbin/surgewatch" ] || fail "/usr/sbin/surgewatch left after remove"
[ -f "$root/etc/surgewatch/eth1.conf" ] || fail "remove took the administrator's filter file"

in_root --purge surgewatch
expect_calls "purge" "--system daemon-reload"
diff <(printf '%s\n' "$tree_before" ./etc/surgewatch ./etc/surgewatch/eth1.conf | sort) <(tree) ||
    fail "after purge the root holds other than before plus the filter file (< expected, > found)"

[ "$(machine_state)" = "$machine_before" ] || fail "the machine's dpkg state or log changed"
echo "package built, lintian clean, installed, upgraded, removed and purged in its own root: ok (${#files[@]} files)"
