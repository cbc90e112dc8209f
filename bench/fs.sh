#!/usr/bin/env bash
# bench/bench.sh on a file system of its own, twice: a loop-mounted ext4 image made fresh,
# then the same image after CHURN files were created and deleted in it (directories that
# grew and shrank, free space in pieces: what months of a queue leave behind). The
# servers' folders, the queue and the archives all live on the image.
#
#   bench/fs.sh [--churn N] [--size GB] [bench.sh arguments...]
#
# N defaults to 100000, the image to 8 GB (sparse, in /var/tmp). Prints bench.sh's figures
# under "fresh" and "churned". Run as root on a quiet machine.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
churn=100000 size=8 args=()
while (($#)); do
  case "$1" in
  --churn) churn=$2; shift 2 ;;
  --size) size=$2; shift 2 ;;
  *) args+=("$1"); shift ;;
  esac
done
((EUID == 0)) || { echo "fs.sh: run it as root (it mounts a loop device)" >&2; exit 2; }
image=$(mktemp /var/tmp/vessamo-fs.XXXXXX.img)
mnt=$(mktemp -d /tmp/vessamo-fs.XXXXXX)
trap 'umount "$mnt" 2>/dev/null; rmdir "$mnt"; rm -f "$image"' EXIT
truncate -s "${size}G" "$image" && mkfs.ext4 -q -F "$image" && mount -o loop "$image" "$mnt" ||
  { echo "fs.sh: the image could not be made or mounted" >&2; exit 1; }
chmod 1777 "$mnt"

echo "== fresh ext4 image (${size} GB)"
TMPDIR=$mnt bash "$root/bench/bench.sh" "${args[@]}"

echo "== churning: $churn files created and deleted in 100 folders"
start=$EPOCHREALTIME
python3 - "$mnt/churn" "$churn" <<'PY'
import os, random, sys
top, n = sys.argv[1], int(sys.argv[2])
random.seed(1)
folders = [os.path.join(top, "d%02d" % i) for i in range(100)]
for f in folders:
    os.makedirs(f)
names = []
for i in range(n):
    path = os.path.join(random.choice(folders), "f%07d" % i)
    with open(path, "wb") as f:
        f.write(os.urandom(random.choice((512, 2048, 4096, 20000))))
    names.append(path)
random.shuffle(names)
# Deleted in another order than made, as a queue's files go.
for path in names:
    os.remove(path)
PY
rm -rf "$mnt/churn"
sync
echo "   churned in $(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }") s"

echo "== churned ext4 image"
TMPDIR=$mnt bash "$root/bench/bench.sh" "${args[@]}"
