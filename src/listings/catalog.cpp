// The repository catalog: every repository that discovery finds, sorted, one page at a time.
#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "listings/discovery.h"
#include "listings/paging.h"
#include "reg_storage.h"

namespace reg {
namespace {

const char* catalog_json_page(int n, const char* last, int* has_more, char* next_last,
                              std::size_t next_last_size) {
  reset_page_outputs(has_more, next_last, next_last_size);
  if (!require_ready()) return nullptr;
  std::vector<std::string> names = discover_repos();
  sort_str(names);
  ResultWriter out;
  out.append("{\"repositories\":[");
  return write_page(out, names, n, last, has_more, next_last, next_last_size);
}

}  // namespace
}  // namespace reg

extern "C" {

const char* reg_catalog_json_page(int n, const char* last, int* has_more, char* next_last,
                                  size_t next_last_size) {
  return reg::guarded(static_cast<const char*>(nullptr), [&] {
    return reg::catalog_json_page(n, last, has_more, next_last, next_last_size);
  });
}

const char* reg_catalog_json(int n, const char* last) {
  return reg_catalog_json_page(n, last, nullptr, nullptr, 0);
}

}  // extern "C"
