#!/usr/bin/env bash
# CPU at full line rate: Talven's real window, and two other serial terminals in hex view for
# comparison, each fed 1,920 bytes a second (19,200 baud's maximum) by the module simulator through
# a pseudo-terminal, handed over in pieces of 1, 14, 32 and 4,096 bytes, and with the port open
# and no data. Each program runs alone on an Xvfb display; its CPU time (utime + stime from
# /proc/PID/stat) and the X server's are read over the measuring interval, after a warm-up.
#
#   bench/linerate.sh [--seconds N] [--warm-up N] [--rounds N] [--quick] [--no-peers]
#                     [--pieces "1 14 32 4096"] [--programs "talven cutecom gtkterm printer qtreader"]
#                     [--cpu N | --no-pin] [--build-dir DIR]
#
#   --seconds N   measuring interval per run (default 60)
#   --warm-up N   seconds between opening the port and the first reading (default 5)
#   --rounds N    measure every row of every program N times (default 1); a row's programs take
#                 turns, so that each round compares them under the same conditions. With more than
#                 one round a cell shows the median and, in parentheses, the lowest and highest.
#   --quick       10-second runs after a 3-second warm-up, to see that it all works
#   --no-peers    Talven only
#   --cpu N       the CPU that the feed, the program and the X server are all kept on (default: the
#                 last one)
#   --no-pin      let the scheduler place them
#
# Why one CPU: on a virtual machine, waking a program whose virtual CPU is idle costs the host a
# switch back into that CPU, and the guest charges the time to the program woken. A bare hex
# printer fed 14-byte pieces took 0.3-0.7 % of a core with the feed on its own CPU and 5.6-10 %
# with it on the other one, in consecutive runs; unpinned, a row measured whichever the scheduler
# chose. On one CPU every program pays the same wake-ups, and only its own work differs.
#
# The programs under test:
#   Talven   bench/linerate_window.cpp: the real MainWindow, its port name pointed at the device
#            (the tests' redirect), port and rate picked and "打开串口" clicked as a user does;
#            then only its own event loop runs.
#   CuteCom  a session in its settings file (~/.config/CuteCom/CuteCom5.conf, in a scratch home)
#            names the device at 19200 8N1; "Hex output" (Alt+X) and "Open" (Alt+O) are pressed
#            with xdotool. On a pseudo-terminal it reports "Inappropriate ioctl for device" (it sets
#            the modem lines, which a pseudo-terminal lacks) in a box that is left open: the port
#            stays open and the view keeps running behind it; dismissing the box closes the port.
#   GTKTerm  --port DEVICE --speed 19200, then View > Hexadecimal (Alt+V, H) with xdotool. On a
#            pseudo-terminal it closes the port at once (udev knows no such device, and reading
#            the modem lines fails with ENOTTY); bench/pty-shim.c, preloaded, gives it the answers
#            of a serial device without those lines. If it still does not keep the port open, the
#            table says so instead of a figure.
#   printer  bench/hexprinter.py, no window: poll, read, hex to /dev/null. The floor of the same
#            feed on the same machine in the same run: what the wake-ups alone cost.
#   qtreader bench/qtreader.cpp, no window: a QSerialPort read on every readyRead, through glib's
#            event loop like the window's. The floor of Qt's own reading: what the window takes
#            beyond it is the window's work.
# Peers are best-effort: a peer that cannot be driven is reported, not a failure.
#
# Then, for Talven, the latency from bytes written to the line to the paint of the receive box that
# shows their hex, for each piece size over the same interval (talven-linerate-window --latency:
# the window's process writes the line itself, so the write times are its own clock's).
#
# The machine should be otherwise idle: the figures are shares of one core.
set -euo pipefail
cd "$(dirname "$0")/.."

# install_build_packages and the other shared shell functions.
source tools/lib.sh

