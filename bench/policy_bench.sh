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
. "$(dirname "$0")/bench_lib.sh"
trap 'stop_all_servers; rm -rf "$WORK"' EXIT
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

start_server "$WORK/store-plain" --htpasswd "$WORK/htpasswd"
PLAIN=$URL
start_server "$WORK/store-policy" --htpasswd "$WORK/htpasswd" --policy "$WORK/policy.toml"
POLICY=$URL
push_small_image "$PLAIN" bench/app v1 -u alice:secret
push_small_image "$POLICY" bench/app v1 -u alice:secret
AUTH="Authorization: Basic $(printf 'alice:secret' | base64)"
rps() { wrk -t2 -c16 -d"${SECS}s" -H "$AUTH" "$1/v2/bench/app/manifests/v1" | awk '/Requests\/sec/ {print $2}'; }
for round in 1 2; do
  P=$(rps "$PLAIN"); Q=$(rps "$POLICY")
  echo "round $round: without policy $P req/s, with 1,000 rules $Q req/s, ratio $(echo "scale=3; $Q / $P" | bc)"
done
