#!/usr/bin/env bash
# Server benchmarks (not part of the test suite):
#  1. push of a 1 GiB blob through the server (one PATCH stream, then PUT) against the floor of
#     writing the same bytes to a file and hashing that file locally;
#  2. pull of it (GET) against `cat` of the blob file;
#  3. 32 connections for 30 s of manifest GETs with wrk: requests/s, p99, errors.
# Usage: bench/server_bench.sh PATH/TO/tarnwick-registry [SIZE_MIB] [WRK_SECONDS]
set -euo pipefail
TOOL=$1
SIZE_MIB=${2:-1024}
SECS=${3:-30}
WORK=$(mktemp -d)
. "$(dirname "$0")/bench_lib.sh"
trap 'stop_all_servers; rm -rf "$WORK"' EXIT
rss_kib() { awk '/^VmRSS/ {print $2}' /proc/"$SERVER_PID"/status; }
hwm_kib() { awk '/^VmHWM/ {print $2}' /proc/"$SERVER_PID"/status; }

start_server "$WORK/store"
echo "server RSS at start: $(rss_kib) KiB"

head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/blob"
DIGEST=sha256:$(sha256sum "$WORK/blob" | cut -d' ' -f1)
cat "$WORK/blob" > /dev/null  # in the page cache for every run below

# Floor: the bytes written to a new file, then that file hashed (the work a commit needs).
t0=$(now)
cat "$WORK/blob" > "$WORK/copy" && openssl dgst -sha256 "$WORK/copy" > /dev/null
t1=$(now)
FLOOR=$(elapsed "$t0" "$t1")
rm -f "$WORK/copy"

LOC=$(curl -s -D - -o /dev/null -X POST "$URL/v2/bench/big/blobs/uploads/" | sed -n 's/^Location: //p' | tr -d '\r')
t0=$(now)
curl -s -f -o /dev/null -X PATCH -H 'Content-Type: application/octet-stream' -T "$WORK/blob" "$URL$LOC"
curl -s -f -o /dev/null -X PUT "$URL$LOC?digest=$DIGEST"
t1=$(now)
PUSH=$(elapsed "$t0" "$t1")
HWM_PUSH=$(hwm_kib)

BLOBFILE=$WORK/store/blobs/sha256/${DIGEST:7:2}/${DIGEST:7}
t0=$(now); cat "$BLOBFILE" > /dev/null; t1=$(now)
CAT=$(elapsed "$t0" "$t1")
# `cat > /dev/null` may not copy the bytes at all; through a pipe they are read and written.
t0=$(now); cat "$BLOBFILE" | cat > /dev/null; t1=$(now)
CATPIPE=$(elapsed "$t0" "$t1")
t0=$(now); curl -s -f -o /dev/null "$URL/v2/bench/big/blobs/$DIGEST"; t1=$(now)
PULL=$(elapsed "$t0" "$t1")
HWM_PULL=$(hwm_kib)

echo "push ${SIZE_MIB} MiB: ${PUSH} s; floor (write + hash): ${FLOOR} s; push speed / floor speed = $(ratio "$FLOOR" "$PUSH")x"
echo "pull ${SIZE_MIB} MiB: ${PULL} s; cat of the blob file: ${CAT} s; pull speed / cat speed = $(ratio "$CAT" "$PULL")x"
echo "  cat through a pipe: ${CATPIPE} s; pull speed / that = $(ratio "$CATPIPE" "$PULL")x"
echo "server peak RSS: after push ${HWM_PUSH} KiB, after pull ${HWM_PULL} KiB"
rm -f "$WORK/blob"

# Small objects: one manifest, fetched by 32 connections.
push_small_image "$URL" bench/small latest
command -v wrk >/dev/null || { echo "wrk not installed: small-object load skipped"; exit 0; }
# GETs only: wrk's response parser waits for a body after any HEAD response whose
# Content-Length is not 0 (as a HEAD response's must be), so it cannot drive HEADs.
wrk -t 4 -c 32 -d "${SECS}s" --latency "$URL/v2/bench/small/manifests/latest" > "$WORK/wrk.txt"
RPS=$(awk '/^Requests\/sec/ {print $2}' "$WORK/wrk.txt")
P99=$(awk '$1 == "99%" {print $2}' "$WORK/wrk.txt")
ERRS=$(grep -E 'Non-2xx|Socket errors' "$WORK/wrk.txt" || echo "none")
echo "manifest GET, 32 connections ${SECS}s: ${RPS} req/s, p99 ${P99}, errors: ${ERRS}"
