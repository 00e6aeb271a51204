# Shared by the server benchmark scripts (sourced): timing, ratios, servers, a small image.
# The caller sets TOOL (the program) and WORK (a scratch directory) and, on exit, calls
# stop_all_servers.
PIDS=()
now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
ratio() { echo "scale=2; $1 / $2" | bc; }

# start_server ROOT [serve options...]: starts a server on a free loopback port; sets URL and
# SERVER_PID. Not to be called in $(...), which would lose both.
start_server() {
  local root=$1 out
  shift
  out=$WORK/server.$RANDOM.out
  "$TOOL" --root "$root" serve --listen 127.0.0.1:0 --access-log /dev/null "$@" >"$out" 2>&1 &
  SERVER_PID=$!
  PIDS+=("$SERVER_PID")
  for _ in $(seq 100); do grep -q 'http://' "$out" && break; sleep 0.1; done
  URL=http://127.0.0.1:$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out")
}
stop_server() { kill "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; }
stop_all_servers() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; }

SMALL_CONFIG='{"bench":true}'
# The manifest of the small image: one config blob, no layers.
small_manifest() {
  local d
  d=sha256:$(printf '%s' "$SMALL_CONFIG" | sha256sum | cut -d' ' -f1)
  printf '%s' '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"'"$d"'","size":'${#SMALL_CONFIG}'},"layers":[]}'
}
# push_small_image URL REPO TAG [curl options...]: uploads the config, then puts the manifest.
push_small_image() {
  local url=$1 repo=$2 tag=$3 d
  shift 3
  d=sha256:$(printf '%s' "$SMALL_CONFIG" | sha256sum | cut -d' ' -f1)
  curl -sf "$@" -o /dev/null -X POST --data-binary "$SMALL_CONFIG" \
    -H 'Content-Type: application/octet-stream' "$url/v2/$repo/blobs/uploads/?digest=$d"
  curl -sf "$@" -o /dev/null -X PUT -H 'Content-Type: application/vnd.oci.image.manifest.v1+json' \
    --data-binary "$(small_manifest)" "$url/v2/$repo/manifests/$tag"
}
