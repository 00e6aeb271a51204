#include "server_routes.h"

#include <vector>

#include "core/paths.h"

namespace tool {
namespace {

bool lower_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// [a-z0-9]+ runs joined by exactly one separator: '.', '_', '__' or a run of '-'.
bool component_ok(std::string_view c) {
  size_t i = 0;
  for (;;) {
    size_t run = i;
    while (i < c.size() && lower_alnum(c[i])) ++i;
    if (i == run) return false;  // empty, or a separator where a run must be
    if (i == c.size()) return true;
    if (c.substr(i, 2) == "__")
      i += 2;
    else if (c[i] == '.' || c[i] == '_')
      ++i;
    else if (c[i] == '-')
      while (i < c.size() && c[i] == '-') ++i;
    else
      return false;
  }
}

std::vector<std::string_view> split(std::string_view s) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    size_t slash = s.find('/', start);
    out.push_back(s.substr(start, slash - start));
    if (slash == std::string_view::npos) return out;
    start = slash + 1;
  }
}

std::string join(const std::vector<std::string_view>& parts, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out += '/';
    out += parts[i];
  }
  return out;
}

Route make(RouteKind kind, const std::vector<std::string_view>& segs, size_t name_len,
           std::string_view ref) {
  Route r;
  r.name = join(segs, name_len);
  r.ref = ref;
  r.kind = repo_name_ok(r.name) ? kind : RouteKind::name_invalid;
  return r;
}

}  // namespace

bool repo_name_ok(std::string_view name) {
  if (name.empty() || name.size() > reg::kMaxRepoLen) return false;
  for (std::string_view c : split(name))
    if (!component_ok(c)) return false;
  return true;
}

bool tag_ok(std::string_view tag) {
  if (tag.empty() || tag.size() > 128) return false;
  for (size_t i = 0; i < tag.size(); ++i) {
    char c = tag[i];
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || (i > 0 && (c == '.' || c == '-'));
    if (!ok) return false;
  }
  return true;
}

Route parse_route(std::string_view path) {
  Route r;
  if (path == "/v2" || path == "/v2/") {
    r.kind = RouteKind::base;
    return r;
  }
  if (path.substr(0, 4) != "/v2/") return r;
  std::string_view rest = path.substr(4);
  if (rest == "_catalog") {
    r.kind = RouteKind::catalog;
    return r;
  }
  // The name may itself hold any number of components, so the API's fixed words are read
  // from the end; a tag, digest or upload id never contains '/'.
  std::vector<std::string_view> s = split(rest);
  size_t n = s.size();
  if (n >= 3 && s[n - 3] == "blobs" && s[n - 2] == "uploads")
    return s[n - 1].empty() ? make(RouteKind::upload_start, s, n - 3, "")
                            : make(RouteKind::upload_session, s, n - 3, s[n - 1]);
  if (n >= 3 && s[n - 2] == "blobs" && s[n - 1] == "uploads")
    return make(RouteKind::upload_start, s, n - 2, "");
  if (n >= 3 && s[n - 2] == "tags" && s[n - 1] == "list")
    return make(RouteKind::tags_list, s, n - 2, "");
  if (n >= 2 && !s[n - 1].empty()) {
    if (s[n - 2] == "manifests") return make(RouteKind::manifest, s, n - 2, s[n - 1]);
    if (s[n - 2] == "blobs") return make(RouteKind::blob, s, n - 2, s[n - 1]);
    if (s[n - 2] == "referrers") return make(RouteKind::referrers, s, n - 2, s[n - 1]);
  }
  return r;
}

}  // namespace tool
