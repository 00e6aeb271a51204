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

}  // namespace tool
