// Placeholder until this operation lands.
#include "core/context.h"
#include "reg_storage.h"

extern "C" {
int reg_blob_start_upload(char*) { reg::set_error("not implemented"); return -1; }
int reg_blob_append_chunk(const char*, const void*, size_t) { reg::set_error("not implemented"); return -1; }
int reg_blob_finish_upload(const char*, const char*, char*) { reg::set_error("not implemented"); return -1; }
int reg_blob_cancel_upload(const char*) { reg::set_error("not implemented"); return -1; }
int reg_blob_upload_size(const char*, long long*) { reg::set_error("not implemented"); return -1; }
}
