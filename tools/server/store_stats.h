// The store's statistics for the metrics. Counting the store walks it, so a scrape never
// counts: a thread of its own counts at start and then once per interval, and a scrape reads
// the last counts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tool {

class StoreStatsCache {
 public:
  // Starts counting at once; the store must be open.
  explicit StoreStatsCache(std::chrono::seconds interval);
  ~StoreStatsCache();
  StoreStatsCache(const StoreStatsCache&) = delete;
  StoreStatsCache& operator=(const StoreStatsCache&) = delete;

  // The store's families; nothing of the counts before the first counting has finished.
  void render(std::string& out) const;

 private:
  struct Counts {
    long long repositories = 0, tags = 0, blobs = 0, blob_bytes = 0;
    long long uploads = 0, upload_bytes = 0;
    double counted_at = 0;  // Unix time the last counting finished; 0 before the first
    double seconds = 0;     // how long it took
  };
  void run(std::chrono::seconds interval);
  bool count(Counts& c) const;

  mutable std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  Counts counts_;
  unsigned long long failures_ = 0;
  std::thread thread_;
};

}  // namespace tool
