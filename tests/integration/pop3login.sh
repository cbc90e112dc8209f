#!/usr/bin/env bash
# The POP3 session's logins against a real Dovecot (scripts/realservers.sh offers PLAIN,
# LOGIN, CRAM-MD5, SCRAM-SHA-1, SCRAM-SHA-256 and APOP in clear text): each method with the
# right password, then a wrong one, through the session's own code
# (tests/routing/test_pop3_dovecot.cpp, built as routing_dovecot_test). Dovecot delays each
# refused login, longer after each refusal from one address: this takes about a minute.
#
#   tests/integration/pop3login.sh [--test BINARY]
#
# Prints one PASS or FAIL line; exit status 1 on FAIL.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
binary=$root/build/tests/routing/routing_dovecot_test
while (($# > 1)); do
  case "$1" in
  --test) binary=$(realpath "$2") ;;
  *) break ;;
  esac
  shift 2
done
(($# == 0)) || { echo "pop3login.sh: unknown argument $1" >&2; exit 2; }

rs_install || { echo "POP3 logins against Dovecot: FAIL (packages could not be installed)"; exit 1; }
dir=$(mktemp -d /tmp/vessamo-pop3login.XXXXXX)
trap 'rs_stop "$dir"; rm -rf "$dir"' EXIT
if ! { rs_start "$dir" >/dev/null && rs_seed "$dir" 3 2000 plain; }; then
  echo "POP3 logins against Dovecot: FAIL (Dovecot did not start or seeding failed)"; exit 1
fi
# shellcheck disable=SC1091
if (source "$dir/env" && export HOST POP3_PORT POP3_USER POP3_PASS && SEEDED=3 timeout 300 "$binary"); then
  echo "POP3 logins against Dovecot: PASS"
else
  echo "POP3 logins against Dovecot: FAIL (Dovecot's log: $dir/dovecot.log)"
  tail -n 20 "$dir/dovecot.log"
  exit 1
fi
