#!/usr/bin/env bash
# The VPN lab: a real openvpn server in a network namespace of its own, reachable from
# the root namespace over a veth pair. Run as root.
#
#   lab.sh [-n NAME] [-o DIR] [-k PING,RESTART] [-p PASSWORD] up   build it, leave it running
#   lab.sh [-n NAME] [-o DIR] [-k PING,RESTART] [-p PASSWORD] run  build it, tear down on Ctrl-C
#   lab.sh -n NAME down                                  remove everything of NAME
#   lab.sh -n NAME server-stop | server-start            kill / restart the server only
#   lab.sh -n NAME status                                print the lab's settings
#   lab.sh -n NAME host HOST ADDRESS                     name a device: HOST.<lab's domain>
#
# NAME (default "lab"): 1 to 10 letters/digits, unique per concurrent lab. DIR receives
# client.ovpn, ca.crt, credentials and lab.env (default: the state directory).
# PASSWORD (default: random) is the test user's password; any single line.
# HOST: a DNS label (letters, digits, inner hyphens); ADDRESS: one of the device subnet.
set -Eeuo pipefail

name=lab
outdir=
keepalive="2,6"
password=
state_root=${CORRIVO_LAB_STATE:-/run/corrivo-lab}

usage() {
    sed -n '2,15p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

die() {
    echo "lab: $*" >&2
    exit 1
}

while getopts "n:o:k:p:h" opt; do
    case $opt in
    n) name=$OPTARG ;;
    o) outdir=$OPTARG ;;
    k) keepalive=$OPTARG ;;
    p) password=$OPTARG ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
