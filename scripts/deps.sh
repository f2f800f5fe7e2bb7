# Sourced by the other scripts: installs the Debian packages named in its
# arguments that are not installed yet (apt-get update first, once).
install_missing() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building the monitor needs; netbase provides /etc/protocols, which
# names the protocol in flow alerts.
BUILD_PACKAGES=(g++ cmake make pkg-config libpcap-dev libssl-dev netbase)

# Puts promtool (Prometheus's checker) and prometheus (the server, which
# the metrics test runs on loopback for a minute) in directory $1 unless
# both are on the PATH. They come with Debian's prometheus package, whose
# installation would also enable and start a Prometheus server for good:
# only the two programs are unpacked from the downloaded package, and
# nothing is installed.
unpack_prometheus() {
    local dir=$1
    command -v promtool >/dev/null && command -v prometheus >/dev/null && return 0
    [ -x "$dir/promtool" ] && [ -x "$dir/prometheus" ] && return 0
    local work
    work=$(mktemp -d)
    chmod 777 "$work" # apt-get download writes as the _apt user
    (cd "$work" && apt-get download -qq prometheus >/dev/null) || {
        [ "$(id -u)" -eq 0 ] && apt-get update -qq && (cd "$work" && apt-get download -qq prometheus)
    } || { rm -rf "$work"; echo "cannot download the prometheus package" >&2; return 1; }
    dpkg-deb -x "$work"/prometheus_*.deb "$work/root" && mkdir -p "$dir" &&
        cp "$work/root/usr/bin/promtool" "$work/root/usr/bin/prometheus" "$dir/"
    local status=$?
    rm -rf "$work"
    return $status
}
