#!/usr/bin/env bash
# The main job on an embedded default, end to end: installs what is needed, builds,
# starts a private Dovecot POP3 server with a mailbox of sample messages and Postfix's
# smtp-sink on loopback ports of their own, configures it with "vessamo /C --apply" as an
# administrator without a display would, runs "vessamo /E"
# headless, triggers one routing run with SIGUSR1, and shows what arrived at the SMTP
# server, the archive folders and the event log. A refused start is shown first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh build
vessamo="$root/build/vessamo"

# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"

rs_install
work=$(mktemp -d /tmp/vessamo-demo.XXXXXX)
cleanup() {
  vessamo_stop "$work" >/dev/null 2>&1 || true
  rs_stop "$work" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM NOTIFY_SOCKET || true
count=5
rcpt="ana@example.org"

echo "== 1. Refusals: /C will not save a configuration without an SMTP server, and /E will"
echo "   not start without a configuration"
mkdir -p "$work/refused"
set +e
printf 'mailbox.1.server = 127.0.0.1\nmailbox.1.user = ana\nmailbox.1.password = secret\n' |
  VESSAMO_CONFIG="$work/refused/vessamo.vsm" "$vessamo" /C --apply -
echo "exit status: $?"
VESSAMO_CONFIG="$work/refused/vessamo.vsm" VESSAMO_EVENTLOG="$work/refused/events.log" "$vessamo" /E
echo "exit status: $?"
set -e
echo "event log:"
sed 's/^/   /' "$work/refused/events.log"

echo
echo "== 2. Servers: Dovecot POP3 with $count sample messages, smtp-sink"
rs_start "$work" smtp-sink
rs_seed "$work" "$count" 2000 tricky
echo "mailbox holds $(rs_mailbox_count "$work") messages"

echo
echo "== 3. vessamo /E, headless; SIGUSR1 starts a routing run"
vessamo_prepare "$work" "$rcpt" "$vessamo"
vessamo_start "$work" "$vessamo"
vessamo_trigger "$work"
if waited=$(vessamo_wait "$work" "$count" 60); then
  echo "the run ended after $waited s"
else
  echo "the run did not end within 60 s"
fi
vessamo_stop "$work" && echo "SIGTERM: exit status 0"
v=$work/vessamo
echo "-- what the run printed (status lines, one per line):"
sed 's/^/   /' "$v/out.log"

echo
echo "== 4. Results"
echo "-- messages at the SMTP server (envelope from the sink's own record):"
grep -h -E '^X-(Mail|Rcpt)-Args:' "$work"/sink/* 2>/dev/null | sed 's/^/   /' | head -n $((2 * count))
echo "-- archive folders:"
for f in Cua SiEnviats NoEnviats SPam; do
  printf '   %-10s %s pairs\n' "$f" "$(vsm_count "$v/$f" '*.missatge')"
done
echo "-- POP3 mailbox after the run: $(rs_mailbox_count "$work") messages"
echo "-- event log (empty when nothing failed):"
sed 's/^/   /' "$v/events.log"
echo "-- byte-for-byte check of the delivered messages:"
rs_check "$work" --sender from --rcpt "$rcpt" | sed 's/^/   /'
