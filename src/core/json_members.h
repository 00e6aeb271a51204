// Members of a parsed JSON object by key. The parser keeps every member of a key that occurs
// twice, and a client may honour any of them, so whatever decides on a key looks at each.
#pragma once

#include <yyjson.h>

#include <string_view>

namespace reg {

// Calls fn(value) for every member named `key`, in document order, until fn returns false.
// True when fn never did (also when there is no such member, or `obj` is no object).
template <class Fn>
bool each_member(yyjson_val* obj, std::string_view key, Fn&& fn) {
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  while (yyjson_val* k = yyjson_obj_iter_next(&it))
    if (yyjson_equals_strn(k, key.data(), key.size()) && !fn(yyjson_obj_iter_get_val(k)))
      return false;
  return true;
}

}  // namespace reg
