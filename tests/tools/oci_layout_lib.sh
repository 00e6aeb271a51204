# Builds small OCI image layouts by hand, for the end-to-end tests and the demo.
# Source it; every function takes the layout directory first.

_sha() { sha256sum "$1" | cut -d' ' -f1; }
_size() { stat -c %s "$1"; }

# Stores a file as a blob of the layout; prints "sha256:<hex> <size>".
layout_add_blob() {
  local dir=$1 file=$2 hex
  mkdir -p "$dir/blobs/sha256"
  hex=$(_sha "$file")
  cp "$file" "$dir/blobs/sha256/$hex"
  echo "sha256:$hex $(_size "$file")"
}

# Makes one image with a single layer holding a file with `content`; prints
# "<manifest digest> <size>". ARCH defaults to amd64.
layout_add_image() {
  local dir=$1 content=$2 arch=${3:-amd64} work
  work=$(mktemp -d)
  mkdir -p "$work/rootfs"
  printf '%s\n' "$content" > "$work/rootfs/hello.txt"
  tar --sort=name --mtime=@0 --owner=0 --group=0 -C "$work/rootfs" -cf "$work/layer.tar" .
  local diff_id
  diff_id=sha256:$(_sha "$work/layer.tar")
  gzip -n -c "$work/layer.tar" > "$work/layer.tar.gz"
  read -r ldig lsize < <(layout_add_blob "$dir" "$work/layer.tar.gz")
  printf '{"architecture":"%s","os":"linux","config":{},"rootfs":{"type":"layers","diff_ids":["%s"]}}' \
    "$arch" "$diff_id" > "$work/config.json"
  read -r cdig csize < <(layout_add_blob "$dir" "$work/config.json")
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"%s","size":%s},"layers":[{"mediaType":"application/vnd.oci.image.layer.v1.tar+gzip","digest":"%s","size":%s}]}' \
    "$cdig" "$csize" "$ldig" "$lsize" > "$work/manifest.json"
  layout_add_blob "$dir" "$work/manifest.json"
  rm -rf "$work"
}

# Makes an image index over images for amd64 and arm64; prints "<index digest> <size>".
layout_add_index() {
  local dir=$1 content=$2 work
  work=$(mktemp -d)
  read -r d1 s1 < <(layout_add_image "$dir" "$content amd64" amd64)
  read -r d2 s2 < <(layout_add_image "$dir" "$content arm64" arm64)
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"%s","size":%s,"platform":{"architecture":"amd64","os":"linux"}},{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"%s","size":%s,"platform":{"architecture":"arm64","os":"linux"}}]}' \
    "$d1" "$s1" "$d2" "$s2" > "$work/index.json"
  layout_add_blob "$dir" "$work/index.json"
  rm -rf "$work"
}

# Writes oci-layout and an index.json naming one entry `ref`.
layout_finish() {
  local dir=$1 media=$2 digest=$3 size=$4 ref=$5
  printf '{"imageLayoutVersion":"1.0.0"}' > "$dir/oci-layout"
  printf '{"schemaVersion":2,"manifests":[{"mediaType":"%s","digest":"%s","size":%s,"annotations":{"org.opencontainers.image.ref.name":"%s"}}]}' \
    "$media" "$digest" "$size" "$ref" > "$dir/index.json"
}

# A layout holding one image tagged `ref`; prints the manifest digest.
make_image_layout() {
  local dir=$1 ref=$2 content=$3
  read -r d s < <(layout_add_image "$dir" "$content")
  layout_finish "$dir" application/vnd.oci.image.manifest.v1+json "$d" "$s" "$ref"
  echo "$d"
}

# A layout holding a two-platform index tagged `ref`; prints the index digest.
make_index_layout() {
  local dir=$1 ref=$2 content=$3
  read -r d s < <(layout_add_index "$dir" "$content")
  layout_finish "$dir" application/vnd.oci.image.index.v1+json "$d" "$s" "$ref"
  echo "$d"
}

# The sorted blob names of a layout, for comparing two layouts.
layout_blob_list() { (cd "$1/blobs/sha256" && ls | sort); }

# Adds an artifact of `type` whose subject is the manifest `subject` of the layout (an empty
# config, no layers), listed unnamed in index.json; prints its digest.
layout_add_referrer() {
  local dir=$1 subject=$2 type=$3 work size
  work=$(mktemp -d)
  size=$(_size "$dir/blobs/sha256/${subject#sha256:}")
  printf '{}' > "$work/empty.json"
  read -r edig esize < <(layout_add_blob "$dir" "$work/empty.json")
  printf '{"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json","artifactType":"%s","config":{"mediaType":"application/vnd.oci.empty.v1+json","digest":"%s","size":%s},"layers":[],"subject":{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":"%s","size":%s}}' \
    "$type" "$edig" "$esize" "$subject" "$size" > "$work/artifact.json"
  read -r adig asize < <(layout_add_blob "$dir" "$work/artifact.json")
  jq -c --arg d "$adig" --argjson s "$asize" \
    '.manifests += [{"mediaType":"application/vnd.oci.image.manifest.v1+json","digest":$d,"size":$s}]' \
    "$dir/index.json" > "$work/index.json"
  mv "$work/index.json" "$dir/index.json"
  rm -rf "$work"
  echo "$adig"
}
