#!/usr/bin/env bash
# A server on a GlusterFS volume (replica 2, on this machine: tests/shared-store/gluster_lib.sh)
# against one on a local directory, in one run: a 256 MiB push, 1,000 small blob pushes, a
# collection of 5,000 blobs, and the longest request of a pusher while collections run on the
# shared store. Prints the figures and their ratios.
# Usage: shared_store_bench.sh PATH/TO/tarnwick-registry [BIG_MIB] [SMALL_BLOBS] [IMAGES]
# (defaults 256, 1000, 100: 100 images of 24 layers and a config, plus as many unreferenced
# blobs, make the 5,000). Needs root, FUSE and glusterfs (exits 77 otherwise).
set -euo pipefail
TOOL=$(readlink -f "$1")
BIG=${2:-256}
SMALL=${3:-1000}
IMAGES=${4:-100}
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/../tests/shared-store/gluster_lib.sh"
LOAD=$HERE/shared_store_load.py

why=$(gluster_unavailable)
[ -z "$why" ] || { echo "skipped: $why"; exit 77; }
WORK=$(mktemp -d /tmp/shared-bench.XXXXXX)
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  gluster_down
  rm -rf "$WORK"
}
trap cleanup EXIT
gluster_up "$WORK/gluster" || { echo "could not set up the volume"; exit 1; }
SHARED=$GLUSTER_MOUNT_A/store
LOCAL=$WORK/local

start_server() {  # VAR NAME ROOT
  local var=$1 name=$2 root=$3 port
  "$TOOL" --root "$root" serve --listen 127.0.0.1:0 --access-log "$WORK/$name.log" \
    >"$WORK/$name.out" 2>"$WORK/$name.err" &
  PIDS+=($!)
  for _ in $(seq 100); do grep -q 'http://' "$WORK/$name.out" 2>/dev/null && break; sleep 0.1; done
  port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/$name.out" | head -1)
  printf -v "$var" '127.0.0.1:%s' "$port"
}
start_server S shared "$SHARED"
start_server L local "$LOCAL"
secs() { jq -r .seconds; }
ratio() { python3 -c "print(f'{$1 / $2:.1f}x')"; }
collect() {  # ROOT: seconds of one collection with no grace period
  local t0 t1
  t0=$(date +%s.%N)
  "$TOOL" --root "$1" --json gc --grace-period 0 >"$WORK/gc.json" 2>"$WORK/gc.err" ||
    "$TOOL" --root "$1" --json gc >"$WORK/gc.json" 2>>"$WORK/gc.err" || { cat "$WORK/gc.err"; exit 1; }
  t1=$(date +%s.%N)
  python3 -c "print($t1 - $t0)"
}

big_l=$(python3 "$LOAD" big "$L" "$BIG" | secs)
big_s=$(python3 "$LOAD" big "$S" "$BIG" | secs)
echo "push of $BIG MiB: local $big_l s, shared $big_s s, shared/local $(ratio "$big_s" "$big_l") (goal <= 1.5x)"

small_l=$(python3 "$LOAD" small "$L" "$SMALL" | secs)
small_s=$(python3 "$LOAD" small "$S" "$SMALL" | secs)
echo "push of $SMALL small blobs: local $small_l s, shared $small_s s, shared/local $(ratio "$small_s" "$small_l") (goal <= 10x)"

# The collection's store: IMAGES images pushed to the local store, as many unreferenced blobs
# beside them, copied whole onto the volume. Earlier rows' blobs go first.
collect "$LOCAL" >/dev/null
python3 "$LOAD" images "$L" "$IMAGES" 24 >/dev/null
python3 - "$LOCAL" "$((IMAGES * 25))" <<'EOF'
import hashlib, os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    data = f"unreferenced {i}".encode()
    h = hashlib.sha256(data).hexdigest()
    os.makedirs(f"{root}/blobs/sha256/{h[:2]}", exist_ok=True)
    with open(f"{root}/blobs/sha256/{h[:2]}/{h}", "wb") as f:
        f.write(data)
EOF
kill "${PIDS[0]}"; wait "${PIDS[0]}" 2>/dev/null || true
rm -rf "$SHARED"
t0=$(date +%s)
cp -a "$LOCAL" "$SHARED"
echo "(copied the store of $(find "$LOCAL/blobs" -type f | wc -l) blobs onto the volume in $(($(date +%s) - t0)) s)"
start_server S shared2 "$SHARED"
gc_l=$(collect "$LOCAL")
gc_s=$(collect "$SHARED")
echo "collection of $(jq -r .blobs_total "$WORK/gc.json") blobs ($(jq -r .blobs_deleted "$WORK/gc.json") removed): local $gc_l s, shared $gc_s s, shared/local $(ratio "$gc_s" "$gc_l") (goal <= 5x)"

# Collections back to back on the shared store while a client pushes images through the
# server on it: the longest single request is the longest a push waited.
STOP=$WORK/stop
python3 "$LOAD" pusher "$S" "$STOP" >"$WORK/pusher.json" 2>"$WORK/pusher.err" &
PUSHER=$!
sleep 1
runs=0
for _ in 1 2 3; do
  collect "$SHARED" >/dev/null && runs=$((runs + 1))
done
touch "$STOP"
wait "$PUSHER" || true
echo "pusher during $runs collections on the shared store: $(cat "$WORK/pusher.json")"
