#!/bin/bash
# Power cuts on a real file system: a store on a loop-mounted ext4 image (default options)
# whose backing file lives in memory, a server pushing into it without pause, and a cut that
# stops the file system where it stands (fs_shutdown: nothing more reaches the device, neither
# dirty pages nor the journal). The backing file is then the disk at the cut: it is recovered
# with e2fsck -p, mounted and served, and every push acknowledged before the cut must come back
# byte for byte. The recovered image is the disk of the next round, so later cuts also check
# the earlier pushes.
#
# Usage: loop_ext4.sh BIN FS_SHUTDOWN [MODE:CUTS ...]   (default: full:3 none:1)
# A `full` round that loses an acknowledged push fails the script. `none` rounds only report
# what they lost, unless `none` is the only mode asked for: then a loss fails it, to show that
# the syncs are what keeps the pushes. Exits 77 where it cannot run (not root, no loop device,
# no mkfs.ext4, no curl).
set -u
BIN=$(realpath "$1")
SHUTDOWN=$(realpath "$2")
shift 2
MODES=("$@")
[ ${#MODES[@]} -gt 0 ] || MODES=(full:3 none:1)
PUSH_SECONDS=${TARNWICK_LOOP_PUSH_SECONDS:-5}

skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "loop devices and mounts need root"
for t in losetup mkfs.ext4 e2fsck mount umount curl sha256sum; do
  command -v $t >/dev/null || skip "$t is not installed"
done
[ -d /dev/shm ] || skip "no /dev/shm for the image's backing file"

WORK=$(mktemp -d /dev/shm/tarnwick-loop-XXXXXX)
MNT=$WORK/mnt
IMG=$WORK/disk.img
LOOP=""
SERVER=""
PUSHER=""
mkdir -p "$MNT" "$WORK/pushed"

# Only what this script started: its server, its pusher, its mount and its loop device.
cleanup() {
  [ -n "$PUSHER" ] && kill "$PUSHER" 2>/dev/null && wait "$PUSHER" 2>/dev/null
  [ -n "$SERVER" ] && kill -9 "$SERVER" 2>/dev/null && wait "$SERVER" 2>/dev/null
  mountpoint -q "$MNT" && umount "$MNT"
  [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

attach() {
  LOOP=$(losetup -f --show "$IMG" 2>"$WORK/losetup.err") || skip "no loop device: $(cat "$WORK/losetup.err")"
  mount -t ext4 "$LOOP" "$MNT" 2>"$WORK/mount.err" || skip "cannot mount ext4: $(cat "$WORK/mount.err")"
}

detach() {
  umount "$MNT" && losetup -d "$LOOP"
  LOOP=""
}

# Starts `serve` on the mounted store; sets PORT.
start_server() {
  "$BIN" --root "$MNT/store" --durability "$1" serve --listen 127.0.0.1:0 \
    --access-log /dev/null >"$WORK/server.out" 2>"$WORK/server.err" &
  SERVER=$!
  for _ in $(seq 100); do
    PORT=$(sed -n 's/.*serving .* on http:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/server.out")
    [ -n "$PORT" ] && return 0
    sleep 0.1
  done
  echo "the server did not start: $(cat "$WORK/server.err")"
  exit 1
}

upload() {  # FILE DIGEST
  [ "$(curl -s -o /dev/null -w '%{http_code}' -X POST --data-binary @"$1" \
    -H 'Content-Type: application/octet-stream' \
    "http://127.0.0.1:$PORT/v2/loop/app/blobs/uploads/?digest=$2")" = 201 ]
}

# One image of a config, a layer and a manifest tagged p<N>; true when all were acknowledged.
push_one() {
  local n=$1 p=$WORK/pushed/$1 cd ld
  printf '{"push":%d,"salt":"%s"}' "$n" "$RANDOM$RANDOM" >"$p.cfg"
  head -c $((1024 + RANDOM % 16384)) /dev/urandom >"$p.layer"
  cd=sha256:$(sha256sum <"$p.cfg" | cut -c1-64)
  ld=sha256:$(sha256sum <"$p.layer" | cut -c1-64)
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%d},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar","digest":"%s","size":%d}]}' \
    "$cd" "$(stat -c %s "$p.cfg")" "$ld" "$(stat -c %s "$p.layer")" >"$p.json"
  echo "$cd $ld" >"$p.digests"
  upload "$p.cfg" "$cd" && upload "$p.layer" "$ld" &&
    [ "$(curl -s -o /dev/null -w '%{http_code}' -X PUT --data-binary @"$p.json" \
      -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
      "http://127.0.0.1:$PORT/v2/loop/app/manifests/p$n")" = 201 ]
}

# Pushes from number $1 on until killed, appending each acknowledged number to acked.
pusher() {
  local n=$1
  while true; do
    push_one "$n" && echo "$n" >>"$WORK/acked"
    n=$((n + 1))
  done
}

# Pulls every push numbered in the file $1 and counts those that do not come back whole.
count_lost() {
  local cfg=$WORK/pull.curl lost=0 n cd ld
  : >"$cfg"
  rm -rf "$WORK/pulled" && mkdir "$WORK/pulled"
  while read -r n; do
    read -r cd ld <"$WORK/pushed/$n.digests"
    printf 'url = "http://127.0.0.1:%s/v2/loop/app/manifests/p%s"\noutput = "%s"\n' \
      "$PORT" "$n" "$WORK/pulled/$n.json" >>"$cfg"
    printf 'url = "http://127.0.0.1:%s/v2/loop/app/blobs/%s"\noutput = "%s"\n' \
      "$PORT" "$cd" "$WORK/pulled/$n.cfg" >>"$cfg"
    printf 'url = "http://127.0.0.1:%s/v2/loop/app/blobs/%s"\noutput = "%s"\n' \
      "$PORT" "$ld" "$WORK/pulled/$n.layer" >>"$cfg"
  done <"$1"
  [ -s "$cfg" ] && curl -s -H 'Accept: application/vnd.oci.image.manifest.v1+json' -K "$cfg"
  while read -r n; do
    for part in json cfg layer; do
      if ! cmp -s "$WORK/pushed/$n.$part" "$WORK/pulled/$n.$part"; then
        lost=$((lost + 1))
        break
      fi
    done
  done <"$1"
  echo "$lost"
}

FAILED=0
for spec in "${MODES[@]}"; do
  mode=${spec%%:*}
  cuts=${spec#*:}
  [ "$cuts" = "$spec" ] && cuts=1
  rm -f "$IMG" "$WORK/acked" "$WORK/pushed"/*
  : >"$WORK/acked"
  truncate -s 256M "$IMG"
  mkfs.ext4 -q -F "$IMG" || { echo "mkfs.ext4 failed"; exit 1; }
  attach
  start_server "$mode"
  next=1
  lost_total=0
  for cut in $(seq "$cuts"); do
    pusher "$next" &
    PUSHER=$!
    sleep "$PUSH_SECONDS"
    # Every push acknowledged by now must survive the cut.
    cp "$WORK/acked" "$WORK/must_survive"
    "$SHUTDOWN" "$MNT" || skip "this kernel cannot shut a file system down"
    kill "$PUSHER" 2>/dev/null; wait "$PUSHER" 2>/dev/null; PUSHER=""
    kill -9 "$SERVER" 2>/dev/null; wait "$SERVER" 2>/dev/null; SERVER=""
    cp "$IMG" "$IMG.cut"  # the disk as the cut left it; the shut-down mount writes no more
    detach
    mv "$IMG.cut" "$IMG"
    e2fsck -p "$IMG" >"$WORK/e2fsck.out" 2>&1
    rc=$?
    if [ $rc -ge 4 ]; then
      echo "e2fsck -p could not recover the image (exit $rc):"; cat "$WORK/e2fsck.out"; exit 1
    fi
    attach
    start_server "$mode"
    lost=$(count_lost "$WORK/must_survive")
    acked=$(wc -l <"$WORK/must_survive")
    corrupt=$("$BIN" --root "$MNT/store" --json fsck 2>/dev/null | sed -n 's/.*"corrupt":\([0-9]*\).*/\1/p')
    echo "durability $mode, cut $cut: $acked pushes acknowledged, $lost lost or damaged, fsck: ${corrupt:-?} corrupt"
    lost_total=$((lost_total + lost))
    next=$(( $(tail -n1 "$WORK/acked" 2>/dev/null || echo 0) + 1000 ))
  done
  kill -9 "$SERVER" 2>/dev/null; wait "$SERVER" 2>/dev/null; SERVER=""
  detach
  if [ "$mode" = full ] && [ "$lost_total" -gt 0 ]; then FAILED=1; fi
  if [ "$mode" = none ] && [ ${#MODES[@]} -eq 1 ] && [ "$lost_total" -gt 0 ]; then FAILED=1; fi
done
exit $FAILED
