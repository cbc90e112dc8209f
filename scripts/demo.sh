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

# shellcheck source=scripts/lib/vsmconfig.sh
source "$root/scripts/lib/vsmconfig.sh"
write_config() { # file smtp-server
  # Interval 1 tick, 30 days of archives, SMTP port 25 without authentication, no spam
  # filter, one mailbox.
  vsm_write_config "$1" 1 "$work/Cua/" "$work/NoEnviats/" "$work/SiEnviats/" 30 \
    "$2" 25 0 "" "" 0 "" "$work/SPam/" "SPAM" \
    -- "127.0.0.1" 110 "ana" "secret" "ana@example.org"
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
