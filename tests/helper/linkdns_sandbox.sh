#!/usr/bin/env bash
# The DNS backends against real resolvers, without touching the machine's: each case
# runs in new PID, mount and network namespaces, with a tmpfs on /run (so a private
# system bus at the usual address, and resolved's and resolvconf's run files), /etc
# and /usr as overlays that add the unpacked packages (scripts/resolver-packages.sh)
# and take every write, and a veth link whose far end, in a namespace of its own, has
# dnsmasq answering the test names. When a case ends, however it ends, the kernel ends
# every process of its PID namespace and the mounts and links go with the namespaces.
#
#   linkdns_sandbox.sh LINKDNSTOOL PACKAGES_DIR [CASE...]
#
# CASE: resolved, resolvconf, none (resolvconf present as a symbolic link only; default:
# all three). Run as root.
set -euo pipefail

domain=lab.corrivo.test
routed=routed.test
link=c2dns0
peer=c2dnsp
link_addr=10.77.0.1
dns_addr=10.77.0.53
dev1_addr=10.77.0.10
dev2_addr=10.77.0.20

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Polls a condition for up to 10 s.
wait_for() {
    local what=$1 n
    shift
    for n in $(seq 1 200); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    fail "$what"
}

# --- inside the namespaces -------------------------------------------------------------

# Resolves a name as an unprivileged user, as any program would; prints the address.
lookup() {
    timeout 20 setpriv --reuid=nobody --regid=nogroup --clear-groups getent hosts "$1" | awk '{print $1}'
}

expect_lookup() {
    local name=$1 want=$2 got
    got=$(lookup "$name" || true)
    [[ $got == "$want" ]] || fail "$case: getent hosts $name gave \"$got\", expected \"$want\""
    echo "ok: $case: $name -> ${want:-(no answer)}"
}

