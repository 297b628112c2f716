#!/usr/bin/env bash
# Builds Talven's Debian package and checks it, on Debian 12, as root or with sudo:
#   tools/package.sh [--maintainer "Name <address>"]
#       install what is missing, Release build with Debian's hardening flags (no tests) in
#       build-package/, staged install, cpack -G DEB, then check the .deb: its fields and files,
#       the hardening of both programs, lintian, the AppStream metadata and the desktop entry
#   tools/package.sh --install [--maintainer ...]
#       the same, then install the .deb with apt-get, start the installed programs (Talven headless
#       and in a real X window that is asked to close; the module simulator answering a read),
#       remove the package again and check that it is gone
# Without --maintainer the package names the local-build maintainer of cmake/packaging.cmake, and
# the one lintian complaint allowed is about that address; with a real one there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh

build_dir=build-package
stage_dir=$build_dir/stage

# The tools that build the package (CPack finds the programs' libraries with file and
# dpkg-shlibdeps) and those that check it.
package_tools=(dpkg-dev file binutils desktop-file-utils lintian appstream)
# Only for --install: a virtual X server and a client library to ask the window to close.
run_packages=(xvfb python3 python3-xlib)

# The files the package must hold and the packages it must depend on.
app_id=org.talven.Talven
programs=(./usr/bin/talven ./usr/bin/talven-radiosim)
expected_files=(
    "${programs[@]}"
    "./usr/share/applications/$app_id.desktop"
    ./usr/share/icons/hicolor/32x32/apps/talven.png
    "./usr/share/metainfo/$app_id.metainfo.xml"
    ./usr/share/man/man1/talven.1.gz
    ./usr/share/man/man1/talven-radiosim.1.gz
    ./usr/share/doc/talven/copyright
    ./usr/share/doc/talven/changelog.Debian.gz
)
expected_depends=(libqt5widgets5 libqt5gui5 libqt5core5a libqt5serialport5 libc6 libstdc++6)
expected_font_depends=(fonts-noto-cjk fonts-arphic-uming fonts-arphic-ukai)

install_mode=false
maintainer=
usage() {
    echo 'usage: tools/package.sh [--install] [--maintainer "Name <address>"]' >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case "$1" in
    --install) install_mode=true ;;
    --maintainer)
        [ $# -ge 2 ] || usage
        maintainer=$2
        shift
        ;;
    --maintainer=*) maintainer=${1#--maintainer=} ;;
    *) usage ;;
    esac
    shift
done

# Width and height of a PNG file, from its IHDR chunk; empty if it is no PNG.
png_size() {
    local head
    head=$(od -An -tx1 -N24 -v "$1" | tr -d ' \n')
    [ "${head:0:16}" = 89504e470d0a1a0a ] || return 0
    echo "$((16#${head:32:8}))x$((16#${head:40:8}))"
}

# Fails unless the ELF program $1 is built the way Debian hardens its own: a position-independent
# executable, relocations read-only after start-up and bound at once (full RELRO), the stack
# protector, and stripped of symbols and of the compiler's notes. _FORTIFY_SOURCE only shows where
# the compiler could check a libc call's buffer (__*_chk); the build's flags are checked for it.
check_hardening() {
    local f=$1 name=$2 headers dynamic symbols sections fortified
    headers=$(readelf --wide --file-header --program-headers "$f")
    dynamic=$(readelf --wide --dynamic "$f")
    symbols=$(readelf --wide --dyn-syms "$f")
    sections=$(readelf --wide --section-headers "$f")
    grep -qE 'Type:[[:space:]]+DYN' <<<"$headers" && grep -qE 'FLAGS_1.*PIE' <<<"$dynamic" ||
        fail "$name is not a position-independent executable"
    grep -qw GNU_RELRO <<<"$headers" || fail "$name has no read-only relocations (GNU_RELRO)"
    grep -qE 'BIND_NOW|FLAGS.*[[:space:]]NOW' <<<"$dynamic" || fail "$name is not linked with -z now"
    grep -qw __stack_chk_fail <<<"$symbols" || fail "$name is built without the stack protector"
    ! grep -qE '\] \.(symtab|debug_info) ' <<<"$sections" || fail "$name is not stripped"
    ! grep -qE '\] \.comment ' <<<"$sections" || fail "$name still holds the .comment section"
    fortified=$(grep -oE '__[a-z0-9_]+_chk' <<<"$symbols" | { grep -vx __stack_chk || true; } | sort -u | tr '\n' ' ')
    echo "$name: PIE, full RELRO (-z now), stack protector, stripped; fortified calls: ${fortified:-none}"
}

