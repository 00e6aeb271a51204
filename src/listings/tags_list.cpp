// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
const char* reg_tags_list_json_page(const char*, int, const char*, int*, char*, size_t) { reg::set_error("not implemented"); return nullptr; }
const char* reg_tags_list_json(const char*) { reg::set_error("not implemented"); return nullptr; }
}
