// Whether an image index of a repository lists a manifest as a child. A tag deletion keeps a
// manifest that such an index needs, so removing a tag never breaks an index.
#pragma once

#include <string_view>

namespace reg {

enum class IndexChild { listed, not_listed, unknown };

// Looks at every manifest body of `repo` except `hex` itself. `unknown` when the manifests
// directory cannot be listed or a body cannot be read: callers then keep the manifest.
IndexChild index_lists_child(const char* repo, std::string_view hex);

}  // namespace reg
