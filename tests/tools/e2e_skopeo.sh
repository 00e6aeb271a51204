#!/usr/bin/env bash
# End to end with a real client: skopeo pushes, inspects, pulls, copies, deletes and lists
# against `tarnwick-registry serve` on a free loopback port, with a collection in between.
# Usage: e2e_skopeo.sh PATH/TO/tarnwick-registry. Exits 77 (skipped) without skopeo.
set -euo pipefail
TOOL=$1
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/oci_layout_lib.sh"
if ! command -v skopeo >/dev/null; then
  echo "skipped: skopeo is not installed"
  exit 77
fi

WORK=$(mktemp -d)
SERVER_PID=""
cleanup() {
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$WORK/server.err" ] && tail -20 "$WORK/server.err" >&2; exit 1; }
check_eq() { [ "$1" == "$2" ] || fail "$3: expected [$2], got [$1]"; }

ROOT=$WORK/store
"$TOOL" --root "$ROOT" serve --listen 127.0.0.1:0 >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 100); do grep -q 'http://' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
PORT=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/server.out")
[ -n "$PORT" ] || fail "server did not start"
REG=127.0.0.1:$PORT
SK=(skopeo --insecure-policy)
TLS_DST=(--dest-tls-verify=false)
TLS_SRC=(--src-tls-verify=false)
TLS=(--tls-verify=false)

# 1. One image and one two-platform index, built by hand, pushed unchanged.
APP=$(make_image_layout "$WORK/app" v1 "app one")
OLD=$(make_image_layout "$WORK/old" v0 "app zero")
MULTI=$(make_index_layout "$WORK/multi" multi "multi")
"${SK[@]}" copy -q --preserve-digests "${TLS_DST[@]}" oci:"$WORK/app":v1 docker://$REG/e2e/app:v1
"${SK[@]}" copy -q --preserve-digests "${TLS_DST[@]}" oci:"$WORK/old":v0 docker://$REG/e2e/app:old
"${SK[@]}" copy -q --all --preserve-digests "${TLS_DST[@]}" oci:"$WORK/multi":multi docker://$REG/e2e/multi:latest

