#!/usr/bin/env bash
# Demonstration of tarnwick-registry on this machine: build, serve a fresh store on loopback,
# push an image with skopeo, list it, pull it back and verify it, delete a tag, collect
# garbage with the progress bar, show statistics, stop the server.
# Installs what it needs first (setup.sh). BUILD_DIR picks the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "Install dependencies"
bash ./setup.sh

step "Build"
cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j2 --target tarnwick-registry >/dev/null
TOOL=$PWD/$BUILD_DIR/tools/tarnwick-registry
command -v skopeo >/dev/null || { echo "skopeo is needed (./setup.sh installs it)"; exit 1; }

WORK=$(mktemp -d)
ROOT=$WORK/store
SERVER_PID=""
trap '[ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null; rm -rf "$WORK"' EXIT

step "Start the server on loopback with a new store in $ROOT"
"$TOOL" --root "$ROOT" serve --listen 127.0.0.1:0 --access-log "$WORK/access.log" >"$WORK/server.out" 2>&1 &
SERVER_PID=$!
for _ in $(seq 100); do grep -q 'http://' "$WORK/server.out" && break; sleep 0.1; done
cat "$WORK/server.out"
REG=127.0.0.1:$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/server.out")

step "Build two sample images as OCI layouts and push them with skopeo"
source tests/tools/oci_layout_lib.sh
V1=$(make_image_layout "$WORK/hello-v1" v1 "hello from tarnwick, v1")
make_image_layout "$WORK/hello-v2" v2 "hello from tarnwick, v2" >/dev/null
skopeo --insecure-policy copy --preserve-digests --dest-tls-verify=false oci:"$WORK/hello-v1":v1 docker://$REG/demo/hello:v1
skopeo --insecure-policy copy --preserve-digests --dest-tls-verify=false oci:"$WORK/hello-v2":v2 docker://$REG/demo/hello:v2

step "Catalog and tags"
"$TOOL" --root "$ROOT" catalog
"$TOOL" --root "$ROOT" tags demo/hello
skopeo list-tags --tls-verify=false docker://$REG/demo/hello

step "Pull demo/hello:v1 back and verify it"
skopeo --insecure-policy copy --preserve-digests --src-tls-verify=false docker://$REG/demo/hello:v1 oci:"$WORK/pulled":v1
PULLED=sha256:$(skopeo inspect --raw oci:"$WORK/pulled":v1 | sha256sum | cut -d' ' -f1)
[ "$PULLED" == "$V1" ] || { echo "digest mismatch: $PULLED vs $V1"; exit 1; }
diff <(layout_blob_list "$WORK/hello-v1") <(layout_blob_list "$WORK/pulled") >/dev/null
echo "verified: manifest $PULLED and all $(layout_blob_list "$WORK/pulled" | wc -l) blobs identical"

step "Delete tag demo/hello:v2"
"$TOOL" --root "$ROOT" rm demo/hello:v2

step "Collect garbage (the bar shows on a terminal)"
"$TOOL" --root "$ROOT" gc

step "Statistics"
"$TOOL" --root "$ROOT" stats

step "Stop the server"
kill -TERM "$SERVER_PID"
wait "$SERVER_PID"
SERVER_PID=""
tail -1 "$WORK/server.out"
echo "$(wc -l < "$WORK/access.log") requests served; the last ones:"
tail -3 "$WORK/access.log"
