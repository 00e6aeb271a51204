// Reads a store after a crash or a power cut through the public API and settles the model of
// crash_model.h: every acknowledged effect must be there (or, for a removal, gone), the one
// cut-short operation's entries may read either way and are taken as found. Returns one line
// per difference, so a test can fail on them or count them.
#pragma once

#include <yyjson.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "reg_storage.h"
#include "support/crash_model.h"
#include "support/fsck_helpers.h"

namespace regtest {

using Problems = std::vector<std::string>;

// The tag's digest, or "" when it does not exist; a failure of another kind is a problem.
inline std::string observe_tag(const Key& k, Problems& p) {
  char ct[128], d[72];
  if (reg_manifest_get(k.first.c_str(), k.second.c_str(), ct, d)) return d;
  const std::string err = reg_storage_last_error();
  if (err != "tag not found: " + k.first + ":" + k.second)
    p.push_back("tag " + k.first + ":" + k.second + " unreadable: " + err);
  return "";
}

// Whether the manifest is stored whole; a revision link whose body a cut-short deletion
// already removed counts as not stored.
inline bool observe_manifest(const Key& k, Problems& p) {
  char ct[128], d[72];
  if (const char* body = reg_manifest_get(k.first.c_str(), k.second.c_str(), ct, d)) {
    if (digest_of(body) != k.second) p.push_back("manifest torn: " + k.first + "@" + k.second);
    return true;
  }
  const std::string err = reg_storage_last_error();
  if (err != "manifest not found: " + k.first + "@" + k.second &&
      err != "manifest body not found: " + k.first + "@" + k.second)
    p.push_back("manifest " + k.first + "@" + k.second + " unreadable: " + err);
  return false;
}

inline void settle_tags(Model& m, const Doubt& d, Problems& p) {
  std::set<Key> keys;
  for (const auto& [k, v] : m.tags) keys.insert(k);
  for (const auto& [k, v] : d.tags) keys.insert(k);
  for (const auto& k : keys) {
    const std::string got = observe_tag(k, p);
    const auto it = m.tags.find(k);
    const std::set<std::string> allowed =
        d.tags.count(k) ? d.tags.at(k) : std::set<std::string>{it == m.tags.end() ? "" : it->second};
    if (!allowed.count(got))
      p.push_back("tag " + k.first + ":" + k.second + " reads as '" + got + "'");
    if (got.empty())
      m.tags.erase(k);
    else
      m.tags[k] = got;
  }
}

// A blob is stored whole when its bytes hash to its name.
inline bool blob_whole(const std::string& digest) {
  if (reg_blob_exists(digest.c_str()) != 1) return false;
  char path[4096];
  if (reg_blob_get_filepath(digest.c_str(), path, sizeof path) != 0) return false;
  return digest_of(read_all(path)) == digest;
}

inline void settle_manifests(Model& m, const Doubt& d, Problems& p) {
  std::map<Key, std::vector<std::string>> all = m.manifests;
  all.insert(d.manifests.begin(), d.manifests.end());
  for (const auto& [k, blobs] : all) {
    const bool present = observe_manifest(k, p);
    if (!present && !d.manifests.count(k))
      p.push_back("acknowledged manifest lost: " + k.first + "@" + k.second);
    if (!present) {
      m.manifests.erase(k);
      continue;
    }
    m.manifests[k] = blobs;
    for (const auto& b : blobs)
      if (!blob_whole(b)) p.push_back(k.first + "@" + k.second + " needs " + b);
  }
  for (const auto& [k, v] : m.tags)
    if (!m.manifests.count({k.first, v}))
      p.push_back("tag " + k.first + ":" + k.second + " names no stored manifest");
}

inline std::size_t listed_tags(const std::string& repo) {
  std::size_t n = 0;
  if (const char* json = reg_tags_list_json(repo.c_str())) {
    yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
    n = yyjson_arr_size(yyjson_obj_get(yyjson_doc_get_root(doc), "tags"));
    yyjson_doc_free(doc);
  }
  return n;
}

// "repo tag repo tag ..." of a retention report's "deleted" list.
inline std::string retention_deleted_pairs(const char* json) {
  std::string out;
  yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
  std::size_t i, n;
  yyjson_val* e;
  yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "deleted"), i, n, e) {
    out += std::string(out.empty() ? "" : " ") + yyjson_get_str(yyjson_obj_get(e, "repository")) +
           " " + yyjson_get_str(yyjson_obj_get(e, "tag"));
  }
  yyjson_doc_free(doc);
  return out;
}

inline Problems settle(Model& m, const Doubt& d, const std::vector<std::string>& repos) {
  Problems p;
  settle_tags(m, d, p);
  settle_manifests(m, d, p);
  if (d.loose_lost) m.loose.clear();
  for (const auto& b : m.loose)
    if (!d.blobs.count(b) && !blob_whole(b)) p.push_back("acknowledged upload lost: " + b);
  for (const auto& b : m.gone)
    if (!d.blobs.count(b) && reg_blob_exists(b.c_str()) != 0)
      p.push_back("acknowledged blob removal undone: " + b);
  // No tag appears that the model does not know.
  for (const auto& repo : repos) {
    std::size_t known = 0;
    for (const auto& [k, v] : m.tags) known += k.first == repo;
    if (listed_tags(repo) != known) p.push_back("tags of " + repo + " differ from the model");
  }
  return p;
}

}  // namespace regtest