# The resolver's configuration as a program sees it: resolv.conf, and with resolved,
# the link's and the manager's settings.
snapshot() {
    echo "--- resolv.conf"
    cat /etc/resolv.conf
    if [[ $case == resolvconf ]]; then
        echo "--- records"
        ls -A /run/resolvconf/interface
    fi
    if [[ $case == resolved ]]; then
        local path
        path=$(busctl --system call org.freedesktop.resolve1 /org/freedesktop/resolve1 \
            org.freedesktop.resolve1.Manager GetLink i "$(cat "/sys/class/net/$link/ifindex")" | awk '{print $2}')
        path=${path//\"/}
        echo "--- link"
        busctl --system get-property org.freedesktop.resolve1 "$path" org.freedesktop.resolve1.Link \
            DNS Domains DefaultRoute
        echo "--- manager"
        busctl --system get-property org.freedesktop.resolve1 /org/freedesktop/resolve1 \
            org.freedesktop.resolve1.Manager DNS Domains
    fi
}

same_as_before() {
    [[ $(snapshot) == "$before" ]]
}

setup_link() {
    ip link set lo up
    mkdir -p /run/netns
    ip netns add far
    ip link add "$link" type veth peer name "$peer"
    ip link set "$peer" netns far
    ip addr add "$link_addr/24" dev "$link"
    ip link set "$link" up
    ip -n far addr add "$dns_addr/24" dev "$peer"
    ip -n far link set "$peer" up
    ip -n far link set lo up
    # Its own configuration only: no /etc/dnsmasq.conf, no resolv.conf, no hosts file.
    ip netns exec far dnsmasq --conf-file=/dev/null --keep-in-foreground --no-resolv --no-hosts \
        --no-poll --pid-file= --user=nobody --group=nogroup --listen-address="$dns_addr" \
        --bind-interfaces --local="/$domain/" --local="/$routed/" \
        --host-record="dev1.$domain,$dev1_addr" --host-record="dev2.$routed,$dev2_addr" \
        --log-facility=- 2>/run/sandbox/dnsmasq.log &
    wait_for "dnsmasq did not listen on $dns_addr" \
        bash -c "ip netns exec far ss -H -lun 'src $dns_addr:53' | grep -q ."
}

# /etc and /usr with the packages' files over them; every write to /etc stays in the
# namespace's tmpfs.
setup_files() {
    local packages=$1
    mount -t tmpfs -o mode=0755 tmpfs /run
    # The links of this network namespace, not the machine's.
    mount -t sysfs sysfs /sys
    mkdir -p /run/sandbox/etc-upper /run/sandbox/etc-work /run/dbus
    mount -t overlay overlay -o "lowerdir=$packages/root/etc:/etc,upperdir=/run/sandbox/etc-upper,workdir=/run/sandbox/etc-work" /etc
    local top=
    if [[ $case == none ]]; then
        # resolvconf is there, but as a link: not a program the helper may run.
        mkdir -p /run/sandbox/usr-top/sbin
        ln -s "$packages/root/usr/sbin/resolvconf" /run/sandbox/usr-top/sbin/resolvconf
        top=/run/sandbox/usr-top:
    fi
    mount -t overlay overlay -o "ro,lowerdir=$top$packages/root/usr:/usr" /usr
}

start_bus() {
    dbus-daemon --system --nofork --nopidfile 2>/run/sandbox/dbus.log &
    wait_for "the private system bus did not start" test -S /run/dbus/system_bus_socket
}

name_owned() {
    busctl --system call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus NameHasOwner s "$1" \
        | grep -x "b true" >/dev/null
}

# resolved's user, in the namespace's /etc only; the bus's policy names it.
add_resolved_user() {
    local uid=64900
    while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do uid=$((uid + 1)); done
    echo "systemd-resolve:x:$uid:$uid:systemd Resolver:/:/usr/sbin/nologin" >>/etc/passwd
    echo "systemd-resolve:x:$uid:" >>/etc/group
}

start_resolved() {
    local packages=$1
    mkdir -p /run/systemd
    cat >/etc/systemd/resolved.conf <<'CONF'
[Resolve]
DNS=
FallbackDNS=
Domains=
LLMNR=no
MulticastDNS=no
DNSSEC=no
DNSOverTLS=no
Cache=no
DNSStubListener=yes
ReadEtcHosts=no
CONF
    rm -f /etc/resolv.conf
    ln -s /run/systemd/resolve/stub-resolv.conf /etc/resolv.conf
    LD_LIBRARY_PATH=$packages/systemd-shared /usr/lib/systemd/systemd-resolved 2>/run/sandbox/resolved.log &
    wait_for "systemd-resolved did not take its name on the bus" name_owned org.freedesktop.resolve1
    wait_for "systemd-resolved wrote no stub-resolv.conf" test -s /run/systemd/resolve/stub-resolv.conf
    wait_for "systemd-resolved does not know $link" \
        busctl --system call org.freedesktop.resolve1 /org/freedesktop/resolve1 \
        org.freedesktop.resolve1.Manager GetLink i "$(cat "/sys/class/net/$link/ifindex")"
}

start_resolvconf() {
    rm -f /etc/resolv.conf
    ln -s /run/resolvconf/resolv.conf /etc/resolv.conf
    mkdir -p /run/resolvconf/interface
    /usr/sbin/resolvconf --enable-updates
    /usr/sbin/resolvconf -u
    test -f /run/resolvconf/resolv.conf || fail "resolvconf wrote no resolv.conf"
}

# What the daemons said, when a case fails.
show_logs() {
    local status=$? log
    ((status == 0)) && return 0
    for log in /run/sandbox/*.log; do
        [[ -s $log ]] || continue
        echo "--- $log" >&2
        tail -n 20 "$log" >&2
    done
}

inside() {
    case=$1 tool=$2 packages=$3
    trap show_logs EXIT
    setup_files "$packages"
    setup_link
    add_resolved_user
    start_bus
    case $case in
    resolved) start_resolved "$packages" ;;
    resolvconf) start_resolvconf ;;
    none) ;;
    esac

    local detected
    detected=$("$tool" detect)
    [[ $detected == "$case" ]] || fail "$case: detect picked $detected"
    echo "ok: $case: detected"

    if [[ $case == none ]]; then
        local out
        out=$("$tool" apply detect "$link" --server "$dns_addr" --search "$domain" || true)
        [[ $out == "not applied: neither systemd-resolved nor resolvconf is available" ]] \
            || fail "none: apply said \"$out\""
        echo "ok: none: $out"
        return 0
    fi

    before=$(snapshot)
    expect_lookup "dev1.$domain" ""

    # Hostile settings change nothing.
    local out
    out=$("$tool" apply detect "$link" --server "$dns_addr" --search "$domain" --routing com || true)
    [[ $out == "not applied: the routing domain \"com\""* ]] || fail "$case: a TLD was taken: $out"
    [[ $(snapshot) == "$before" ]] || fail "$case: a refused apply changed the configuration"
    echo "ok: $case: refused settings left the configuration alone"

    out=$("$tool" apply detect "$link" --server "$dns_addr" --search "$domain" --routing "$routed")
    [[ $out == "applied $case" ]] || fail "$case: apply said \"$out\""
    echo "ok: $case: $out"
    grep -q "^search .*$domain" /etc/resolv.conf || fail "$case: resolv.conf does not search $domain"
    if [[ $case == resolved ]]; then
        ! grep -q "$routed" /etc/resolv.conf || fail "resolved: the routing-only domain is searched"
        # Not the tunnel of every name: it does not redirect the gateway.
        snapshot | grep -x "b false" >/dev/null || fail "resolved: the link is a default route for names"
        expect_lookup "dev2.$routed" "$dev2_addr"
    else
        grep -q "^nameserver $dns_addr\$" /etc/resolv.conf || fail "resolvconf: no nameserver $dns_addr"
    fi
    expect_lookup "dev1.$domain" "$dev1_addr"
    expect_lookup dev1 "$dev1_addr"

    if [[ $case == resolved ]]; then
        # An index that names another link now is not the tunnel's: nothing is reverted.
        local during
        during=$(snapshot)
        "$tool" revert detect c2gone "$(cat "/sys/class/net/$link/ifindex")" >/dev/null
        [[ $(snapshot) == "$during" ]] || fail "resolved: a revert for another name changed $link"
        echo "ok: resolved: a revert for another link's name left $link alone"
    fi

    "$tool" revert detect "$link" >/dev/null
    if ! (wait_for "" same_as_before) 2>/dev/null; then
        diff <(echo "$before") <(snapshot) >&2 || true
        fail "$case: the configuration after revert differs from before"
    fi
    echo "ok: $case: reverted to exactly the configuration before"
    expect_lookup "dev1.$domain" ""

    # A tunnel whose link has gone (a helper that died): its revert still leaves the
    # configuration as it was before.
    local index
    ip link add c2gone type veth peer name c2gonep
    ip addr add 10.78.0.1/24 dev c2gone
    ip link set c2gone up
    ip link set c2gonep up
    index=$(cat /sys/class/net/c2gone/ifindex)
    [[ $case != resolved ]] || wait_for "systemd-resolved does not know c2gone" \
        busctl --system call org.freedesktop.resolve1 /org/freedesktop/resolve1 \
        org.freedesktop.resolve1.Manager GetLink i "$index"
    out=$("$tool" apply detect c2gone --server "$dns_addr" --search gone.test)
    [[ $out == "applied $case" ]] || fail "$case: apply on c2gone said \"$out\""
    grep -q "gone.test" /etc/resolv.conf || fail "$case: resolv.conf does not search gone.test"
    ip link del c2gone
    "$tool" revert detect c2gone "$index" >/dev/null
    if ! (wait_for "" same_as_before) 2>/dev/null; then
        diff <(echo "$before") <(snapshot) >&2 || true
        fail "$case: the configuration after the revert of a gone link differs from before"
    fi
    echo "ok: $case: the revert of a link that has gone left the configuration as before"
}

# --- outside ---------------------------------------------------------------------------

if [[ ${1:-} == --inside ]]; then
    shift
    inside "$@"
    exit 0
fi

tool=${1:?usage: linkdns_sandbox.sh LINKDNSTOOL PACKAGES_DIR [CASE...]}
packages=${2:?usage: linkdns_sandbox.sh LINKDNSTOOL PACKAGES_DIR [CASE...]}
shift 2
cases=("$@")
((${#cases[@]})) || cases=(resolved resolvconf none)
[[ $(id -u) -eq 0 ]] || fail "must run as root"
[[ -f $packages/versions ]] || fail "no unpacked resolvers in $packages (run scripts/resolver-packages.sh)"
command -v dnsmasq >/dev/null || fail "dnsmasq is not installed (scripts/setup.sh)"
tool=$(realpath "$tool")
packages=$(realpath "$packages")

# A case's namespaces end with its unshare (--kill-child): this script ends it too when
# it is stopped itself, with SIGKILL (unshare --fork ignores SIGTERM and SIGINT).
child=
trap '[[ -z $child ]] || kill -KILL "$child" 2>/dev/null' EXIT
trap 'exit 1' INT TERM HUP
failed=0
for case in "${cases[@]}"; do
    echo "== $case"
    unshare --pid --fork --kill-child --mount --net --mount-proc --propagation private \
        bash "${BASH_SOURCE[0]}" --inside "$case" "$tool" "$packages" &
    child=$!
    wait "$child" || failed=1
    child=
done
exit $failed
