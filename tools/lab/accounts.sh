#!/usr/bin/env bash
# The accounts of a demo or a test run that the application runs as: a system group the
# helper serves, and (optionally) a system user in it.
#
#   accounts.sh add GROUP [USER HOME]   makes the group, and the user (primary group
#                                       nogroup, member of GROUP, no login) when named;
#                                       fails when either exists already
#   accounts.sh remove GROUP [USER]     ends every process of the user, removes the user
#                                       and the group (and so every membership in it)
#
# Call remove only for what an add of your own made: this runs as root and must not
# take away an account somebody else has. As a second check, remove leaves any user
# without this script's mark in its comment field.
set -uo pipefail

mark="corrivo2 demo or test account"

command=${1:-}
group=${2:-}
user=${3:-}
home=${4:-/nonexistent}
[[ -n $group ]] || { echo "usage: $0 add|remove GROUP [USER [HOME]]" >&2; exit 2; }

case $command in
add)
    groupadd --system "$group" || exit 1
    if [[ -n $user ]]; then
        if ! useradd --system --gid nogroup --groups "$group" --home-dir "$home" --no-create-home \
            --shell /usr/sbin/nologin --comment "$mark" "$user"; then
            groupdel "$group"
            exit 1
        fi
    fi
    ;;
remove)
    if [[ -n $user ]] && id -u "$user" >/dev/null 2>&1; then
        if [[ $(getent passwd "$user" | cut -d: -f5) != "$mark" ]]; then
            echo "$0: $user is not an account of ours; left alone" >&2
            exit 1
        fi
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
