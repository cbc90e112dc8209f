#!/usr/bin/env bash
# End to end for vessamo-send: a message with a 20 MB attachment through a real SMTP server
# (the aiosmtpd sink of scripts/realservers.sh, which keeps the exact DATA bytes). The
# received message must parse with Python's email package and give the attachment back
# byte for byte. Peak memory (maximum resident set, /usr/bin/time -v) may exceed that of
# a one-byte attachment by at most 40 MB: the file is streamed, never loaded. The CPU time
# is printed beside the elapsed time: the waits sleep, only the encoding costs.
#
#   tests/integration/sendbig.sh [--send BINARY] [--mb N]
#
# Prints the figures and one PASS or FAIL line; exit status 1 on FAIL.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
send=$root/build/vessamo-send mb=20
while (($# > 1)); do
  case "$1" in
  --send) send=$(realpath "$2") ;;
  --mb) mb=$2 ;;
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

# One run under /usr/bin/time -v: prints "RSS_KB CPU_SECONDS ELAPSED_SECONDS".
measured_send() { # ATTACHMENT
  local t=$dir/time.txt
  echo "Twenty megabytes, streamed." |
    /usr/bin/time -v -o "$t" "$send" --config "$dir/none.vsm" --server 127.0.0.1 \
      --port "$SMTP_PORT" -f ana@example.org -s "Big file" -a "$1" joan@example.net \
      2>"$dir/status.txt" || { cat "$dir/status.txt" >&2; return 1; }
  awk -F': ' '/Maximum resident set size/ {rss=$2} /User time/ {u=$2} /System time/ {s=$2}
    /Elapsed \(wall clock\)/ {n=split($2, p, ":"); e=0; for (i=1;i<=n;i++) e=e*60+p[i]}
    END {printf "%d %.2f %.2f\n", rss, u+s, e}' "$t"
}

fail() { echo "vessamo-send end to end: FAIL ($*)"; exit 1; }
read -r base_rss _ _ < <(measured_send "$dir/small.bin") || fail "the small message was not sent"
read -r big_rss cpu elapsed < <(measured_send "$dir/big.bin") || fail "the big message was not sent"
for ((i = 0; i < 50 && $(find "$SINK_DIR" -name '*.eml' | wc -l) < 2; i++)); do sleep 0.1; done
last=$(find "$SINK_DIR" -name '*.eml' | sort | tail -n 1)
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
echo "vessamo-send end to end: PASS"
