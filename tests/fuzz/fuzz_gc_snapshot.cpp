// The progress snapshot reader on arbitrary progress.json contents: always a snapshot, always
// valid JSON of the fixed shape.
#include <cstring>
#include <string>

#include <yyjson.h>

#include "core/fileutil.h"
#include "core/paths.h"
#include "fuzz_common.h"
#include "reg_storage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string root = fuzz::make_root();
  static const bool ready = reg_storage_init(root.c_str()) == 0;
  if (!ready) std::abort();
  reg::Path dir, file;
  if (!reg::store_path({"_gc"}, dir) || !reg::store_path({"_gc", "progress.json"}, file))
    std::abort();
  reg::mkdirs(dir.c_str());
  reg::write_file(file.c_str(), data, size);
  const char* out = reg_gc_progress_json();
  if (!out) std::abort();
  yyjson_doc* doc = yyjson_read(out, std::strlen(out), 0);
  if (!doc || !yyjson_is_obj(yyjson_doc_get_root(doc))) std::abort();
  if (yyjson_obj_size(yyjson_doc_get_root(doc)) != 10) std::abort();
  yyjson_doc_free(doc);
  return 0;
}
