#include "store_stats.h"

#include <reg_storage.h>

#include "json_util.h"
#include "metrics.h"

#include <cstdint>

namespace tool {

StoreStatsCache::StoreStatsCache(std::chrono::seconds interval) {
  thread_ = std::thread([this, interval] { run(interval); });
}

StoreStatsCache::~StoreStatsCache() {
  {
    std::lock_guard<std::mutex> l(m_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

bool StoreStatsCache::count(Counts& c) const {
  auto start = std::chrono::steady_clock::now();
  const char* json = reg_storage_get_stats_json();
  DocPtr doc = json ? parse_json(json) : nullptr;
  if (!doc) return false;
  yyjson_val* o = yyjson_doc_get_root(doc.get());
  c.repositories = json_int(o, "repositories");
  c.tags = json_int(o, "tags");
  c.blobs = json_int(o, "blobs");
  c.blob_bytes = json_int(o, "blob_bytes");
  c.uploads = json_int(o, "active_uploads");
  c.upload_bytes = json_int(o, "upload_bytes");
  c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  c.counted_at =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return true;
}

void StoreStatsCache::run(std::chrono::seconds interval) {
  std::unique_lock<std::mutex> l(m_);
  do {
    l.unlock();
    Counts c;
    bool counted = count(c);
    l.lock();
    if (counted)
      counts_ = c;
    else
      ++failures_;  // the last good counts stay, and their timestamp shows their age
  } while (!cv_.wait_for(l, interval, [this] { return stop_; }));
}

void StoreStatsCache::render(std::string& out) const {
  Counts c;
  uint64_t failures;
  {
    std::lock_guard<std::mutex> l(m_);
    c = counts_;
    failures = failures_;
  }
  render_metric(out, "tarnwick_store_stats_failures_total", "counter",
                "Countings of the store that failed.", failures);
  if (c.counted_at == 0) return;
  struct Family {
    const char* name;
    const char* help;
    long long value;
  };
  const Family families[] = {
      {"tarnwick_store_repositories", "Repositories in the store, as last counted.",
       c.repositories},
      {"tarnwick_store_tags", "Tags in the store, as last counted.", c.tags},
      {"tarnwick_store_blobs", "Blobs in the store, as last counted.", c.blobs},
      {"tarnwick_store_blob_bytes", "Bytes of the blobs, as last counted.", c.blob_bytes},
      {"tarnwick_store_uploads", "Uploads in progress in the store, as last counted.", c.uploads},
      {"tarnwick_store_upload_bytes", "Bytes of those uploads, as last counted.", c.upload_bytes},
  };
  for (const Family& f : families)
    render_metric(out, f.name, "gauge", f.help, static_cast<uint64_t>(f.value));
  render_metric(out, "tarnwick_store_stats_timestamp_seconds", "gauge",
                "When the store was last counted (Unix time).", c.counted_at);
  render_metric(out, "tarnwick_store_stats_duration_seconds", "gauge",
                "How long the last counting of the store took.", c.seconds);
}

}  // namespace tool
