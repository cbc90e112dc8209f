#!/usr/bin/env bash
# The main job on an embedded default: installs what is needed, builds, writes an example
# configuration, and runs Vessamo standalone and headless for a few routing-timer ticks.
# Shows a refused start (no SMTP server) and a normal run, with the event log of each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh build
vessamo="$root/build/vessamo"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Configuration file writer: little-endian 16-bit integers, texts with a 16-bit count.
int16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
text() { int16 "${#1}"; printf '%s' "$1"; }
write_config() { # file smtp-server
  {
    printf '\x02\x00\x00\x00'          # version 2
    int16 1                            # Interval: 1 tick
    text "$work/Cua/"; text "$work/NoEnviats/"; text "$work/SiEnviats/"
    int16 30                           # DiesArxiu
    text "$2"; int16 25                # ServidorSMTP, PortSMTP
    int16 0; text ""; text ""          # no SMTP authentication
    int16 1                            # NumBusties
    int16 0; text ""; text "$work/SPam/"; text "SPAM"
    text "127.0.0.1"; int16 110; text "ana"; text "secret"; text "ana@example.org"
  } >"$1"
}

export VESSAMO_EVENTLOG="$work/events.log"
export VESSAMO_MINUTE_MS=1000
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM NOTIFY_SOCKET || true

echo "== 1. A configuration without an SMTP server: the start is refused"
write_config "$work/vessamo.vsm" ""
set +e
VESSAMO_CONFIG="$work/vessamo.vsm" "$vessamo" /E
echo "exit status: $?"
set -e
echo "event log:"; sed 's/^/   /' "$VESSAMO_EVENTLOG"

echo
echo "== 2. A valid configuration: Vessamo /E, headless, one tick a second, interval 1"
: >"$VESSAMO_EVENTLOG"
write_config "$work/vessamo.vsm" "127.0.0.1"
VESSAMO_CONFIG="$work/vessamo.vsm" "$vessamo" /E &
pid=$!
sleep 2.5
echo "-- SIGUSR1 (read now)"
kill -USR1 "$pid"
sleep 0.5
echo "-- SIGTERM (stop)"
kill -TERM "$pid"
wait "$pid" && echo "exit status: 0"
echo "event log (empty when nothing failed):"; sed 's/^/   /' "$VESSAMO_EVENTLOG"
