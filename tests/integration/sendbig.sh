#!/usr/bin/env bash
# End to end for vessamo-send: a message with a 20 MB attachment through a real SMTP server
# (the aiosmtpd sink of scripts/realservers.sh, which keeps the exact DATA bytes). The
# received message must parse with Python's email package and give the attachment back
# byte for byte. Peak memory (maximum resident set, /usr/bin/time -v) may exceed that of
# a one-byte attachment by at most 40 MB: the file is streamed, never loaded. The CPU time
# is printed beside the elapsed time: the waits sleep, only the encoding costs.
# Then a 100 MB body, from standard input and from --body FILE, against a one-line body:
# the same 40 MB bound (the body is spooled or read in pieces, never held whole), and the
# body must come back line for line (long lines folded).
#
#   tests/integration/sendbig.sh [--send BINARY] [--mb N] [--body-mb N]
#
# Prints the figures and one PASS or FAIL line; exit status 1 on FAIL.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
send=$root/build/vessamo-send mb=20 body_mb=100
while (($# > 1)); do
  case "$1" in
  --send) send=$(realpath "$2") ;;
  --mb) mb=$2 ;;
  --body-mb) body_mb=$2 ;;
  *) break ;;
  esac
  shift 2
done
(($# == 0)) || { echo "sendbig.sh: unknown argument $1" >&2; exit 2; }

rs_install || { echo "vessamo-send end to end: FAIL (packages could not be installed)"; exit 1; }
dir=$(mktemp -d /tmp/vessamo-send.XXXXXX)
trap 'rs_stop "$dir"; rm -rf "$dir"' EXIT
rs_start "$dir" aiosmtpd >/dev/null || { echo "vessamo-send end to end: FAIL (no server)"; exit 1; }
# shellcheck disable=SC1091
source "$dir/env"
head -c $((mb << 20)) /dev/urandom >"$dir/big.bin"
head -c 1 /dev/urandom >"$dir/small.bin"
echo "Twenty megabytes, streamed." >"$dir/line.txt"

# One run under /usr/bin/time -v, standard input from BODY: prints "RSS_KB CPU_SECONDS
# ELAPSED_SECONDS".
measured() { # BODY ARGUMENT...
  local t=$dir/time.txt body=$1
  shift
  /usr/bin/time -v -o "$t" "$send" --config "$dir/none.vsm" --server 127.0.0.1 \
    --port "$SMTP_PORT" -f ana@example.org "$@" joan@example.net <"$body" \
    2>"$dir/status.txt" || { cat "$dir/status.txt" >&2; return 1; }
  awk -F': ' '/Maximum resident set size/ {rss=$2} /User time/ {u=$2} /System time/ {s=$2}
    /Elapsed \(wall clock\)/ {n=split($2, p, ":"); e=0; for (i=1;i<=n;i++) e=e*60+p[i]}
    END {printf "%d %.2f %.2f\n", rss, u+s, e}' "$t"
}
measured_send() { # ATTACHMENT
  measured "$dir/line.txt" -s "Big file" -a "$1"
}
# Waits until the sink holds COUNT messages; prints the newest.
newest() { # COUNT
  for ((i = 0; i < 600 && $(find "$SINK_DIR" -name '*.eml' | wc -l) < $1; i++)); do sleep 0.1; done
  find "$SINK_DIR" -name '*.eml' | sort | tail -n 1
}

fail() { echo "vessamo-send end to end: FAIL ($*)"; exit 1; }
read -r base_rss _ _ < <(measured_send "$dir/small.bin") || fail "the small message was not sent"
read -r big_rss cpu elapsed < <(measured_send "$dir/big.bin") || fail "the big message was not sent"
last=$(newest 2)
[ -n "$last" ] || fail "nothing reached the server"

"$RS_PY" - "$last" "$dir/big.bin" <<'EOF' || fail "the received message does not give the file back"
import email, email.policy, sys
msg = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=email.policy.default)
parts = [p for p in msg.walk() if p.get_filename() == "big.bin"]
defects = [d for p in msg.walk() for d in p.defects]
assert not defects, defects
assert len(parts) == 1, "no single big.bin part"
assert parts[0].get_payload(decode=True) == open(sys.argv[2], "rb").read(), "bytes differ"
EOF

extra=$((big_rss - base_rss))
limit=$((40 * 1024 + 4 * 16))
echo "vessamo-send, ${mb} MB attachment: peak RSS ${big_rss} KB (one-byte attachment: ${base_rss} KB," \
  "+${extra} KB), CPU ${cpu} s, elapsed ${elapsed} s"
((extra <= limit)) || fail "peak memory grew by ${extra} KB, over ${limit} KB: the file was not streamed"

# A big body: text lines, some with a leading dot, some 1,500 octets long (folded).
"$RS_PY" - "$dir/body.txt" "$body_mb" <<'EOF'
import sys
out, left, i = open(sys.argv[1], "wb"), int(sys.argv[2]) << 20, 0
while left > 0:
    line = (b"." if i % 97 == 0 else b"") + b"line %d " % i + (b"x" * 1500 if i % 501 == 0 else b"")
    out.write(line + b"\n")
    left -= len(line) + 1
    i += 1
EOF
read -r line_rss _ _ < <(measured "$dir/line.txt" -s "One line") || fail "the one-line body was not sent"
count=3
for how in stdin file; do
  if [ "$how" = stdin ]; then
    read -r body_rss cpu elapsed < <(measured "$dir/body.txt" -s "Big body") ||
      fail "the big body was not sent"
  else
    read -r body_rss cpu elapsed < <(measured "$dir/line.txt" -s "Big body" --body "$dir/body.txt") ||
      fail "the big body file was not sent"
  fi
  count=$((count + 1))
  "$RS_PY" - "$(newest "$count")" "$dir/body.txt" <<'EOF' || fail "the body from $how came back changed"
import email, email.policy, sys
msg = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=email.policy.default)
got = msg.get_payload(decode=True).replace(b"\r\n", b"\n").rstrip(b"\n")
want = open(sys.argv[2], "rb").read().rstrip(b"\n")
# Lines over 998 octets come folded; nothing else may differ, line ends included.
got_lines, k = got.split(b"\n"), 0
assert max(len(line) for line in got_lines) <= 998, "a line over 998 octets"
for line in want.split(b"\n"):
    piece, k = got_lines[k], k + 1
    while len(line) > 998 and len(piece) < len(line) and k < len(got_lines):
        piece, k = piece + got_lines[k], k + 1
    assert piece == line, "body differs at line %d" % k
assert k == len(got_lines), "lines added at the end"
EOF
  extra=$((body_rss - line_rss))
  echo "vessamo-send, ${body_mb} MB body from $how: peak RSS ${body_rss} KB (one-line body:" \
    "${line_rss} KB, +${extra} KB), CPU ${cpu} s, elapsed ${elapsed} s"
  ((extra <= limit)) || fail "peak memory grew by ${extra} KB, over ${limit} KB: the body from $how was not streamed"
done
echo "vessamo-send end to end: PASS"
