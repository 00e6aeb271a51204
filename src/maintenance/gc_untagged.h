// Untagged manifests: bodies that no tag names and that no kept manifest needs, either as a
// child of an index or as the subject of a referrer. Pushes cut short and tag deletions that
// were interrupted leave them, and the collector keeps them (and their blobs) as roots for
// ever unless an operator chooses to remove them.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace reg {

struct UntaggedManifest {
  std::string repo, hex;
  bool index = false;  // lists child manifests: removed before the children it lists
};

struct UntaggedPlan {
  std::vector<UntaggedManifest> items;  // indexes first
  std::unordered_set<std::string> keys;  // mark_key of each item
};

// The untagged manifests of the store whose body was last written at least `min_age_s`
// before `now_unix`. Kept, with everything they need, are: tagged manifests, younger ones,
// and any body that cannot be read or parsed (it may stand for anything). Index children and
// subjects are followed store-wide by digest, since an index may name a child stored in
// another repository. False when some repository could not be read whole: then the plan is
// empty.
bool gc_plan_untagged(std::int64_t now_unix, std::int64_t min_age_s, UntaggedPlan& out);

// The hex of every manifest a tag of `repo` names. False when a tag link exists but cannot be
// read: what it names is unknown.
bool gc_tagged_in(const std::string& repo, std::unordered_set<std::string>& out);

}  // namespace reg
