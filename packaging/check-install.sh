#!/usr/bin/env bash
# Installs the build into a private staging directory (DESTDIR) and checks the layout:
# the application and its serial tools in one bin directory, the menu entry valid and
# naming an installed icon. Usage: check-install.sh BUILD_DIR BINDIR DATADIR
set -euo pipefail

build=$1
bindir=$2
datadir=$3
prefix=/opt/corrivo2-check

stage=$(mktemp -d "${TMPDIR:-/tmp}/corrivo-install.XXXXXX")
trap 'rm -rf "$stage"' EXIT

fail() {
    echo "install_layout: $*" >&2
    exit 1
}

DESTDIR=$stage cmake --install "$build" --prefix "$prefix" >"$stage.log" 2>&1 || {
    cat "$stage.log" >&2
    rm -f "$stage.log"
    fail "cmake --install failed"
}
rm -f "$stage.log"
root=$stage$prefix

for program in corrivo2 setupc com2tcp; do
    [[ -x $root/$bindir/$program ]] || fail "$bindir/$program missing or not executable"
done
[[ -x $root/libexec/corrivo2/corrivo2-helper ]] || fail "libexec/corrivo2/corrivo2-helper missing or not executable"
for unit in corrivo2-helper.socket corrivo2-helper.service; do
    [[ -f $root/lib/systemd/system/$unit ]] || fail "lib/systemd/system/$unit missing"
done
grep -qx "ExecStart=$prefix/libexec/corrivo2/corrivo2-helper --runtime-dir /run/corrivo2-helper" \
    "$root/lib/systemd/system/corrivo2-helper.service" || fail "the service does not start the installed helper"
[[ -f $root/lib/sysusers.d/corrivo2.conf ]] || fail "lib/sysusers.d/corrivo2.conf missing"
desktop=$root/$datadir/applications/corrivo2.desktop
icon=$root/$datadir/icons/hicolor/512x512/apps/corrivo2.png
[[ -f $desktop ]] || fail "$datadir/applications/corrivo2.desktop missing"
[[ -f $icon ]] || fail "$datadir/icons/hicolor/512x512/apps/corrivo2.png missing"
[[ $(head -c 8 "$icon" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] || fail "the icon is not a PNG"

grep -qx 'Exec=corrivo2' "$desktop" || fail "the entry does not start corrivo2"
grep -qx 'Icon=corrivo2' "$desktop" || fail "the entry does not name the installed icon"
if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate refused the entry"
else
    echo "install_layout: desktop-file-validate not available, entry not validated"
fi

# Only what belongs to the application is installed: no simulator, no test programs.
unexpected=$(find "$root/$bindir" -type f ! -name corrivo2 ! -name setupc ! -name com2tcp)
[[ -z $unexpected ]] || fail "unexpected files installed: $unexpected"
echo "install_layout: $(find "$root" -type f | wc -l) files installed under $prefix"
