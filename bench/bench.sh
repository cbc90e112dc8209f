#!/usr/bin/env bash
# Benchmark against real servers on loopback: Vessamo (one routing run, "vessamo /E"
# headless, started by SIGUSR1), fetchmail (one poll, "no rewrite", "set invisible") and
# the floor clients move the same seeded mailbox; each is timed (wall, CPU, peak memory
# with GNU time) and its delivery checked: every message arrived once and byte for byte.
# The floor is two plain blocking clients run one after the other: bench/pop3floor.cpp
# (RETR, write the file, DELE: what no router can beat) and bench/smtpfloor.cpp (those
# files to the sink, one SMTP session each, as Vessamo's forwarding opens one session per
# attempt). "floor" is the POP3 half alone; "job floor" is both halves added up;
# "smtp1sess" is the SMTP half with every message in one session, for comparison.
# Then the queue pass: Vessamo's queue pre-filled with 1,000 and 10,000 pairs, an empty
# mailbox, one run; the cost per pair at the start and at the end of the pass.
#
#   bench/bench.sh [--vessamo BINARY] [--limit SECONDS] [--without fetchmail] [SET...]
#
# SET: 1000x4k 10000x2k 200x100k 5x20m 2x200m queue (default: all but 2x200m). Vessamo defaults to
# build/vessamo; when it delivers nothing within 30 s (or does not finish within
# --limit, default 900 s) it is skipped with a message and the other figures still print.
# Run as root on Debian 12; installs what it needs. Everything listens on 127.0.0.1.
# The working folder (queue, mailbox, sink) is made under $TMPDIR (default /tmp): point it
# at a freshly made file system to measure without the state of a churned one.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/realservers.sh
source "$root/scripts/realservers.sh"
# shellcheck source=tests/integration/routers.sh
source "$root/tests/integration/routers.sh"
# shellcheck source=bench/routers.sh
source "$root/bench/routers.sh"

binary=$root/build/vessamo limit=900 first_limit=30 sets=() routers=(vessamo fetchmail floor)
while (($#)); do
  case "$1" in
  --vessamo) binary=$(realpath "$2"); shift 2 ;;
  --limit) limit=$2; shift 2 ;;
  --without) routers=("${routers[@]/$2/}"); shift 2 ;;
  1000x4k | 10000x2k | 200x100k | 5x20m | 2x200m | queue) sets+=("$1"); shift ;;
  *) echo "bench.sh: unknown argument $1 (sets: 1000x4k 10000x2k 200x100k 5x20m 2x200m queue)" >&2; exit 2 ;;
  esac
