#!/usr/bin/env bash
# What TLS costs: one routing run of Vessamo ("vessamo /E" headless, started by SIGUSR1)
# moves the same seeded mailbox through the same kind of servers, once in clear text and
# once with TLS on both halves: Dovecot (POP3; TLS from the first byte on 995) and the
# aiosmtpd sink (AUTH required in both; TLS from the first byte on 465). Runs alternate
# between the two, so that a slow moment of the machine hits both. Each run is timed (wall
# from the trigger to the end of the run; CPU and peak memory of the process with GNU time)
# and checked: every message arrived once and byte for byte, the mailbox is empty.
#
#   bench/tls.sh [--vessamo BINARY] [--runs N] [--system-store] [SET...]
#
# SET: 1000x4k 5x20m (default both); N runs of each (default 3); prints the medians and
# the ratio TLS / clear. The servers' test CA is trusted through the extra CA file, or with
# --system-store through the system's store (update-ca-certificates, undone at the end), the
# way a public provider's certificate is trusted. Run as root on Debian 12 (995 and 465 must
# be free).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"

binary=$root/build-release/vessamo runs=3 sets=() store=
while (($#)); do
  case "$1" in
  --vessamo) binary=$(realpath "$2"); shift 2 ;;
  --runs) runs=$2; shift 2 ;;
  --system-store) store=/usr/local/share/ca-certificates/vessamo-bench-test-ca.crt; shift ;;
  1000x4k | 5x20m) sets+=("$1"); shift ;;
  *) echo "tls.sh: unknown argument $1 (sets: 1000x4k 5x20m)" >&2; exit 2 ;;
  esac
done
((${#sets[@]})) || sets=(1000x4k 5x20m)
[ -x "$binary" ] || { echo "tls.sh: no Vessamo binary at $binary" >&2; exit 1; }

rs_install || exit 1
clear_dir=$(mktemp -d /tmp/vessamo-tlsbench-clear.XXXXXX)
tls_dir=$(mktemp -d /tmp/vessamo-tlsbench-tls.XXXXXX)
cleanup() {
  local d
  for d in "$clear_dir" "$tls_dir"; do
    vessamo_stop "$d" >/dev/null 2>&1
    rs_stop "$d"
    rm -rf "$d"
  done
  if [ -n "$store" ] && [ -f "$store" ]; then
    rm -f "$store"
    update-ca-certificates --fresh >/dev/null 2>&1
  fi
}
trap cleanup EXIT
rs_start "$clear_dir" aiosmtpd auth >/dev/null && rs_start "$tls_dir" aiosmtpd 465 >/dev/null ||
  { echo "tls.sh: servers did not start"; exit 1; }
if [ -n "$store" ]; then
  cp "$tls_dir/tls/ca.pem" "$store" && update-ca-certificates >/dev/null 2>&1 ||
    { echo "tls.sh: could not add the test CA to the system's store"; exit 1; }
  # No extra CA file: the system's store alone.
  sed -i "s|^CA_FILE=.*|CA_FILE=$tls_dir/no-extra-ca.pem|" "$tls_dir/env"
fi

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One routing run on DIR's servers; appends "wall cpu peak-MB" to DIR/figures.
one_run() { # DIR COUNT SIZE
  local dir=$1 waited w u s m
  rs_clear "$dir"
  find "$dir/home/Maildir/new" "$dir/home/Maildir/cur" -type f -delete
  rs_seed "$dir" "$2" "$3" dots || return 1
  rm -rf "$dir/vessamo"
  vessamo_prepare "$dir" box-owner@example.org "$binary" >/dev/null &&
    vessamo_start "$dir" "$binary" "$dir/time" || return 1
  vessamo_trigger "$dir"
  waited=$(vessamo_wait "$dir" "$2" 900) || { echo "tls.sh: the run did not end ($dir)" >&2; return 1; }
  vessamo_stop "$dir" || return 1
  rs_check "$dir" --sender from >/dev/null || { echo "tls.sh: delivery check failed ($dir)" >&2; return 1; }
  (($(rs_mailbox_count "$dir") == 0)) || { echo "tls.sh: the mailbox is not empty" >&2; return 1; }
  read -r w u s m <"$dir/time"
  awk -v w="$waited" -v u="$u" -v s="$s" -v m="$m" 'BEGIN { printf "%s %.2f %.1f\n", w, u + s, m / 1024 }' \
    >>"$dir/figures"
}

printf '%-8s %-6s %8s %8s %9s   (medians of %d runs)\n' set mode "wall s" "cpu s" "peak MB" "$runs"
for set in "${sets[@]}"; do
  case "$set" in
  1000x4k) count=1000 size=4096 ;;
  5x20m) count=5 size=$((20 * 1024 * 1024)) ;;
  esac
  rm -f "$clear_dir/figures" "$tls_dir/figures"
  for ((i = 0; i < runs; i++)); do
    one_run "$clear_dir" "$count" "$size" && one_run "$tls_dir" "$count" "$size" || exit 1
  done
  declare -A med=()
  for mode in clear tls; do
    d=$clear_dir; [ "$mode" = tls ] && d=$tls_dir
    for col in 1 2 3; do med[$mode$col]=$(cut -d' ' -f"$col" "$d/figures" | median); done
    printf '%-8s %-6s %8s %8s %9s\n' "$set" "$mode" "${med[${mode}1]}" "${med[${mode}2]}" "${med[${mode}3]}"
  done
  awk -v c="${med[clear1]}" -v t="${med[tls1]}" -v s="$set" \
    'BEGIN { printf "%-8s TLS / clear, wall: %.2fx\n", s, t / c }'
done
