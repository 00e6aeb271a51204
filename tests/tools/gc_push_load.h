// Pushes in a loop while collections run through the server, for the tests that no push is
// refused or loses a blob, and for the benchmark of how long pushes wait. Large stores are
// written file by file: 100,000 blobs take seconds that way, many minutes through the API.
#pragma once

#include "server_process.h"

#include <string>
#include <vector>

namespace tooltest {

// Writes `blobs` blob files named by blobs / 100 tagged manifests (one config and 99 layers
// each, in repositories big/r0 to big/r9), and `garbage` blob files that no manifest names,
// dated two hours back so that a collection with the default grace period deletes them.
void write_large_store(const std::string& root, int blobs, int garbage);

// A new scratch directory for such a store: on tmpfs (/dev/shm) where there is one, since on
// a busy disk writing and removing 100,000 files takes most of a minute, or under
// $TARNWICK_LARGE_STORE_DIR when that is set.
std::string make_large_store_dir();

struct Pushed {
  std::string tag, manifest;
  std::vector<std::string> blobs;  // contents; their digests are named by the manifest
};

// One push to `repo`: a blob no manifest names, then a config, a layer and the manifest under
// tag t<i>. Returns the manifest's status, or the first blob upload's that was not 201 (0 for
// no answer); `why` holds the body of a refusal.
int push_image(httplib::Client& c, const std::string& repo, int i, Pushed& p, std::string& why);

// Whether every push is whole: its tag gives its manifest, every blob its content.
bool pushes_whole(httplib::Client& c, const std::string& repo, const std::vector<Pushed>& pushes,
                  std::string& why);

struct PushLoadOptions {
  std::string repo = "loop/app";
  int min_pushes = 200;              // pushes made at least, and on until the collections end
  int collections = 3;               // run one after another while pushing; 0: pushes only
  std::vector<std::string> gc_args;  // after `gc`, e.g. {"--grace-period", "0"}
};

struct PushLoadResult {
  std::vector<Pushed> acked;
  std::vector<std::string> refusals;  // status and body of every push not acknowledged
  int collections = 0;                // that succeeded
  std::vector<std::string> collection_errors;
  long long longest_push_us = 0;  // one push, its four requests, end to end
  long long p99_push_us = 0;
  // The server's own count of how long commits waited for the store: every one of them
  // waited at most this long (the bound of the histogram bucket that holds the longest).
  double longest_wait_bound_s = 0;
  long long longest_hold_ms = 0;  // the collections' longest hold of the store lock
  long long longest_collection_ms = 0;
  long long blobs_deleted = 0;
};

// Pushes to `server` while `root`'s collections run one after another through the tool (which
// asks the server to run them).
PushLoadResult push_while_collecting(const ServerProcess& server, const std::string& root,
                                     const PushLoadOptions& o);

}  // namespace tooltest
