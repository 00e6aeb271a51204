// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
const char* reg_storage_get_stats_json(void) { reg::set_error("not implemented"); return nullptr; }
}