seconds=60
warmup=5
peers=1
rounds=1
pieces="1 14 32 4096"
build=build-bench
chosen=
cpu=$(($(nproc) - 1))
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --warm-up) warmup=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --quick) seconds=10; warmup=3; shift ;;
    --no-peers) peers=0; shift ;;
    --cpu) cpu=$2; shift 2 ;;
    --no-pin) cpu=; shift ;;
    --programs) chosen=$2; shift 2 ;;
    --pieces) pieces=$2; shift 2 ;;
    --build-dir) build=$2; shift 2 ;;
    -h | --help) sed -n '2,54p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "linerate.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done

[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "linerate.sh: --rounds takes a whole number from 1" >&2; exit 2; }
programs=(talven)
[ "$peers" -eq 0 ] || programs+=(cutecom gtkterm printer qtreader)
[ -z "$chosen" ] || read -r -a programs <<<"$chosen"
bench_packages=(xvfb xdotool)
for program in "${programs[@]}"; do
    case "$program" in
    talven) ;;
    cutecom) bench_packages+=(cutecom) ;;
    gtkterm) bench_packages+=(gtkterm gcc) ;; # gcc for the shim
    printer) bench_packages+=(python3) ;;
    qtreader) ;;
    *) echo "linerate.sh: no program \"$program\" (talven, cutecom, gtkterm, printer, qtreader)" >&2; exit 2 ;;
    esac
done
install_build_packages "${bench_packages[@]}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DBUILD_TESTING=OFF -DTALVEN_BENCH=ON
fi
cmake --build "$build" -j"$(nproc)" --target talven-linerate-window talven-qtreader talven-radiosim
window="$build/bench/talven-linerate-window"
qtreader="$build/bench/talven-qtreader"
# Every process of a row on the one CPU, or as the scheduler likes.
pin=()
[ -z "$cpu" ] || pin=(taskset -c "$cpu")
sim="$build/tools/radiosim/talven-radiosim"

work=$(mktemp -d)
mkdir -p -m 700 "$work/runtime"
# The processes of ours still running; each is cleared once stopped, so that a number the system
# has given to another process since is never signalled.
xvfb= sim_pid= prog_pid=
cleanup() {
    local p
    for p in $prog_pid $sim_pid $xvfb; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A display of our own.
display=
for n in $(seq 90 120); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
        display=$n
        break
    fi
done
[ -n "$display" ] || { echo "linerate.sh: no free X display number" >&2; exit 1; }
"${pin[@]}" Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
done
export DISPLAY=":$display" XDG_RUNTIME_DIR="$work/runtime" HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
mkdir -p "$XDG_CONFIG_HOME"

tick=$(getconf CLK_TCK)
# utime + stime of a process, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
holds_device() { ls -l "/proc/$1/fd" 2>/dev/null | grep -q -- "-> $2\$"; }
stop_program() {
    [ -z "$prog_pid" ] || { kill "$prog_pid" 2>/dev/null || true; wait "$prog_pid" 2>/dev/null || true; }
    prog_pid=
}
stop_line() {
    [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
    sim_pid=
}

# Starts the simulator for one row; sets $sim_pid and $device.
start_line() {
    local row=$1 args=(--baud 19200)
    # "idle" is a module that speaks only when spoken to: the port is open and no data comes.
    [ "$row" = idle ] || args+=(--stream --pace --piece "$row")
    "${pin[@]}" "$sim" "${args[@]}" >"$work/device" 2>"$work/simulator.log" &
    sim_pid=$!
    device=
    for _ in $(seq 50); do
        device=$(head -n 1 "$work/device" 2>/dev/null || true)
        [ -n "$device" ] && return 0
        sleep 0.1
    done
    echo "linerate.sh: the simulator printed no device" >&2
    cat "$work/simulator.log" >&2
    exit 1
}

# Waits up to 10 s for $prog_pid to print "open" (Talven's window and the hex printer do, once the
# port is open); otherwise sets $why to $1 and what the program printed, and returns 1.
said_open() {
    for _ in $(seq 100); do
        grep -q '^open$' "$work/program.log" && return 0
        kill -0 "$prog_pid" 2>/dev/null || break
        sleep 0.1
    done
    why="$1: $(tr '\n' ' ' <"$work/program.log")"
    return 1
}

# Starts one program on $device, driven into hex view with the port open; sets $prog_pid, or
# sets $why and returns 1.
start_program() {
    local program=$1 w
    case "$program" in
    talven)
        "${pin[@]}" "$window" --rate 19200 --seconds $((warmup + seconds + 5)) "$device" >"$work/program.log" 2>&1 &
        prog_pid=$!
        said_open "the window did not open the port"
        ;;
    cutecom)
        mkdir -p "$XDG_CONFIG_HOME/CuteCom"
        cat >"$XDG_CONFIG_HOME/CuteCom/CuteCom5.conf" <<EOF
[sessions]
1\\BaudRate=19200
1\\DataBits=8
1\\Device=$device
1\\FlowControl=0
1\\OpenMode=3
1\\Parity=0
1\\StopBits=1
1\\autoReconnect=false
1\\name=Default
1\\showCtrlCharacters=false
1\\showTimestamp=false
size=1
EOF
        "${pin[@]}" cutecom >"$work/program.log" 2>&1 &
        prog_pid=$!
        sleep 3
        w=$(xdotool search --onlyvisible --pid "$prog_pid" 2>/dev/null | head -n 1 || true)
        [ -n "$w" ] || { why="no CuteCom window came up"; return 1; }
        xdotool windowfocus --sync "$w" key alt+x
        sleep 0.3
        xdotool key alt+o
        sleep 1
        holds_device "$prog_pid" "$device" || { why="CuteCom did not open $device"; return 1; }
        ;;
    gtkterm)
        # Its first start would ask about a new configuration file in a box; a file is there.
        cat >"$XDG_CONFIG_HOME/.gtktermrc" <<EOF
