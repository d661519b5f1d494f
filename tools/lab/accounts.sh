#!/usr/bin/env bash
# The accounts of a demo or a test run that the application runs as: a system group the
# helper serves, and (optionally) a system user in it.
#
#   accounts.sh add GROUP [USER HOME]   makes the group, and the user (primary group
#                                       nogroup, member of GROUP, no login) when named
#   accounts.sh remove GROUP [USER]     ends every process of the user, removes the user
#                                       and the group (and so every membership in it)
set -uo pipefail

command=${1:-}
group=${2:-}
user=${3:-}
home=${4:-/nonexistent}
[[ -n $group ]] || { echo "usage: $0 add|remove GROUP [USER [HOME]]" >&2; exit 2; }

case $command in
add)
    groupadd --system "$group" || exit 1
    if [[ -n $user ]]; then
        useradd --system --gid nogroup --groups "$group" --home-dir "$home" --no-create-home \
            --shell /usr/sbin/nologin "$user" || exit 1
    fi
    ;;
remove)
    if [[ -n $user ]] && id -u "$user" >/dev/null 2>&1; then
        # userdel refuses a user with processes: the application, relays, pair holders.
        for _ in $(seq 1 50); do
            pkill -KILL -u "$user" 2>/dev/null || break
            sleep 0.1
        done
        userdel "$user" || true
    fi
    if getent group "$group" >/dev/null; then
        groupdel "$group" || true
    fi
    ;;
*)
    echo "usage: $0 add|remove GROUP [USER [HOME]]" >&2
    exit 2
    ;;
esac
