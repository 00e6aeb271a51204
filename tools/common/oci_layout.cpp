#include "oci_layout.h"

#include "digest.h"
#include "json_util.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tool {
namespace fs = std::filesystem;
namespace {

bool read_text(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  out = ss.str();
  return !in.bad();
}

Descriptor parse_descriptor(yyjson_val* v) {
  Descriptor d;
  d.media_type = json_str(v, "mediaType");
  d.digest = json_str(v, "digest");
  yyjson_val* size = yyjson_obj_get(v, "size");
  d.size = yyjson_is_int(size) ? static_cast<long long>(yyjson_get_sint(size)) : -1;
  d.ref_name = json_str(yyjson_obj_get(v, "annotations"), kRefNameAnnotation);
  return d;
}

bool valid_descriptor(const Descriptor& d, std::string& error) {
  if (!is_sha256_digest(d.digest)) {
    error = "descriptor with an unsupported or invalid digest: " + d.digest;
    return false;
  }
  if (d.size < 0) {
    error = "descriptor without a size: " + d.digest;
    return false;
  }
  return true;
}

}  // namespace

std::string layout_blob_path(const std::string& dir, const std::string& digest) {
  return dir + "/blobs/sha256/" + digest.substr(7);
}

bool read_layout_index(const std::string& dir, std::vector<Descriptor>& out, std::string& error) {
  std::string text;
  DocPtr layout;
  if (!read_text(dir + "/oci-layout", text) || !(layout = parse_json(text)) ||
      json_str(yyjson_doc_get_root(layout.get()), "imageLayoutVersion").empty()) {
    error = "not an OCI image layout (no valid oci-layout file): " + dir;
    return false;
  }
  DocPtr index;
  if (!read_text(dir + "/index.json", text) || !(index = parse_json(text))) {
    error = "cannot read index.json in " + dir;
    return false;
  }
  yyjson_val* arr = yyjson_obj_get(yyjson_doc_get_root(index.get()), "manifests");
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(arr, i, n, v) {
    out.push_back(parse_descriptor(v));
    if (!valid_descriptor(out.back(), error)) return false;
  }
  return true;
}

bool read_verified_blob(const std::string& dir, const Descriptor& d, std::string& body,
                        std::string& error) {
  if (!read_text(layout_blob_path(dir, d.digest), body)) {
    error = "blob missing from the layout: " + d.digest;
    return false;
  }
  if (static_cast<long long>(body.size()) != d.size || sha256_digest(body) != d.digest) {
    error = "blob does not match its descriptor: " + d.digest;
    return false;
  }
  return true;
}

bool parse_manifest_refs(const std::string& body, ManifestRefs& out, std::string& error) {
  DocPtr doc = parse_json(body);
  yyjson_val* root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_obj(root)) {
    error = "manifest is not a JSON object";
    return false;
  }
  yyjson_val* manifests = yyjson_obj_get(root, "manifests");
  out.is_index = manifests != nullptr;
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(manifests, i, n, v) out.children.push_back(parse_descriptor(v));
  if (yyjson_val* config = yyjson_obj_get(root, "config"); !out.is_index && config)
    out.blobs.push_back(parse_descriptor(config));
  yyjson_arr_foreach(out.is_index ? nullptr : yyjson_obj_get(root, "layers"), i, n, v)
      out.blobs.push_back(parse_descriptor(v));
  for (const auto* list : {&out.children, &out.blobs})
    for (const Descriptor& d : *list)
      if (!valid_descriptor(d, error)) return false;
  return true;
}

bool ensure_layout(const std::string& dir, std::string& error) {
  std::error_code ec;
  fs::create_directories(dir + "/blobs/sha256", ec);
  if (ec) {
    error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  if (fs::exists(dir + "/oci-layout")) return true;
  if (!write_file_atomic(dir + "/oci-layout", "{\"imageLayoutVersion\":\"1.0.0\"}")) {
    error = "cannot write " + dir + "/oci-layout";
    return false;
  }
  return true;
}

bool write_file_atomic(const std::string& path, const std::string& data) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out.write(data.data(), static_cast<std::streamsize>(data.size()))) return false;
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  return !ec;
}

bool add_to_layout_index(const std::string& dir, const Descriptor& d, std::string& error) {
  MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* arr = start_oci_index(doc.get());
  std::string text;
  DocPtr old;
  if (read_text(dir + "/index.json", text) && (old = parse_json(text))) {
    size_t i, n;
    yyjson_val* v;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(old.get()), "manifests"), i, n, v) {
      Descriptor e = parse_descriptor(v);
      bool same = d.ref_name.empty() ? (e.ref_name.empty() && e.digest == d.digest)
                                     : e.ref_name == d.ref_name;
      if (!same) yyjson_mut_arr_append(arr, yyjson_val_mut_copy(doc.get(), v));
    }
  }
  yyjson_mut_val* e = yyjson_mut_arr_add_obj(doc.get(), arr);
  yyjson_mut_obj_add_strcpy(doc.get(), e, "mediaType", d.media_type.c_str());
  yyjson_mut_obj_add_strcpy(doc.get(), e, "digest", d.digest.c_str());
  yyjson_mut_obj_add_int(doc.get(), e, "size", d.size);
  if (!d.ref_name.empty()) {
    yyjson_mut_val* ann = yyjson_mut_obj_add_obj(doc.get(), e, "annotations");
    yyjson_mut_obj_add_strcpy(doc.get(), ann, kRefNameAnnotation, d.ref_name.c_str());
  }
  if (!write_file_atomic(dir + "/index.json", write_json(doc.get()))) {
    error = "cannot write " + dir + "/index.json";
    return false;
  }
  return true;
}

}  // namespace tool
