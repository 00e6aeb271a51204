// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
int reg_repo_delete(const char*) { reg::set_error("not implemented"); return -1; }
}
