#!/usr/bin/env bash
# The lab's names: the server pushes its name server and domain to a real openvpn
# client, and that name server answers the names given with "lab.sh host" (and only
# those) until "down" stops it. The client runs in the lab's own namespace with a null
# device (it configures nothing); names are looked up as an unprivileged user in a
# mount namespace whose /etc/resolv.conf names the lab's server. Run as root.
#
#   lab_names.sh LAB_SCRIPT
set -euo pipefail

lab=${1:?usage: lab_names.sh LAB_SCRIPT}
name=names$$
name=${name:0:10}
work=$(mktemp -d /tmp/corrivo-labnames.XXXXXX)

cleanup() {
    "$lab" -n "$name" down >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
    echo "FAIL: $*" >&2
    [[ -f $work/client.log ]] && tail -n 20 "$work/client.log" >&2
    exit 1
}

[[ $(id -u) -eq 0 ]] || fail "must run as root"
"$lab" -n "$name" -o "$work/lab" up >/dev/null
# shellcheck source=/dev/null
source "$work/lab/lab.env"
net=${LAB_DEVICE_NET%.0/24}
[[ $LAB_DNS_SERVER == "$net".* ]] || fail "LAB_DNS_SERVER $LAB_DNS_SERVER is not in $LAB_DEVICE_NET"
[[ $LAB_DNS_DOMAIN == "$name.corrivo.test" ]] || fail "LAB_DNS_DOMAIN is $LAB_DNS_DOMAIN"

# What a client gets pushed.
(cd "$work/lab" && ip netns exec "$LAB_NETNS" openvpn --config client.ovpn --dev null --ifconfig-noexec \
    --route-noexec --auth-user-pass credentials --verb 3 --log "$work/client.log" \
    --writepid "$work/client.pid" --daemon corrivo-labnames)
for n in $(seq 1 200); do
    grep -q "PUSH_REPLY" "$work/client.log" 2>/dev/null && break
    sleep 0.05
done
reply=$(grep -m1 -o "PUSH_REPLY,[^']*" "$work/client.log") || fail "no PUSH_REPLY"
[[ $reply == *",dhcp-option DNS $LAB_DNS_SERVER,"* ]] || fail "the name server is not pushed: $reply"
[[ $reply == *",dhcp-option DOMAIN $LAB_DNS_DOMAIN,"* ]] || fail "the domain is not pushed: $reply"
echo "ok: pushed dhcp-option DNS $LAB_DNS_SERVER and DOMAIN $LAB_DNS_DOMAIN"

printf 'nameserver %s\n' "$LAB_DNS_SERVER" >"$work/resolv.conf"
lookup() {
    ip netns exec "$LAB_NETNS" unshare --mount --propagation private bash -c \
        'mount --bind "$1" /etc/resolv.conf && timeout 20 setpriv --reuid=nobody --regid=nogroup --clear-groups getent hosts "$2"' \
        _ "$work/resolv.conf" "$1" | awk '{print $1}'
}
expect() {
    local got
    got=$(lookup "$1" || true)
    [[ $got == "$2" ]] || fail "$1 gave \"$got\", expected \"${2:-no answer}\""
    echo "ok: $1 -> ${2:-(no answer)}"
}

expect "dev1.$LAB_DNS_DOMAIN" ""
"$lab" -n "$name" host dev1 "$net.10"
"$lab" -n "$name" host dev2 "$net.11"
expect "dev1.$LAB_DNS_DOMAIN" "$net.10"
expect "dev2.$LAB_DNS_DOMAIN" "$net.11"
"$lab" -n "$name" host dev1 "$net.12"
expect "dev1.$LAB_DNS_DOMAIN" "$net.12"
expect "nothere.$LAB_DNS_DOMAIN" ""
# Names outside the lab's domain are not its business: it asks nobody else.
expect "dev1.example.com" ""

for bad in "Dev1 $net.13" "-x $net.13" "dev3 10.0.0.1" "dev3 $net.255" "dev3 $net.1.2"; do
    # shellcheck disable=SC2086
    if "$lab" -n "$name" host $bad 2>/dev/null; then fail "host $bad was taken"; fi
done
echo "ok: bad host entries refused"

pid=$(cat "$LAB_STATE_DIR/dnsmasq.pid")
"$lab" -n "$name" down >/dev/null
if kill -0 "$pid" 2>/dev/null; then fail "the name server still runs after down"; fi
echo "ok: down stopped the name server"
