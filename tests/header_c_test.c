/* The public header compiles as strict C99, and its functions link from C. */
#include "reg_storage.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  const char* err = reg_storage_last_error();
  if (err == NULL || strcmp(err, "") != 0) {
    fprintf(stderr, "last error not empty at load\n");
    return 1;
  }
  if (reg_storage_init(NULL) != -1) return 1;
  if (strcmp(reg_storage_last_error(), "storage root dir is empty") != 0) return 1;
  return 0;
}