(($# >= 1)) || usage
command=$1
shift

[[ $name =~ ^[A-Za-z0-9]{1,10}$ ]] || die "NAME must be 1 to 10 letters or digits"
[[ $keepalive =~ ^[0-9]+,[0-9]+$ ]] || die "keepalive must be PING,RESTART in seconds"
[[ $(id -u) -eq 0 ]] || die "must run as root"

state=$state_root/$name
netns=corrivo-$name
veth_host=cv${name}h
veth_ns=cv${name}n

# Every lab takes a free index under a lock directory, so that parallel labs get
# distinct subnets and their routes in the root namespace never overlap. The index goes
# into the lab's state at once: down removes that one, whenever the set-up stopped.
take_index() {
    mkdir -p "$state_root"
    local i
    for i in $(seq 1 250); do
        if mkdir "$state_root/.index.$i" 2>/dev/null; then
            echo "$i" >"$state/index"
            echo "$name" >"$state_root/.index.$i/owner"
            echo "$i"
            return 0
        fi
    done
    die "no free lab index"
}

load_state() {
    [[ -f $state/lab.env ]] || die "no lab named $name is up"
    # shellcheck source=/dev/null
    source "$state/lab.env"
}

# The devices' name server: dnsmasq in the namespace, on the lab's DNS address only, with
# its own configuration (no /etc/dnsmasq.conf, no resolv.conf, no /etc/hosts): it
# answers the names in $state/hosts and nothing else.
dns_running() {
    [[ -f $state/dnsmasq.pid ]] && kill -0 "$(cat "$state/dnsmasq.pid")" 2>/dev/null
}

start_dns() {
    local address=$1 domain=$2
    : >"$state/hosts"
    cat >"$state/dnsmasq.conf" <<CONF
port=53
listen-address=$address
bind-interfaces
no-resolv
no-hosts
no-poll
addn-hosts=$state/hosts
local=/$domain/
domain-needed
pid-file=$state/dnsmasq.pid
log-facility=$state/dnsmasq.log
user=root
CONF
    ip netns exec "$netns" dnsmasq --conf-file="$state/dnsmasq.conf" \
        || die "the name server did not start"
    local n
    for n in $(seq 1 100); do
        ip netns exec "$netns" ss -H -lun "src $address:53" 2>/dev/null | grep -q . && return 0
        sleep 0.1
    done
    die "the name server does not listen on $address"
}

stop_dns() {
    if dns_running; then
        local pid n
        pid=$(cat "$state/dnsmasq.pid")
        kill "$pid" 2>/dev/null || true
        for n in $(seq 1 30); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    rm -f "$state/dnsmasq.pid"
}

# Gives a device its name: HOST.<domain> (and HOST) answer ADDRESS.
add_host() {
    local host=$1 address=$2
    [[ $host =~ ^[a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?$ ]] || die "HOST must be a DNS label (lower-case letters, digits, inner hyphens)"
    local net=${LAB_DEVICE_NET%.0/24}
    local suffix=${address#"$net".}
    [[ $address == "$net".* && $suffix =~ ^[0-9]{1,3}$ ]] && ((10#$suffix >= 1 && 10#$suffix <= 254)) \
        || die "ADDRESS must be in $LAB_DEVICE_NET"
    dns_running || die "the name server of $name is not running"
    grep -vF " $host.$LAB_DNS_DOMAIN " "$state/hosts" >"$state/hosts.new" || true
    echo "$address $host.$LAB_DNS_DOMAIN $host" >>"$state/hosts.new"
    mv "$state/hosts.new" "$state/hosts"
    # dnsmasq reads its hosts files again on SIGHUP, and logs each reading.
    local readings n
    readings=$(grep -c "read $state/hosts " "$state/dnsmasq.log" || true)
    kill -HUP "$(cat "$state/dnsmasq.pid")"
    for n in $(seq 1 50); do
        (($(grep -c "read $state/hosts " "$state/dnsmasq.log" || true) > readings)) && return 0
        sleep 0.1
    done
    die "the name server did not read the new name"
}

server_running() {
    [[ -f $state/server.pid ]] && kill -0 "$(cat "$state/server.pid")" 2>/dev/null
}

start_server() {
    rm -f "$state/server.pid"
    if ! ip netns exec "$netns" openvpn --config "$state/server.conf" --daemon corrivo-lab-$name \
        --writepid "$state/server.pid" --log-append "$state/server.log"; then
        tail -n 20 "$state/server.log" >&2 2>/dev/null || true
        die "server did not start"
    fi
    local n
    for n in $(seq 1 100); do
        if grep -q "Initialization Sequence Completed" "$state/server.log" 2>/dev/null \
            && [[ $(grep -c "Initialization Sequence Completed" "$state/server.log") -gt ${1:-0} ]]; then
            return 0
        fi
        sleep 0.1
    done
    tail -n 20 "$state/server.log" >&2 2>/dev/null || true
    die "server did not start"
}

stop_server() {
    if server_running; then
        local pid
        pid=$(cat "$state/server.pid")
        kill "$pid" 2>/dev/null || true
        local n
        for n in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$state/server.pid"
}

down() {
    if [[ -f $state/lab.env ]]; then
        # shellcheck source=/dev/null
        source "$state/lab.env" || true
    fi
    stop_server || true
    stop_dns || true
    # Whatever else still runs in the namespace (simulated devices) goes with it.
    local pids
    pids=$(ip netns pids "$netns" 2>/dev/null || true)
    if [[ -n $pids ]]; then
        # shellcheck disable=SC2086
        kill -9 $pids 2>/dev/null || true
    fi
    ip link del "$veth_host" 2>/dev/null || true
    ip netns del "$netns" 2>/dev/null || true
    # Only the index this lab took (an index of another lab, even of the same name, stays).
    local index=${LAB_INDEX:-}
    [[ -n $index || ! -f $state/index ]] || index=$(cat "$state/index")
    if [[ $index =~ ^[0-9]+$ ]]; then
        rm -rf "$state_root/.index.$index"
    fi
    if [[ -f $state/outdir ]]; then
        local dir
        dir=$(cat "$state/outdir")
        rm -f "$dir/client.ovpn" "$dir/ca.crt" "$dir/credentials" "$dir/lab.env"
    fi
    rm -rf "$state"
}

make_pki() {
    local pki=$state/pki
    mkdir -p "$pki"
    chmod 700 "$pki"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$pki/ca.key" -out "$pki/ca.crt" -days 2 -subj "/CN=Corrivo lab CA $name" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$pki/server.key" -out "$pki/server.csr" -subj "/CN=server" 2>/dev/null
    printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyAgreement" \
        "extendedKeyUsage=serverAuth" >"$pki/server.ext"
    openssl x509 -req -in "$pki/server.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" \
        -CAcreateserial -days 2 -extfile "$pki/server.ext" -out "$pki/server.crt" 2>/dev/null
    chmod 600 "$pki"/*.key
}

up() {
    [[ ! -e $state ]] || die "a lab named $name exists already; run: $0 -n $name down"
    ip netns list | grep -qw "$netns" && die "namespace $netns exists already"
    # Whatever ends the set-up early (a failing command, die) removes what it built.
    trap 'status=$?; if ((status != 0)); then echo "lab: set-up failed, removing it" >&2; down; fi' EXIT
    mkdir -p "$state"
    chmod 700 "$state"
    local index
    index=$(take_index)
    [[ -n $outdir ]] || outdir=$state/client
    mkdir -p "$outdir"
    outdir=$(cd "$outdir" && pwd)
    echo "$outdir" >"$state/outdir"

    local link_net=10.201.$index vpn_net=10.202.$index device_net=10.203.$index
    local server_addr=$link_net.2 port=1194
    # The devices' name server and domain, pushed to clients; .test is reserved for this.
    local dns_addr=$device_net.53 dns_domain
    dns_domain=$(echo "$name" | tr 'A-Z' 'a-z').corrivo.test
    local username=labuser$index
    [[ -n $password ]] || password=$(openssl rand -hex 12)

    cat >"$state/lab.env" <<ENV
LAB_NAME=$name
LAB_INDEX=$index
LAB_NETNS=$netns
LAB_HOST_IF=$veth_host
LAB_SERVER_ADDR=$server_addr
LAB_SERVER_PORT=$port
LAB_VPN_NET=$vpn_net.0/24
LAB_VPN_SERVER_ADDR=$vpn_net.1
LAB_DEVICE_NET=$device_net.0/24
LAB_DEVICE_GATEWAY=$device_net.1
LAB_DNS_SERVER=$dns_addr
LAB_DNS_DOMAIN=$dns_domain
LAB_USERNAME=$username
LAB_PASSWORD=$(printf '%q' "$password")
LAB_STATE_DIR=$state
LAB_CLIENT_DIR=$outdir
ENV
    chmod 600 "$state/lab.env"

    ip netns add "$netns"
    ip link add "$veth_host" type veth peer name "$veth_ns"
    ip link set "$veth_ns" netns "$netns"
    ip addr add "$link_net.1/30" dev "$veth_host"
    ip link set "$veth_host" up
    ip -n "$netns" addr add "$server_addr/30" dev "$veth_ns"
    ip -n "$netns" link set "$veth_ns" up
    ip -n "$netns" link set lo up
    # The device network: simulated devices listen on addresses of the namespace's
    # loopback (one /32 each) and clients reach them through the route the server pushes.
    ip -n "$netns" addr add "$device_net.1/32" dev lo
    ip -n "$netns" addr add "$dns_addr/32" dev lo
    start_dns "$dns_addr" "$dns_domain"

    make_pki

    printf '%s\n%s\n' "$username" "$password" >"$state/users"
    chmod 600 "$state/users"
    cat >"$state/verify-user.sh" <<'VERIFY'
#!/bin/sh
# openvpn passes a file with the user name and the password on two lines.
expected=$(dirname "$0")/users
# The GUI version the client announced (peer info; openvpn turns blanks into "_").
printf '%s\n' "${IV_GUI_VER:-}" >>"$(dirname "$0")/gui-versions"
[ "$(sed -n 1p "$1")" = "$(sed -n 1p "$expected")" ] && [ "$(sed -n 2p "$1")" = "$(sed -n 2p "$expected")" ]
VERIFY
    chmod 700 "$state/verify-user.sh"

    local ping=${keepalive%,*} restart=${keepalive#*,}
    cat >"$state/server.conf" <<CONF
dev tun
topology subnet
server $vpn_net.0 255.255.255.0
proto udp4
local $server_addr
port $port
ca $state/pki/ca.crt
cert $state/pki/server.crt
key $state/pki/server.key
dh none
verify-client-cert none
username-as-common-name
script-security 2
auth-user-pass-verify $state/verify-user.sh via-file
tmp-dir $state
keepalive $ping $restart
push "route $device_net.0 255.255.255.0"
push "dhcp-option DNS $dns_addr"
push "dhcp-option DOMAIN $dns_domain"
duplicate-cn
verb 3
CONF
    start_server 0

    cp "$state/pki/ca.crt" "$outdir/ca.crt"
    cat >"$outdir/client.ovpn" <<PROFILE
client
dev tun
proto udp
remote $server_addr $port
nobind
remote-cert-tls server
auth-user-pass
ca ca.crt
verb 3
PROFILE
    printf '%s\n%s\n' "$username" "$password" >"$outdir/credentials"
    chmod 600 "$outdir/credentials"
    cp "$state/lab.env" "$outdir/lab.env"
    trap - EXIT

    echo "lab $name up: server $server_addr port $port (udp)"
    echo "  profile:     $outdir/client.ovpn (ca.crt beside it)"
    echo "  credentials: $outdir/credentials"
    echo "  settings:    $outdir/lab.env"
    echo "  devices:     $device_net.0/24 behind the tunnel, namespace $netns"
    echo "  names:       *.$dns_domain, name server $dns_addr (pushed)"
}

# Only "host" takes arguments.
[[ $command == host ]] || (($# == 0)) || usage

case $command in
up)
    up
    ;;
host)
    (($# == 2)) || usage
    load_state
    add_host "$1" "$2"
    ;;
run)
    up
    trap 'down' EXIT
    trap 'exit 0' INT TERM
    echo "lab $name running; Ctrl-C removes it"
    while true; do sleep 1; done
    ;;
down)
    down
    ;;
server-stop)
    load_state
    stop_server
    ;;
server-start)
    load_state
    server_running && die "server of $name is running"
    start_server "$(grep -c "Initialization Sequence Completed" "$state/server.log" 2>/dev/null || echo 0)"
    ;;
status)
    load_state
    cat "$state/lab.env"
    server_running && echo "LAB_SERVER_RUNNING=1" || echo "LAB_SERVER_RUNNING=0"
    dns_running && echo "LAB_DNS_RUNNING=1" || echo "LAB_DNS_RUNNING=0"
    ;;
*)
    usage
    ;;
esac
