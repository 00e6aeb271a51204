// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
const char* reg_retention_json(int, int, int, int, int*) { reg::set_error("not implemented"); return nullptr; }
}
