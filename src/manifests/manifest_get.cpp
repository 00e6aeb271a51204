// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
const char* reg_manifest_get(const char*, const char*, char*, char*) { reg::set_error("not implemented"); return nullptr; }
}
