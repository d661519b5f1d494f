#!/usr/bin/env bash
# Installs what building, running and testing Corrivo 2 need on Debian 12, then the
# front-end libraries from npm. Safe to run again: it only adds what is missing.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

packages=(
    build-essential cmake pkg-config clang libfuzzer-14-dev
    qt6-base-dev qt6-webengine-dev qt6-webchannel-dev qt6-serialport-dev
    qt6-httpserver-dev qt6-websockets-dev libgl-dev
    openvpn socat iproute2 iputils-ping iptables openssl procps psmisc libcap2-bin
    xvfb xauth x11-apps netpbm fonts-dejavu-core desktop-file-utils
    python3 python3-serial ca-certificates
    # the root helper's tests (setpriv, useradd, systemd-socket-activate) and the package's
    util-linux passwd systemd dpkg-dev file lintian
    # desktop services on private buses and displays for the desktop-session tests
    dbus-daemon python3-dbus python3-dbusmock trayer dunst xdotool
    # the lab's name server for the devices, and the DNS backends' tests
    dnsmasq-base
)
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup: missing packages: ${missing[*]}; run as root to install them" >&2
        exit 1
    fi
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# systemd-resolved and resolvconf for the DNS backends' tests: unpacked, never installed
# (either would take over this machine's /etc/resolv.conf).
if [[ $(id -u) -eq 0 ]]; then
    "$top/scripts/resolver-packages.sh" "$top/.cache/resolver-packages"
else
    echo "setup: run as root to unpack the resolvers for the DNS tests (scripts/resolver-packages.sh)" >&2
fi

# npm ci only when the installed tree does not match the lock file.
stamp="$top/node_modules/.package-lock.json"
if [[ ! -f "$stamp" || "$top/package-lock.json" -nt "$stamp" ]]; then
    echo "setup: npm ci"
    (cd "$top" && npm ci --no-audit --no-fund --loglevel=error)
fi
