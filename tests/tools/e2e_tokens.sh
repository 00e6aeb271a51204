#!/usr/bin/env bash
# End to end with token authentication over TLS: `tarnwick-registry token-server` issues tokens
# (users from htpasswd, grants bounded by a policy) and `serve` takes only those; skopeo logs
# in, pushes, pulls, copies between repositories (a mount) and pulls anonymously what the
# policy opens to everyone, and is refused what the policy does not grant.
# Usage: e2e_tokens.sh PATH/TO/tarnwick-registry. Exits 77 (skipped) without skopeo.
set -euo pipefail
TOOL=$1
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/oci_layout_lib.sh"
for cmd in skopeo openssl htpasswd; do
  if ! command -v $cmd >/dev/null; then
    echo "skipped: $cmd is not installed"
    exit 77
  fi
done

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in "$WORK"/*.err; do echo "== $f" >&2; tail -20 "$f" >&2; done
  exit 1
}
check_eq() { [ "$1" == "$2" ] || fail "$3: expected [$2], got [$1]"; }
# Starts the tool in the background with output to NAME.out/.err and sets PORT to the port it
# took (not in a subshell: PIDS must reach the cleanup).
start() {
  local name=$1
  shift
  "$TOOL" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err" &
  PIDS+=($!)
  for _ in $(seq 100); do grep -q 'https://' "$WORK/$name.out" 2>/dev/null && break; sleep 0.1; done
  PORT=$(sed -n 's/.*https:\/\/127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/$name.out")
}

mkdir -p "$WORK/certs"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$WORK/tls.key" -out "$WORK/certs/ca.crt" 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$WORK/token.key" 2>/dev/null
openssl pkey -in "$WORK/token.key" -pubout -out "$WORK/token.pub" 2>/dev/null
htpasswd -cbB "$WORK/htpasswd" alice 'open sesame' 2>/dev/null
htpasswd -bB "$WORK/htpasswd" bob hunter2 2>/dev/null
cat >"$WORK/policy.toml" <<'TOML'
[anonymous]
pull = ["public/*"]

[[rule]]
repositories = ["team/*", "public/*"]
users = ["alice"]
actions = ["pull", "push", "delete"]

[[rule]]
repositories = ["team/*"]
users = ["bob"]
actions = ["pull"]
TOML

TLS=(--tls-cert "$WORK/certs/ca.crt" --tls-key "$WORK/tls.key")
start tokens token-server --listen 127.0.0.1:0 "${TLS[@]}" --htpasswd "$WORK/htpasswd" \
  --policy "$WORK/policy.toml" --key "$WORK/token.key" --issuer e2e-issuer --service e2e-registry
[ -n "$PORT" ] || fail "token server did not start"
start registry --root "$WORK/store" serve --listen 127.0.0.1:0 "${TLS[@]}" \
  --token-key "$WORK/token.pub" --token-realm "https://127.0.0.1:$PORT/token" \
  --token-service e2e-registry --token-issuer e2e-issuer
[ -n "$PORT" ] || fail "registry did not start"
REG=127.0.0.1:$PORT
SK=(skopeo --insecure-policy)
CERTS=(--cert-dir "$WORK/certs")
export REGISTRY_AUTH_FILE=$WORK/auth.json  # no login of the machine's user leaks in

# 1. alice logs in (the registry challenges, skopeo fetches a token) and pushes.
APP=$(make_image_layout "$WORK/app" v1 "token app")
if echo wrong | "${SK[@]}" login "${CERTS[@]}" -u alice --password-stdin "$REG" >/dev/null 2>&1; then
  fail "login with a wrong password succeeded"
fi
echo 'open sesame' | "${SK[@]}" login "${CERTS[@]}" -u alice --password-stdin "$REG" >/dev/null \
  || fail "alice cannot log in"
"${SK[@]}" copy -q --preserve-digests --dest-cert-dir "$WORK/certs" \
  oci:"$WORK/app":v1 docker://$REG/team/app:v1 || fail "alice cannot push team/app"
"${SK[@]}" copy -q --preserve-digests --dest-cert-dir "$WORK/certs" \
  oci:"$WORK/app":v1 docker://$REG/public/app:v1 || fail "alice cannot push public/app"

# 2. Pulls: bob with --creds, then anonymously what the policy opens to everyone.
"${SK[@]}" copy -q --preserve-digests --src-cert-dir "$WORK/certs" --src-creds bob:hunter2 \
  docker://$REG/team/app:v1 oci:"$WORK/bob-out":v1 || fail "bob cannot pull team/app"
check_eq "$(layout_blob_list "$WORK/bob-out")" "$(layout_blob_list "$WORK/app")" "blobs bob pulled"
ANON=$("${SK[@]}" inspect "${CERTS[@]}" --no-creds --format '{{.Digest}}' docker://$REG/public/app:v1) \
  || fail "anonymous pull of public/app refused"
check_eq "$ANON" "$APP" "digest pulled anonymously"
if "${SK[@]}" inspect --raw "${CERTS[@]}" --no-creds docker://$REG/team/app:v1 >/dev/null 2>&1; then
  fail "anonymous pull of team/app succeeded"
fi

# 3. What the policy does not grant is refused: bob pushes, alice outside her globs.
if "${SK[@]}" copy -q --dest-cert-dir "$WORK/certs" --dest-creds bob:hunter2 \
  oci:"$WORK/app":v1 docker://$REG/team/bob:v1 >/dev/null 2>&1; then
  fail "bob pushed with a pull-only grant"
fi
if "${SK[@]}" copy -q --dest-cert-dir "$WORK/certs" \
  oci:"$WORK/app":v1 docker://$REG/other/app:v1 >/dev/null 2>&1; then
  fail "alice pushed outside her repositories"
fi

# 4. A copy between repositories asks for both scopes in one token and mounts the blobs.
"${SK[@]}" copy -q --preserve-digests --src-cert-dir "$WORK/certs" --dest-cert-dir "$WORK/certs" \
  docker://$REG/team/app:v1 docker://$REG/team/copy:v1 || fail "copy between repositories"
"${SK[@]}" copy -q --preserve-digests --src-cert-dir "$WORK/certs" \
  docker://$REG/team/copy:v1 oci:"$WORK/copy-out":v1 || fail "pull of the copy"
check_eq "$(layout_blob_list "$WORK/copy-out")" "$(layout_blob_list "$WORK/app")" "blobs of the copy"
grep -q 'mount=' "$WORK/registry.err" || fail "the copy did not mount"
TAGS=$("${SK[@]}" list-tags "${CERTS[@]}" docker://$REG/team/copy | tr -d ' \n')
check_eq "$TAGS" '{"Repository":"'$REG'/team/copy","Tags":["v1"]}' "tags of team/copy"

for p in "${PIDS[@]}"; do kill -TERM "$p"; wait "$p" || fail "a server exited with $?"; done
PIDS=()
grep -q 'open sesame\|hunter2' "$WORK"/*.err && fail "a password reached a log"
echo "e2e_tokens: all checks passed"
