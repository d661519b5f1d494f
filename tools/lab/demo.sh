#!/usr/bin/env bash
# The demo world: the VPN lab (lab.sh), simulated devices at their VPN addresses behind
# it, and the cloud simulator on the loopback whose domains hand out the lab's profile.
# Run as root.
#
#   demo.sh [-n NAME] [-o DIR] [-b BINDIR] up    build it, leave it running
#   demo.sh [-n NAME] [-o DIR] [-b BINDIR] run   build it, remove it on Ctrl-C (with -w
#                                                also when standard input closes)
#   demo.sh [-n NAME] down                       remove everything of NAME
#   demo.sh [-n NAME] status                     print its settings (demo.env)
#
# NAME (default "demo"): the lab's name, 1 to 10 letters/digits. DIR receives demo.env
# (default: the state directory). BINDIR holds corrivo-simulator (default: build/bin).
set -Eeuo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../.." && pwd)
name=demo
outdir=
bindir=${CORRIVO_BIN_DIR:-$top/build/bin}
watch_stdin=0
state_root=${CORRIVO_DEMO_STATE:-/run/corrivo-demo}

usage() {
    sed -n '2,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

die() {
    echo "demo: $*" >&2
    exit 1
}

while getopts "n:o:b:wh" opt; do
    case $opt in
    n) name=$OPTARG ;;
    o) outdir=$OPTARG ;;
    b) bindir=$OPTARG ;;
    w) watch_stdin=1 ;;
    *) usage ;;
    esac
