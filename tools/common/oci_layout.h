// Reading and writing OCI image layout directories (oci-layout, index.json, blobs/sha256/).
#pragma once

#include <string>
#include <vector>

namespace tool {

inline constexpr const char* kRefNameAnnotation = "org.opencontainers.image.ref.name";

struct Descriptor {
  std::string media_type;
  std::string digest;
  long long size = -1;
  std::string ref_name;  // the ref-name annotation, if any
};

std::string layout_blob_path(const std::string& dir, const std::string& digest);

// Checks oci-layout and reads index.json's descriptors.
bool read_layout_index(const std::string& dir, std::vector<Descriptor>& out, std::string& error);

// Reads a blob of the layout whole (manifests) after checking its size and digest.
bool read_verified_blob(const std::string& dir, const Descriptor& d, std::string& body,
                        std::string& error);

// Descriptors that a manifest names: the children of an index, or its config and layers.
struct ManifestRefs {
  bool is_index = false;
  std::vector<Descriptor> children;  // index entries
  std::vector<Descriptor> blobs;     // config first, then layers
};
bool parse_manifest_refs(const std::string& body, ManifestRefs& out, std::string& error);

// Creates the layout's directories and its oci-layout file when missing.
bool ensure_layout(const std::string& dir, std::string& error);

// Writes a file whole (temporary file, then rename).
bool write_file_atomic(const std::string& path, const std::string& data);

// Adds `d` to index.json, replacing an entry with the same ref name (or digest, unnamed).
bool add_to_layout_index(const std::string& dir, const Descriptor& d, std::string& error);

}  // namespace tool
