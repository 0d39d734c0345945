#!/usr/bin/env bash
# The round trip of `tobblectl volume APP 30%` as a whole process (start, two bus calls, exit),
# against a running `tobble` on the simulated audio system, offscreen, on a private session bus
# with a scratch home.
# Usage: bench/tobblectl_roundtrip.sh [build/release]   (TOBBLECTL_RUNS, 100 by default)
set -euo pipefail
build=$(realpath "${1:-build/release}")
runs=${TOBBLECTL_RUNS:-100}

scratch=$(mktemp -d)
bus_pid=""
tobble_pid=""
cleanup() {
    [ -n "$tobble_pid" ] && kill -TERM "$tobble_pid" 2>/dev/null && wait "$tobble_pid" || true
    [ -n "$bus_pid" ] && kill -TERM "$bus_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
export HOME=$scratch XDG_CONFIG_HOME=$scratch/config XDG_DATA_HOME=$scratch/data
export XDG_RUNTIME_DIR=$scratch/run QT_QPA_PLATFORM=offscreen TOBBLE_AUDIO=sim
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/Tobble" && chmod 700 "$XDG_RUNTIME_DIR"
printf '[General]\nonboardingCompleted=bool:true\n' >"$XDG_CONFIG_HOME/Tobble/Tobble.ini"

dbus-daemon --session --fork --print-address=1 --print-pid=3 1>"$scratch/bus" 3>"$scratch/bus.pid" 2>/dev/null
DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$scratch/bus")
export DBUS_SESSION_BUS_ADDRESS
bus_pid=$(cat "$scratch/bus.pid")

"$build/shell/tobble" >"$scratch/tobble.log" 2>&1 &
tobble_pid=$!
ctl=$build/tools/tobblectl/tobblectl
for _ in $(seq 100); do
    "$ctl" volume music >/dev/null 2>&1 && break
    sleep 0.1
done
"$ctl" volume music >/dev/null || { cat "$scratch/tobble.log" >&2; exit 1; }

# Wall time and CPU time (user + system) of each run; the same for /bin/true, the cost of
# starting any process on this machine right now (a busy machine inflates both).
measure() {
    local TIMEFORMAT='%3R %3U %3S'
    for _ in $(seq "$runs"); do
        { time "$@" >/dev/null; } 2>&1
    done | awk '{ print $1 * 1000, ($2 + $3) * 1000 }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] }'; }
summary() {
    local file=$scratch/times
    cat >"$file"
    printf '%s (%d runs): median %s ms, min %s ms; median CPU time %s ms\n' "$1" "$runs" \
        "$(cut -d' ' -f1 "$file" | median)" "$(cut -d' ' -f1 "$file" | sort -n | head -n1)" \
        "$(cut -d' ' -f2 "$file" | median)"
}
measure "$ctl" volume music 30% | summary "tobblectl volume music 30% round trip (goal < 20 ms)"
measure /bin/true | summary "  baseline, /bin/true"
