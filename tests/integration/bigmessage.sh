#!/usr/bin/env bash
# Memory check of the built vessamo on one big message (200 MB unless told), against the real
# servers of scripts/realservers.sh (Dovecot and Postfix's smtp-sink). Two routing runs,
# each its own process under GNU time:
#  1. receiving: the message comes in over POP3 while the SMTP server is away, so it stays
#     queued. Peak RSS must stay under 40 MB + 1x the message.
#  2. forwarding: the queued message goes out (the mailbox is empty now). Forwarding
#     streams the message from its file in blocks, so its peak must stay under 40 MB
#     whatever the message's size.
# Then the sink must hold the message byte for byte.
#
#   tests/integration/bigmessage.sh [--vessamo BINARY] [--mb N]
#
# N defaults to $VESSAMO_BIG_MB, else 200.
# Prints the figures and one PASS or FAIL line; exit status 1 on FAIL. Run it on a quiet
# machine: it takes about a minute for 200 MB.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"
binary=$root/build/vessamo mb=${VESSAMO_BIG_MB:-200}
while (($# > 1)); do
  case "$1" in
  --vessamo) binary=$(realpath "$2") ;;
  --mb) mb=$2 ;;
  *) break ;;
  esac
  shift 2
done
(($# == 0)) || { echo "bigmessage.sh: unknown argument $1" >&2; exit 2; }
rcpt=box-owner@example.org
fixed_kb=$((40 * 1024))

fail() { echo "vessamo big message: FAIL ($*)"; exit 1; }
rs_install || fail "packages could not be installed"
dir=$(mktemp -d /tmp/vessamo-big.XXXXXX)
trap 'vessamo_stop "$dir" >/dev/null 2>&1; rs_stop "$dir"; rm -rf "$dir"' EXIT
rs_start "$dir" smtp-sink >/dev/null || fail "the servers did not start"
rs_seed "$dir" 1 $((mb << 20)) dots || fail "the message could not be seeded"
size_kb=$(($(find "$dir/expected" -type f -printf '%s') / 1024))

# The configuration of the run, with the SMTP server at PORT.
configure() { # PORT
  sed -i "s/^SMTP_PORT=.*/SMTP_PORT=$1/" "$dir/env"
  vessamo_prepare "$dir" "$rcpt" "$binary" || fail "vessamo could not be configured"
}
# One routing run under GNU time, until DONE (a command) is true; prints the peak RSS in KB.
measured_run() { # DONE
  local i
  vessamo_start "$dir" "$binary" "$dir/time.txt" || fail "vessamo did not start"
  vessamo_trigger "$dir"
  for ((i = 0; i < 6000; i++)); do
    "$1" && break
    kill -0 "$(cat "$dir/vessamo/pid")" 2>/dev/null || fail "vessamo ended during the run"
    sleep 0.1
  done
  ((i < 6000)) || fail "the run did not end within 10 minutes"
  vessamo_stop "$dir" || fail "vessamo's exit status after SIGTERM was not 0"
  awk '{ print $4 }' "$dir/time.txt"
}
# Received: the mailbox is empty, the message queued, and its five attempts to reach the
# absent SMTP server are over.
received() {
  (($(rs_mailbox_count "$dir") == 0)) && (($(vsm_count "$dir/vessamo/Cua" '*.missatge') == 1)) &&
    (($(grep -c 'Enviant' "$dir/vessamo/events.log") >= 5))
}
forwarded() { vessamo_run_ended "$dir" 1; }

smtp_port=$(sed -n 's/^SMTP_PORT=//p' "$dir/env")
configure "$(rs_free_port)"
receive_kb=$(measured_run received) || { echo "$receive_kb"; exit 1; }
configure "$smtp_port"
: >"$dir/vessamo/events.log"
forward_kb=$(measured_run forwarded) || { echo "$forward_kb"; exit 1; }
[[ $forward_kb =~ ^[0-9]+$ && $receive_kb =~ ^[0-9]+$ ]] || fail "no figures"
(($(vsm_count "$dir/vessamo/SiEnviats" '*.missatge') == 1)) || fail "the message was not sent"
sleep 1 # smtp-sink writes the last message as its session ends
rs_check "$dir" --sender from --rcpt "$rcpt" --quiet || fail "the sink does not hold the message exactly"

echo "vessamo, one ${mb} MB message: peak RSS receiving ${receive_kb} KB" \
  "(limit $((fixed_kb + size_kb)) KB: 40 MB + the message), forwarding ${forward_kb} KB" \
  "(limit ${fixed_kb} KB: flat)"
((receive_kb <= fixed_kb + size_kb)) || fail "receiving took more than 40 MB + the message"
((forward_kb <= fixed_kb)) || fail "forwarding is not flat in the message's size"
echo "vessamo big message: PASS"
