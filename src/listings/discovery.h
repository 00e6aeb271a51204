// Repository discovery: the one walk of the repositories tree. A repository is a directory
// below `repositories` that holds a `_manifests` directory; repositories may nest.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/paths.h"

namespace reg {

inline constexpr int kMaxRepoDepth = 8;  // depth of the deepest directory walked (9 levels)

// Depth-first pre-order walk of `dir` over every entry of every directory, nine levels deep.
// A directory whose name would be longer than a repository name may be (kMaxRepoLen) is
// passed over with everything below it: no operation accepts that name, and cut short it
// would name another repository.
void collect_repos_recursive(const Path& dir, std::string_view prefix,
                             std::vector<std::string>& names, int depth);
// The top call: every caller starts at root/repositories with an empty prefix.
std::vector<std::string> discover_repos();

// Every repository at any depth, seeing every directory entry. Returns false when some
// directory below `repositories` could not be listed or a path would not fit, so that a
// caller that must not act on a partial list (the collector) can refuse.
bool discover_all_repos(std::vector<std::string>& out);

}  // namespace reg
