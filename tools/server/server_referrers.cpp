// GET /v2/<name>/referrers/<digest>: the library's store-wide referrers, narrowed to the
// manifests this repository holds, each with its artifactType, optionally filtered by it.
#include <reg_storage.h>

#include "digest.h"
#include "json_util.h"
#include "server_context.h"
#include "server_errors.h"

#include <vector>

namespace tool {
namespace {

struct Referrer {
  yyjson_val* descriptor;
  std::string artifact_type;
};

// The artifact type of a manifest: its own artifactType, else its config's media type.
std::string artifact_type_of(const std::string& body) {
  DocPtr doc = parse_json(body);
  if (!doc) return std::string();
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  std::string t = json_str(root, "artifactType");
  return t.empty() ? json_str(yyjson_obj_get(root, "config"), "mediaType") : t;
}

std::string empty_index() {
  return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
         "\"manifests\":[]}";
}

// Keeps the descriptors whose manifest is stored in `name`; called with the library lock held.
std::vector<Referrer> in_repository(const std::string& name, yyjson_val* manifests) {
  std::vector<Referrer> out;
  size_t i, n;
  yyjson_val* d;
  yyjson_arr_foreach(manifests, i, n, d) {
    std::string digest = json_str(d, "digest");
    char ct[128], got[72];
    const char* body = reg_manifest_get(name.c_str(), digest.c_str(), ct, got);
    if (body != nullptr) out.push_back({d, artifact_type_of(body)});
  }
  return out;
}

std::string compose(const std::vector<Referrer>& refs, const std::string& filter) {
  MutDocPtr doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_obj_add_int(doc.get(), root, "schemaVersion", 2);
  yyjson_mut_obj_add_str(doc.get(), root, "mediaType", "application/vnd.oci.image.index.v1+json");
  yyjson_mut_val* arr = yyjson_mut_obj_add_arr(doc.get(), root, "manifests");
  for (const Referrer& r : refs) {
    if (!filter.empty() && r.artifact_type != filter) continue;
    yyjson_mut_val* d = yyjson_val_mut_copy(doc.get(), r.descriptor);
    if (!r.artifact_type.empty())
      yyjson_mut_obj_add_strcpy(doc.get(), d, "artifactType", r.artifact_type.c_str());
    yyjson_mut_arr_append(arr, d);
  }
  return write_json(doc.get());
}

}  // namespace

void handle_referrers(ServerContext& ctx, const std::string& name, const std::string& digest,
                      const httplib::Request& req, httplib::Response& res) {
  if (!is_sha256_digest(digest)) return send_error(res, 400, "DIGEST_INVALID", "invalid digest");
  std::string filter = req.get_param_value("artifactType");
  if (!filter.empty()) res.set_header("OCI-Filters-Applied", "artifactType");
  std::string json, error;
  std::lock_guard<std::mutex> l(ctx.library);
  const char* text = reg_referrers_json(digest.c_str());
  if (text == nullptr) {
    error = reg_storage_last_error();
    // An unknown subject simply has no referrers.
    if (error == "manifest not found")
      return res.set_content(empty_index(), "application/vnd.oci.image.index.v1+json");
    return send_library_error(res, error);
  }
  json = text;  // copied: the manifest reads below reuse the library's buffer
  DocPtr doc = parse_json(json);
  if (!doc) return send_error(res, 500, "UNKNOWN", "unexpected referrers from the library");
  yyjson_val* manifests = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "manifests");
  std::vector<Referrer> refs = in_repository(name, manifests);
  res.status = 200;
  res.set_content(compose(refs, filter), "application/vnd.oci.image.index.v1+json");
}

}  // namespace tool
