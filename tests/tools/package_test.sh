#!/usr/bin/env bash
# The Debian package on this machine: cpack builds it, dpkg installs it, the server runs as
# the unit runs it (its user, its ExecStart), skopeo pushes and pulls, and a purge removes it.
# Usage: package_test.sh BUILD_DIR. Exits 77 (skipped) where it cannot run.
set -euo pipefail
BUILD=$1
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/oci_layout_lib.sh"
skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "installing a package needs root"
for t in dpkg cpack skopeo setpriv; do command -v $t >/dev/null || skip "$t is not installed"; done
if dpkg -s tarnwick-registry >/dev/null 2>&1; then
  skip "a tarnwick-registry package is installed here; the test would replace it"
fi
[ ! -e /var/lib/tarnwick-registry ] || skip "/var/lib/tarnwick-registry exists; the test would remove it"
had_user=$(getent passwd tarnwick-registry >/dev/null && echo yes || echo no)

WORK=$(mktemp -d)
SERVER_PID=""
cleanup() {
  if [ -n "$SERVER_PID" ]; then kill "$SERVER_PID" 2>/dev/null || true; fi
  dpkg --purge tarnwick-registry >/dev/null 2>&1 || true
  rm -rf "$WORK" /var/lib/tarnwick-registry
  if [ "$had_user" = no ] && getent passwd tarnwick-registry >/dev/null; then
    deluser --system tarnwick-registry >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$WORK/server.err" ] && tail -20 "$WORK/server.err" >&2; exit 1; }

(cd "$WORK" && cpack --config "$BUILD/CPackConfig.cmake" >cpack.log 2>&1) || {
  cat "$WORK/cpack.log"; fail "cpack"; }
DEB=$(ls "$WORK"/tarnwick-registry_*.deb)
dpkg -i "$DEB" >"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log"; fail "dpkg -i"; }
for f in /usr/bin/tarnwick-registry /lib/systemd/system/tarnwick-registry.service \
  /etc/tarnwick-registry/config.toml /usr/include/reg_storage.h \
  /usr/share/man/man1/tarnwick-registry-serve.1.gz \
  /usr/share/bash-completion/completions/tarnwick-registry; do
  [ -e "$f" ] || fail "$f is not installed"
done
[ "$(stat -c %U /var/lib/tarnwick-registry)" = tarnwick-registry ] || fail "store owner"
tarnwick-registry config check /etc/tarnwick-registry/config.toml >/dev/null || fail "config check"

# The unit's ExecStart, as its user with no new privileges; only the port is chosen here
# (a flag overrides the configuration's), since another server may hold the default one.
UNIT=/lib/systemd/system/tarnwick-registry.service
EXEC=$(sed -n 's/^ExecStart=//p' "$UNIT")
grep -q '^User=tarnwick-registry$' "$UNIT" || fail "the unit runs as another user"
cd /
# shellcheck disable=SC2086
setpriv --reuid tarnwick-registry --regid tarnwick-registry --init-groups --no-new-privs \
  $EXEC --listen 127.0.0.1:0 >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
for _ in $(seq 100); do grep -q 'http://' "$WORK/server.out" 2>/dev/null && break; sleep 0.1; done
PORT=$(sed -n 's/.*serving.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$WORK/server.out")
[ -n "$PORT" ] || fail "server did not start"

make_image_layout "$WORK/app" v1 "packaged" >/dev/null
SK=(skopeo --insecure-policy)
"${SK[@]}" copy -q --dest-tls-verify=false oci:"$WORK/app":v1 docker://127.0.0.1:$PORT/pkg/app:v1 ||
  fail "push"
"${SK[@]}" copy -q --src-tls-verify=false docker://127.0.0.1:$PORT/pkg/app:v1 oci:"$WORK/back":v1 ||
  fail "pull"
[ -d /var/lib/tarnwick-registry/repositories/pkg/app ] || fail "the store is not where the unit keeps it"
kill -TERM "$SERVER_PID"
wait "$SERVER_PID" || fail "the server did not stop cleanly"
SERVER_PID=""

dpkg --purge tarnwick-registry >"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log"; fail "purge"; }
! dpkg -s tarnwick-registry >/dev/null 2>&1 || fail "still installed"
for f in /usr/bin/tarnwick-registry /lib/systemd/system/tarnwick-registry.service \
  /etc/tarnwick-registry; do
  [ ! -e "$f" ] || fail "$f is left after purge"
done
[ -d /var/lib/tarnwick-registry/repositories ] || fail "purge removed the operator's store"
echo "package test passed"
