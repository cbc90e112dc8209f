#!/usr/bin/env bash
# End-to-end test against real servers: a private Dovecot POP3 mailbox seeded with
# messages that stress a router (lines that are just ".", lines starting with "." and
# "..", 998-octet lines, every 8-bit byte value, header-like body lines, a Return-Path
# address that differs from the From address) and an SMTP sink that keeps the exact bytes.
# One routing run of "BINARY /E" (started by SIGUSR1) must deliver every message exactly
# once and byte for byte, with the From address as envelope sender and the forward-to
# address as recipient, archive each one byte for byte, keep its event log empty and
# leave the mailbox empty. With --router faulty:FAULT, faultyrouter.py moves the mail
# instead, doing one kind of damage on purpose (see selfcheck.sh). With --tls 465 or 587,
# both halves run over TLS on the real ports (POP3 on 995, SMTP with AUTH required inside
# TLS) and a capture of the loopback traffic must show no password, command or mail in
# clear text.
#
#   tests/integration/run.sh [--vessamo BINARY] [--router faulty:FAULT] [--sink aiosmtpd|smtp-sink] [--count N] [--tls 465|587]
#
# Prints one PASS or FAIL line; exit status 1 on FAIL.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"

router=vessamo binary=$root/build/vessamo sink=aiosmtpd count=50 rcpt=box-owner@example.org failures=()
tls=
while (($# > 1)); do
  case "$1" in
  --router) router=$2 ;;
  --vessamo) binary=$(realpath "$2") ;;
  --sink) sink=$2 ;;
  --count) count=$2 ;;
  --tls) tls=$2 ;;
  *) break ;;
  esac
  shift 2
done
(($# == 0)) || { echo "run.sh: unknown argument $1" >&2; exit 2; }
fail() { failures+=("$*"); echo "FAILED: $*"; }

rs_install || { echo "integration ($router): FAIL (packages could not be installed)"; exit 1; }
dir=$(mktemp -d /tmp/vessamo-it.XXXXXX)
trap 'vessamo_stop "$dir" >/dev/null 2>&1; rs_stop "$dir"; rm -rf "$dir"' EXIT
if ! { rs_start "$dir" "$sink" $tls >/dev/null && rs_seed "$dir" "$count" 3000 tricky; }; then
  echo "integration ($router): FAIL (servers did not start or seeding failed)"; exit 1
fi
if [ -n "$tls" ] && ! rs_capture_start "$dir"; then
  echo "integration ($router, TLS): FAIL (no capture)"; exit 1
fi

v=$dir/vessamo
if [ "$router" != vessamo ]; then
  # shellcheck disable=SC1091
  source "$dir/env"
  timeout 600 "$RS_PY" "$RS_HELPERS/faultyrouter.py" "$POP3_PORT" "$POP3_USER" "$POP3_PASS" \
    "$SMTP_PORT" "$rcpt" "${router#faulty:}" || fail "the faulty router ended with an error"
elif ! { vessamo_prepare "$dir" "$rcpt" "$binary" && vessamo_start "$dir" "$binary"; }; then
  fail "Vessamo did not start (binary: $binary)"
else
  vessamo_trigger "$dir"
  if waited=$(vessamo_wait "$dir" "$count" 120); then
    echo "routing run ended after ${waited} s"
  else
    fail "the routing run did not end within 120 s ($(rs_sink_count "$dir") messages at the sink)"
  fi
  vessamo_stop "$dir" || fail "Vessamo's exit status was not 0 after SIGTERM"
  [ -s "$v/events.log" ] && fail "the event log is not empty: $(head -c 2000 "$v/events.log")"
  tail -n 3 "$v/out.log"
  (($(vsm_count "$v/NoEnviats" '*.missatge') == 0)) || fail "pairs in the failed archive"
  "$RS_PY" "$RS_HELPERS/mailcheck.py" files "$v/SiEnviats" "$dir/expected" ||
    fail "the sent archive does not hold every message byte for byte"
fi
rs_check "$dir" --sender from --rcpt "$rcpt" || fail "the sink did not get every message once, byte for byte"
[ -z "$tls" ] || rs_capture_check "$dir" || fail "something crossed the wire in clear text"
left=$(rs_mailbox_count "$dir")
((left == 0)) || fail "the mailbox still holds $left messages"

if ((${#failures[@]})); then
  echo "integration ($router, $count messages, $sink${tls:+, TLS on 995 and $tls}): FAIL (${#failures[@]} problems: ${failures[0]})"
  exit 1
fi
echo "integration ($router, $count messages, $sink${tls:+, TLS on 995 and $tls}): PASS"
