# A throwaway GlusterFS volume on this machine: one glusterd bound to 127.0.0.2 (the gluster
# command line refuses loopback 127.0.0.1), a replica-2 volume of two bricks, mounted twice
# through FUSE so that each mount stands for one host. Source it; call gluster_up DIR, then
# gluster_down at exit. Sets GLUSTER_MOUNT_A and GLUSTER_MOUNT_B.

GLUSTER_DIR=""
GLUSTER_VOLUME=""
GLUSTER_MOUNT_A=""
GLUSTER_MOUNT_B=""

# Prints why this machine cannot run the volume, or nothing when it can.
gluster_unavailable() {
  [ "$(id -u)" -eq 0 ] || { echo "needs root (FUSE mounts and glusterd)"; return; }
  [ -c /dev/fuse ] || { echo "no /dev/fuse"; return; }
  command -v glusterd >/dev/null && command -v gluster >/dev/null || { echo "glusterfs-server is not installed"; return; }
  command -v mount.glusterfs >/dev/null || { echo "glusterfs-client is not installed"; return; }
  pgrep -x glusterd >/dev/null && { echo "another glusterd already runs on this machine"; return; }
  ip -4 addr show lo 2>/dev/null | grep -q '127.0.0.1/8' || { echo "loopback has no 127.0.0.0/8"; return; }
}

_gluster() { gluster --mode=script "$@"; }

# Starts glusterd, creates and starts the volume, mounts it twice. MOUNT_OPTS (optional) are
# passed to both mounts.
gluster_up() {
  GLUSTER_DIR=$1
  GLUSTER_VOLUME=tw$$
  mkdir -p "$GLUSTER_DIR"/{wd,log,brick1,brick2,mnt-a,mnt-b}
  cat >"$GLUSTER_DIR/glusterd.vol" <<EOF
volume management
    type mgmt/glusterd
    option working-directory $GLUSTER_DIR/wd
    option transport-type socket
    option transport.socket.bind-address 127.0.0.2
    option transport.socket.listen-port 24007
    option ping-timeout 0
    option event-threads 1
end-volume
EOF
  glusterd --volfile="$GLUSTER_DIR/glusterd.vol" -p "$GLUSTER_DIR/glusterd.pid" \
    -l "$GLUSTER_DIR/log/glusterd.log" || return 1
  for _ in $(seq 50); do _gluster volume list >/dev/null 2>&1 && break; sleep 0.2; done
  _gluster volume create "$GLUSTER_VOLUME" replica 2 \
    127.0.0.2:"$GLUSTER_DIR/brick1" 127.0.0.2:"$GLUSTER_DIR/brick2" force >/dev/null || return 1
  _gluster volume start "$GLUSTER_VOLUME" >/dev/null || return 1
  GLUSTER_MOUNT_A=$GLUSTER_DIR/mnt-a
  GLUSTER_MOUNT_B=$GLUSTER_DIR/mnt-b
  local m
  for m in "$GLUSTER_MOUNT_A" "$GLUSTER_MOUNT_B"; do
    for _ in $(seq 20); do
      mount -t glusterfs ${MOUNT_OPTS:+-o "$MOUNT_OPTS"} 127.0.0.2:/"$GLUSTER_VOLUME" "$m" 2>/dev/null && break
      sleep 0.5
    done
    mountpoint -q "$m" || return 1
  done
}

# Pids of the processes serving this volume (bricks, self-heal daemon, the two FUSE clients),
# found by their volume id on the command line: only what gluster_up started.
_gluster_volume_pids() {
  local f
  for f in /proc/[0-9]*/cmdline; do
    { tr '\0' ' ' <"$f"; } 2>/dev/null | grep -q -- "--volfile-id[= ]/\?\(shd/\)\?$GLUSTER_VOLUME[. ]" &&
      basename "$(dirname "$f")"
  done
  return 0
}

# Unmounts, stops and deletes the volume, stops every gluster process it started (by pid).
gluster_down() {
  [ -n "$GLUSTER_DIR" ] || return 0
  local m pids p
  pids=$(_gluster_volume_pids)
  for m in "$GLUSTER_MOUNT_A" "$GLUSTER_MOUNT_B"; do
    [ -n "$m" ] && mountpoint -q "$m" && umount -l "$m"
  done
  if [ -n "$GLUSTER_VOLUME" ]; then
    _gluster volume stop "$GLUSTER_VOLUME" force >/dev/null 2>&1 || true
    _gluster volume delete "$GLUSTER_VOLUME" >/dev/null 2>&1 || true
  fi
  [ -f "$GLUSTER_DIR/glusterd.pid" ] && kill "$(cat "$GLUSTER_DIR/glusterd.pid")" 2>/dev/null || true
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  sleep 0.5
  for p in $pids; do kill -9 "$p" 2>/dev/null || true; done
  [ -n "$GLUSTER_VOLUME" ] && rm -rf /var/run/gluster/vols/"$GLUSTER_VOLUME" /var/run/gluster/shd/"$GLUSTER_VOLUME"
  GLUSTER_DIR=""
  return 0
}
