// The crash test's model of what the store must hold: exact for acknowledged operations,
// widened to old-or-new for the one operation a kill cut short. Operations travel from the
// child to the parent as lines of space-separated tokens, "B <kind> ..." before and
// "A ..." after a success.
#pragma once

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace regtest {

using Key = std::pair<std::string, std::string>;  // (repo, tag) or (repo, digest)

struct Model {
  std::map<Key, std::string> tags;                    // -> digest
  std::map<Key, std::vector<std::string>> manifests;  // (repo, digest) -> blobs it names
  std::set<std::string> loose;  // blobs acknowledged since the last collection
  std::set<std::string> gone;   // blobs an acknowledged removal took (until uploaded again)
};

// What the cut-short operation may have changed: allowed tag values ("" for absent), and
// manifests that may be stored or not.
struct Doubt {
  std::map<Key, std::set<std::string>> tags;
  std::map<Key, std::vector<std::string>> manifests;
  bool loose_lost = false;
  std::set<std::string> blobs;  // blobs that may be stored or not
};

inline std::vector<std::string> split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string t; in >> t;) out.push_back(t);
  return out;
}

inline bool other_tag_names(const Model& m, const std::string& repo, const std::string& tag,
                            const std::string& digest, const std::set<Key>& also_going = {}) {
  for (const auto& [k, d] : m.tags)
    if (k.first == repo && k.second != tag && d == digest && !also_going.count(k)) return true;
  return false;
}

inline void delete_tag(Model& m, const std::string& repo, const std::string& tag) {
  const auto it = m.tags.find({repo, tag});
  if (it == m.tags.end()) return;
  const std::string d = it->second;
  m.tags.erase(it);
  if (!other_tag_names(m, repo, tag, d)) m.manifests.erase({repo, d});
}

// Pairs "repo tag" from tokens [from, end).
inline std::vector<Key> pairs_from(const std::vector<std::string>& t, std::size_t from) {
  std::vector<Key> out;
  for (std::size_t i = from; i + 1 < t.size(); i += 2) out.emplace_back(t[i], t[i + 1]);
  return out;
}

// An acknowledged operation: "B ..." tokens `op`, "A ..." tokens `ack`.
inline void apply_acked(Model& m, const std::vector<std::string>& op,
                        const std::vector<std::string>& ack) {
  const std::string& kind = op[1];
  if (kind == "BLOB") {
    m.loose.insert(op[2]);
    m.gone.erase(op[2]);
  } else if (kind == "BLOBDEL") {
    m.loose.erase(op[2]);
    m.gone.insert(op[2]);
  } else if (kind == "REPODEL") {
    std::erase_if(m.tags, [&](const auto& e) { return e.first.first == op[2]; });
    std::erase_if(m.manifests, [&](const auto& e) { return e.first.first == op[2]; });
  } else if (kind == "PUSH") {
    if (op[3].rfind("sha256:", 0) != 0) m.tags[{op[2], op[3]}] = op[4];
    m.manifests[{op[2], op[4]}] = std::vector<std::string>(op.begin() + 5, op.end());
  } else if (kind == "DELTAG") {
    delete_tag(m, op[2], op[3]);
  } else if (kind == "DELDIG") {
    for (auto it = m.tags.begin(); it != m.tags.end();)
      it = it->first.first == op[2] && it->second == op[3] ? m.tags.erase(it) : std::next(it);
    m.manifests.erase({op[2], op[3]});
  } else if (kind == "GC") {
    m.loose.clear();
    m.gone.insert(ack.begin() + 1, ack.end());  // the blobs it removed, when the caller knows
  } else if (kind == "RET") {
    for (const auto& [repo, tag] : pairs_from(ack, 1)) delete_tag(m, repo, tag);
  }
}

inline void doubt_tag(const Model& m, Doubt& d, const Key& k, const std::string& alt) {
  const auto it = m.tags.find(k);
  d.tags[k] = {it == m.tags.end() ? "" : it->second, alt};
}

inline void doubt_manifest(const Model& m, Doubt& d, const Key& k) {
  const auto it = m.manifests.find(k);
  if (it != m.manifests.end()) d.manifests[k] = it->second;
}

// The operation a kill cut short.
inline void widen(const Model& m, const std::vector<std::string>& op, Doubt& d) {
  const std::string& kind = op[1];
  if (kind == "BLOB" || kind == "BLOBDEL") {
    d.blobs.insert(op[2]);
  } else if (kind == "REPODEL") {
    for (const auto& [k, v] : m.tags)
      if (k.first == op[2]) doubt_tag(m, d, k, "");
    for (const auto& [k, v] : m.manifests)
      if (k.first == op[2]) doubt_manifest(m, d, k);
  } else if (kind == "PUSH") {
    if (op[3].rfind("sha256:", 0) != 0) doubt_tag(m, d, {op[2], op[3]}, op[4]);
    if (!m.manifests.count({op[2], op[4]}))
      d.manifests[{op[2], op[4]}] = {op.begin() + 5, op.end()};
  } else if (kind == "DELTAG") {
    const auto it = m.tags.find({op[2], op[3]});
    if (it == m.tags.end()) return;
    doubt_tag(m, d, it->first, "");
    if (!other_tag_names(m, op[2], op[3], it->second)) doubt_manifest(m, d, {op[2], it->second});
  } else if (kind == "DELDIG") {
    for (const auto& [k, v] : m.tags)
      if (k.first == op[2] && v == op[3]) doubt_tag(m, d, k, "");
    doubt_manifest(m, d, {op[2], op[3]});
  } else if (kind == "GC") {
    d.loose_lost = true;
  } else if (kind == "RET") {
    const std::vector<Key> sel = pairs_from(op, 4);
    const std::set<Key> going(sel.begin(), sel.end());
    for (const auto& k : sel) {
      const auto it = m.tags.find(k);
      if (it == m.tags.end()) continue;
      doubt_tag(m, d, k, "");
      if (!other_tag_names(m, k.first, k.second, it->second, going))
        doubt_manifest(m, d, {k.first, it->second});
    }
  }
}

}  // namespace regtest