# 2. Inspect: the registry serves exactly the bytes that were pushed.
RAW_DIGEST=sha256:$("${SK[@]}" inspect --raw "${TLS[@]}" docker://$REG/e2e/app:v1 | sha256sum | cut -d' ' -f1)
check_eq "$RAW_DIGEST" "$APP" "manifest digest of e2e/app:v1"
INSPECT_DIGEST=$("${SK[@]}" inspect "${TLS[@]}" --format '{{.Digest}}' docker://$REG/e2e/app:v1)
check_eq "$INSPECT_DIGEST" "$APP" "inspect digest"
IDX_DIGEST=sha256:$("${SK[@]}" inspect --raw "${TLS[@]}" docker://$REG/e2e/multi:latest | sha256sum | cut -d' ' -f1)
check_eq "$IDX_DIGEST" "$MULTI" "index digest"

# 3. Pull back and compare every blob.
"${SK[@]}" copy -q --preserve-digests "${TLS_SRC[@]}" docker://$REG/e2e/app:v1 oci:"$WORK/out-app":v1
check_eq "$(layout_blob_list "$WORK/out-app")" "$(layout_blob_list "$WORK/app")" "blobs of pulled app"
"${SK[@]}" copy -q --all --preserve-digests "${TLS_SRC[@]}" docker://$REG/e2e/multi:latest oci:"$WORK/out-multi":multi
check_eq "$(layout_blob_list "$WORK/out-multi")" "$(layout_blob_list "$WORK/multi")" "blobs of pulled index"

# 4. Copy between repositories (blobs mount), then list tags and the catalog.
"${SK[@]}" copy -q --preserve-digests "${TLS_SRC[@]}" "${TLS_DST[@]}" docker://$REG/e2e/app:v1 docker://$REG/e2e/copy:v1
COPY_DIGEST=$("${SK[@]}" inspect "${TLS[@]}" --format '{{.Digest}}' docker://$REG/e2e/copy:v1)
check_eq "$COPY_DIGEST" "$APP" "digest after copy between repositories"
TAGS=$("${SK[@]}" list-tags "${TLS[@]}" docker://$REG/e2e/app | tr -d ' \n')
check_eq "$TAGS" '{"Repository":"'$REG'/e2e/app","Tags":["old","v1"]}' "tags of e2e/app"
CATALOG=$("$TOOL" --root "$ROOT" catalog | tr '\n' ' ')
check_eq "$CATALOG" "e2e/app e2e/copy e2e/multi " "catalog"

# 5. Delete e2e/app:old (by its digest, as skopeo does), collect, and the rest still pulls.
"${SK[@]}" delete "${TLS[@]}" docker://$REG/e2e/app:old
if "${SK[@]}" inspect --raw "${TLS[@]}" docker://$REG/e2e/app:old >/dev/null 2>&1; then
  fail "deleted tag still resolves"
fi
GC=$("$TOOL" --root "$ROOT" --json gc --grace-period 0)
echo "$GC" | grep -q '"blobs_deleted":2,' || fail "gc should delete the two blobs of app:old: $GC"
"${SK[@]}" copy -q --preserve-digests "${TLS_SRC[@]}" docker://$REG/e2e/app:v1 oci:"$WORK/again":v1
check_eq "$(layout_blob_list "$WORK/again")" "$(layout_blob_list "$WORK/app")" "blobs pulled after gc"
"${SK[@]}" copy -q --all --preserve-digests "${TLS_SRC[@]}" docker://$REG/e2e/multi:latest oci:"$WORK/again-multi":multi
check_eq "$(layout_blob_list "$WORK/again-multi")" "$(layout_blob_list "$WORK/multi")" "index pulled after gc"

# 6. The operator's import and export round-trip through the same store.
"$TOOL" --root "$ROOT" import "$WORK/multi" cli/multi:m1 >/dev/null
"$TOOL" --root "$ROOT" export cli/multi:m1 "$WORK/exported" >/dev/null
check_eq "$(layout_blob_list "$WORK/exported")" "$(layout_blob_list "$WORK/multi")" "exported blobs"
EXPORTED=$("${SK[@]}" inspect --raw oci:"$WORK/exported":m1 | sha256sum | cut -d' ' -f1)
check_eq "sha256:$EXPORTED" "$MULTI" "exported index digest"

# 6b. A signature travels with its image through import and export, and the referrers API
#     lists it under the image.
cp -r "$WORK/app" "$WORK/signed"
SIG=$(layout_add_referrer "$WORK/signed" "$APP" application/vnd.example.sig)
"$TOOL" --root "$ROOT" import "$WORK/signed" cli/signed:v1 | grep -q ', 1 referrers' || fail "referrer not imported"
curl -sf "http://$REG/v2/cli/signed/referrers/$APP" | grep -q "$SIG" || fail "referrer not listed"
"$TOOL" --root "$ROOT" export cli/signed:v1 "$WORK/signed-out" >/dev/null
jq -r '.manifests[].digest' "$WORK/signed-out/index.json" | grep -q "$SIG" || fail "referrer not exported"
check_eq "$(layout_blob_list "$WORK/signed-out")" "$(layout_blob_list "$WORK/signed")" "exported signed blobs"

# 7. SIGTERM stops the server cleanly.
kill -TERM "$SERVER_PID"
wait "$SERVER_PID" || fail "server exited with $?"
SERVER_PID=""
grep -q 'stopped' "$WORK/server.err" || fail "no clean stop"
[ "$(grep -c '"' "$WORK/server.err")" -gt 10 ] || fail "access log missing"

# 8. Over TLS with htpasswd users: skopeo verifies the server's certificate (self-signed,
#    trusted through a certificate directory) and pushes and pulls with --creds; a client
#    without credentials, or with a wrong password, is refused.
if ! command -v htpasswd >/dev/null || ! command -v openssl >/dev/null; then
  fail "htpasswd (apache2-utils) and openssl are needed for the TLS run; run setup.sh"
fi
mkdir -p "$WORK/certs"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$WORK/tls.key" -out "$WORK/certs/ca.crt" 2>/dev/null
htpasswd -cbB "$WORK/htpasswd" alice 'open sesame' 2>/dev/null
"$TOOL" --root "$WORK/secure" serve --listen 127.0.0.1:0 --tls-cert "$WORK/certs/ca.crt" \
  --tls-key "$WORK/tls.key" --htpasswd "$WORK/htpasswd" >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 100); do grep -q 'https://' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
PORT=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/server.out")
[ -n "$PORT" ] || fail "TLS server did not start"
REG=127.0.0.1:$PORT
CREDS="alice:open sesame"
export REGISTRY_AUTH_FILE=$WORK/auth.json  # no login of the machine's user leaks in
"${SK[@]}" copy -q --preserve-digests --dest-cert-dir "$WORK/certs" --dest-creds "$CREDS" \
  oci:"$WORK/app":v1 docker://$REG/secure/app:v1
SECURE_DIGEST=$("${SK[@]}" inspect --cert-dir "$WORK/certs" --creds "$CREDS" --format '{{.Digest}}' docker://$REG/secure/app:v1)
check_eq "$SECURE_DIGEST" "$APP" "digest over TLS"
"${SK[@]}" copy -q --preserve-digests --src-cert-dir "$WORK/certs" --src-creds "$CREDS" \
  docker://$REG/secure/app:v1 oci:"$WORK/secure-out":v1
check_eq "$(layout_blob_list "$WORK/secure-out")" "$(layout_blob_list "$WORK/app")" "blobs pulled over TLS"
for who in "" "--creds=alice:wrong" "--creds=mallory:open sesame"; do
  if OUT=$("${SK[@]}" inspect --raw --cert-dir "$WORK/certs" ${who:+"$who"} docker://$REG/secure/app:v1 2>&1); then
    fail "inspect without valid credentials ($who) succeeded"
  fi
  echo "$OUT" | grep -qi 'unauthorized\|authentication required\|invalid username' || fail "not refused as unauthorized: $OUT"
done
if "${SK[@]}" inspect --raw --tls-verify=true --creds "$CREDS" docker://$REG/secure/app:v1 >/dev/null 2>&1; then
  fail "an untrusted certificate was accepted"
fi
kill -TERM "$SERVER_PID"
wait "$SERVER_PID" || fail "TLS server exited with $?"
SERVER_PID=""
grep -q 'open sesame' "$WORK/server.err" && fail "a password reached the log"
echo "e2e_skopeo: all checks passed"
