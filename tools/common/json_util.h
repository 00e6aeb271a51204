// Small owners and readers for yyjson documents used by the tool.
#pragma once

#include <yyjson.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tool {

struct DocFree {
  void operator()(yyjson_doc* d) const noexcept { yyjson_doc_free(d); }
};
struct MutDocFree {
  void operator()(yyjson_mut_doc* d) const noexcept { yyjson_mut_doc_free(d); }
};
using DocPtr = std::unique_ptr<yyjson_doc, DocFree>;
using MutDocPtr = std::unique_ptr<yyjson_mut_doc, MutDocFree>;

// Strict parse; null when the text is not JSON.
inline DocPtr parse_json(std::string_view text) {
  return DocPtr(yyjson_read(text.data(), text.size(), 0));
}

inline std::string json_str(yyjson_val* obj, const char* key) {
  yyjson_val* v = yyjson_obj_get(obj, key);
  return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string();
}

inline long long json_int(yyjson_val* obj, const char* key) {
  yyjson_val* v = yyjson_obj_get(obj, key);
  return yyjson_is_int(v) ? static_cast<long long>(yyjson_get_sint(v)) : 0;
}

inline bool json_bool(yyjson_val* obj, const char* key) {
  return yyjson_is_true(yyjson_obj_get(obj, key));
}

// Compact text of a mutable document.
inline std::string write_json(yyjson_mut_doc* doc) {
  size_t len = 0;
  char* text = yyjson_mut_write(doc, 0, &len);
  if (text == nullptr) return std::string();
  std::string out(text, len);
  free(text);
  return out;
}

inline constexpr const char* kOciIndexType = "application/vnd.oci.image.index.v1+json";

// A new OCI image index document, {"schemaVersion":2,"mediaType":…,"manifests":[]}; returns
// its "manifests" array for the caller to fill.
inline yyjson_mut_val* start_oci_index(yyjson_mut_doc* doc) {
  yyjson_mut_val* root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "schemaVersion", 2);
  yyjson_mut_obj_add_str(doc, root, "mediaType", kOciIndexType);
  return yyjson_mut_obj_add_arr(doc, root, "manifests");
}

}  // namespace tool
