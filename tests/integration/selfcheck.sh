#!/usr/bin/env bash
# Checks the end-to-end harness itself: fetchmail (a real peer) and the floor clients must
# pass it, a router without faults must pass, and a router with any one kind of damage
# (a message lost or sent twice, a changed byte, dot-stuffing left in, long lines folded,
# trailing blanks dropped, the wrong envelope sender, the mailbox not emptied) must fail.
# Uses both sinks. Ends with the line "selfcheck: N passed, N failed".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
passed=0 failed=0

expect() { # PASS|FAIL ARGUMENTS...
  local want=$1 log got; shift
  log=$(mktemp)
  if bash "$here/run.sh" "$@" >"$log" 2>&1; then got=PASS; else got=FAIL; fi
  if [ "$got" = "$want" ] && grep -q "): $want" "$log"; then
    passed=$((passed + 1)); echo "ok    $want  $*"
  else
    failed=$((failed + 1)); echo "WRONG $got (wanted $want)  $*"; tail -n 25 "$log" | sed 's/^/      /'
  fi
  rm -f "$log"
}

expect PASS --router fetchmail
expect PASS --router fetchmail --sink smtp-sink
expect PASS --router floor
expect PASS --router faulty:none
expect PASS --router faulty:none --sink smtp-sink
for fault in drop-one twice-one flip-byte keep-stuffing fold-long strip-trailing \
  return-path-sender keep-mailbox; do
  expect FAIL --router "faulty:$fault" --count 12
done
expect FAIL --router faulty:keep-stuffing --count 12 --sink smtp-sink
echo "selfcheck: $passed passed, $failed failed"
((failed == 0))
