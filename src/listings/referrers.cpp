// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
const char* reg_referrers_json(const char*) { reg::set_error("not implemented"); return nullptr; }
}
