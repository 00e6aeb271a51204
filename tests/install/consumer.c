/* A front end built against the installed library: initialise a root, push a blob, list. */
#include <reg_storage.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  char id[37], digest[72];
  const char* hello_digest =
      "sha256:2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
  if (argc < 2 || reg_storage_init(argv[1]) != 0) return 1;
  if (reg_blob_start_upload(id) != 0 || reg_blob_append_chunk(id, "hello", 5) != 0) return 2;
  if (reg_blob_finish_upload(id, hello_digest, digest) != 0) {
    fprintf(stderr, "%s\n", reg_storage_last_error());
    return 3;
  }
  if (reg_blob_exists(hello_digest) != 1 || strcmp(digest, hello_digest) != 0) return 4;
  puts(reg_catalog_json(0, NULL));
  reg_storage_cleanup();
  return 0;
}
