#!/usr/bin/env bash
# Sets up and builds Kettlebright, then runs the generator (build/default/bin/kettlebright).
# Without a DISPLAY it starts a virtual X server (Xvfb) with trayer as the
# system tray first, and stops both when the generator ends.
# What the simulated card shows is written to build/default/monitor.png, unless
# KB_AJASTUB_MONITOR / KB_DECKLINK_STUB_MONITOR are already set (empty: off).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
app=build/default/bin/kettlebright
if [ ! -x "$app" ]; then
    echo "run: $app was not built (the video-card back-ends in output/ are missing)" >&2
    exit 1
fi

monitor="$PWD/build/default/monitor.png"
export KB_AJASTUB_MONITOR="${KB_AJASTUB_MONITOR-$monitor}"
export KB_DECKLINK_STUB_MONITOR="${KB_DECKLINK_STUB_MONITOR-$monitor}"
if [ -n "$KB_AJASTUB_MONITOR$KB_DECKLINK_STUB_MONITOR" ]; then
    echo "run: the picture on the simulated card is written to ${KB_AJASTUB_MONITOR:-$KB_DECKLINK_STUB_MONITOR}"
fi

helpers=()
cleanup() {
    local i
    for ((i = ${#helpers[@]} - 1; i >= 0; i--)); do
        kill "${helpers[i]}" 2>/dev/null || true
        wait "${helpers[i]}" 2>/dev/null || true
    done
}
trap cleanup EXIT
# Ctrl-C or SIGTERM: before the generator runs, just stop (the EXIT trap cleans
# up); once it runs, pass the signal on so it shuts down in order.
pid=""
on_signal() {
    if [ -z "$pid" ]; then exit 143; fi
    kill -TERM "$pid" 2>/dev/null || true
}
trap on_signal INT TERM

if [ -z "${DISPLAY:-}" ]; then
    n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -nolisten tcp -screen 0 1280x800x24 >/dev/null 2>&1 &
    helpers+=($!)
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
    export DISPLAY=":$n"
    trayer >/dev/null 2>&1 &
    helpers+=($!)
    sleep 1 # let the tray take its selection before the generator looks for it
    echo "run: no DISPLAY; started Xvfb on $DISPLAY with trayer as the system tray"
fi

"$app" "$@" &
pid=$!
status=0
wait "$pid" || status=$?
# A signal to this script interrupts the first wait; collect the real status.
if [ "$status" -gt 128 ]; then
    status=0
    wait "$pid" || status=$?
fi
exit "$status"