# --- Build-time checks and the package ---------------------------------------------------------

step "Debian packages for building and checking"
install_build_packages "${package_tools[@]}"

step "Desktop entry and icon sources"
out=$(desktop-file-validate packaging/talven.desktop 2>&1) || fail "packaging/talven.desktop does not validate: $out"
[ -z "$out" ] || fail "desktop-file-validate has remarks on packaging/talven.desktop: $out"
[ "$(png_size packaging/talven.png)" = 32x32 ] || fail "packaging/talven.png is not a 32x32 PNG"
echo "packaging/talven.desktop validates without remarks; packaging/talven.png is a 32x32 PNG"

# The compiler and linker flags Debian's own packages are built with, bind-now included
# (hardening=+all); CMake reads no CPPFLAGS, so they go in with the compiler flags.
step "Release build in $build_dir/ with dpkg-buildflags' hardening flags"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
echo "CXXFLAGS: $cxxflags"
echo "LDFLAGS:  $ldflags"
for flag in -fstack-protector-strong -D_FORTIFY_SOURCE=2; do
    grep -qw -- "$flag" <<<"$cxxflags" || fail "dpkg-buildflags gives no $flag"
done
grep -q -- '-z,relro' <<<"$ldflags" && grep -q -- '-z,now' <<<"$ldflags" || fail "dpkg-buildflags gives no full RELRO"
if [ -n "$maintainer" ]; then
    maintainer_arg=("-DTALVEN_MAINTAINER=$maintainer")
else
    maintainer_arg=(-UTALVEN_MAINTAINER) # back to the default, whatever an earlier run passed
fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "${maintainer_arg[@]}"
cmake --build "$build_dir" -j"$(nproc)"
default_maintainer=$(sed -n 's/^set(TALVEN_MAINTAINER "\(.*\)"$/\1/p' cmake/packaging.cmake)
[ -n "$default_maintainer" ] || fail "no default TALVEN_MAINTAINER found in cmake/packaging.cmake"

step "Staged install (cmake --install --strip with DESTDIR=$stage_dir)"
rm -rf "$stage_dir"
DESTDIR="$PWD/$stage_dir" cmake --install "$build_dir" --strip
for f in "${expected_files[@]}"; do
    [ -f "$stage_dir/${f#./}" ] || fail "staged install lacks ${f#.}"
done
for f in "${programs[@]}"; do
    [ -x "$stage_dir/${f#./}" ] || fail "staged ${f#./} is not executable"
done
echo "staged install holds ${expected_files[*]#.}"

