#!/usr/bin/env bash
# Two servers on one shared store: a replica-2 GlusterFS volume mounted twice on this machine,
# one `tarnwick-registry serve` on each mount, and a round-robin proxy in front of both.
# Proves that pushes through either server pull back whole through the other, that uploads
# continue across servers, that collections from either side never break a push, and that
# a manifest whose blobs a collection on the other host removed is refused, not acknowledged.
# Usage: run.sh PATH/TO/tarnwick-registry [--long]. The quick run (CI's) pushes a few images in
# each step; --long pushes more and repeats the collection scenario. Exits 77 (skipped, with
# the reason) where the machine cannot run GlusterFS (not root, no FUSE, packages missing).
set -euo pipefail
TOOL=$(readlink -f "$1")
ROUNDS=1
[ "${2:-}" == --long ] && ROUNDS=5
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/../tools/oci_layout_lib.sh"
source "$HERE/gluster_lib.sh"

why=$(gluster_unavailable)
for c in skopeo nginx curl; do command -v $c >/dev/null || why=${why:-"$c is not installed"}; done
if [ -n "$why" ]; then
  echo "skipped: $why"
  exit 77
fi

WORK=$(mktemp -d /tmp/shared-store.XXXXXX)
PIDS=()
cleanup() {
  local p
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  gluster_down
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  local f
  for f in "$WORK"/*.err; do [ -f "$f" ] && { echo "--- $f" >&2; tail -5 "$f" >&2; }; done
  exit 1
}
check_eq() { [ "$1" == "$2" ] || fail "$3: expected [$2], got [$1]"; }
STEP_START=$SECONDS
step() {
  echo "shared-store: $1 ($((SECONDS - STEP_START)) s so far)"
}

gluster_up "$WORK/gluster" || fail "could not set up the GlusterFS volume (see $WORK/gluster/log)"
STORE_A=$GLUSTER_MOUNT_A/store
STORE_B=$GLUSTER_MOUNT_B/store
mkdir -p "$STORE_A"

# Starts a server on a store and sets the variable VAR to its host:port.
start_server() {
  local var=$1 name=$2 root=$3
  shift 3
  "$TOOL" --root "$root" serve --listen 127.0.0.1:0 "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  PIDS+=($!)
  printf -v "${var}_PID" '%s' "$!"
  for _ in $(seq 100); do grep -q 'http://' "$WORK/$name.out" 2>/dev/null && break; sleep 0.1; done
  local port
  port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/$name.out" | head -1)
  [ -n "$port" ] || fail "server $name did not start"
  printf -v "$var" '127.0.0.1:%s' "$port"
}

# A round-robin proxy in front of both servers, passing bodies through unbuffered, so that
# consecutive requests of one upload land on different servers. Sets PROXY.
start_proxy() {
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  mkdir -p "$WORK/nginx"
  cat >"$WORK/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx.err;
events { worker_connections 256; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  upstream registries { server $1; server $2; }
  server {
    listen 127.0.0.1:$port;
    client_max_body_size 0;
    location / {
      proxy_pass http://registries;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host \$http_host;
      proxy_request_buffering off;
      proxy_buffering off;
      proxy_next_upstream off;
    }
  }
}
EOF
  nginx -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx.err" </dev/null >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/v2/" && break; sleep 0.1; done
  PROXY=127.0.0.1:$port
}

start_server REG_A server-a "$STORE_A"
start_server REG_B server-b "$STORE_B"
start_proxy "$REG_A" "$REG_B"
SK=(skopeo --insecure-policy)
PUSHED=()  # "repo:tag digest layout" of every acknowledged push

# Pushes a layout's tag to a registry; records it as acknowledged when skopeo succeeds.
push() {
  local layout=$1 tag=$2 reg=$3 ref=$4 digest=$5
  if "${SK[@]}" copy -q --all --preserve-digests --dest-tls-verify=false \
    oci:"$layout":"$tag" docker://"$reg"/"$ref" 2>>"$WORK/push.log"; then
    PUSHED+=("$ref $digest $layout")
    return 0
  fi
  return 1
}

# Pulls a reference through a registry and compares its blobs with the layout it came from.
pull_matches() {
  local reg=$1 ref=$2 layout=$3 out
  out=$(mktemp -d "$WORK/pull.XXXXXX")
  "${SK[@]}" copy -q --all --preserve-digests --src-tls-verify=false \
    docker://"$reg"/"$ref" oci:"$out":x 2>>"$WORK/pull.log" || return 1
  [ "$(layout_blob_list "$out")" == "$(layout_blob_list "$layout")" ]
}

# 1. A push through each server pulls back whole through the other.
D1=$(make_image_layout "$WORK/img1" v1 "pushed through A")
D2=$(make_index_layout "$WORK/img2" v2 "pushed through B")
push "$WORK/img1" v1 "$REG_A" shared/one:v1 "$D1" || fail "push through A"
push "$WORK/img2" v2 "$REG_B" shared/two:v2 "$D2" || fail "push through B"
pull_matches "$REG_B" shared/one:v1 "$WORK/img1" || fail "image pushed through A does not pull through B"
pull_matches "$REG_A" shared/two:v2 "$WORK/img2" || fail "index pushed through B does not pull through A"
step "pushes through either server pull back whole through the other"

# 2. Uploads continue across servers: every request of a push alternates between them.
for i in $(seq $((3 * ROUNDS))); do
  D=$(make_image_layout "$WORK/rr$i" v1 "round robin $i")
  push "$WORK/rr$i" v1 "$PROXY" shared/rr:v$i "$D" || fail "push $i through the round-robin proxy"
done
# A chunked upload begun on A and finished on B, by hand.
printf 'chunk one|' >"$WORK/c1"
printf 'chunk two' >"$WORK/c2"
cat "$WORK/c1" "$WORK/c2" >"$WORK/cblob"
CDIG=sha256:$(sha256sum "$WORK/cblob" | cut -d' ' -f1)
LOC=$(curl -s -D - -o /dev/null -X POST "http://$REG_A/v2/shared/chunked/blobs/uploads/" |
  tr -d '\r' | sed -n 's/^[Ll]ocation: //p')
[ -n "$LOC" ] || fail "no upload location from A"
LOC=$(curl -s -D - -o /dev/null -X PATCH --data-binary @"$WORK/c1" -H 'Content-Type: application/octet-stream' \
  -H "Content-Range: 0-$(($(stat -c %s "$WORK/c1") - 1))" "http://$REG_B$LOC" | tr -d '\r' | sed -n 's/^[Ll]ocation: //p')
[ -n "$LOC" ] || fail "B could not continue an upload begun on A"
SEP='?'; case "$LOC" in *\?*) SEP='&' ;; esac
STATUS=$(curl -s -o /dev/null -w '%{http_code}' -X PUT --data-binary @"$WORK/c2" \
  -H 'Content-Type: application/octet-stream' "http://$REG_A$LOC${SEP}digest=$CDIG")
check_eq "$STATUS" 201 "finishing on A an upload continued on B"
check_eq "$(curl -s "http://$REG_B/v2/shared/chunked/blobs/$CDIG" | sha256sum | cut -d' ' -f1)" "${CDIG#sha256:}" \
  "blob uploaded across servers"
step "uploads continue across servers"

# 3. A manifest whose blobs a collection on the other host removed is refused. The layer and
#    config go up through B (and B has just seen them), a collection on mount A removes them
#    (no manifest names them yet), then the manifest goes to B: 400, never an acknowledgement
#    of a manifest whose blobs are gone.
collect_on_a() {
  "$TOOL" --root "$STORE_A" --json gc --grace-period 0 >"$1" 2>>"$WORK/gc.err" ||
    "$TOOL" --root "$STORE_A" --json gc >"$1" 2>>"$WORK/gc.err"
}
for round in $(seq $ROUNDS); do
  LAYOUT=$WORK/orphan$round
  make_image_layout "$LAYOUT" v1 "collected under B's feet $round" >/dev/null
  MDIG=$(jq -r '.manifests[0].digest' "$LAYOUT/index.json")
  MANIFEST_FILE=$LAYOUT/blobs/sha256/${MDIG#sha256:}
  BLOBS=$(jq -r '.config.digest, .layers[].digest' "$MANIFEST_FILE")
  for d in $BLOBS; do
    STATUS=$(curl -s -o /dev/null -w '%{http_code}' -X POST --data-binary @"$LAYOUT/blobs/sha256/${d#sha256:}" \
      -H 'Content-Type: application/octet-stream' "http://$REG_B/v2/shared/orphan/blobs/uploads/?digest=$d")
    check_eq "$STATUS" 201 "monolithic upload of $d through B"
    check_eq "$(curl -s -o /dev/null -w '%{http_code}' -I "http://$REG_B/v2/shared/orphan/blobs/$d")" 200 "HEAD through B"
  done
  collect_on_a "$WORK/gc-orphan.json" || fail "collection on mount A: $(tail -1 "$WORK/gc.err")"
  [ "$(jq -r .blobs_deleted "$WORK/gc-orphan.json")" -ge 2 ] ||
    fail "the collection on mount A did not remove the unreferenced blobs: $(cat "$WORK/gc-orphan.json")"
  STATUS=$(curl -s -o "$WORK/orphan-put.json" -w '%{http_code}' -X PUT --data-binary @"$MANIFEST_FILE" \
    -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' "http://$REG_B/v2/shared/orphan/manifests/v$round")
  check_eq "$STATUS" 400 "manifest PUT through B after its blobs were collected through A"
  grep -q MANIFEST_BLOB_UNKNOWN "$WORK/orphan-put.json" || fail "400 without MANIFEST_BLOB_UNKNOWN"
done
step "a manifest whose blobs another host collected is refused"

# 4. Collections from both sides while pushes go through both servers and the proxy: no push
#    is refused, and every acknowledged push stays whole.
GC_STOP=$WORK/gc.stop
(
  side=A
  while [ ! -e "$GC_STOP" ]; do
    if [ $side == A ]; then root=$STORE_A; side=B; else root=$STORE_B; side=A; fi
    "$TOOL" --root "$root" --json gc >>"$WORK/gc-loop.json" 2>>"$WORK/gc.err" || true
    sleep 0.5
  done
) &
GC_PID=$!
PIDS+=($GC_PID)
refused=0
for i in $(seq $((6 * ROUNDS))); do
  case $((i % 3)) in 0) reg=$REG_A ;; 1) reg=$REG_B ;; 2) reg=$PROXY ;; esac
  D=$(make_image_layout "$WORK/gc$i" v1 "pushed during collections $i")
  push "$WORK/gc$i" v1 "$reg" shared/busy:v$i "$D" || refused=$((refused + 1))
done
touch "$GC_STOP"
wait "$GC_PID" || true
# A collector without a grace period may take the blobs of a push whose manifest is not up yet
# (the client is told, and pushes again); with one, no push may fail.
if "$TOOL" gc --help 2>&1 | grep -q -- --grace-period; then
  check_eq "$refused" 0 "pushes refused or failed while collections ran (see $WORK/push.log)"
elif [ "$refused" -gt 0 ]; then
  echo "shared-store: $refused pushes refused while collections ran (this collector has no grace period)"
fi
step "pushes during $(grep -c blobs_total "$WORK/gc-loop.json" 2>/dev/null || echo 0) collections from both sides"

# Uploads outlive their server: one begun on A goes on through B while A is down, and ends on
# A once it is back.
patch_chunk() {  # URL FILE: PATCH the file, print the next location
  curl -s -D - -o /dev/null -X PATCH --data-binary @"$2" -H 'Content-Type: application/octet-stream' \
    "$1" | tr -d '\r' | sed -n 's/^[Ll]ocation: //p'
}
printf 'chunk three' >"$WORK/c3"
cat "$WORK/c1" "$WORK/c2" "$WORK/c3" >"$WORK/rblob"
RDIG=sha256:$(sha256sum "$WORK/rblob" | cut -d' ' -f1)
LOC=$(curl -s -D - -o /dev/null -X POST "http://$REG_A/v2/shared/restart/blobs/uploads/" |
  tr -d '\r' | sed -n 's/^[Ll]ocation: //p')
LOC=$(patch_chunk "http://$REG_A$LOC" "$WORK/c1")
[ -n "$LOC" ] || fail "first chunk through A"
kill -TERM "$REG_A_PID"
wait "$REG_A_PID" || fail "server A did not stop cleanly"
LOC=$(patch_chunk "http://$REG_B$LOC" "$WORK/c2")
[ -n "$LOC" ] || fail "B could not continue an upload of a stopped server"
start_server REG_A server-a2 "$STORE_A"
SEP='?'; case "$LOC" in *\?*) SEP='&' ;; esac
STATUS=$(curl -s -o /dev/null -w '%{http_code}' -X PUT --data-binary @"$WORK/c3" \
  -H 'Content-Type: application/octet-stream' "http://$REG_A$LOC${SEP}digest=$RDIG")
check_eq "$STATUS" 201 "finishing on a restarted A an upload it had begun"
check_eq "$(curl -s "http://$REG_B/v2/shared/restart/blobs/$RDIG" | sha256sum | cut -d' ' -f1)" "${RDIG#sha256:}" \
  "blob uploaded across a restart"
step "uploads outlive their server"

# 5. Every acknowledged push pulls back whole through both servers; the store is sound.
for entry in "${PUSHED[@]}"; do
  read -r ref digest layout <<<"$entry"
  for reg in "$REG_A" "$REG_B"; do
    pull_matches "$reg" "$ref" "$layout" || fail "acknowledged push $ref ($digest) is broken through $reg"
  done
done
"$TOOL" --root "$STORE_A" fsck >"$WORK/fsck.out" 2>&1 || fail "fsck: $(tail -5 "$WORK/fsck.out")"
step "${#PUSHED[@]} acknowledged pushes whole through both servers; fsck sound"
