#!/usr/bin/env bash
# Builds Talven's Debian package and checks it, on Debian 12, as root or with sudo:
#   tools/package.sh            install what is missing, Release build (no tests) in build-package/,
#                               staged install, cpack -G DEB, check the .deb's fields and contents
#   tools/package.sh --install  the same, then install the .deb with apt-get, start the installed
#                               program (headless, and in a real X window that is asked to close),
#                               remove the package again and check that it is gone
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-package
stage_dir=$build_dir/stage

build_packages=(cmake g++ make qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev dpkg-dev desktop-file-utils)
# Only for --install: a virtual X server and a client library to ask the window to close.
run_packages=(xvfb python3 python3-xlib)

# The files the package must hold and the packages it must depend on.
expected_files=(
    ./usr/bin/talven
    ./usr/share/applications/talven.desktop
    ./usr/share/icons/hicolor/32x32/apps/talven.png
)
expected_depends=(libqt5widgets5 libqt5gui5 libqt5core5a libqt5serialport5 libc6 libstdc++6)
expected_font_depends=(fonts-noto-cjk fonts-arphic-uming fonts-arphic-ukai)

install_mode=false
case "${1:-}" in
"") ;;
--install) install_mode=true ;;
*)
    echo "usage: tools/package.sh [--install]" >&2
    exit 2
    ;;
esac

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
apt_get() { "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -y "$@" </dev/null; }

fail() {
    echo "package.sh: FAILED: $*" >&2
    exit 1
}

step() { echo "== $*"; }

# install_missing, shared with the other set-up scripts.
source tools/dev

# Width and height of a PNG file, from its IHDR chunk; empty if it is no PNG.
png_size() {
    local head
    head=$(od -An -tx1 -N24 -v "$1" | tr -d ' \n')
    [ "${head:0:16}" = 89504e470d0a1a0a ] || return 0
    echo "$((16#${head:32:8}))x$((16#${head:40:8}))"
}

# --- Build-time checks and the package ---------------------------------------------------------

step "Debian packages for building"
install_missing "${build_packages[@]}"

step "Desktop entry and icon sources"
desktop-file-validate packaging/talven.desktop || fail "packaging/talven.desktop does not validate"
[ "$(png_size packaging/talven.png)" = 32x32 ] || fail "packaging/talven.png is not a 32x32 PNG"
echo "packaging/talven.desktop validates; packaging/talven.png is a 32x32 PNG"

step "Release build in $build_dir/"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build_dir" -j"$(nproc)"

step "Staged install (cmake --install with DESTDIR=$stage_dir)"
rm -rf "$stage_dir"
DESTDIR="$PWD/$stage_dir" cmake --install "$build_dir"
for f in "${expected_files[@]}"; do
    [ -f "$stage_dir/${f#./}" ] || fail "staged install lacks ${f#.}"
done
[ -x "$stage_dir/usr/bin/talven" ] || fail "staged usr/bin/talven is not executable"
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
[ "$version" = "$project_version" ] || fail "Version is '$version', the project's is '$project_version'"
[ "$(basename "$deb")" = "talven_${version}_${arch}.deb" ] || fail "file name $(basename "$deb") is not talven_${version}_${arch}.deb"

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
grep -qE '^-rwxr-xr-x .*[[:space:]]\./usr/bin/talven$' <<<"$contents" || fail "usr/bin/talven is not mode 755"
outside=$(awk '{print $NF}' <<<"$contents" | grep -vE '^\./$|^\./usr/' || true)
[ -z "$outside" ] || fail "package installs outside /usr: $outside"
icon_tmp=$(mktemp)
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/icons/hicolor/32x32/apps/talven.png >"$icon_tmp"
icon_size=$(png_size "$icon_tmp")
rm -f "$icon_tmp"
[ "$icon_size" = 32x32 ] || fail "the packaged icon is not a 32x32 PNG"

dpkg-deb --field "$deb" Package Version Architecture Section Priority Installed-Size Maintainer Depends
echo "Files:"
awk '$1 !~ /^d/ {print "  " $NF}' <<<"$contents"
echo "OK: $deb: talven $version ($arch) holds usr/bin/talven, the desktop entry and the 32x32 icon;"
echo "    Depends names ${expected_depends[*]} ${expected_font_depends[*]}"

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
[ "$(command -v talven)" = /usr/bin/talven ] || fail "command -v talven gives '$(command -v talven || true)'"
for f in "${expected_files[@]}"; do
    [ -f "${f#.}" ] || fail "${f#.} is missing after the install"
done
desktop-file-validate /usr/share/applications/talven.desktop || fail "the installed desktop entry does not validate"
echo "installed: $(command -v talven), /usr/share/applications/talven.desktop, the hicolor icon"

talven_pid=
xvfb_pid=
cleanup() {
    if [ -n "$talven_pid" ]; then kill "$talven_pid" 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

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
