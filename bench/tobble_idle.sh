#!/usr/bin/env bash
# Resident memory and idle CPU of `tobble` with its panel closed, on a private X server (Xvfb) with
# a scratch home, so the user's own settings and session are never touched.
# Usage: bench/tobble_idle.sh [path/to/tobble]
# By default tobble runs the simulated demo, whose figure includes the simulated audio server
# mixing three tones in-process. TOBBLE_IDLE_AUDIO=real keeps the caller's XDG_RUNTIME_DIR, so
# tobble uses the PipeWire server found there and the figure is tobble's own.
set -euo pipefail

# The script runs itself again inside the X server: xvfb-run's shell does not pass on functions.
if [ "${1:-}" != "--inside-xvfb" ]; then
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" --inside-xvfb "$(realpath "${1:-build/release/shell/tobble}")"
fi
bin=$2
settle=${TOBBLE_IDLE_SETTLE_SECONDS:-5}
sample=${TOBBLE_IDLE_SAMPLE_SECONDS:-10}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch XDG_CONFIG_HOME=$scratch/config XDG_DATA_HOME=$scratch/data
export QT_QPA_PLATFORM=xcb
backend=${TOBBLE_IDLE_AUDIO:-sim}
if [ "$backend" = sim ]; then
    export XDG_RUNTIME_DIR=$scratch/run TOBBLE_AUDIO=sim
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
fi

measure() {
    "$bin" >"$scratch/tobble.log" 2>&1 &
    local pid=$!
    sleep "$settle"
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "tobble exited during start-up:" >&2
        cat "$scratch/tobble.log" >&2
        return 1
    fi
    # Fields 14 and 15 of /proc/PID/stat: user and system time in clock ticks.
    local before after ticks
    before=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    sleep "$sample"
    after=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    ticks=$(getconf CLK_TCK)
    local rss_kib threads
    rss_kib=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")
    kill -TERM "$pid"
    wait "$pid" || true
    awk -v audio="$backend" -v b="$before" -v a="$after" -v t="$ticks" -v s="$sample" -v r="$rss_kib" -v n="$threads" 'BEGIN {
        printf "tobble idle (%s audio, panel closed, %d s sample): CPU %.2f %% of one core, RSS %.1f MiB, %d threads\n",
               audio, s, (a - b) / t / s * 100, r / 1024, n }'
}

measure
