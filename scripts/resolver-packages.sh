#!/usr/bin/env bash
# Unpacks, without installing them, the resolvers the DNS backends' tests run inside
# namespaces of their own: systemd-resolved (with the libsystemd-shared it was built
# against when the installed one differs) and resolvconf, from Debian's archive.
# Installing either would take over the machine's /etc/resolv.conf.
#
#   resolver-packages.sh DIR
#
# DIR receives root/ (the packages' files, /sbin and /lib folded into /usr as on a
# merged-/usr system), systemd-shared/ (the library resolved needs, or empty when the
# installed one matches) and versions (what was unpacked). Run again, it does nothing
# while the archive offers the same versions. Run as root (apt-get download, dpkg-deb).
set -euo pipefail

dir=${1:?usage: resolver-packages.sh DIR}
[[ $(id -u) -eq 0 ]] || { echo "resolver-packages: run as root" >&2; exit 1; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

candidate() {
    apt-cache policy "$1" | sed -n 's/^ *Candidate: //p'
}

installed() {
    dpkg-query -W -f='${Version}' "$1" 2>/dev/null || true
}

resolved_version=$(candidate systemd-resolved)
resolvconf_version=$(candidate resolvconf)
if [[ -z $resolved_version || $resolved_version == "(none)" || -z $resolvconf_version \
    || $resolvconf_version == "(none)" ]]; then
    echo "resolver-packages: the archive offers no systemd-resolved or resolvconf (apt-get update?)" >&2
    exit 1
fi
wanted="systemd-resolved=$resolved_version resolvconf=$resolvconf_version libsystemd-shared-installed=$(installed libsystemd-shared)"
if [[ -f $dir/versions && $(cat "$dir/versions") == "$wanted" ]]; then
    exit 0
fi

work=$(mktemp -d "$dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt's download sandbox user must be able to write where it downloads.
chown _apt "$work" 2>/dev/null || true
(cd "$work" && apt-get download -q "systemd-resolved=$resolved_version" "resolvconf=$resolvconf_version" >/dev/null)

mkdir "$work/root"
dpkg-deb -x "$work"/systemd-resolved_*.deb "$work/root"
dpkg-deb -x "$work"/resolvconf_*.deb "$work/root"
# resolved's package links /sbin/resolvconf to resolvectl; resolvconf, unpacked after
# it, puts its own program there. Fold /sbin and /lib into /usr as the merged-/usr
# system has them.
for top in sbin lib; do
    if [[ -d $work/root/$top ]]; then
        mkdir -p "$work/root/usr/$top"
        cp -a "$work/root/$top/." "$work/root/usr/$top/"
        rm -rf "${work:?}/root/$top"
    fi
done

# resolved needs the libsystemd-shared of its own version exactly.
mkdir "$work/systemd-shared"
shared=$(dpkg-deb -f "$work"/systemd-resolved_*.deb Depends | tr ',' '\n' \
    | sed -n 's/^ *libsystemd-shared (= \(.*\))$/\1/p')
if [[ -n $shared && $shared != "$(installed libsystemd-shared)" ]]; then
    (cd "$work" && apt-get download -q "libsystemd-shared=$shared" >/dev/null)
    dpkg-deb -x "$work"/libsystemd-shared_*.deb "$work/shared-root"
    find "$work/shared-root" -name 'libsystemd-shared-*.so' -exec cp -a {} "$work/systemd-shared/" \;
    [[ -n $(ls "$work/systemd-shared") ]] || { echo "resolver-packages: no library in libsystemd-shared $shared" >&2; exit 1; }
fi

rm -rf "$dir/root" "$dir/systemd-shared"
mv "$work/root" "$dir/root"
mv "$work/systemd-shared" "$dir/systemd-shared"
echo "$wanted" >"$dir/versions"
echo "resolver-packages: unpacked systemd-resolved $resolved_version, resolvconf $resolvconf_version${shared:+ (libsystemd-shared $shared)} in $dir"