step "Debian package (cpack -G DEB)"
rm -f "$build_dir"/talven_*.deb
(cd "$build_dir" && cpack -G DEB)
debs=("$build_dir"/talven_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "expected one $build_dir/talven_*.deb, found: ${debs[*]}"
fi
deb=${debs[0]}

step "Checking $deb"
field() { dpkg-deb --field "$deb" "$1"; }
package=$(field Package)
version=$(field Version)
arch=$(field Architecture)
depends=$(field Depends)
[ "$package" = talven ] || fail "Package is '$package', not talven"
[ "$arch" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$arch', not $(dpkg --print-architecture)"
project_version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build_dir/CPackConfig.cmake")
revision=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_RELEASE "\(.*\)")$/\1/p' "$build_dir/CPackConfig.cmake")
[ "$version" = "$project_version-$revision" ] || fail "Version is '$version', the project's is '$project_version-$revision'"
[ "$(basename "$deb")" = "talven_${version}_${arch}.deb" ] || fail "file name $(basename "$deb") is not talven_${version}_${arch}.deb"
[ "$(field Maintainer)" = "${maintainer:-$default_maintainer}" ] || fail "Maintainer is '$(field Maintainer)'"

# Depends is a comma-separated list of items, each one package or alternatives joined by '|'.
# A required library may stand as one alternative (libqt5gui5 | libqt5gui5-gles); each font
# package must be an item of its own, the faces are not interchangeable. Versions are left out of
# the comparison.
depend_items=$(tr ',' '\n' <<<"$depends" | sed -E 's/\([^)]*\)//g; s/[[:space:]]+/ /g; s/^ //; s/ $//')
depend_alternatives=$(tr '|' '\n' <<<"$depend_items" | sed 's/^ //; s/ $//')
for p in "${expected_depends[@]}"; do
    grep -qxF "$p" <<<"$depend_alternatives" || fail "Depends lacks $p: $depends"
done
for p in "${expected_font_depends[@]}"; do
    grep -qxF "$p" <<<"$depend_items" || fail "Depends lacks $p: $depends"
done

contents=$(dpkg-deb --contents "$deb")
for f in "${expected_files[@]}"; do
    grep -qE "[[:space:]]${f//./\\.}\$" <<<"$contents" || fail "package lacks ${f#.}"
done
for f in "${programs[@]}"; do
    grep -qE "^-rwxr-xr-x .*[[:space:]]${f//./\\.}\$" <<<"$contents" || fail "${f#./} is not mode 755"
done
outside=$(awk '{print $NF}' <<<"$contents" | grep -vE '^\./$|^\./usr/' || true)
[ -z "$outside" ] || fail "package installs outside /usr: $outside"

unpacked=$build_dir/unpacked
rm -rf "$unpacked"
dpkg-deb -x "$deb" "$unpacked"
[ "$(png_size "$unpacked/usr/share/icons/hicolor/32x32/apps/talven.png")" = 32x32 ] ||
    fail "the packaged icon is not a 32x32 PNG"
for f in "${programs[@]}"; do
    check_hardening "$unpacked/${f#./}" "${f#./}"
done

step "desktop-file-validate (packaged desktop entry)"
out=$(desktop-file-validate "$unpacked/usr/share/applications/$app_id.desktop" 2>&1) ||
    fail "the packaged desktop entry does not validate: $out"
[ -z "$out" ] || fail "desktop-file-validate has remarks on the packaged desktop entry: $out"
echo "no remarks"

step "appstreamcli validate --no-net (packaged metainfo)"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "the AppStream metadata has errors or warnings"

# Errors and warnings fail the package; information tags are shown. The default maintainer's
# address is local on purpose, and lintian says so (bogus-mail-host): that one is expected.
step "lintian"
lintian_out=$(lintian --display-info "$deb" 2>&1) || true
echo "$lintian_out"
complaints=$(grep -E '^[EW]: ' <<<"$lintian_out" || true)
if [ -z "$maintainer" ]; then
    complaints=$(grep -vE '^E: talven: bogus-mail-host(-in-debian-changelog)? ' <<<"$complaints" || true)
fi
[ -z "$complaints" ] || fail "lintian reports errors or warnings:
$complaints"
if [ -z "$maintainer" ]; then
    echo "lintian: no error or warning but the local-build maintainer address"
else
    echo "lintian: no error or warning"
fi

dpkg-deb --field "$deb" Package Version Architecture Section Priority Installed-Size Maintainer Depends
echo "Files:"
awk '$1 !~ /^d/ {print "  " $NF}' <<<"$contents"
echo "OK: $deb: talven $version ($arch) holds ${programs[*]#./}, the desktop entry, icon, metainfo,"
echo "    manual pages, copyright and changelog; Depends names ${expected_depends[*]} and the fonts"

$install_mode || exit 0

# --- Installing, starting and removing the package -------------------------------------------

step "Debian packages for the run checks"
install_missing "${run_packages[@]}"

if dpkg-query -W -f='${Status}' talven 2>/dev/null | grep -q 'install ok installed'; then
    step "Removing the talven package that was already installed"
    apt_get remove talven
fi

step "apt-get install ./$deb"
apt_get install "./$deb"
dpkg-query -W -f='${Status}' talven | grep -q 'install ok installed' || fail "talven is not installed"
hash -r
for p in talven talven-radiosim; do
    [ "$(command -v $p)" = /usr/bin/$p ] || fail "command -v $p gives '$(command -v $p || true)'"
    [ "$(man -w $p 2>/dev/null)" = /usr/share/man/man1/$p.1.gz ] || fail "man finds no manual page for $p"
done
for f in "${expected_files[@]}"; do
    [ -f "${f#.}" ] || fail "${f#.} is missing after the install"
done
echo "installed: /usr/bin/talven and /usr/bin/talven-radiosim with their manual pages, the desktop entry,"
echo "the hicolor icon and the AppStream metadata"

talven_pid=
xvfb_pid=
sim_pid=
sim_dir=
cleanup() {
    if [ -n "$talven_pid" ]; then kill "$talven_pid" 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    if [ -n "$sim_dir" ]; then rm -rf "$sim_dir"; fi
}
trap cleanup EXIT

# What the README's "Try it without a module" starts: the installed simulator prints its device,
# and answers the read frame A6 6A there with its default parameters (channel 20, ID 1234).
step "Installed talven-radiosim answers a parameter read"
sim_dir=$(mktemp -d)
talven-radiosim >"$sim_dir/device" 2>"$sim_dir/log" </dev/null &
sim_pid=$!
device=
for _ in $(seq 50); do
    device=$(head -n 1 "$sim_dir/device" 2>/dev/null || true)
    [ -n "$device" ] && break
    sleep 0.1
done
[ -c "$device" ] || fail "talven-radiosim printed no device ('$device'): $(cat "$sim_dir/log")"
reply=$(/usr/bin/python3 - "$device" <<'PY'
import os, select, sys, termios, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
os.write(fd, bytes([0xA6, 0x6A]))
data = b""
while len(data) < 7 and select.select([fd], [], [], 5)[0]:
    data += os.read(fd, 64)
print(data.hex(" ").upper())
PY
)
case "$reply" in
"A6 14 "*" 04 D2") ;;
*) fail "talven-radiosim answered the read with '$reply'" ;;
esac
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=
echo "talven-radiosim on $device answered A6 6A with $reply"

