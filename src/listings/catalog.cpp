// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
const char* reg_catalog_json_page(int, const char*, int*, char*, size_t) { reg::set_error("not implemented"); return nullptr; }
const char* reg_catalog_json(int, const char*) { reg::set_error("not implemented"); return nullptr; }
}
