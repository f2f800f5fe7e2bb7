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
