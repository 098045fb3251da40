#!/usr/bin/env bash
# Installs a built tree into a staging folder and checks what a user's system
# would get: the files in place, the desktop entry and AppStream metadata as
# the validators see them, compressed manual pages, then the two Debian
# packages made by CPack (tavrel-run, headless, and tavrel, the windows): their
# fields and dependencies, that together they hold exactly the staged files
# and share none, the maintainer scripts, that the stripped programs still
# start, and lintian.
#
# Usage: check_packaging.sh SOURCE_DIR BUILD_DIR   (after the build)
set -uo pipefail

src=$(cd "${1:?source dir}" && pwd)
build=$(cd "${2:?build dir}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
ok() { echo "ok - $*"; passed=$((passed + 1)); }
bad() { echo "FAIL - $*"; failed=$((failed + 1)); }
check() { # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

for tool in cmake cpack desktop-file-validate appstreamcli dpkg-deb dpkg-shlibdeps lintian file gzip man; do
    command -v "$tool" >/dev/null || { bad "tool $tool is missing (scripts/deps.sh installs it)"; }
done
[ "$failed" -eq 0 ] || finish

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { bad "project version found in $build/CMakeCache.txt"; finish; }
arch=$(dpkg --print-architecture)

# ---- staged install ----
stage=$work/stage
if DESTDIR=$stage cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    ok "cmake --install into a staging folder"
else
    cat "$work/install.log"; bad "cmake --install into a staging folder"; finish
fi
root=$stage/usr

expected=(
    bin/tavrel
    bin/tavrel-run
    lib/udev/rules.d/60-tavrel-adapter.rules
    share/applications/tavrel.desktop
    share/metainfo/io.github.tavrel.Tavrel.metainfo.xml
    share/icons/hicolor/scalable/apps/tavrel.svg
    share/man/man1/tavrel.1.gz
    share/doc/tavrel/copyright
    share/doc/tavrel/changelog.gz
    share/doc/tavrel-run/copyright
    share/doc/tavrel-run/changelog.gz
)
sizes=(16 32 48 64 128 256)
for s in "${sizes[@]}"; do expected+=("share/icons/hicolor/${s}x${s}/apps/tavrel.png"); done
# The runner's page is written separately: once it is in the sources, it must be installed.
[ -f "$src/packaging/tavrel-run.1" ] && expected+=(share/man/man1/tavrel-run.1.gz)
for f in "${expected[@]}"; do
    check "installed: /usr/$f" test -f "$root/$f"
done
for p in tavrel tavrel-run; do
    check "/usr/bin/$p is an executable program" \
        bash -c '[ -x "$1" ] && file -b "$1" | grep -q "^ELF"' _ "$root/bin/$p"
done

# Each icon must be drawn at the size its folder promises, or the theme
# scales the wrong one.
for s in "${sizes[@]}"; do
    check "icon ${s}x${s} is a ${s} x ${s} PNG" \
        bash -c 'file -b "$1" | grep -q "^PNG image data, $2 x $2,"' _ \
        "$root/share/icons/hicolor/${s}x${s}/apps/tavrel.png" "$s"
done
check "scalable icon is SVG" bash -c 'file -b "$1" | grep -qi "svg"' _ "$root/share/icons/hicolor/scalable/apps/tavrel.svg"

# ---- desktop entry ----
desktop=$root/share/applications/tavrel.desktop
# Hints count too: a missing main category, for one, only gives a hint, yet
# hides the entry from menus that file programs by main category.
desktop-file-validate "$desktop" >"$work/dfv.log" 2>&1
if [ $? -eq 0 ] && [ ! -s "$work/dfv.log" ]; then ok "desktop-file-validate accepts tavrel.desktop without remark"
else cat "$work/dfv.log"; bad "desktop-file-validate accepts tavrel.desktop without remark"; fi
field() { sed -n "s/^$1=//p" "$desktop" | head -n1; }
exec_cmd=$(field Exec); exec_cmd=${exec_cmd%% *}
check "desktop Exec ($exec_cmd) is an installed program" test -x "$root/bin/$exec_cmd"
icon=$(field Icon)
check "desktop Icon ($icon) is in the hicolor theme" test -f "$root/share/icons/hicolor/48x48/apps/$icon.png"
check "desktop entry opens no terminal" test "$(field Terminal)" = false
check "desktop entry is listed under Photography" bash -c 'grep -q "^Categories=.*Photography;" "$1"' _ "$desktop"
check "desktop entry has a French generic name" bash -c 'grep -q "^GenericName\[fr\]=." "$1"' _ "$desktop"

# ---- AppStream metadata ----
meta=$root/share/metainfo/io.github.tavrel.Tavrel.metainfo.xml
if appstreamcli validate --no-net "$meta" >"$work/as.log" 2>&1; then
    ok "appstreamcli validate --no-net accepts the metainfo"
else
    cat "$work/as.log"; bad "appstreamcli validate --no-net accepts the metainfo"
fi
check "metainfo id matches its file name" grep -q "<id>io.github.tavrel.Tavrel</id>" "$meta"
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$meta")
check "metainfo launches the installed desktop entry ($launchable)" test -f "$root/share/applications/$launchable"
check "metainfo has a French summary" grep -q '<summary xml:lang="fr">' "$meta"

# ---- manual pages and changelog ----
# gzip -n leaves out the name and time stamp: flag byte (offset 3) without
# FNAME (8), and a zero time (offsets 4-7), so two builds give the same bytes.
reproducible_gz() {
    gzip -t "$1" || return 1
    local head; head=$(od -An -tx1 -N8 "$1" | tr -d ' \n')
    [ "${head:6:2}" = 00 ] && [ "${head:8:8}" = 00000000 ]
}
for gz in "$root"/share/man/man1/*.1.gz "$root"/share/doc/*/changelog.gz; do
    [ -f "$gz" ] || continue
    check "${gz#"$stage"} is gzip without name or time stamp" reproducible_gz "$gz"
done
for page in "$root"/share/man/man1/*.1.gz; do
    [ -f "$page" ] || continue
    name=$(basename "$page" .1.gz)
    check "man page $name is the packaging/$name.1 source" \
        bash -c 'gzip -dc "$1" | cmp -s - "$2"' _ "$page" "$src/packaging/$name.1"
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null 2>"$work/man.log"
    if [ ! -s "$work/man.log" ]; then ok "man page $name formats without warnings"; else
        cat "$work/man.log"; bad "man page $name formats without warnings"; fi
done

# ---- udev rule ----
rule=$root/lib/udev/rules.d/60-tavrel-adapter.rules
check "udev rule gives the seat user the FT232R (0403:6001)" \
    grep -Eq 'ATTR\{idVendor\}=="0403".*ATTR\{idProduct\}=="6001".*TAG\+="uaccess"' "$rule"
# uaccess is applied by 73-seat-late.rules: a rule sorted after it comes too late.
check "udev rule sorts before 73-seat-late" bash -c '[[ "$(basename "$1")" < "73-seat-late.rules" ]]' _ "$rule"

check "staged tavrel starts and reports its version" \
    bash -c 'QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$2" "$1" --version 2>/dev/null | grep -q "^tavrel [0-9]"' _ \
    "$root/bin/tavrel" "$work/config"

# The headless runner must not need the display libraries.
check "tavrel-run links no Qt Gui or Widgets library" \
    bash -c '! ldd "$1" | grep -Eq "libQt6(Gui|Widgets)"' _ "$build/tavrel-run"

# ---- Debian packages ----
pkgdir=$work/pkg
if cpack -G DEB --config "$build/CPackConfig.cmake" -B "$pkgdir" >"$work/cpack.log" 2>&1; then
    ok "cpack -G DEB"
else
    cat "$work/cpack.log"; bad "cpack -G DEB"; finish
fi
gui=$pkgdir/tavrel_${version}_${arch}.deb
run=$pkgdir/tavrel-run_${version}_${arch}.deb
for deb in "$gui" "$run"; do
    check "package file $(basename "$deb")" test -f "$deb"
    [ -f "$deb" ] || finish
done

debfield() { dpkg-deb --field "$1" "$2"; }
# The package names of a Depends line, without versions.
names() { tr "," "\n" <<<"$1" | sed 's/^ *//; s/ .*//'; }
export -f names
for deb in "$gui" "$run"; do
    dpkg-deb --info "$deb"
    name=$(basename "$deb"); name=${name%%_*}
    check "$name: Package is $name" test "$(debfield "$deb" Package)" = "$name"
    check "$name: Version is $version" test "$(debfield "$deb" Version)" = "$version"
    check "$name: Architecture is $arch" test "$(debfield "$deb" Architecture)" = "$arch"
    check "$name: Maintainer is set" test -n "$(debfield "$deb" Maintainer)"
done
check "tavrel: Section is graphics" test "$(debfield "$gui" Section)" = graphics
gui_depends=$(debfield "$gui" Depends)
run_depends=$(debfield "$run" Depends)
check "tavrel depends on tavrel-run of the same version" \
    bash -c 'tr "," "\n" <<<"$1" | grep -Eq "^ *tavrel-run \(= $2\)"' _ "$gui_depends" "$version"
for d in libqt6widgets6 libqt6gui6 libqt6core6 fonts-liberation qt6-translations-l10n libc6; do
    check "tavrel: Depends names $d" bash -c 'names "$1" | grep -qx "$2"' _ "$gui_depends" "$d"
done
check "tavrel: Recommends rtkit" bash -c 'names "$1" | grep -qx rtkit' _ "$(debfield "$gui" Recommends)"
for d in libqt6core6 libqt6dbus6 libqt6network6 libqt6httpserver6 libqt6websockets6 libqrencode4 libftdi1-2 libnova-0.16-0 libc6; do
    check "tavrel-run: Depends names $d" bash -c 'names "$1" | grep -qx "$2"' _ "$run_depends" "$d"
done
for d in libqt6widgets6 libqt6gui6 fonts-liberation; do
    check "tavrel-run: Depends leaves out $d" bash -c '! names "$1" | grep -qx "$2"' _ "$run_depends" "$d"
done

# Together the packages hold exactly what cmake --install puts in place, each
# file in one package only (so both install side by side), all owned by root,
# programs 755 and everything else 644.
: >"$work/contents"
for deb in "$gui" "$run"; do dpkg-deb --contents "$deb" >>"$work/contents"; done
awk '$1 !~ /^d/ {print $6}' "$work/contents" | sed 's:^\./::' | sort >"$work/in-deb"
(cd "$stage" && find . -type f -o -type l) | sed 's:^\./::' | sort >"$work/staged"
if diff -u "$work/staged" "$work/in-deb"; then ok "the packages hold exactly the staged files, none twice"
else bad "the packages hold exactly the staged files, none twice"; fi
check "the runner's package holds the runner, its manual page and the udev rule" bash -c '
    dpkg-deb --contents "$1" | grep -q "/usr/bin/tavrel-run$" &&
    dpkg-deb --contents "$1" | grep -q "/man1/tavrel-run.1.gz$" &&
    dpkg-deb --contents "$1" | grep -q "/rules.d/60-tavrel-adapter.rules$"' _ "$run"
check "every packaged file is root/root" bash -c '! awk "\$2 != \"root/root\"" "$1" | grep -q .' _ "$work/contents"
check "programs are 0755, other files 0644, folders 0755" bash -c '
    awk '\''{ mode=$1; path=$6
        if (mode ~ /^d/) { if (mode != "drwxr-xr-x") { print; bad=1 } }
        else if (path ~ /^\.\/usr\/bin\//) { if (mode != "-rwxr-xr-x") { print; bad=1 } }
        else if (mode != "-rw-r--r--") { print; bad=1 } }
        END { exit bad }'\'' "$1"' _ "$work/contents"

# Maintainer scripts: the package with the udev rule has them, executable,
# valid sh, and they must never make the install fail where udev cannot be
# reached (chroots, containers), even when udevadm is there but fails.
ctrl=$work/control
dpkg-deb --control "$run" "$ctrl"
check "md5sums is in the control archive" test -s "$ctrl/md5sums"
for s in postinst postrm; do
    check "$s is an executable sh script" bash -c '[ -x "$1" ] && head -n1 "$1" | grep -q "^#!/bin/sh" && sh -n "$1"' _ "$ctrl/$s"
done
mkdir -p "$work/stub"
printf '#!/bin/sh\necho "$@" >>"%s/udevadm.calls"\nexit 1\n' "$work" >"$work/stub/udevadm"
chmod 755 "$work/stub/udevadm"
check "postinst configure succeeds with a failing udevadm" env PATH="$work/stub:$PATH" sh -e "$ctrl/postinst" configure
check "postrm remove succeeds with a failing udevadm" env PATH="$work/stub:$PATH" sh -e "$ctrl/postrm" remove
if [ -d /run/udev ]; then
    check "postinst asks udev to reload its rules and re-trigger FTDI chips" \
        bash -c 'grep -q "^control --reload-rules" "$1" && grep -q "^trigger .*idVendor=0403" "$1"' _ "$work/udevadm.calls"
else
    check "postinst leaves udevadm alone where udev is not running" test ! -e "$work/udevadm.calls"
fi

# The packaged programs are stripped copies: they must still start.
unpacked=$work/unpacked
for deb in "$gui" "$run"; do dpkg-deb -x "$deb" "$unpacked"; done
for p in tavrel tavrel-run; do
    check "packaged $p is stripped" bash -c 'file -b "$1" | grep -q ", stripped"' _ "$unpacked/usr/bin/$p"
    check "packaged $p starts and reports the package's version, $version" \
        bash -c 'test "$("$1" --version 2>/dev/null)" = "$2 $3"' _ "$unpacked/usr/bin/$p" "$p" "$version"
done

# ---- lintian: errors fail, warnings are shown ----
lintian --fail-on error --info "$gui" "$run" >"$work/lintian.log" 2>&1
status=$?
grep -v '^N:' "$work/lintian.log" | grep -v 'running with root privileges' || true
if [ "$status" -eq 0 ]; then ok "lintian reports no error"; else bad "lintian reports no error (exit $status)"; fi

finish
