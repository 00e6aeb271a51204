// How long pushes wait while collections run through the server on a large store: the same
// push loop once without collections (the reference) and once beside them, and the longest
// hold of the store lock each collection reports. A plain program: one run, figures printed.
//
//   build/bench/gc_push_wait [BLOBS] [PUSHES] [COLLECTIONS] [DIR]
//   (defaults 100000, 400, 3, a temporary directory under /tmp)
#include "gc_push_load.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

void print_run(const char* what, const tooltest::PushLoadResult& r) {
  std::printf(
      "%-22s %zu pushes, %zu refused, push 99th percentile %.1f ms, longest %.1f ms, "
      "every commit waited for the store at most %g s",
      what, r.acked.size() + r.refusals.size(), r.refusals.size(),
      static_cast<double>(r.p99_push_us) / 1e3, static_cast<double>(r.longest_push_us) / 1e3,
      r.longest_wait_bound_s);
  if (r.collections > 0)
    std::printf("; %d collections, longest %lld ms, longest hold %lld ms, %lld blobs deleted",
                r.collections, r.longest_collection_ms, r.longest_hold_ms, r.blobs_deleted);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const int blobs = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int pushes = argc > 2 ? std::atoi(argv[2]) : 400;
  const int collections = argc > 3 ? std::atoi(argv[3]) : 3;
  const std::string dir = argc > 4 ? argv[4] : tooltest::make_temp_dir();
  const std::string root = dir + "/store";
  const int garbage = blobs / 100;
  std::printf("store: %d blobs named by %d manifests, %d unnamed\n", blobs, blobs / 100, garbage);
  tooltest::write_large_store(root, blobs, garbage);
  int failed = 0;
  {
    tooltest::ServerProcess server(root, {}, {});
    tooltest::PushLoadOptions o;
    o.min_pushes = pushes;
    o.collections = 0;
    o.repo = "bench/reference";
    const tooltest::PushLoadResult ref = tooltest::push_while_collecting(server, root, o);
    print_run("without collections:", ref);
    o.collections = collections;
    o.repo = "bench/collected";
    const tooltest::PushLoadResult run = tooltest::push_while_collecting(server, root, o);
    print_run("beside collections:", run);
    if (ref.longest_push_us > 0 && ref.p99_push_us > 0)
      std::printf(
          "beside collections / without: 99th percentile %.2f, longest %.2f\n",
          static_cast<double>(run.p99_push_us) / static_cast<double>(ref.p99_push_us),
          static_cast<double>(run.longest_push_us) / static_cast<double>(ref.longest_push_us));
    failed = static_cast<int>(run.refusals.size() + run.collection_errors.size());
    for (const std::string& e : run.collection_errors)
      std::printf("collection failed: %s\n", e.c_str());
  }
  std::filesystem::remove_all(argc > 4 ? root : dir);
  return failed == 0 ? 0 : 1;
}
