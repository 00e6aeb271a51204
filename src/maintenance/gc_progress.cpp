// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
int reg_gc_cancel(void) { reg::set_error("not implemented"); return -1; }
const char* reg_gc_progress_json(void) { return "{}"; }
}
