#!/usr/bin/env bash
# Soak test: Talven's window in a long auto-send link test against the module simulator in echo
# mode, headless, with memory, CPU time and the counters sampled as it runs.
#
#   tools/soak.sh [--build-dir DIR] [--simulator 'OPTIONS'] [--cpu N | --no-pin] [--minutes N | --seconds N]
#                 [other talven-soak options]
#
# As root on a fresh Debian 12 it first installs what is missing (the packages tools/dev installs)
# and builds the two programs it needs in DIR (default build). --simulator gives the far end's
# options (default --echo; its --baud follows talven-soak's --rate unless given). Every other option
# goes to talven-soak (`talven-soak --help`). Exits 0 when the run passes, 1 when it fails.
# The simulator and the window are kept on one CPU (--cpu N, default the last one; --no-pin leaves
# them to the scheduler): on a virtual machine, a wake-up across CPUs costs many times what it does
# on one, and the CPU figure would measure where the scheduler put the two (see bench/linerate.sh).
# Full line rate in 1-byte pieces for half an hour:
#   tools/soak.sh --simulator '--stream --pace --piece 1' --rate 19200 --listen --minutes 30 --max-cpu 4
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/lib.sh

build=build
cpu=$(($(nproc) - 1))
simulator_args=(--echo)
soak_args=()
while [ $# -gt 0 ]; do
    case "$1" in
    --build-dir)
        [ $# -ge 2 ] || { echo "soak.sh: --build-dir needs a directory" >&2; exit 2; }
        build=$2
        shift 2
        ;;
    --build-dir=*)
        build=${1#--build-dir=}
        shift
        ;;
    --simulator)
        [ $# -ge 2 ] || { echo "soak.sh: --simulator needs its options" >&2; exit 2; }
        read -r -a simulator_args <<<"$2"
        shift 2
        ;;
    --cpu)
        [ $# -ge 2 ] || { echo "soak.sh: --cpu needs a CPU number" >&2; exit 2; }
        cpu=$2
        shift 2
        ;;
    --no-pin)
        cpu=
        shift
        ;;
    -h | --help)
        sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        soak_args+=("$1")
        shift
        ;;
    esac
done

install_build_packages

# A new build directory skips the tests; an existing one keeps its own settings. Building the two
# targets every time is quick when they are up to date, and never runs a stale binary.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DBUILD_TESTING=OFF
fi
cmake --build "$build" -j"$(nproc)" --target talven-soak talven-radiosim
soak="$build/tools/talven-soak"
sim="$build/tools/radiosim/talven-radiosim"

work=$(mktemp -d)
sim_pid=
stop_simulator() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap stop_simulator EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The far end runs at the rate the window picks, unless told otherwise.
rate=9600
for ((i = 0; i < ${#soak_args[@]}; i++)); do
    case "${soak_args[i]}" in
    --rate) rate=${soak_args[i + 1]:-$rate} ;;
    --rate=*) rate=${soak_args[i]#--rate=} ;;
    esac
done
[[ " ${simulator_args[*]} " == *" --baud "* ]] || simulator_args+=(--baud "$rate")

pin=()
[ -z "$cpu" ] || pin=(taskset -c "$cpu")
"${pin[@]}" "$sim" "${simulator_args[@]}" >"$work/device" 2>"$work/simulator.log" &
sim_pid=$!

# The simulator prints the device to open alone on its first line.
device=
for _ in $(seq 100); do
    device=$(head -n 1 "$work/device" 2>/dev/null || true)
    [ -n "$device" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "soak.sh: the simulator did not start:" >&2
        cat "$work/simulator.log" >&2
        exit 1
    fi
    sleep 0.1
done
if [ -z "$device" ]; then
    echo "soak.sh: the simulator printed no device" >&2
    exit 1
fi

# Offscreen needs no display; a runtime directory of its own keeps Qt from complaining about it.
mkdir -p -m 700 "$work/runtime"
status=0
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime" "${pin[@]}" "$soak" "${soak_args[@]}" "$device" || status=$?

if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "soak.sh: the simulator stopped during the run:" >&2
    cat "$work/simulator.log" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
