// tarnwick-registry-fsck: checks a storage root and reports what is damaged or does not
// belong; it never changes the store. A program of its own because it reads the store below
// the library's exported functions: it links the library's objects statically.
//
// Exit status: 0 when the store is sound (warnings allowed: they are states that readers
// tolerate and that later operations or the collector clear), 1 when a finding is corrupt,
// 2 when the store could not be checked (bad arguments, no such directory).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fsck/fsck.h"
#include "store_repair.h"
#include "reg_storage.h"

namespace {

constexpr int kExitSound = 0;
constexpr int kExitCorrupt = 1;
constexpr int kExitUnchecked = 2;

void usage(std::FILE* out) {
  std::fputs(
      "usage: tarnwick-registry-fsck [--root DIR] [--json] [--repair]\n"
      "Checks every blob and manifest against its digest, the content-type files, tag and "
      "revision\n"
      "links, the blobs that manifests name, stale uploads and stray entries. The root defaults "
      "to\n"
      "$TARNWICK_ROOT. --repair first heals what a crash left (waiting for pushes and collections\n"
      "to finish): removes temporary files, damaged or empty blobs (pushed again by the next\n"
      "client), empty tag links, revision links and content-type files, reports damaged\n"
      "manifests with their tags; rebuilds the subject index and blob record of every\n"
      "repository from the manifests; then checks.\n"
      "Exit 0: sound (warnings allowed); 1: corrupt findings; 2: not checked.\n",
      out);
}

struct Args {
  std::string root;
  bool json = false;
  bool repair = false;
};

// False (after the message) when the arguments cannot be used; *done when --help was asked.
bool parse_args(int argc, char** argv, Args& a, bool* done) {
  if (const char* env = std::getenv("TARNWICK_ROOT")) a.root = env;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--json") {
      a.json = true;
    } else if (arg == "--repair") {
      a.repair = true;
    } else if (arg == "--root" && i + 1 < argc) {
      a.root = argv[++i];
    } else if (arg.starts_with("--root=")) {
      a.root = arg.substr(7);
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      *done = true;
      return true;
    } else {
      std::fprintf(stderr, "tarnwick-registry-fsck: unknown argument: %s\n", argv[i]);
      usage(stderr);
      return false;
    }
  }
  if (a.root.empty()) {
    std::fputs("tarnwick-registry-fsck: no storage root: pass --root DIR or set TARNWICK_ROOT\n",
               stderr);
    return false;
  }
  return true;
}

bool repair(const Args& args) {
  std::string text, error;
  if (!tool::repair_store(args.root, text, error)) {
    std::fprintf(stderr, "tarnwick-registry-fsck: %s\n", error.c_str());
    return false;
  }
  std::fwrite(text.data(), 1, text.size(), args.json ? stderr : stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  bool done = false;
  if (!parse_args(argc, argv, args, &done)) return kExitUnchecked;
  if (done) return kExitSound;
  if (!reg::fsck_attach(args.root.c_str())) {
    std::fprintf(stderr, "tarnwick-registry-fsck: %s\n", reg_storage_last_error());
    return kExitUnchecked;
  }
  if (args.repair && !repair(args)) return kExitUnchecked;
  reg::FsckReport report;
  if (!reg::fsck_store(report)) {
    std::fprintf(stderr, "tarnwick-registry-fsck: %s\n", reg_storage_last_error());
    return kExitUnchecked;
  }
  const std::string out =
      args.json ? reg::fsck_json(report, args.root) + "\n" : reg::fsck_text(report, args.root);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return report.sound() ? kExitSound : kExitCorrupt;
}
