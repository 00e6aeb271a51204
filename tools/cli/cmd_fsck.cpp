// The checker reads the store below the library's exported functions, which the shared
// library does not offer, so it is a program of its own; this command only finds and runs it.
#include "cmd_fsck.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace tool {
namespace {

constexpr int kExitUnchecked = 2;

// The directory of the running program, from /proc/self/exe; "" when it cannot be read.
std::string own_dir() {
  std::vector<char> buf(4096);
  const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "";
  std::string path(buf.data(), static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

int run_fsck(const GlobalOptions& g, bool repair) {
  if (g.root.empty()) {
    fail("no storage root: pass --root DIR");
    return kExitUnchecked;
  }
  const std::string dir = own_dir();
  if (dir.empty()) {
    fail("fsck: cannot find the directory of this program");
    return kExitUnchecked;
  }
  const std::string prog = dir + "/tarnwick-registry-fsck";
  std::vector<const char*> argv = {prog.c_str(), "--root", g.root.c_str()};
  if (g.json) argv.push_back("--json");
  if (repair) argv.push_back("--repair");
  argv.push_back(nullptr);
  std::fflush(nullptr);
  execv(prog.c_str(), const_cast<char* const*>(argv.data()));
  fail("fsck: cannot run " + prog + ": " + std::strerror(errno));
  return kExitUnchecked;
}

}  // namespace tool
