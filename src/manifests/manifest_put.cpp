// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
int reg_manifest_put(const char*, const char*, const char*, size_t, const char*, char*) { reg::set_error("not implemented"); return -1; }
}
