// The soak's workload against one running server: pushes (monolithic, chunked and mounted
// blobs, then a manifest), pulls that check every byte by its digest, deletions, and a ledger
// of every push the server acknowledged, so that none can go missing unnoticed.
#pragma once

#include <httplib.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace soak {

enum class State { live, deleting, deleted };

struct Push {
  std::string repo, tag, digest, body;
  std::vector<std::string> blobs;  // digests the manifest names
  State state = State::live;
};

// Counts every request by status, and keeps the first unexpected outcomes.
class Tally {
 public:
  void count(int status);
  void unexpected(const std::string& what);
  long long requests() const { return requests_; }
  long long count_of(int lo, int hi) const;  // statuses in [lo, hi]
  std::vector<std::string> problems() const;
  size_t problem_count() const;
  std::map<int, long long> statuses() const;

 private:
  std::atomic<long long> requests_{0};
  mutable std::mutex m_;
  std::map<int, long long> by_status_;
  std::vector<std::string> problems_;
  size_t problem_total_ = 0;
};

// Every acknowledged push, and the pushes deliberately deleted since.
class Ledger {
 public:
  void add(Push p);
  // A live push picked at random, marked deleting; false when fewer than `keep` are live.
  bool take_for_delete(std::mt19937& rng, size_t keep, Push& out);
  void mark_deleted(const std::string& digest);
  // A copy of a live push picked at random; false when there is none.
  bool pick_live(std::mt19937& rng, Push& out) const;
  bool is_live(const std::string& digest) const;
  std::vector<Push> all() const;

 private:
  mutable std::mutex m_;
  std::vector<Push> pushes_;
  std::map<std::string, size_t> index_;  // manifest digest -> position
};

// One worker's connection and its operations; every request goes through the tally.
class Worker {
 public:
  Worker(int port, Tally& tally, Ledger& ledger, unsigned seed);
  // One image: blobs (with retries on 503 and on blobs collected before the manifest
  // landed), then the manifest; acknowledged pushes go into the ledger.
  void push_image(int id);
  // A random live push, every blob checked against its digest.
  void pull_one();
  // Deletes a random live push by digest, keeping at least `keep` pushes live.
  void delete_one(size_t keep);
  // Lists and paging must always answer.
  void list_once();
  // Pulls `p` whole; "" when it is intact, else what failed.
  std::string verify(const Push& p);

 private:
  httplib::Result send(const std::string& what, const std::function<httplib::Result()>& call);
  bool put_blob(const std::string& repo, const std::string& data, std::string& digest);
  bool put_blob_chunked(const std::string& repo, const std::string& data,
                        const std::string& digest);
  std::string blob_data(int id, int n);

  httplib::Client cli_;
  Tally& tally_;
  Ledger& ledger_;
  std::mt19937 rng_;
};

}  // namespace soak
