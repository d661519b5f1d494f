# shellcheck shell=bash
# Sourced by scripts that take down what one run of the application made.
#
#   remove_marked_pairs NAME=VALUE UID SETUPC-COMMAND...
#
# Removes the virtual serial port pairs that the run marked NAME=VALUE made, and no
# others. The run gives the application the marker in its environment; setupc keeps it
# in the detached holder of each pair it makes, so the pairs whose holder carries it are
# the run's, and a pair of the same directory made by anyone else (the user's own
# Corrivo 2, another run) stays. Only holders of the user UID count: the marker is no
# secret, and another local user could start a process that carries it and names a
# pair of ours. SETUPC-COMMAND runs setupc so that it sees the run's serial port
# directory; "list" and "remove N" are added to it.
remove_marked_pairs() {
    local marker=$1 owner=$2
    shift 2
    [[ $marker == ?*=?* && $owner =~ ^[0-9]+$ ]] && (($# > 0)) || return 2
    # The A ends of the marked holders, read from /proc, which only the kernel writes.
    # A holder's command line is that of its setupc: install PortName=A PortName=B.
    local -A ours=()
    local process
    local -a args
    for process in /proc/[0-9]*; do
        [[ $(stat -c %u "$process" 2>/dev/null) == "$owner" ]] || continue
        args=()
        mapfile -d '' -t args 2>/dev/null <"$process/cmdline" || continue
        ((${#args[@]} == 4)) || continue
        [[ ${args[1]} == install && ${args[2]} == PortName=?* ]] || continue
        grep -qzxF -- "$marker" "$process/environ" 2>/dev/null || continue
        ours[${args[2]#PortName=}]=1
    done
    ((${#ours[@]})) || return 0
    local pair name _
    while read -r pair name _; do
        [[ $pair =~ ^CNCA([0-9]+)$ && $name == PortName=?* ]] || continue
        [[ -n ${ours[${name#PortName=}]:-} ]] || continue
        "$@" remove "${BASH_REMATCH[1]}" >/dev/null 2>&1 || true
    done < <("$@" list 2>/dev/null || true)
}
