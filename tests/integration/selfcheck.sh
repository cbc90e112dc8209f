#!/usr/bin/env bash
# Checks the end-to-end harness itself: a router without faults must pass it, and one with
# any one kind of damage (a message lost or sent twice, a changed byte, dot-stuffing left
# in, long lines folded, trailing blanks dropped, the wrong envelope sender, the mailbox
# not emptied) must fail, with either sink. Ends with "selfcheck: N passed, N failed".
here=$(cd "$(dirname "$0")" && pwd)
passed=0 failed=0
for sink in aiosmtpd smtp-sink; do
  for fault in none drop-one twice-one flip-byte keep-stuffing fold-long strip-trailing \
    return-path-sender keep-mailbox; do
    want=FAIL
    [ "$fault" = none ] && want=PASS
    log=$(bash "$here/run.sh" --router "faulty:$fault" --count 12 --sink "$sink" 2>&1)
    if grep -q "): $want" <<<"$log"; then
      passed=$((passed + 1)); echo "ok    $want  $fault, $sink"
    else
      failed=$((failed + 1)); echo "WRONG (wanted $want)  $fault, $sink"; tail -n 25 <<<"$log" | sed 's/^/      /'
    fi
  done
done
echo "selfcheck: $passed passed, $failed failed"
((failed == 0))
