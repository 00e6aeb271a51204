#!/usr/bin/env bash
# Access policy cost: authenticated manifest GETs per second (wrk, 16 connections) against a
# server with a policy of 1,000 rules (the rule that grants the pull is the last one of the
# user's, after 999 that name other repositories) over the same server without a policy.
# Both runs use the same htpasswd user; the two servers are measured alternately, twice.
# Usage: bench/policy_bench.sh PATH/TO/tarnwick-registry [WRK_SECONDS]
set -euo pipefail
TOOL=$1
SECS=${2:-10}
WORK=$(mktemp -d)
PIDS=()
trap 'for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$WORK"' EXIT
htpasswd -cbB "$WORK/htpasswd" alice secret 2>/dev/null
{
  echo '[groups]'
  echo 'team = ["alice"]'
  for i in $(seq 1 999); do
    printf '[[rule]]\nrepositories = ["team%d/*", "other%d"]\ngroups = ["team"]\nactions = ["pull", "push"]\n' "$i" "$i"
  done
  printf '[[rule]]\nrepositories = ["bench/*"]\nusers = ["alice"]\nactions = ["pull", "push"]\n'
} > "$WORK/policy.toml"
"$TOOL" policy check "$WORK/policy.toml" --user alice --repo bench/app | head -2

start() {  # name, extra serve options...
  local name=$1; shift
  "$TOOL" --root "$WORK/store-$name" serve --listen 127.0.0.1:0 --access-log /dev/null \
    --htpasswd "$WORK/htpasswd" "$@" >"$WORK/$name.out" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 100); do grep -q 'http://' "$WORK/$name.out" && break; sleep 0.1; done
  sed -n 's/.*\(http:\/\/127\.0\.0\.1:[0-9]*\).*/\1/p' "$WORK/$name.out"
}
push_image() {  # url
  local url=$1 cfg='{}' d
  d=sha256:$(printf '%s' "$cfg" | sha256sum | cut -d' ' -f1)
  curl -sf -u alice:secret -o /dev/null -X POST --data-binary "$cfg" \
    -H 'Content-Type: application/octet-stream' "$url/v2/bench/app/blobs/uploads/?digest=$d"
  curl -sf -u alice:secret -o /dev/null -X PUT -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
    --data-binary '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"'"$d"'","size":2},"layers":[]}' \
    "$url/v2/bench/app/manifests/v1"
}
PLAIN=$(start plain)
POLICY=$(start policy --policy "$WORK/policy.toml")
push_image "$PLAIN"
push_image "$POLICY"
AUTH="Authorization: Basic $(printf 'alice:secret' | base64)"
rps() { wrk -t2 -c16 -d"${SECS}s" -H "$AUTH" "$1/v2/bench/app/manifests/v1" | awk '/Requests\/sec/ {print $2}'; }
for round in 1 2; do
  P=$(rps "$PLAIN"); Q=$(rps "$POLICY")
  echo "round $round: without policy $P req/s, with 1,000 rules $Q req/s, ratio $(echo "scale=3; $Q / $P" | bc)"
done