done
((${#sets[@]})) || sets=(1000x4k 10000x2k 200x100k 5x20m queue)
rcpt="box-owner@example.org"
vessamo_ok=1
[ -x "$binary" ] || { vessamo_ok=0; echo "bench: no Vessamo binary at $binary: Vessamo skipped"; }

rs_install || exit 1
dir=$(mktemp -d "${TMPDIR:-/tmp}/vessamo-bench.XXXXXX")
cleanup() {
  vessamo_stop "$dir" >/dev/null 2>&1
  rs_stop "$dir"
  rm -rf "$dir"
}
trap cleanup EXIT
rs_start "$dir" smtp-sink >/dev/null || { echo "bench: servers did not start"; exit 1; }
rs_ports "$dir"
router_floor_build "$dir/bin" || exit 1

declare -A wall cpu mem verdict

# Empties the sink, the mailbox and the record of seeded messages, then seeds.
fresh_mailbox() { # COUNT SIZE
  rs_clear "$dir"
  find "$dir/home/Maildir/new" "$dir/home/Maildir/cur" -type f -delete
  rs_seed "$dir" "$1" "$2" dots
}

# Reads "wall user system peak-KB" of GNU time into the tables under KEY.
record() { # KEY TIME-FILE [WALL]
  local w u s m
  read -r w u s m <"$2" || return 1
  wall[$1]=${3:-$w}
  cpu[$1]=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')
  mem[$1]=$(awk -v m="$m" 'BEGIN { printf "%.1f", m / 1024 }')
}

verify() { # KEY CHECKER-ARGUMENTS...
  local key=$1 out; shift
  if out=$("$@" 2>&1); then verdict[$key]="ok"; else verdict[$key]="CHECK FAILED"; fi
  (($(rs_mailbox_count "$dir") == 0)) || verdict[$key]="${verdict[$key]}, mailbox not empty"
  [ "${verdict[$key]}" = ok ] || printf '%s\n' "$out" | head -n 12 | sed 's/^/      /'
}

# Waits for the end of Vessamo's run with the bench's limits; prints the seconds.
wait_vessamo() { # COUNT
  local n=$1 start now secs
  start=$(date +%s%N)
  while :; do
    now=$(date +%s%N); secs=$(((now - start) / 1000000000))
    if vessamo_run_ended "$dir" "$n"; then
      awk -v ns=$((now - start)) 'BEGIN { printf "%.2f\n", ns / 1e9 }'
      return 0
    fi
    kill -0 "$(cat "$dir/vessamo/pid")" 2>/dev/null || { echo "Vessamo ended during the run" >&2; return 1; }
    if ((secs >= first_limit)) && (($(rs_sink_count "$dir") == 0)); then
      echo "Vessamo delivered nothing within $first_limit s" >&2; return 1
    fi
    ((secs < limit)) || { echo "Vessamo's run did not end within $limit s" >&2; return 1; }
    # Fine steps for short runs; coarser ones later, so that polling stays out of the way.
    if ((secs < 2)); then sleep 0.05; else sleep 0.2; fi
  done
}

run_vessamo() { # KEY COUNT
  local key=$1 n=$2 secs
  if ((!vessamo_ok)); then verdict[$key]="skipped"; return; fi
  rm -rf "$dir/vessamo"
  if ! vessamo_prepare "$dir" "$rcpt" "$binary" || ! vessamo_start "$dir" "$binary" "$dir/vessamo.time"; then
    vessamo_ok=0; verdict[$key]="skipped (did not start)"; return
  fi
  vessamo_trigger "$dir"
  if ! secs=$(wait_vessamo "$n"); then
    vessamo_stop "$dir"
    echo "   Vessamo skipped: its routing run did not deliver (last output line: $(tail -n 1 "$dir/vessamo/out.log"))"
    vessamo_ok=0; verdict[$key]="skipped"
    return
  fi
  vessamo_stop "$dir" || echo "   Vessamo's exit status after SIGTERM was not 0"
  record "$key" "$dir/vessamo.time" "$secs"
  verify "$key" rs_check "$dir" --sender from --rcpt "$rcpt" --quiet
  [ -s "$dir/vessamo/events.log" ] && echo "   Vessamo's event log: $(head -n 3 "$dir/vessamo/events.log")"
}

run_fetchmail() { # KEY
  router_fetchmail "$dir" "$rcpt" "$dir/fetchmail.time" || { verdict[$1]="failed"; return; }
  record "$1" "$dir/fetchmail.time"
  verify "$1" rs_check "$dir" --sender return-path --rcpt "$rcpt" --router-removes return-path --quiet
}

run_floor() { # KEY
  rm -rf "$dir/floor"
  router_floor "$dir" "$dir/floor" "$dir/bin" "$dir/floor.time" || { verdict[$1]="failed"; return; }
  record "$1" "$dir/floor.time"
  verify "$1" "$RS_PY" "$RS_HELPERS/mailcheck.py" files "$dir/floor" "$dir/expected" --quiet
}

# The SMTP half, on the POP3 half's files, into an emptied sink; with "one-session",
# every message in a single session.
run_smtpfloor() { # KEY [one-session]
  find "$dir/sink" -mindepth 1 -delete
  router_smtpfloor "$dir" "$dir/floor" "$dir/bin" "$rcpt" "$dir/smtpfloor.time" "${2:-}" ||
    { verdict[$1]="failed"; return; }
  record "$1" "$dir/smtpfloor.time"
  verify "$1" rs_check "$dir" --sender any --rcpt "$rcpt" --quiet
}

sum() { # A B
  awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "") print ""; else printf "%.2f", a + b }'
}

ratio() { # A B
  awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "" || b + 0 == 0) print "n/a"; else printf "%.2f", a / b }'
}

