// The server's counters for `GET /metrics`, in the Prometheus text exposition format (0.0.4):
// requests by method, route and status, a latency histogram by route, body bytes in and out,
// open connections and upload sessions, the syncs the store made, the collections the server
// ran and how long pushes waited for them, and the families other parts of the server add.
// The HTTP layer's exchange logger feeds them; every counter is a lock-free atomic, so a
// scrape never holds a request up.
#pragma once

#include "http_server.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

// A small fixed set of route names: raw paths would give one series per repository and tag.
enum class MetricRoute {
  base,
  catalog,
  tags_list,
  manifest,
  blob,
  upload_start,
  upload_session,
  referrers,
  healthz,
  readyz,
  metrics,
  other,
  count_
};

MetricRoute metric_route(std::string_view target);
const char* metric_route_name(MetricRoute r);

// Values read at scrape time from elsewhere in the server. `families` render whole metric
// families that other parts keep (the store's statistics, collections, syncs); each appends
// to the exposition with the helpers below.
struct MetricGauges {
  std::function<size_t()> open_connections;
  std::function<size_t()> upload_sessions;
  std::vector<std::function<void(std::string& out)>> families;
};

// "# HELP" and "# TYPE" of one family, then its one unlabelled sample.
void render_metric(std::string& out, const char* name, const char* type, const char* help,
                   uint64_t value);
void render_metric(std::string& out, const char* name, const char* type, const char* help,
                   double value);
// One family of labelled samples: `labels` is the text between the braces.
struct LabelledSample {
  const char* labels;
  uint64_t value;
};
void render_labelled(std::string& out, const char* name, const char* type, const char* help,
                     std::initializer_list<LabelledSample> samples);

class ServerMetrics {
 public:
  void record(const ExchangeRecord& r);
  // A collection the server ran; `ok` false when it failed.
  void record_collection(bool ok, long long duration_ms, long long blobs_freed,
                         long long bytes_freed, long long manifests_deleted,
                         long long longest_hold_ms, long long total_hold_ms);
  // How long a push waited for the store (that is, for a collection's hold).
  void record_push_wait(long long ms);
  std::string render(const MetricGauges& gauges) const;

  static constexpr std::array<double, 14> kBuckets = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                      0.5,   1,     2.5,  5,     10,   30,  60};

 private:
  static constexpr size_t kRoutes = static_cast<size_t>(MetricRoute::count_);
  static constexpr size_t kMethods = 8;  // GET HEAD POST PUT PATCH DELETE OPTIONS, then other
  static constexpr int kFirstStatus = 100, kStatuses = 500;

  struct Histogram {
    std::array<std::atomic<uint64_t>, kBuckets.size()> le{};  // not cumulative; summed on render
    std::atomic<uint64_t> count{0};
    std::atomic<uint64_t> sum_us{0};
    void observe(uint64_t us);
    // The _bucket, _sum and _count samples; `labels` ("route=\"base\"," or "") go first.
    void render(std::string& out, const char* name, const std::string& labels) const;
  };

  std::array<std::atomic<uint64_t>, kMethods * kRoutes * kStatuses> requests_{};
  std::array<Histogram, kRoutes> latency_{};
  void render_collections(std::string& out) const;

  std::atomic<uint64_t> bytes_in_{0}, bytes_out_{0};
  std::atomic<uint64_t> gc_runs_{0}, gc_failures_{0}, gc_duration_ms_{0}, gc_blobs_freed_{0},
      gc_bytes_freed_{0}, gc_manifests_deleted_{0}, gc_hold_ms_{0}, gc_longest_hold_ms_{0};
  Histogram push_wait_{};
};

}  // namespace tool
