// GET /v2/<name>/referrers/<digest>: the manifests of this repository whose `subject` is the
// digest, from the repository's subject index, and those listed by an index that a client
// tagged with the referrers tag schema (sha256-<hex>), optionally filtered by artifactType.
#include <reg_storage.h>

#include "digest.h"
#include "json_util.h"
#include "manifests/subject_index.h"
#include "server_context.h"
#include "server_errors.h"

#include <set>
#include <vector>

namespace tool {
namespace {

// Referrer descriptors parsed once, in the order they are listed; each digest once.
class Referrers {
 public:
  void add_text(const std::string& text) {
    DocPtr doc = parse_json(text);
    if (!doc) return;
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    add(root, std::move(doc));
  }
  void add(yyjson_val* d, DocPtr owner) {
    const std::string digest = json_str(d, "digest");
    if (!is_sha256_digest(digest) || !seen_.insert(digest).second) return;
    items_.push_back(d);
    if (owner) docs_.push_back(std::move(owner));
  }
  void keep(DocPtr doc) { docs_.push_back(std::move(doc)); }

  std::string compose(const std::string& filter) const {
    MutDocPtr doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val* arr = start_oci_index(doc.get());
    for (yyjson_val* d : items_)
      if (filter.empty() || json_str(d, "artifactType") == filter)
        yyjson_mut_arr_append(arr, yyjson_val_mut_copy(doc.get(), d));
    return write_json(doc.get());
  }

 private:
  std::vector<yyjson_val*> items_;
  std::vector<DocPtr> docs_;
  std::set<std::string> seen_;
};

// A client without the referrers API keeps an index under the tag sha256-<hex>; what it lists
// counts as referrers too. Called with the library lock held.
void add_tag_schema_index(const std::string& name, const std::string& hex, Referrers& out) {
  char ct[128], got[72];
  const std::string tag = "sha256-" + hex;
  const char* body = reg_manifest_get(name.c_str(), tag.c_str(), ct, got);
  if (body == nullptr) return;
  DocPtr doc = parse_json(body);
  if (!doc) return;
  yyjson_val* manifests = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "manifests");
  size_t i, n;
  yyjson_val* d;
  yyjson_arr_foreach(manifests, i, n, d) {
    if (yyjson_is_obj(d)) out.add(d, nullptr);
  }
  out.keep(std::move(doc));
}

}  // namespace

void handle_referrers(ServerContext& /*ctx*/, const std::string& name, const std::string& digest,
                      const HttpRequest& req, HttpResponse& res) {
  if (!is_sha256_digest(digest)) return send_error(res, 400, "DIGEST_INVALID", "invalid digest");
  const std::string filter = req.get_param_value("artifactType");
  const std::string hex = digest.substr(7);
  Referrers refs;
  {
    std::vector<std::string> indexed;
    if (!reg::subject_index_list(name, hex, indexed))
      return send_error(res, 500, "UNKNOWN", "the subject index cannot be read");
    for (const auto& text : indexed) refs.add_text(text);
    add_tag_schema_index(name, hex, refs);
  }
  // A digest without referrers, even an unknown one, has an empty list: never 404.
  res.status = 200;
  if (!filter.empty()) res.set_header("OCI-Filters-Applied", "artifactType");
  res.set_content(refs.compose(filter), kOciIndexType);
}

}  // namespace tool
