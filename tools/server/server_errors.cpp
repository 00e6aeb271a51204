#include "server_errors.h"

#include "json_util.h"
#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

namespace tool {
namespace {

struct Mapping {
  std::string_view prefix;
  ApiError error;
};

// Longest prefixes first where one message begins like another.
constexpr std::array<Mapping, 21> kMappings{{
    {"BLOB_UNKNOWN: ", {400, "MANIFEST_BLOB_UNKNOWN"}},
    {"TAG_IMMUTABLE: ", {403, "DENIED"}},
    {"manifest too large", {413, "SIZE_INVALID"}},
    {"manifest not found", {404, "MANIFEST_UNKNOWN"}},
    {"manifest body not found", {404, "MANIFEST_UNKNOWN"}},
    {"manifest body too large", {500, "UNKNOWN"}},
    {"manifest JSON parse failed", {400, "MANIFEST_INVALID"}},
    {"manifest must be", {400, "MANIFEST_INVALID"}},
    {"manifest missing", {400, "MANIFEST_INVALID"}},
    {"manifest \"manifests\"", {400, "MANIFEST_INVALID"}},
    {"manifest index", {400, "MANIFEST_INVALID"}},
    {"manifest layer", {400, "MANIFEST_INVALID"}},
    {"empty reference", {400, "MANIFEST_INVALID"}},
    {"content type too long", {400, "MANIFEST_INVALID"}},
    {"tag not found", {404, "MANIFEST_UNKNOWN"}},
    {"blob not found", {404, "BLOB_UNKNOWN"}},
    {"upload not found", {404, "BLOB_UPLOAD_UNKNOWN"}},
    {"repository not found", {404, "NAME_UNKNOWN"}},
    {"invalid repository name", {400, "NAME_INVALID"}},
    {"invalid", {400, "DIGEST_INVALID"}},  // invalid digest / digest reference / expected digest
    {"digest mismatch", {400, "DIGEST_INVALID"}},
}};

// The root's spellings, longest first, each with its trailing separator; written once before
// any request runs.
std::vector<std::string>& root_spellings() {
  static std::vector<std::string> roots;
  return roots;
}

// Failures that pass by themselves: a retry later can succeed.
bool transient(int err) {
  return err == EMFILE || err == ENFILE || err == ENOMEM || err == EAGAIN || err == EBUSY ||
         err == EINTR || err == ETIMEDOUT;
}

}  // namespace

void set_error_path_root(const std::string& root) {
  std::vector<std::string>& roots = root_spellings();
  roots.clear();
  auto add = [&](std::string r) {
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r.size() > 1) roots.push_back(r);  // "/" itself would cut every separator
  };
  add(root);
  if (char* abs = realpath(root.c_str(), nullptr)) {
    add(abs);
    free(abs);
  }
  std::sort(roots.begin(), roots.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

std::string without_root(std::string message) {
  for (const std::string& root : root_spellings()) {
    for (size_t at = message.find(root); at != std::string::npos; at = message.find(root, at)) {
      size_t end = at + root.size();
      if (end < message.size() && message[end] == '/') ++end;  // "root/uploads/x" -> "uploads/x"
      message.erase(at, end - at);
    }
  }
  return message;
}

ApiError map_library_error(std::string_view message) {
  for (const Mapping& m : kMappings)
    if (message.substr(0, m.prefix.size()) == m.prefix) return m.error;
  return {500, "UNKNOWN"};
}

void send_error(HttpResponse& res, int status, const char* code, std::string_view message) {
  MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_val* errors = yyjson_mut_obj_add_arr(doc.get(), root, "errors");
  yyjson_mut_val* e = yyjson_mut_arr_add_obj(doc.get(), errors);
  yyjson_mut_obj_add_str(doc.get(), e, "code", code);
  const std::string text_message = without_root(std::string(message));
  yyjson_mut_obj_add_strncpy(doc.get(), e, "message", text_message.data(), text_message.size());
  // A message may echo bytes of the request that are not UTF-8: they become U+FFFD escapes
  // instead of failing the whole body.
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> text(
      yyjson_mut_write(doc.get(), YYJSON_WRITE_ALLOW_INVALID_UNICODE | YYJSON_WRITE_ESCAPE_UNICODE,
                       &len),
      &free);
  res.status = status;
  res.set_content(text ? std::string(text.get(), len) : std::string(), "application/json");
}

void send_error(HttpResponse& res, ApiError e, std::string_view message) {
  send_error(res, e.status, e.code, message);
}

void send_library_error(HttpResponse& res, const std::string& message) {
  ApiError e = map_library_error(message);
  const reg::platform::Failure f = reg::platform::last_failure();
  if (e.status == 500 && f.err != 0) {
    res.log_note = message + " (" + f.op + ": " + reg::platform::describe(f.err) + ")";
    if (transient(f.err)) {
      send_error(res, 503, "UNAVAILABLE", message);
      res.set_header("Retry-After", "5");
      return;
    }
  } else if (e.status == 500) {
    res.log_note = message;
  }
  send_error(res, e, message);
}

}  // namespace tool
