#include "metrics_listener.h"

#include "server_errors.h"

namespace tool {
namespace {

void answer(ServerContext& ctx, const HttpRequest& req, HttpResponse& res) {
  if (handle_probe(ctx, req, res)) return;
  if (req.path == "/metrics")
    handle_metrics(ctx, req, res);
  else
    send_error(res, 404, "NOT_FOUND", "no such endpoint");
}

// A scraper needs a connection or two, not the registry's pool.
HttpServerConfig small_config(const HttpLimits& limits) {
  HttpServerConfig c;
  c.limits = limits;
  c.io_threads = 1;
  c.workers = 2;
  c.drain_timeout_s = 5;
  return c;
}

}  // namespace

MetricsListener::MetricsListener(ServerContext& ctx, ExchangeLogger log, const HttpLimits& limits)
    : server_(std::make_unique<HttpServer>(
          small_config(limits),
          [&ctx](const HttpRequest& req, HttpResponse& res, const BodyReader&) {
            answer(ctx, req, res);
          },
          [](HttpResponse& res, int status, const std::string& message) {
            send_error(res, status, "UNKNOWN", message);
          },
          std::move(log))) {}

MetricsListener::~MetricsListener() { stop(); }

void MetricsListener::stop() {
  if (!thread_.joinable()) return;
  server_->shutdown();
  thread_.join();
}

int MetricsListener::start(const std::string& host, int port, std::string& error) {
  int bound = server_->listen(host, port, error);
  if (bound >= 0) thread_ = std::thread([this] { server_->run(); });
  return bound;
}

}  // namespace tool
