// serve: the registry's wiring: options, the store, authentication, the HTTP layer, signals
// and the access log.
#include <reg_storage.h>

#include "access_log.h"
#include "gc_service.h"
#include "metrics_listener.h"
#include "serve.h"
#include "server_context.h"
#include "server_errors.h"
#include "server_lifecycle.h"
#include "server_security.h"
#include "store_durability.h"
#include "store_repair.h"
#include "store_stats.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tool {
namespace {

// The checks on the security options, before anything listens; "" when they hold.
std::string security_refusal(const ServeOptions& o, const std::string& host) {
  if (o.tls_cert.empty() != o.tls_key.empty()) return "serve: --tls-cert and --tls-key go together";
  const bool credentials = !o.htpasswd.empty() || !o.tokens.key.empty();
  return listen_refusal(host, !o.tls_cert.empty(), credentials, o.insecure);
}

// Errors the HTTP layer answers by itself, in the API's form.
void send_http_error(HttpResponse& res, int status, const std::string& message) {
  send_error(res, status, status == 503 ? "UNAVAILABLE" : "UNKNOWN", message);
}

HttpServerConfig http_config(const ServeOptions& o) {
  HttpServerConfig c;
  c.limits = o.limits;
  c.io_threads = o.io_threads;
  c.workers = o.threads;
  c.drain_timeout_s = o.drain_timeout_s;
  c.tls_cert = o.tls_cert;
  c.tls_key = o.tls_key;
  return c;
}

// Cancels the upload sessions idle past their time, every few seconds until `stop`. Every
// server on a store does it for all of them, so sessions expire while any server runs.
class UploadExpiry {
 public:
  explicit UploadExpiry(ServerContext& ctx, std::chrono::seconds idle) : ctx_(ctx) {
    auto period = idle / 4;
    if (period < std::chrono::seconds(1)) period = std::chrono::seconds(1);
    if (period > std::chrono::seconds(30)) period = std::chrono::seconds(30);
    thread_ = std::thread([this, period] { run(period); });
  }
  ~UploadExpiry() {
    {
      std::lock_guard<std::mutex> l(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  void run(std::chrono::seconds period) {
    std::unique_lock<std::mutex> l(m_);
    while (!cv_.wait_for(l, period, [this] { return stop_; })) {
      l.unlock();
      ctx_.uploads.expire();
      l.lock();
    }
  }

  ServerContext& ctx_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

// The metrics' own address says so on stdout before the registry's "serving" line, which
// ends what the server prints at start.
bool start_metrics_listener(MetricsListener& listener, const std::string& listen) {
  std::string host, error;
  int port = 0;
  split_listen(listen, host, port);
  int bound = listener.start(host, port, error);
  if (bound < 0) {
    fail("serve: cannot listen on " + listen + ": " + error);
    return false;
  }
  std::printf("tarnwick-registry: metrics on http://%s:%d/metrics\n", host.c_str(), bound);
  return true;
}

// The collection options of `serve`; "" when they are sound.
std::string gc_options(const ServeOptions& o, GcServiceOptions& out) {
  if (!o.gc_interval.empty() && (!parse_duration(o.gc_interval, out.interval_s) ||
                                 out.interval_s == 0))
    return "serve: --gc-interval takes a duration such as 30m, 1h or 1d";
  if (!parse_duration(o.gc_grace_period, out.grace_s))
    return "serve: --gc-grace-period takes a duration such as 0, 15m or 1h";
  if (!o.gc_delete_untagged_after.empty() &&
      !parse_duration(o.gc_delete_untagged_after, out.delete_untagged_after_s))
    return "serve: --gc-delete-untagged-after takes a duration such as 1h or 7d";
  if (!o.gc_delete_untagged_after.empty() && o.gc_interval.empty())
    return "serve: --gc-delete-untagged-after needs --gc-interval";
  // An upload the server still holds open is never stale to its collections.
  out.stale_upload_s = std::max<long long>(900, o.upload_idle_s + 60LL);
  return "";
}

// serve --repair-on-start: what the repair did goes to stderr, beside the server's other
// messages; stdout keeps its lines for the addresses.
bool repair_before_serving(const std::string& root) {
  std::string report, error;
  if (!repair_store(root, report, error)) {
    fail("serve: cannot repair the store: " + error);
    return false;
  }
  std::fputs(report.c_str(), stderr);
  return true;
}

}  // namespace

std::string serve_refusal(const ServeOptions& o) {
  std::string host, metrics_host;
  int port = 0;
  if (!split_listen(o.listen, host, port)) return "serve: --listen needs HOST:PORT";
  if (std::string refusal = security_refusal(o, host); !refusal.empty()) return refusal;
  if (!o.metrics_listen.empty() && !split_listen(o.metrics_listen, metrics_host, port))
    return "serve: --metrics-listen needs HOST:PORT";
  if (o.access_log_format != "text" && o.access_log_format != "json")
    return "serve: --access-log-format is text or json";
  GcServiceOptions gc;
  return gc_options(o, gc);
}

int run_serve(const GlobalOptions& g, const ServeOptions& o) {
  if (std::string refusal = serve_refusal(o); !refusal.empty()) return fail(refusal);
  std::string host;
  int port = 0;
  split_listen(o.listen, host, port);
  GcServiceOptions gc;
  if (std::string refusal = gc_options(o, gc); !refusal.empty()) return fail(refusal);
  Htpasswd users;
  std::string error;
  if (!o.htpasswd.empty() && !users.load(o.htpasswd, error)) return fail("serve: " + error);
  PolicyHolder policy;
  if (!o.policy.empty() && !policy.load(o.policy, error)) return fail("serve: " + error);
  TokenVerifier tokens;
  if (!o.tokens.key.empty() && !tokens.load(o.tokens, error)) return fail("serve: " + error);
  block_stop_signals();  // before any thread starts, so every thread inherits the mask
  AccessLog log;
  auto metrics = std::make_unique<ServerMetrics>();  // a few hundred KiB of counters
  ServerContext ctx;
  ctx.root = g.root;
  ctx.gc_wait_ms = o.gc_wait_ms;
  ctx.users = o.htpasswd.empty() ? nullptr : &users;
  AuthGuards guards(std::chrono::seconds(o.auth_cache_s), o.auth_failures_per_minute);
  ctx.auth_guards = &guards;
  ctx.read_only = o.read_only;
  UploadLimits upload_limits;
  upload_limits.max_total = static_cast<size_t>(o.max_uploads);
  upload_limits.max_per_user = static_cast<size_t>(o.max_uploads_per_user);
  upload_limits.idle = std::chrono::seconds(o.upload_idle_s);
  ctx.uploads.set_limits(upload_limits);
  ctx.policy = o.policy.empty() ? nullptr : &policy;
  ctx.tokens = o.tokens.key.empty() ? nullptr : &tokens;
  auto record = [&log, &metrics](const ExchangeRecord& r) {
    metrics->record(r);
    log.write(r);
  };
  HttpServer svr(
      http_config(o),
      [&ctx](const HttpRequest& req, HttpResponse& res, const BodyReader& body) {
        dispatch_request(ctx, req, res, body);
      },
      send_http_error, record);
  MetricsListener metrics_listener(ctx, record, o.limits);
  ctx.metrics = metrics.get();
  ctx.gauges.open_connections = [&svr] { return svr.open_connections(); };
  ctx.gauges.upload_sessions = [&ctx] { return ctx.uploads.size(); };
  if (!o.tls_cert.empty() && !svr.load_tls(error)) return fail("serve: " + error);
  if (!open_store(g)) return 1;
  if (o.repair_on_start && !repair_before_serving(g.root)) return 1;
  set_error_path_root(g.root);
  AccessLogFormat format =
      o.access_log_format == "json" ? AccessLogFormat::json : AccessLogFormat::text;
  if (!log.open(o.access_log, format))
    return fail("serve: cannot open the access log " + o.access_log);
  raise_descriptor_limit();
  int bound = svr.listen(host, port, error);
  if (bound < 0) return fail("serve: cannot listen on " + o.listen);
  if (!o.metrics_listen.empty() && !start_metrics_listener(metrics_listener, o.metrics_listen))
    return 1;
  ctx.metrics_on_api = o.metrics_listen.empty();
  auto store_stats =
      std::make_unique<StoreStatsCache>(std::chrono::seconds(o.store_stats_interval_s));
  ctx.gauges.families.push_back([&store_stats](std::string& out) { store_stats->render(out); });
  if (o.insecure && !is_loopback_host(host) &&
      (o.tls_cert.empty() || (o.htpasswd.empty() && o.tokens.key.empty())))
    std::fprintf(stderr,
                 "tarnwick-registry: warning: %s is reachable without TLS and credentials\n",
                 host.c_str());
  // Its socket exists before the server says it serves: `gc` finds it from then on.
  auto collections = std::make_unique<GcService>(g.root, gc, metrics.get());
  if (!o.read_only) collections->start();
  std::printf("tarnwick-registry: serving %s on %s://%s:%d (%sdurability %s)\n", g.root.c_str(),
              o.tls_cert.empty() ? "http" : "https", host.c_str(), bound,
              o.read_only ? "read-only, " : "", current_store_durability().name.c_str());
  std::fflush(stdout);
  std::thread watcher = start_signal_watcher(svr, ctx.policy);
  {
    UploadExpiry expiry(ctx, upload_limits.idle);
    svr.run();
  }
  watcher.join();
  metrics_listener.stop();
  store_stats.reset();  // its counting calls the library, which is closed below
  collections.reset();
  // Sessions stay in the store: this server's uploads continue through another one, or
  // through this one once it is back.
  reg_storage_cleanup();
  std::fprintf(stderr, "tarnwick-registry: stopped\n");
  return 0;
}

}  // namespace tool