[default]
port	= $device
speed	= 19200
bits	= 8
stopbits	= 1
parity	= none
flow	= none
EOF
        if [ ! -f "$work/pty-shim.so" ]; then
            cc -shared -fPIC -O2 -o "$work/pty-shim.so" bench/pty-shim.c -ldl ||
                { why="bench/pty-shim.c did not build"; return 1; }
        fi
        LD_PRELOAD="$work/pty-shim.so" "${pin[@]}" gtkterm --port "$device" --speed 19200 >"$work/program.log" 2>&1 &
        prog_pid=$!
        sleep 3
        w=$(xdotool search --onlyvisible --pid "$prog_pid" 2>/dev/null | tail -n 1 || true)
        [ -n "$w" ] || { why="no GTKTerm window came up"; return 1; }
        xdotool windowfocus --sync "$w" key alt+v
        sleep 0.3
        xdotool key h
        sleep 1
        holds_device "$prog_pid" "$device" ||
            { why="GTKTerm did not keep $device open: $(tr '\n' ' ' <"$work/program.log")"; return 1; }
        ;;
    printer)
        "${pin[@]}" python3 bench/hexprinter.py "$device" >"$work/program.log" 2>&1 &
        prog_pid=$!
        said_open "the hex printer did not open $device"
        ;;
    qtreader)
        "${pin[@]}" "$qtreader" "$device" >"$work/program.log" 2>&1 &
        prog_pid=$!
        said_open "the Qt reader did not open $device"
        ;;
    esac
}