bench_set() { # NAME COUNT SIZE
  local name=$1 n=$2 size=$3 r
  echo
  echo "== $n messages of $((size / 1024)) KB"
  for r in "${routers[@]}"; do
    [ -n "$r" ] || continue
    fresh_mailbox "$n" "$size" || { echo "bench: seeding failed"; exit 1; }
    echo "-- $r"
    "run_$r" "$name/$r" "$n"
  done
  echo "-- smtpfloor (one session a message, then all in one session)"
  run_smtpfloor "$name/smtpfloor"
  run_smtpfloor "$name/smtp1sess" one-session
  wall[$name/jobfloor]=$(sum "${wall[$name/floor]:-}" "${wall[$name/smtpfloor]:-}")
  cpu[$name/jobfloor]=$(sum "${cpu[$name/floor]:-}" "${cpu[$name/smtpfloor]:-}")
  printf '   %-10s %9s %9s %9s   %s\n' router "wall s" "cpu s" "peak MB" check
  for r in vessamo fetchmail floor smtpfloor smtp1sess jobfloor; do
    printf '   %-10s %9s %9s %9s   %s\n' "$r" "${wall[$name/$r]:--}" "${cpu[$name/$r]:--}" \
      "${mem[$name/$r]:--}" "${verdict[$name/$r]:-}"
  done
  printf '   ratios (wall, cpu): vessamo/fetchmail %s, %s; vessamo/floor %s, %s; vessamo/job floor %s, %s\n' \
    "$(ratio "${wall[$name/vessamo]:-}" "${wall[$name/fetchmail]:-}")" \
    "$(ratio "${cpu[$name/vessamo]:-}" "${cpu[$name/fetchmail]:-}")" \
    "$(ratio "${wall[$name/vessamo]:-}" "${wall[$name/floor]:-}")" \
    "$(ratio "${cpu[$name/vessamo]:-}" "${cpu[$name/floor]:-}")" \
    "$(ratio "${wall[$name/vessamo]:-}" "${wall[$name/jobfloor]:-}")" \
    "$(ratio "${cpu[$name/vessamo]:-}" "${cpu[$name/jobfloor]:-}")"
}

# One run over PAIRS queued pairs and an empty mailbox. The cost per pair at the start
# and at the end of the pass comes from the times the sink wrote its files (ns clock):
# first tenth and last tenth of the deliveries.
queue_pass() { # PAIRS
  local pairs=$1 start now count total
  rm -rf "$dir/vessamo"
  rs_clear "$dir"
  find "$dir/home/Maildir/new" "$dir/home/Maildir/cur" -type f -delete
  vessamo_prepare "$dir" "$rcpt" "$binary" || return 1
  "$RS_PY" "$RS_HELPERS/mailgen.py" queue "$dir/vessamo/Cua" "$dir/expected" "$pairs" 2048 dots 1 "$rcpt" ||
    return 1
  vessamo_start "$dir" "$binary" "$dir/vessamo.time" || return 1
  start=$(date +%s%N)
  vessamo_trigger "$dir"
  while :; do
    now=$(date +%s%N)
    if vessamo_run_ended "$dir" "$pairs"; then total=$((now - start)); break; fi
    count=$(rs_sink_count "$dir")
    if ! kill -0 "$(cat "$dir/vessamo/pid")" 2>/dev/null || (((now - start) / 1000000000 >= limit)) ||
      { (((now - start) / 1000000000 >= first_limit)) && ((count == 0)); }; then
      vessamo_stop "$dir"
      echo "   $pairs pairs: Vessamo's queue pass did not deliver (last output line: $(tail -n 1 "$dir/vessamo/out.log"))"
      return 1
    fi
    sleep 0.05
  done
  vessamo_stop "$dir"
  find "$dir/sink" -type f -printf '%T@\n' | sort -n | awk -v p="$pairs" -v c="$total" '
    { t[NR] = $1 }
    END {
      k = int(NR / 10); if (k < 1) k = 1
      printf "   %5d pairs: %.2f s in all, %.3f ms a pair; first tenth %.3f ms a pair, last tenth %.3f ms a pair\n",
        p, c / 1e9, c / 1e6 / p, (t[k + 1] - t[1]) * 1000 / k, (t[NR] - t[NR - k]) * 1000 / k }'
  rs_check "$dir" --sender from --rcpt "$rcpt" --quiet | sed 's/^/   /'
}

for set in "${sets[@]}"; do
  case "$set" in
  1000x4k) bench_set "$set" 1000 4096 ;;
  10000x2k) bench_set "$set" 10000 2048 ;;
  200x100k) bench_set "$set" 200 102400 ;;
  5x20m) bench_set "$set" 5 20971520 ;;
  2x200m) bench_set "$set" 2 209715200 ;;
  queue)
    echo
    echo "== queue pass (Vessamo only): 1,000 and 10,000 queued pairs of 2 KB, empty mailbox"
    if ((vessamo_ok)); then
      queue_pass 1000 && queue_pass 10000
    else
      echo "   skipped: Vessamo is not delivering"
    fi
    ;;
  esac
done
