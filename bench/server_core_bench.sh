#!/usr/bin/env bash
# Server core benchmarks (not part of the test suite), each a ratio against a reference run on
# the same machine in the same run:
#  1. a fresh GET /v2/ while IDLE silent and TRICKLE header-trickling connections are open
#     (no credentials): its latency, and the server's RSS;
#  2. manifest GET requests/s at 32 and 128 connections (wrk) against nginx serving the same
#     bytes as a static file;
#  3. authenticated manifest GET requests/s over the same without authentication;
#  4. aggregate throughput of N = 1, 2, 4, 8 concurrent chunked pushes of PUSH_MIB against N
#     processes each writing the same bytes to a file and hashing it with openssl dgst;
#  5. the finish (PUT ?digest=) of a BIG_MIB upload against openssl dgst of the same file;
#  6. p99 of manifest GETs during that finish over p99 with no upload;
#  7. a BIG_MIB blob pull against nginx serving the same file.
# Usage: bench/server_core_bench.sh BUILD/tools/tarnwick-registry [BIG_MIB=1024] [PUSH_MIB=64]
#        [WRK_SECONDS=5] [IDLE=10000] [TRICKLE=1000]
set -euo pipefail
TOOL=$(realpath "$1")
BIG_MIB=${2:-1024}
PUSH_MIB=${3:-64}
SECS=${4:-5}
IDLE=${5:-10000}
TRICKLE=${6:-1000}
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$(mktemp -d)
chmod 755 "$WORK"  # nginx's workers run as another user
. "$HERE/bench_lib.sh"
cleanup() {
  stop_all_servers
  [ -f "$WORK/nginx.pid" ] && kill "$(cat "$WORK/nginx.pid")" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
ulimit -n 20000
rps() { awk '/^Requests\/sec/ {print $2}' "$1"; }
p99_ms() { awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub("us","",v); v/=1000} else if (v ~ /ms$/) sub("ms","",v); else if (v ~ /s$/) {sub("s","",v); v*=1000}; print v}' "$1"; }
rss_mib() { awk '/^VmRSS/ {printf "%.1f", $2 / 1024}' /proc/"$SERVER_PID"/status; }

# --- 1. slow clients (the limits raised so that one address may open them all) ---
start_server "$WORK/store" --max-connections 20000 --max-connections-per-address 20000
python3 "$HERE/slow_clients.py" "${URL##*:}" "$IDLE" "$TRICKLE" "$SERVER_PID" > "$WORK/slow.txt"
cat "$WORK/slow.txt"
stop_server

# --- content: one manifest, one BIG blob ---
start_server "$WORK/store"
push_small_image "$URL" bench/small latest
mkdir -p "$WORK/www"
small_manifest > "$WORK/www/manifest"
head -c $((BIG_MIB * 1024 * 1024)) /dev/urandom > "$WORK/www/big"
BIGD=sha256:$(sha256sum "$WORK/www/big" | cut -d' ' -f1)

# nginx on the same files, with as many workers as the server has I/O threads.
NGINX_PORT=$((20000 + RANDOM % 20000))
cat > "$WORK/nginx.conf" <<EOF
worker_processes 2;
pid $WORK/nginx.pid;
error_log $WORK/nginx.err;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  server { listen 127.0.0.1:$NGINX_PORT; root $WORK/www; }
}
EOF
nginx -c "$WORK/nginx.conf" -p "$WORK"
NGINX=http://127.0.0.1:$NGINX_PORT

# --- 2. manifest GETs against nginx ---
for c in 32 128; do
  wrk -t 2 -c "$c" -d "${SECS}s" --latency "$URL/v2/bench/small/manifests/latest" > "$WORK/reg.txt"
  wrk -t 2 -c "$c" -d "${SECS}s" --latency "$NGINX/manifest" > "$WORK/ngx.txt"
  echo "manifest GET at $c connections: $(rps "$WORK/reg.txt") req/s (p99 $(p99_ms "$WORK/reg.txt") ms);" \
    "nginx $(rps "$WORK/ngx.txt") req/s (p99 $(p99_ms "$WORK/ngx.txt") ms);" \
    "ratio $(ratio "$(rps "$WORK/reg.txt")" "$(rps "$WORK/ngx.txt")")"
done
wrk -t 2 -c 32 -d "${SECS}s" --latency "$URL/v2/bench/small/manifests/latest" > "$WORK/quiet.txt"
QUIET_P99=$(p99_ms "$WORK/quiet.txt")

# --- 7. blob pull against nginx ---
cp "$WORK/www/big" "$WORK/big.push"
LOC=$(curl -s -D - -o /dev/null -X POST "$URL/v2/bench/big/blobs/uploads/" | sed -n 's/^Location: //p' | tr -d '\r')
curl -s -f -o /dev/null -X PATCH -H 'Content-Type: application/octet-stream' -T "$WORK/big.push" "$URL$LOC"
curl -s -f -o /dev/null -X PUT "$URL$LOC?digest=$BIGD"
cat "$WORK/store/blobs/sha256/${BIGD:7:2}/${BIGD:7}" "$WORK/www/big" > /dev/null  # page cache
t0=$(now); curl -s -f -o /dev/null "$URL/v2/bench/big/blobs/$BIGD"; t1=$(now)
PULL=$(elapsed "$t0" "$t1")
t0=$(now); curl -s -f -o /dev/null "$NGINX/big"; t1=$(now)
NPULL=$(elapsed "$t0" "$t1")
echo "pull ${BIG_MIB} MiB: ${PULL} s; nginx ${NPULL} s; speed ratio $(ratio "$NPULL" "$PULL")"

