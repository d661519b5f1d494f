#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks it: the files it installs,
# its dependencies, its maintainer scripts (run against stand-in commands) and
# lintian's verdict (no errors). Usage: check-deb.sh BUILD_DIR
set -euo pipefail

build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/corrivo-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
    echo "package_deb: $*" >&2
    exit 1
}

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log" >&2
    fail "cpack -G DEB failed"
}
deb=$(find "$work/out" -maxdepth 1 -name 'corrivo2_*.deb' | head -n 1)
[[ -n $deb ]] || fail "no corrivo2_*.deb produced"
echo "package_deb: built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

field() {
    dpkg-deb -f "$deb" "$1"
}
[[ $(field Package) == corrivo2 ]] || fail "package name is $(field Package)"
[[ $(field Version) == 2.0.1 ]] || fail "version is $(field Version)"
depends=$(field Depends)
for dependency in openvpn adduser libqt6webenginewidgets6 libqt6network6 libc6; do
    grep -Eq "(^|, )$dependency( |,|$)" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done

dpkg-deb -c "$deb" | awk '{print $1, $6}' | sed 's|\./|/|' >"$work/contents"
expect() {
    local mode=$1 path=$2
    grep -qx -- "$mode $path" "$work/contents" || fail "missing $path with mode $mode"
}
expect -rwxr-xr-x /usr/bin/corrivo2
expect -rwxr-xr-x /usr/bin/setupc
expect -rwxr-xr-x /usr/bin/com2tcp
expect -rwxr-xr-x /usr/libexec/corrivo2/corrivo2-helper
expect -rw-r--r-- /usr/lib/systemd/system/corrivo2-helper.socket
expect -rw-r--r-- /usr/lib/systemd/system/corrivo2-helper.service
expect -rw-r--r-- /usr/lib/sysusers.d/corrivo2.conf
expect -rw-r--r-- /usr/share/applications/corrivo2.desktop
expect -rw-r--r-- /usr/share/icons/hicolor/512x512/apps/corrivo2.png
expect -rw-r--r-- /usr/share/doc/corrivo2/copyright
expect -rw-r--r-- /usr/share/doc/corrivo2/changelog.gz
# Nothing of the tests, the simulator or the lab, and nothing set-uid.
files=$(grep -c '^-' "$work/contents")
[[ $files -le 14 ]] || fail "unexpected files: $(grep '^-' "$work/contents" | tr '\n' ' ')"
! grep -Eq '^-..s|^-.....s' "$work/contents" || fail "a set-uid or set-gid file"

mkdir -p "$work/root" "$work/control"
dpkg-deb -x "$deb" "$work/root"
dpkg-deb -e "$deb" "$work/control"
grep -qx 'ExecStart=/usr/libexec/corrivo2/corrivo2-helper --runtime-dir /run/corrivo2-helper' \
    "$work/root/usr/lib/systemd/system/corrivo2-helper.service" || fail "the service does not run the installed helper"
grep -qx 'ListenStream=/run/corrivo2/helper.sock' "$work/root/usr/lib/systemd/system/corrivo2-helper.socket" ||
    fail "the socket unit listens elsewhere"
grep -qx 'g corrivo2 -' "$work/root/usr/lib/sysusers.d/corrivo2.conf" || fail "sysusers entry"
"$work/root/usr/libexec/corrivo2/corrivo2-helper" --version | grep -q 2.0.1 || fail "the packaged helper does not run"

# The maintainer scripts against stand-ins that record what they are asked to do.
for script in postinst prerm postrm; do
    [[ $(stat -c %a "$work/control/$script") == 755 ]] || fail "$script is not 0755"
    sh -n "$work/control/$script" || fail "$script does not parse"
done
stubs=$work/stubs
mkdir -p "$stubs"
for command in getent addgroup systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n[ "%s" != getent ]\n' "$command" "$work" "$command" \
        >"$stubs/$command"
    chmod +x "$stubs/$command"
done
PATH=$stubs /bin/sh "$work/control/postinst" configure || fail "postinst configure failed"
grep -qx 'getent group corrivo2' "$work/calls" || fail "postinst does not look for the group"
grep -qx 'addgroup --system corrivo2' "$work/calls" || fail "postinst does not create the group: $(cat "$work/calls")"
grep -q 'systemctl enable corrivo2-helper.socket' "$work/control/postinst" || fail "postinst does not enable the socket"
: >"$work/calls"
printf '#!/bin/sh\necho "getent $*" >>"%s/calls"\n' "$work" >"$stubs/getent"
PATH=$stubs /bin/sh "$work/control/postinst" configure || fail "postinst configure (group present) failed"
! grep -q addgroup "$work/calls" || fail "postinst creates a group that exists"
PATH=$stubs /bin/sh "$work/control/prerm" remove || fail "prerm remove failed"
PATH=$stubs /bin/sh "$work/control/postrm" remove || fail "postrm remove failed"

# lintian: errors fail the package; warnings are listed.
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || {
    cat "$work/lintian.log" >&2
    fail "lintian found errors"
}
echo "package_deb: lintian: $(grep -c '^E:' "$work/lintian.log" || true) errors, $(grep -c '^W:' "$work/lintian.log" || true) warnings"
sed 's/^/package_deb:   /' "$work/lintian.log"
echo "package_deb: ok"
