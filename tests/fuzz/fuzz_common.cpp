#include "fuzz_common.h"

#include <cstdio>
#include <unistd.h>

namespace fuzz {

std::string make_root() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/regfuzz-XXXXXX";
  if (!mkdtemp(tmpl.data())) std::abort();
  return tmpl + "/store";
}

}  // namespace fuzz