# Headless: the offscreen platform has no window system that could ask the window to close, and
# the program reads no command line, so this start only shows that it comes up and stays up; it is
# then ended with SIGTERM, which a Qt program does not handle (status 143).
step "Headless start (QT_QPA_PLATFORM=offscreen)"
QT_QPA_PLATFORM=offscreen talven </dev/null &
talven_pid=$!
sleep 2
kill -0 "$talven_pid" 2>/dev/null || {
    status=0
    wait "$talven_pid" || status=$?
    talven_pid=
    fail "talven exited within 2 s of starting offscreen (status $status)"
}
kill -TERM "$talven_pid"
status=0
wait "$talven_pid" || status=$?
talven_pid=
[ "$status" -eq 143 ] || fail "offscreen talven ended with status $status on SIGTERM, expected 143"
echo "offscreen: still running after 2 s; ended by SIGTERM (status 143, the signal's default action)"

# On a real X server (Xvfb) the window is asked to close the way a window manager's close button
# does (WM_DELETE_WINDOW); the program must then leave its event loop and exit with status 0.
x_window() {
    /usr/bin/python3 - "$@" <<'PY'
import sys, time
from Xlib import X, display, error, protocol

action, pid, timeout = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
d = display.Display()
root = d.screen().root
NET_WM_PID = d.intern_atom("_NET_WM_PID")
NET_WM_NAME = d.intern_atom("_NET_WM_NAME")
UTF8 = d.intern_atom("UTF8_STRING")
WM_PROTOCOLS = d.intern_atom("WM_PROTOCOLS")
WM_DELETE_WINDOW = d.intern_atom("WM_DELETE_WINDOW")


def program_window():
    stack = [root]
    while stack:
        w = stack.pop()
        try:
            p = w.get_full_property(NET_WM_PID, X.AnyPropertyType)
            if (p and p.value[0] == pid and w.get_attributes().map_state == X.IsViewable
                    and WM_DELETE_WINDOW in (w.get_wm_protocols() or [])):
                return w
            stack.extend(w.query_tree().children)
        except error.BadWindow:
            pass
    return None


deadline = time.monotonic() + timeout
w = program_window()
while w is None and time.monotonic() < deadline:
    time.sleep(0.1)
    w = program_window()
if w is None:
    sys.exit("no mapped window of process %d within %g s" % (pid, timeout))
if action == "show":
    name = w.get_full_property(NET_WM_NAME, UTF8)
    title = name.value.decode() if name else w.get_wm_name()
    geo = w.get_geometry()
    print("window 0x%x, title %r, WM_CLASS %r, %dx%d" % (w.id, title, w.get_wm_class(), geo.width, geo.height))
elif action == "close":
    w.send_event(protocol.event.ClientMessage(window=w, client_type=WM_PROTOCOLS,
                                              data=(32, [WM_DELETE_WINDOW, X.CurrentTime, 0, 0, 0])),
                 event_mask=X.NoEventMask)
    d.flush()
    print("sent WM_DELETE_WINDOW to window 0x%x" % w.id)
PY
}

