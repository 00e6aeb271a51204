#include "metrics.h"

#include "server_routes.h"

#include "platform/call_counts.h"

#include <cstdio>

namespace tool {
namespace {

constexpr const char* kMethodNames[] = {"GET",   "HEAD",   "POST",    "PUT",
                                        "PATCH", "DELETE", "OPTIONS", "other"};

size_t method_index(const std::string& m) {
  for (size_t i = 0; i + 1 < std::size(kMethodNames); ++i)
    if (m == kMethodNames[i]) return i;
  return std::size(kMethodNames) - 1;
}

void append(std::string& out, const char* fmt, auto... args) {
  char line[256];
  int n = std::snprintf(line, sizeof line, fmt, args...);
  if (n > 0)
    out.append(line,
               static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  append(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

}  // namespace

void render_metric(std::string& out, const char* name, const char* type, const char* help,
                   uint64_t value) {
  header(out, name, type, help);
  append(out, "%s %llu\n", name, static_cast<unsigned long long>(value));
}

void render_metric(std::string& out, const char* name, const char* type, const char* help,
                   double value) {
  header(out, name, type, help);
  append(out, "%s %.6f\n", name, value);
}

void render_labelled(std::string& out, const char* name, const char* type, const char* help,
                     std::initializer_list<LabelledSample> samples) {
  header(out, name, type, help);
  for (const LabelledSample& s : samples)
    append(out, "%s{%s} %llu\n", name, s.labels, static_cast<unsigned long long>(s.value));
}

MetricRoute metric_route(std::string_view target) {
  std::string_view path = target.substr(0, target.find('?'));
  if (path == "/healthz") return MetricRoute::healthz;
  if (path == "/readyz") return MetricRoute::readyz;
  if (path == "/metrics") return MetricRoute::metrics;
  // The raw target is still percent-encoded; a name that only decodes to a valid one lands in
  // "other", which is good enough for counting.
  switch (parse_route(path).kind) {
    case RouteKind::base:
      return MetricRoute::base;
    case RouteKind::catalog:
      return MetricRoute::catalog;
    case RouteKind::tags_list:
      return MetricRoute::tags_list;
    case RouteKind::manifest:
      return MetricRoute::manifest;
    case RouteKind::blob:
      return MetricRoute::blob;
    case RouteKind::upload_start:
      return MetricRoute::upload_start;
    case RouteKind::upload_session:
      return MetricRoute::upload_session;
    case RouteKind::referrers:
      return MetricRoute::referrers;
    case RouteKind::name_invalid:
    case RouteKind::not_found:
      break;
  }
  return MetricRoute::other;
}

const char* metric_route_name(MetricRoute r) {
  static constexpr const char* kNames[] = {"base",    "catalog",      "tags_list",      "manifest",
                                           "blob",    "upload_start", "upload_session", "referrers",
                                           "healthz", "readyz",       "metrics",        "other"};
  static_assert(std::size(kNames) == static_cast<size_t>(MetricRoute::count_));
  return kNames[static_cast<size_t>(r)];
}

namespace {

void add_to(std::atomic<uint64_t>& a, long long v) {
  if (v > 0) a.fetch_add(static_cast<uint64_t>(v), std::memory_order_relaxed);
}

}  // namespace

void ServerMetrics::record_collection(bool ok, long long duration_ms, long long blobs_freed,
                                      long long bytes_freed, long long manifests_deleted,
                                      long long longest_hold_ms, long long total_hold_ms) {
  (ok ? gc_runs_ : gc_failures_).fetch_add(1, std::memory_order_relaxed);
  add_to(gc_duration_ms_, duration_ms);
  add_to(gc_blobs_freed_, blobs_freed);
  add_to(gc_bytes_freed_, bytes_freed);
  add_to(gc_manifests_deleted_, manifests_deleted);
  add_to(gc_hold_ms_, total_hold_ms);
  uint64_t longest = gc_longest_hold_ms_.load(std::memory_order_relaxed);
  const auto held = static_cast<uint64_t>(longest_hold_ms > 0 ? longest_hold_ms : 0);
  while (held > longest && !gc_longest_hold_ms_.compare_exchange_weak(longest, held)) {
  }
}

void ServerMetrics::Histogram::observe(uint64_t us) {
  const double seconds = static_cast<double>(us) / 1e6;
  for (size_t i = 0; i < kBuckets.size(); ++i)
    if (seconds <= kBuckets[i]) {
      le[i].fetch_add(1, std::memory_order_relaxed);
      break;
    }
  count.fetch_add(1, std::memory_order_relaxed);
  sum_us.fetch_add(us, std::memory_order_relaxed);
}

void ServerMetrics::Histogram::render(std::string& out, const char* name,
                                      const std::string& labels) const {
  // Count first: buckets read after it never exceed it, so "+Inf" stays the largest.
  uint64_t total = count.load(std::memory_order_relaxed), cumulative = 0;
  const std::string open = "{" + labels + (labels.empty() ? "" : ",");
  for (size_t i = 0; i < kBuckets.size(); ++i) {
    cumulative += le[i].load(std::memory_order_relaxed);
    if (cumulative > total) total = cumulative;
    append(out, "%s_bucket%sle=\"%g\"} %llu\n", name, open.c_str(), kBuckets[i],
           static_cast<unsigned long long>(cumulative));
  }
  append(out, "%s_bucket%sle=\"+Inf\"} %llu\n", name, open.c_str(),
         static_cast<unsigned long long>(total));
  const std::string only = labels.empty() ? "" : "{" + labels + "}";
  append(out, "%s_sum%s %.6f\n", name, only.c_str(),
         static_cast<double>(sum_us.load(std::memory_order_relaxed)) / 1e6);
  append(out, "%s_count%s %llu\n", name, only.c_str(), static_cast<unsigned long long>(total));
}

void ServerMetrics::record_push_wait(long long ms) { push_wait_.observe(ms > 0 ? ms * 1000 : 0); }

void ServerMetrics::record(const ExchangeRecord& r) {
  auto route = static_cast<size_t>(metric_route(r.target));
  int status = r.status >= kFirstStatus && r.status < kFirstStatus + kStatuses ? r.status : 500;
  size_t slot = (method_index(r.method) * kRoutes + route) * kStatuses +
                static_cast<size_t>(status - kFirstStatus);
  requests_[slot].fetch_add(1, std::memory_order_relaxed);

  latency_[route].observe(r.duration_us > 0 ? static_cast<uint64_t>(r.duration_us) : 0);

  if (r.bytes_in > 0)
    bytes_in_.fetch_add(static_cast<uint64_t>(r.bytes_in), std::memory_order_relaxed);
  if (r.bytes > 0) bytes_out_.fetch_add(static_cast<uint64_t>(r.bytes), std::memory_order_relaxed);
}

void ServerMetrics::render_collections(std::string& out) const {
  auto value = [](const std::atomic<uint64_t>& a) { return a.load(std::memory_order_relaxed); };
  auto seconds = [](const std::atomic<uint64_t>& ms) {
    return static_cast<double>(ms.load(std::memory_order_relaxed)) / 1e3;
  };
  render_labelled(out, "tarnwick_gc_runs_total", "counter",
                  "Collections the server ran, by result.",
                  {{"result=\"ok\"", value(gc_runs_)}, {"result=\"failed\"", value(gc_failures_)}});
  render_metric(out, "tarnwick_gc_duration_seconds_total", "counter", "Time the collections ran.",
                seconds(gc_duration_ms_));
  render_metric(out, "tarnwick_gc_blobs_freed_total", "counter", "Blobs the collections deleted.",
                value(gc_blobs_freed_));
  render_metric(out, "tarnwick_gc_bytes_freed_total", "counter", "Bytes of the blobs they deleted.",
                value(gc_bytes_freed_));
  render_metric(out, "tarnwick_gc_manifests_deleted_total", "counter",
                "Untagged manifests the collections deleted.", value(gc_manifests_deleted_));
  render_metric(out, "tarnwick_gc_push_hold_seconds_total", "counter",
                "Time the collections held pushes off.", seconds(gc_hold_ms_));
  render_metric(out, "tarnwick_gc_push_hold_longest_seconds", "gauge",
                "The longest a collection held pushes off at once.", seconds(gc_longest_hold_ms_));
  header(out, "tarnwick_push_store_wait_seconds", "histogram",
         "How long pushes waited for the store, that is for a collection.");
  push_wait_.render(out, "tarnwick_push_store_wait_seconds", "");
}

std::string ServerMetrics::render(const MetricGauges& gauges) const {
  std::string out;
  header(out, "tarnwick_http_requests_total", "counter",
         "Requests answered, by method, route and status.");
  for (size_t m = 0; m < kMethods; ++m)
    for (size_t r = 0; r < kRoutes; ++r)
      for (int s = 0; s < kStatuses; ++s) {
        uint64_t n = requests_[(m * kRoutes + r) * kStatuses + static_cast<size_t>(s)].load(
            std::memory_order_relaxed);
        if (n == 0) continue;
        append(out, "tarnwick_http_requests_total{method=\"%s\",route=\"%s\",status=\"%d\"} %llu\n",
               kMethodNames[m], metric_route_name(static_cast<MetricRoute>(r)), s + kFirstStatus,
               static_cast<unsigned long long>(n));
      }

  header(out, "tarnwick_http_request_duration_seconds", "histogram",
         "From the first byte of a request to the last of its response, by route.");
  for (size_t r = 0; r < kRoutes; ++r) {
    if (latency_[r].count.load(std::memory_order_relaxed) == 0) continue;
    latency_[r].render(
        out, "tarnwick_http_request_duration_seconds",
        std::string("route=\"") + metric_route_name(static_cast<MetricRoute>(r)) + "\"");
  }

  auto read = [](const std::atomic<uint64_t>& n) { return n.load(std::memory_order_relaxed); };
  auto gauge = [](const std::function<size_t()>& f) { return uint64_t{f ? f() : 0}; };
  render_metric(out, "tarnwick_http_request_body_bytes_total", "counter",
                "Request body bytes read.", read(bytes_in_));
  render_metric(out, "tarnwick_http_response_body_bytes_total", "counter",
                "Response body bytes sent.", read(bytes_out_));
  render_metric(out, "tarnwick_http_open_connections", "gauge", "Connections open now.",
                gauge(gauges.open_connections));
  render_metric(out, "tarnwick_upload_sessions", "gauge", "Blob upload sessions in progress.",
                gauge(gauges.upload_sessions));
  // The platform layer counts every sync as it makes it: a scrape reads counters, never walks.
  const reg::platform::CallCounts calls = reg::platform::call_counts();
  render_labelled(out, "tarnwick_syncs_total", "counter",
                  "Syncs the server made: file data (fdatasync) and directories (fsync).",
                  {{"kind=\"file\"", calls.file_syncs}, {"kind=\"dir\"", calls.dir_syncs}});
  for (const auto& family : gauges.families) family(out);
  render_collections(out);
  return out;
}

}  // namespace tool
