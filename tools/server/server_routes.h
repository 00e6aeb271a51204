// Request routing of the registry server: a request path becomes a Route, with the
// repository name and the reference checked against the Distribution API's grammar. Pure
// functions of their input, so they can be tested and fuzzed on their own.
#pragma once

#include <string>
#include <string_view>

namespace tool {

enum class RouteKind {
  base,            // /v2/
  catalog,         // /v2/_catalog
  tags_list,       // /v2/<name>/tags/list
  manifest,        // /v2/<name>/manifests/<reference>
  blob,            // /v2/<name>/blobs/<digest>
  upload_start,    // /v2/<name>/blobs/uploads/
  upload_session,  // /v2/<name>/blobs/uploads/<uuid>
  referrers,       // /v2/<name>/referrers/<digest>
  name_invalid,    // an API path whose repository name breaks the grammar
  not_found,       // anything else
};

struct Route {
  RouteKind kind = RouteKind::not_found;
  std::string name;
  std::string ref;  // reference, digest or upload id, by kind
};

Route parse_route(std::string_view path);

// Repository names: lowercase components separated by '/', each [a-z0-9]+ joined by '.',
// '_', '__' or runs of '-'; at most 255 characters.
bool repo_name_ok(std::string_view name);
// Tags: [A-Za-z0-9_][A-Za-z0-9._-]{0,127}.
bool tag_ok(std::string_view tag);

}  // namespace tool