# --- 5 and 6. finish of a BIG upload, and manifest GET p99 during it ---
LOC=$(curl -s -D - -o /dev/null -X POST "$URL/v2/bench/big2/blobs/uploads/" | sed -n 's/^Location: //p' | tr -d '\r')
printf 'x' >> "$WORK/big.push"  # another blob than the one stored
BIG2D=sha256:$(sha256sum "$WORK/big.push" | cut -d' ' -f1)
curl -s -f -o /dev/null -X PATCH -H 'Content-Type: application/octet-stream' -T "$WORK/big.push" "$URL$LOC"
t0=$(now); openssl dgst -sha256 "$WORK/big.push" > /dev/null; t1=$(now)
DGST=$(elapsed "$t0" "$t1")
wrk -t 2 -c 32 -d 2s --latency "$URL/v2/bench/small/manifests/latest" > "$WORK/busy.txt" &
WRK_PID=$!
sleep 0.2
t0=$(now); curl -s -f -o /dev/null -X PUT "$URL$LOC?digest=$BIG2D"; t1=$(now)
FINISH=$(elapsed "$t0" "$t1")
wait "$WRK_PID"
echo "finish of ${BIG_MIB} MiB: ${FINISH} s; openssl dgst ${DGST} s; ratio $(ratio "$FINISH" "$DGST")"
echo "manifest GET p99 during the finish: $(p99_ms "$WORK/busy.txt") ms; without: ${QUIET_P99} ms;" \
  "ratio $(ratio "$(p99_ms "$WORK/busy.txt")" "$QUIET_P99")"
rm -f "$WORK/big.push" "$WORK/www/big"

# --- 4. concurrent chunked pushes against write + openssl dgst by as many processes ---
for n in 1 2 4 8; do
  for i in $(seq "$n"); do head -c $((PUSH_MIB * 1024 * 1024)) /dev/urandom > "$WORK/p$i"; done
  t0=$(now)
  jobs_=()
  for i in $(seq "$n"); do
    (cat "$WORK/p$i" > "$WORK/c$i" && openssl dgst -sha256 "$WORK/c$i" > /dev/null) &
    jobs_+=($!)
  done
  wait "${jobs_[@]}"  # not the server, a child of this shell too
  t1=$(now)
  FLOOR=$(elapsed "$t0" "$t1")
  rm -f "$WORK"/c*
  # The client's own work (digests, 8 MiB chunk files) is done before the clock starts.
  for i in $(seq "$n"); do
    sha256sum "$WORK/p$i" | cut -d' ' -f1 > "$WORK/p$i.digest"
    split -b 8M "$WORK/p$i" "$WORK/p$i.part."
  done
  t0=$(now)
  jobs_=()
  for i in $(seq "$n"); do
    (
      d=sha256:$(cat "$WORK/p$i.digest")
      loc=$(curl -s -D - -o /dev/null -X POST "$URL/v2/bench/push$i/blobs/uploads/" | sed -n 's/^Location: //p' | tr -d '\r')
      # Each chunk one PATCH with its Content-Range, as chunked clients push.
      off=0
      for part in "$WORK/p$i.part."*; do
        len=$(stat -c %s "$part")
        curl -s -f -o /dev/null -X PATCH -H 'Content-Type: application/octet-stream' \
          -H "Content-Range: $off-$((off + len - 1))" -T "$part" "$URL$loc"
        off=$((off + len))
      done
      curl -s -f -o /dev/null -X PUT "$URL$loc?digest=$d"
    ) &
    jobs_+=($!)
  done
  wait "${jobs_[@]}"
  t1=$(now)
  PUSH=$(elapsed "$t0" "$t1")
  rm -f "$WORK"/p*
  echo "$n concurrent pushes of ${PUSH_MIB} MiB: ${PUSH} s ($(echo "scale=0; $n * $PUSH_MIB / $PUSH" | bc) MiB/s);" \
    "write + dgst by $n processes ${FLOOR} s; throughput ratio $(ratio "$FLOOR" "$PUSH")"
done
stop_server

# --- 3. authenticated manifest GETs over unauthenticated ---
printf 'bench:%s\n' "$(htpasswd -nbB -C 10 bench bench | cut -d: -f2)" > "$WORK/htpasswd"
start_server "$WORK/store" --htpasswd "$WORK/htpasswd"
wrk -t 2 -c 32 -d "${SECS}s" -H "Authorization: Basic $(printf bench:bench | base64)" \
  "$URL/v2/bench/small/manifests/latest" > "$WORK/auth.txt"
stop_server
start_server "$WORK/store"
wrk -t 2 -c 32 -d "${SECS}s" "$URL/v2/bench/small/manifests/latest" > "$WORK/noauth.txt"
stop_server
echo "authenticated manifest GET: $(rps "$WORK/auth.txt") req/s; without: $(rps "$WORK/noauth.txt") req/s;" \
  "ratio $(ratio "$(rps "$WORK/auth.txt")" "$(rps "$WORK/noauth.txt")")"