# Each cell's shares, one per round, as percentages; a program that could not be driven is marked
# failed and left out of the rounds after.
declare -A samples xsamples failed
rows=($pieces idle)
notes=()
# A share of one core, from two tick counts and two times.
share() { awk -v a="$1" -v b="$2" -v t0="$3" -v t1="$4" -v hz="$tick" 'BEGIN { printf "%.2f", (b - a) / hz / (t1 - t0) * 100 }'; }
for round in $(seq "$rounds"); do
    for row in "${rows[@]}"; do
        for program in "${programs[@]}"; do
            [ -z "${failed[$program]:-}" ] || continue
            start_line "$row"
            if ! start_program "$program"; then
                notes+=("$program, $row, round $round: $why")
                stop_program
                stop_line
                # One failure to drive a peer is enough to know.
                [ "$program" = talven ] || failed[$program]=1
                continue
            fi
            sleep "$warmup"
            p0=$(cpu_ticks "$prog_pid")
            x0=$(cpu_ticks "$xvfb")
            t0=$(date +%s.%N)
            sleep "$seconds"
            p1=$(cpu_ticks "$prog_pid")
            x1=$(cpu_ticks "$xvfb")
            t1=$(date +%s.%N)
            if ! holds_device "$prog_pid" "$device"; then
                notes+=("$program, $row, round $round: the port was closed during the run")
            fi
            p=$(share "$p0" "$p1" "$t0" "$t1")
            x=$(share "$x0" "$x1" "$t0" "$t1")
            samples[$program,$row]+="$p "
            xsamples[$program,$row]+="$x "
            if [ "$program" = talven ]; then
                # It stops by itself and says what its counters show.
                wait "$prog_pid" 2>/dev/null || true
                prog_pid=
                notes+=("talven, $row, round $round: $(tail -n 1 "$work/program.log")")
            fi
            stop_program
            stop_line
            echo "round $round, $program, $row: $p % (X server $x %)" >&2
        done
    done
done

# A cell: "-" when not run, "n/a" when not measured, one share, or the median (lowest-highest).
cell() {
    local program=$1 values=$2
    if [ -z "$values" ]; then
        if [[ " ${programs[*]} " == *" $program "* ]]; then echo "n/a"; else echo "-"; fi
        return
    fi
    tr ' ' '\n' <<<"$values" | sed '/^$/d' | sort -g | awk '
        { v[NR] = $1 }
        END {
            if (NR == 1) { printf "%.2f %%", v[1]; exit }
            m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            printf "%.2f %% (%.2f-%.2f)", m, v[1], v[NR]
        }'
}
declare -A result xresult
for program in talven cutecom gtkterm printer qtreader; do
    for row in "${rows[@]}"; do
        result[$program,$row]=$(cell "$program" "${samples[$program,$row]:-}")
        xresult[$program,$row]=$(cell "$program" "${xsamples[$program,$row]:-}")
    done
done

echo
where="all on CPU $cpu"
[ -n "$cpu" ] || where="placed by the scheduler"
rounds_said=
[ "$rounds" -eq 1 ] || rounds_said=", $rounds rounds (median, lowest-highest)"
echo "CPU share of one core over $seconds s at 1,920 B/s (19,200 baud), Xvfb display, after a ${warmup}-s warm-up; feed, program and X server $where$rounds_said"
echo
header="| 1,920 B/s in pieces of | Talven | X server (Talven)"
rule="|---|---|---"
[ "$peers" -eq 0 ] || { header+=" | CuteCom (hex view) | X server (CuteCom) | GTKTerm (hex view) | X server (GTKTerm) | hex printer, no window | Qt reader, no window"; rule+="|---|---|---|---|---|---"; }
echo "$header |"
echo "$rule|"
for row in "${rows[@]}"; do
    label="$row bytes"
    [ "$row" = 1 ] && label="1 byte"
    [ "$row" = idle ] && label="port open, no data"
    line="| $label | ${result[talven,$row]} | ${xresult[talven,$row]}"
    [ "$peers" -eq 0 ] || line+=" | ${result[cutecom,$row]} | ${xresult[cutecom,$row]} | ${result[gtkterm,$row]} | ${xresult[gtkterm,$row]} | ${result[printer,$row]} | ${result[qtreader,$row]}"
    echo "$line |"
done
echo
for note in "${notes[@]}"; do
    echo "- $note"
done

if [[ " ${programs[*]} " == *" talven "* ]]; then
    echo
    for row in $pieces; do
        "${pin[@]}" "$window" --latency --piece "$row" --seconds "$seconds" 2>/dev/null | grep '^latency:' ||
            echo "latency, $row-byte pieces: the run failed"
    done
fi