done
shift $((OPTIND - 1))
(($# == 1)) || usage
command=$1

[[ $name =~ ^[A-Za-z0-9]{1,10}$ ]] || die "NAME must be 1 to 10 letters or digits"
[[ $(id -u) -eq 0 ]] || die "must run as root"

state=$state_root/$name
simulator=$bindir/corrivo-simulator
# The simulators run as an account of this demo's own, made at up and removed at down;
# its group reads what they need of the state directory.
sim_user=corrivo-sim-$name
# How long a simulator may take to make its certificate and listen.
ready_timeout_s=30

# A simulator of this demo: its command line names this demo's fixture, so a pid that
# was reused by another process is never hit.
is_ours() {
    [[ $1 =~ ^[0-9]+$ ]] && tr '\0' ' ' 2>/dev/null <"/proc/$1/cmdline" | grep -qF -- "$state/sim/fixture.json"
}

# Runs a command as the simulators' account, without any capability.
as_simulator() {
    setpriv --reuid="$sim_uid" --regid="$sim_gid" --clear-groups --inh-caps=-all --bounding-set=-all \
        --no-new-privs -- env -i PATH=/usr/bin:/bin HOME=/nonexistent LANG=C.UTF-8 "$@"
}

# Stops the simulators this demo started, then the lab, then removes the files.
down() {
    if [[ -f $state/pids ]]; then
        local pid rest n alive
        while read -r pid rest; do
            is_ours "$pid" && { kill "$pid" 2>/dev/null || true; }
        done <"$state/pids"
        for n in $(seq 1 30); do
            alive=0
            while read -r pid rest; do
                is_ours "$pid" && alive=1
            done <"$state/pids"
            ((alive)) || break
            sleep 0.1
        done
        while read -r pid rest; do
            is_ours "$pid" && { kill -9 "$pid" 2>/dev/null || true; }
        done <"$state/pids"
    fi
    "$here/lab.sh" -n "$name" down
    # Only the account this demo made (recorded at up): a name taken by someone else stays.
    if [[ -f $state/sim-account && $(cat "$state/sim-account") == "$sim_user" ]]; then
        "$here/accounts.sh" remove "$sim_user" "$sim_user" || true
    fi
    if [[ -f $state/outdir ]]; then
        rm -f "$(cat "$state/outdir")/demo.env"
    fi
    rm -rf "$state"
}

# Starts one simulator in the background (in namespace $1 when not empty) as the
# simulators' account, records its pid and waits for its READY line; prints that line.
# The control token reaches it on descriptor 3, opened here as root: it is on no
# command line and in no environment.
start_simulator() {
    local netns=$1 label=$2
    shift 2
    local ready=$state/$label.ready log=$state/$label.log
    local prefix=()
    [[ -z $netns ]] || prefix=(ip netns exec "$netns")
    # Its own session: a Ctrl-C in the terminal reaches this script, which takes it down.
    "${prefix[@]}" setsid setpriv --reuid="$sim_uid" --regid="$sim_gid" --clear-groups --inh-caps=-all \
        --bounding-set=-all --no-new-privs -- env -i PATH=/usr/bin:/bin HOME=/nonexistent LANG=C.UTF-8 \
        "$state/sim/corrivo-simulator" --fixture "$state/sim/fixture.json" --ca-dir "$state/ca" \
        --control-token-fd 3 "$@" >"$ready" 2>"$log" </dev/null 3<"$state/control-token" &
    local pid=$!
    echo "$pid $label" >>"$state/pids"
    local n
    for n in $(seq 1 $((ready_timeout_s * 10))); do
        if grep -q '^READY ' "$ready" 2>/dev/null; then
            head -n 1 "$ready"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    tail -n 5 "$log" >&2 || true
    die "simulator $label did not start"
}

write_fixture() {
    local net=$1 dir=$2
    cat >"$dir/fixture.json" <<FIXTURE
{
  "key_lifetime": 3600,
  "users": [
    {"username": "demo", "password": "demo"},
    {"username": "operator", "password": "operator", "domains": [2]}
  ],
  "domains": [
    {"id": 1, "name": "Plant North", "vpn_enable": 1,
     "devices": [
       {"id": 101, "name": "Pump station", "type": 1, "domain_id": 1,
        "data_delivery_enable": 1, "remote_access_enable": 1,
        "vpn_status": 1, "vpn_ip": "$net.10", "api_key": "demo-key-101",
        "dst_ip_ports": {"0": 4001, "1": 4002, "2": 4003, "3": 4004}},
       {"id": 102, "name": "Compressor", "type": 5, "domain_id": 1,
        "data_delivery_enable": 1, "remote_access_enable": 1,
        "vpn_status": 1, "vpn_ip": "$net.11", "api_key": "demo-key-102",
        "dst_ip_ports": {"0": 4001, "2": 4003}},
       {"id": 103, "name": "Boiler", "type": 1, "domain_id": 1,
        "data_delivery_enable": 1, "remote_access_enable": 1,
        "vpn_status": 0, "vpn_ip": "$net.12", "api_key": "demo-key-103", "dst_ip_port": 4001},
       {"id": 104, "name": "Edge router", "type": 2, "domain_id": 1,
        "data_delivery_enable": 0, "remote_access_enable": 0,
        "vpn_status": 1, "vpn_ip": "$net.13", "api_key": "demo-key-104"}
     ],
     "vpn_files": [
       {"name": "client.ovpn", "path": "client.ovpn"},
       {"name": "ca.crt", "path": "ca.crt"},
       {"name": "credentials.txt", "path": "credentials.txt"}
     ]},
    {"id": 2, "name": "Warehouse South", "vpn_enable": 1,
     "devices": [
       {"id": 201, "name": "Conveyor", "type": 1, "domain_id": 2,
        "data_delivery_enable": 1, "remote_access_enable": 1,
        "vpn_status": 1, "vpn_ip": "$net.20", "api_key": "demo-key-201", "dst_ip_port": 4001},
       {"id": 202, "name": "Cold room", "type": 5, "domain_id": 2,
        "data_delivery_enable": 1, "remote_access_enable": 1,
        "vpn_status": 0, "vpn_ip": "$net.21", "api_key": "demo-key-202", "dst_ip_port": 4001}
     ],
     "vpn_files": [
       {"name": "client.ovpn", "path": "client.ovpn"},
       {"name": "ca.crt", "path": "ca.crt"},
       {"name": "credentials.txt", "path": "credentials.txt"}
     ]},
    {"id": 3, "name": "Archive", "vpn_enable": 0,
     "devices": [
       {"id": 301, "name": "Old meter", "type": 1, "domain_id": 3,
        "data_delivery_enable": 1, "remote_access_enable": 0,
        "vpn_status": 1, "vpn_ip": "$net.30", "api_key": "demo-key-301"}
     ]}
  ],
  "faults": []
}
FIXTURE
}

# The devices that answer behind the tunnel: id, address suffix, name in the lab's domain.
online_devices=("101 10 pump-station" "102 11 compressor" "201 20 conveyor")

up() {
    [[ -x $simulator ]] || die "no simulator at $simulator (build first, or give -b BINDIR)"
    [[ ! -e $state ]] || die "a demo named $name exists already; run: $0 -n $name down"
    trap 'status=$?; if ((status != 0)); then echo "demo: set-up failed, removing it" >&2; down; fi' EXIT
    mkdir -p "$state"
    chmod 700 "$state"
    [[ -n $outdir ]] || outdir=$state
    mkdir -p "$outdir"
    outdir=$(cd "$outdir" && pwd)
    echo "$outdir" >"$state/outdir"
    : >"$state/pids"

    "$here/accounts.sh" add "$sim_user" "$sim_user" ||
        die "the account $sim_user exists and is not this demo's; remove it or pick another NAME"
    echo "$sim_user" >"$state/sim-account"
    sim_uid=$(id -u "$sim_user")
    sim_gid=$(getent group "$sim_user" | cut -d: -f3)
    # The simulators' group may pass through the state directory (not list it) to sim/,
    # which it reads (the program, the fixture and its files), and ca/, the test CA the
    # simulators make and share. Nothing else here is theirs.
    chgrp "$sim_gid" "$state"
    chmod 710 "$state"
    install -d -m 750 -o root -g "$sim_gid" "$state/sim"
    install -d -m 700 -o "$sim_uid" -g "$sim_gid" "$state/ca"
    install -m 750 -o root -g "$sim_gid" "$simulator" "$state/sim/corrivo-simulator"
    # The control token of this run: root's alone, handed to each simulator on a descriptor.
    (umask 077 && od -An -vtx1 -N32 /dev/urandom | tr -d ' \n' >"$state/control-token")

    "$here/lab.sh" -n "$name" -o "$state/lab" up >"$state/lab.out"
    # shellcheck source=/dev/null
    source "$state/lab/lab.env"
    local net=${LAB_DEVICE_NET%.0/24}

    # The cloud hands out the lab's own profile; its credentials file has exactly two
    # lines, the second without a line end, as the client expects. The fixture names
    # them as files of sim/, the simulators' files directory.
    (umask 077 && printf '%s\n%s' "$LAB_USERNAME" "$LAB_PASSWORD" >"$state/sim/credentials.txt")
    install -m 600 "$state/lab/client.ovpn" "$state/sim/client.ovpn"
    install -m 600 "$state/lab/ca.crt" "$state/sim/ca.crt"
    (umask 077 && write_fixture "$net" "$state/sim")
    local file
    for file in credentials.txt client.ovpn ca.crt fixture.json; do
        chgrp "$sim_gid" "$state/sim/$file"
        chmod 640 "$state/sim/$file"
    done

    local line
    line=$(start_simulator "" cloud --role cloud --listen 127.0.0.1 --port 0)
    local cloud_url
    read -r _ cloud_url _ <<<"$line"
    # The CA certificate for clients, read with the simulators' rights (ca/ is theirs:
    # root follows nothing they may have put there) into a file of root's.
    local ca_file=$state/ca.pem
    as_simulator cat "$state/ca/ca.pem" >"$ca_file" || die "no CA certificate from the simulator"
    openssl x509 -noout -in "$ca_file" 2>/dev/null || die "the simulator's CA certificate is not one"
    chmod 644 "$ca_file"

    # The devices answer on ports 80 and 443 of their addresses: in the lab's namespace,
    # and only there, ports from 80 up need no privilege.
    ip netns exec "$LAB_NETNS" sysctl -qw net.ipv4.ip_unprivileged_port_start=80

    local entry id suffix host
    for entry in "${online_devices[@]}"; do
        read -r id suffix host <<<"$entry"
        ip -n "$LAB_NETNS" addr add "$net.$suffix/32" dev lo
        start_simulator "$LAB_NETNS" "device$id" --role device --device-id "$id" --listen "$net.$suffix" \
            --port 443 --http-port 80 --serial >/dev/null
        "$here/lab.sh" -n "$name" host "$host" "$net.$suffix"
    done

    {
        echo "# Corrivo demo $name: source this file."
        echo "CORRIVO_CLOUD_URL=$cloud_url"
        echo "CORRIVO_CA_FILE=$ca_file"
        echo "DEMO_NAME=$name"
        echo "DEMO_STATE_DIR=$state"
        echo "DEMO_FIXTURE=$state/sim/fixture.json"
        echo "DEMO_CONTROL_TOKEN_FILE=$state/control-token"
        echo "DEMO_SIM_USER=$sim_user"
        echo "DEMO_USERNAME=demo"
        echo "DEMO_PASSWORD=demo"
        echo "DEMO_USERNAME2=operator"
        echo "DEMO_PASSWORD2=operator"
        echo "DEMO_DEVICE_ID=101"
        echo "DEMO_DEVICE_NAME='Pump station'"
        echo "DEMO_DEVICE_IP=$net.10"
        echo "DEMO_DEVICE_HOSTNAME=pump-station.$LAB_DNS_DOMAIN"
        echo "DEMO_DEVICE_SERIAL_PORT=4001"
        echo "DEMO_OFFLINE_DEVICE_ID=103"
        grep -v '^#' "$state/lab/lab.env"
    } >"$state/demo.env"
    chmod 600 "$state/demo.env"
    [[ $outdir == "$state" ]] || cp "$state/demo.env" "$outdir/demo.env"
    trap - EXIT

    echo "demo $name up"
    echo "  cloud:       $cloud_url (CA $ca_file)"
    echo "  sign in:     demo / demo (all domains), operator / operator (Warehouse South)"
    echo "  devices:     Pump station $net.10, Compressor $net.11, Conveyor $net.20 (http, https, serial 4001-4004)"
    echo "  names:       pump-station, compressor, conveyor .$LAB_DNS_DOMAIN (name server $LAB_DNS_SERVER, pushed)"
    echo "  VPN server:  $LAB_SERVER_ADDR udp $LAB_SERVER_PORT (lab $name)"
    echo "  settings:    $outdir/demo.env"
}

case $command in
up)
    up
    ;;
run)
    up
    trap 'down' EXIT
    trap 'exit 0' INT TERM HUP
    if ((watch_stdin)); then
        echo "demo $name running; Ctrl-C or the end of standard input removes it"
        while read -r _; do :; done
    else
        echo "demo $name running; Ctrl-C removes it"
        while true; do sleep 1; done
    fi
    ;;
down)
    down
    ;;
status)
    [[ -f $state/demo.env ]] || die "no demo named $name is up"
    cat "$state/demo.env"
    ;;
*)
    usage
    ;;
esac
