#!/usr/bin/env bash
# End-to-end test against real servers: a private Dovecot POP3 mailbox seeded with
# messages that stress a router (lines that are just ".", lines starting with "." and
# "..", 998-octet lines, every 8-bit byte value, header-like body lines, a Return-Path
# address that differs from the From address) and an SMTP sink that keeps the exact bytes.
# One routing run must deliver every message exactly once and byte for byte, with the
# From address as envelope sender and the forward-to address as recipient, and leave the
# mailbox empty.
#
#   tests/integration/run.sh [--router vessamo|fetchmail|floor|faulty:FAULT] [--vessamo BINARY]
#                            [--sink aiosmtpd|smtp-sink] [--count N] [--size BYTES]
#                            [--timeout SECONDS] [--keep]
#
# Router vessamo (the default): "BINARY /E" (default build/vessamo) headless, one run
# started by SIGUSR1; its sent archive must also hold each message byte for byte, and
# its event log must stay empty. Router fetchmail checks the harness itself with a real
# peer (one poll, "no rewrite", "set invisible"); router floor with the two floor clients
# of the benchmark (POP3 retrieval into files, then one SMTP session per file); router faulty:FAULT with faultyrouter.py, which does
# one kind of damage on purpose (see selfcheck.sh). Prints one PASS or FAIL line; exit status 1 on FAIL.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=scripts/lib/vsmconfig.sh
source "$root/scripts/lib/vsmconfig.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"

router=vessamo binary=$root/build/vessamo sink=aiosmtpd count=50 size=3000 limit=120 keep=0
while (($#)); do
  case "$1" in
  --router) router=$2; shift 2 ;;
  --vessamo) binary=$(realpath "$2"); shift 2 ;;
  --sink) sink=$2; shift 2 ;;
  --count) count=$2; shift 2 ;;
  --size) size=$2; shift 2 ;;
  --timeout) limit=$2; shift 2 ;;
  --keep) keep=1; shift ;;
  *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
rcpt="box-owner@example.org"
failures=()
fail() { failures+=("$*"); echo "FAILED: $*"; }

rs_install || { echo "integration ($router): FAIL (packages could not be installed)"; exit 1; }
dir=$(mktemp -d /tmp/vessamo-it.XXXXXX)
cleanup() {
  if [ "$router" = vessamo ]; then vessamo_stop "$dir" >/dev/null 2>&1; fi
  rs_stop "$dir"
  if ((keep)); then echo "state kept in $dir"; else rm -rf "$dir"; fi
}
trap cleanup EXIT

echo "== servers"
rs_start "$dir" "$sink" || { echo "integration ($router): FAIL (servers did not start)"; exit 1; }
rs_seed "$dir" "$count" "$size" tricky || { echo "integration ($router): FAIL (seeding)"; exit 1; }
echo "seeded $count messages of about $size bytes; mailbox holds $(rs_mailbox_count "$dir")"

run_vessamo() {
  [ -x "$binary" ] || { fail "no Vessamo binary at $binary"; return; }
  vessamo_prepare "$dir" "$rcpt" || { fail "configuration not written"; return; }
  vessamo_start "$dir" "$binary" || { fail "Vessamo did not start"; return; }
  vessamo_trigger "$dir"
  local waited
  if waited=$(vessamo_wait "$dir" "$count" "$limit"); then
    echo "routing run ended after ${waited} s"
  else
    fail "the routing run did not end within $limit s ($(rs_sink_count "$dir") messages at the sink)"
  fi
  vessamo_stop "$dir" || fail "Vessamo's exit status was not 0 after SIGTERM"
  local v=$dir/vessamo
  echo "-- Vessamo standard output: $(wc -l <"$v/out.log") lines (last 5):"
  tail -n 5 "$v/out.log" | sed 's/^/   /'
  if [ -s "$v/events.log" ]; then
    fail "the event log is not empty:"
    head -n 20 "$v/events.log" | sed 's/^/   /'
  fi
  (($(vsm_count "$v/NoEnviats" '*.missatge') == 0)) || fail "pairs in the failed archive"
  echo "-- sent archive against the seeded messages"
  "$RS_PY" "$RS_HELPERS/mailcheck.py" files "$v/SiEnviats" "$dir/expected" --quiet ||
    fail "the sent archive does not hold every message byte for byte"
  echo "-- sink against the seeded messages"
  rs_check "$dir" --sender from --rcpt "$rcpt" || fail "the sink did not get every message once, byte for byte"
}

run_fetchmail() {
  router_fetchmail "$dir" "$rcpt" "$dir/fetchmail.time" || { fail "fetchmail did not run"; return; }
  echo "fetchmail: $(cut -d' ' -f1 "$dir/fetchmail.time") s"
  echo "-- what fetchmail changes (strict comparison, for the record):"
  rs_check "$dir" --sender from --rcpt "$rcpt" | sed 's/^/   /'
  echo "-- sink against the seeded messages, allowing what fetchmail is known to change"
  rs_check "$dir" --sender return-path --rcpt "$rcpt" --router-removes return-path ||
    fail "fetchmail's delivery differs from the seeded messages beyond its known changes"
}

run_floor() {
  router_floor_build "$dir/bin" || { fail "the floor clients do not build"; return; }
  router_floor "$dir" "$dir/floor" "$dir/bin" || { fail "the POP3 floor client failed"; return; }
  "$RS_PY" "$RS_HELPERS/mailcheck.py" files "$dir/floor" "$dir/expected" ||
    fail "the POP3 floor client's files differ from the seeded messages"
  router_smtpfloor "$dir" "$dir/floor" "$dir/bin" "$rcpt" || { fail "the SMTP floor client failed"; return; }
  rs_check "$dir" --sender any --rcpt "$rcpt" ||
    fail "the SMTP floor client's deliveries differ from the seeded messages"
}

run_faulty() { # FAULT
  # shellcheck disable=SC1091
  source "$dir/env"
  timeout 600 "$RS_PY" "$RS_HELPERS/faultyrouter.py" "$POP3_PORT" "$POP3_USER" "$POP3_PASS" \
    "$SMTP_PORT" "$rcpt" "$1" || { fail "the faulty router ended with an error"; return; }
  rs_check "$dir" --sender from --rcpt "$rcpt" || fail "the sink did not get every message once, byte for byte"
}

echo "== router: $router"
case "$router" in
vessamo) run_vessamo ;;
fetchmail) run_fetchmail ;;
floor) run_floor ;;
faulty:*) run_faulty "${router#faulty:}" ;;
*) echo "run.sh: unknown router $router" >&2; exit 2 ;;
esac

left=$(rs_mailbox_count "$dir")
((left == 0)) || fail "the mailbox still holds $left messages"

if ((${#failures[@]})); then
  echo "integration ($router, $count messages, $sink): FAIL (${#failures[@]} problems: ${failures[0]})"
  exit 1
fi
echo "integration ($router, $count messages, $sink): PASS"
