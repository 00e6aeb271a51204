/* The shared library loads with dlopen, works, and really unloads with dlclose: a symbol
 * that pins it (a unique C++ template instance, a NODELETE flag) would keep it mapped, and
 * a second load would then see the first load's state. */
#define _XOPEN_SOURCE 700
#include <dlfcn.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int (*init_fn)(const char*);
typedef const char* (*catalog_fn)(int, const char*);
typedef const char* (*error_fn)(void);

static int failed(const char* what) {
  const char* why = dlerror();
  fprintf(stderr, "%s%s%s\n", what, why != NULL ? ": " : "", why != NULL ? why : "");
  return 1;
}

/* Loads the library, initialises it on root when root is not null, and lists the catalog:
 * returns the catalog text's first byte, or 0 with the last error copied to err. */
static int load_and_list(const char* lib, const char* root, char* err, size_t err_cap) {
  void* h = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
  if (h == NULL) return -1;
  init_fn init = (init_fn)dlsym(h, "reg_storage_init");
  catalog_fn catalog = (catalog_fn)dlsym(h, "reg_catalog_json");
  error_fn last_error = (error_fn)dlsym(h, "reg_storage_last_error");
  int first = -1;
  if (init != NULL && catalog != NULL && last_error != NULL && (root == NULL || init(root) == 0)) {
    const char* text = catalog(10, NULL);
    first = text != NULL ? text[0] : 0;
    snprintf(err, err_cap, "%s", last_error());
  }
  return dlclose(h) == 0 ? first : -1;
}

static int remove_entry(const char* path, const struct stat* st, int flag, struct FTW* ftw) {
  (void)st, (void)flag, (void)ftw;
  return remove(path);
}

int main(int argc, char** argv) {
  if (argc != 3) return failed("usage: dlopen_test LIBRARY SCRATCH_DIR");
  const char* lib = argv[1];
  char root[4096];
  snprintf(root, sizeof root, "%s/dlopen-root", argv[2]);
  nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);

  char err[1024] = "";
  if (load_and_list(lib, root, err, sizeof err) != '{') return failed("first load");
  if (dlopen(lib, RTLD_NOW | RTLD_NOLOAD) != NULL) return failed("still loaded after dlclose");
  /* A fresh copy starts uninitialised: the first load's root is gone with it. */
  if (load_and_list(lib, NULL, err, sizeof err) != 0) return failed("second load");
  if (strcmp(err, "not initialized - call reg_storage_init first") != 0) {
    fprintf(stderr, "second load kept state: \"%s\"\n", err);
    return 1;
  }
  if (dlopen(lib, RTLD_NOW | RTLD_NOLOAD) != NULL) return failed("still loaded after reload");
  nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  return 0;
}
