#!/usr/bin/env bash
# System calls of one Vessamo routing run against the real servers on loopback: "vessamo
# /E" started as bench/bench.sh starts it, strace attached to every thread before the run
# is triggered and detached after it ended; the delivery is checked byte for byte. Prints
# strace's table and each call's count per message.
#
#   bench/syscalls.sh [--vessamo BINARY] [--count N] [--size BYTES] [--stacks FILE]
#
# Defaults: build-release/vessamo, 1,000 messages of 4 KB. With --stacks, a second,
# smaller run (100 messages) writes every call with its stack (strace -k; build with
# -fno-omit-frame-pointer) to FILE, for finding who makes which call. Root, Debian 12.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"

binary=$root/build-release/vessamo count=1000 size=4096 stacks=
while (($#)); do
  case "$1" in
  --vessamo) binary=$(realpath "$2"); shift 2 ;;
  --count) count=$2; shift 2 ;;
  --size) size=$2; shift 2 ;;
  --stacks) stacks=$(realpath -m "$2"); shift 2 ;;
  *) echo "syscalls.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -x "$binary" ] || { echo "syscalls.sh: no Vessamo binary at $binary" >&2; exit 1; }
command -v strace >/dev/null || apt-get install -y -qq --no-install-recommends strace >/dev/null

rs_install || exit 1
dir=$(mktemp -d "${TMPDIR:-/tmp}/vessamo-syscalls.XXXXXX")
cleanup() {
  vessamo_stop "$dir" >/dev/null 2>&1
  rs_stop "$dir"
  rm -rf "$dir"
}
trap cleanup EXIT
rs_start "$dir" smtp-sink >/dev/null || { echo "syscalls.sh: servers did not start" >&2; exit 1; }

# One run of N messages with strace given OPTIONS; its output goes to OUT.
traced_run() { # N OUT OPTIONS...
  local n=$1 out=$2 pid tids=() t spid; shift 2
  rs_clear "$dir"
  find "$dir/home/Maildir/new" "$dir/home/Maildir/cur" -type f -delete
  rs_seed "$dir" "$n" "$size" dots || return 1
  rm -rf "$dir/vessamo"
  vessamo_prepare "$dir" "$RCPT" "$binary" && vessamo_start "$dir" "$binary" || return 1
  pid=$(cat "$dir/vessamo/pid")
  for t in /proc/"$pid"/task/*; do tids+=(-p "${t##*/}"); done
  strace -f "$@" -o "$out" "${tids[@]}" 2>"$dir/strace.err" &
  spid=$!
  # strace says nothing on attaching: wait until the process is traced.
  until grep -q '^TracerPid:[[:space:]]*[1-9]' "/proc/$pid/status"; do sleep 0.05; done
  vessamo_trigger "$dir"
  vessamo_wait "$dir" "$n" 600 >/dev/null || { echo "syscalls.sh: the run did not end" >&2; return 1; }
  kill -INT "$spid"
  wait "$spid"
  vessamo_stop "$dir" || echo "syscalls.sh: Vessamo's exit status after SIGTERM was not 0" >&2
  rs_check "$dir" --sender from --rcpt "$RCPT" --quiet || { echo "syscalls.sh: delivery check failed" >&2; return 1; }
}

RCPT="box-owner@example.org"
traced_run "$count" "$dir/counts" -c || exit 1
cat "$dir/counts"
echo
echo "per message ($count messages of $size bytes):"
awk -v n="$count" '$1 ~ /^[0-9.]+$/ && NF >= 5 { printf "  %-16s %7.1f\n", $NF, $4 / n }
  $1 == "total" { printf "  %-16s %7.1f\n", "total", $3 / n }' "$dir/counts"
if [ -n "$stacks" ]; then
  traced_run 100 "$stacks" -k -qq || exit 1
  echo "stacks of a run of 100 messages: $stacks"
fi