step "Start on Xvfb, then close the window"
display_no=99
while [ -e "/tmp/.X11-unix/X$display_no" ] || [ -e "/tmp/.X$display_no-lock" ]; do
    display_no=$((display_no + 1))
done
Xvfb ":$display_no" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display_no" ] && break
    sleep 0.1
done
[ -e "/tmp/.X11-unix/X$display_no" ] || fail "Xvfb did not start on :$display_no"
export DISPLAY=":$display_no"

QT_QPA_PLATFORM=xcb talven </dev/null &
talven_pid=$!
x_window show "$talven_pid" 15 || fail "talven showed no window on Xvfb"
sleep 2
kill -0 "$talven_pid" 2>/dev/null || fail "talven exited within 2 s of showing its window"
x_window close "$talven_pid" 5 || fail "could not ask the window to close"
for _ in $(seq 100); do
    kill -0 "$talven_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$talven_pid" 2>/dev/null && fail "talven still runs 10 s after its window was asked to close"
status=0
wait "$talven_pid" || status=$?
talven_pid=
[ "$status" -eq 0 ] || fail "talven exited with status $status after its window closed, expected 0"
echo "X11: window shown, still running after 2 s, closed on request, exit status 0"
kill "$xvfb_pid" 2>/dev/null || true
wait "$xvfb_pid" 2>/dev/null || true
xvfb_pid=

step "apt-get remove talven"
apt_get remove talven
dpkg-query -W -f='${Status}' talven 2>/dev/null | grep -q 'install ok installed' && fail "talven is still installed"
hash -r
command -v talven >/dev/null && fail "talven is still on the PATH: $(command -v talven)"
for f in "${expected_files[@]}"; do
    [ ! -e "${f#.}" ] || fail "${f#.} is still there after the removal"
done
echo "removed: no talven package, no talven on the PATH, no desktop entry, no icon"
echo "OK: installed $deb with apt-get, started it offscreen and on X11 (clean exit on window close), removed it"
