// `/metrics` and the probes on an address of their own, without credentials: a scraper on a
// management network reads them there, while the registry's address keeps its authentication
// (and answers /metrics no more).
#pragma once

#include "http_server.h"
#include "server_context.h"

#include <memory>
#include <string>
#include <thread>

namespace tool {

class MetricsListener {
 public:
  MetricsListener(ServerContext& ctx, ExchangeLogger log, const HttpLimits& limits);
  ~MetricsListener();  // stops serving, if it serves
  MetricsListener(const MetricsListener&) = delete;
  MetricsListener& operator=(const MetricsListener&) = delete;

  // Binds host:port (0: any free port) and serves; the bound port, or -1 with `error` set.
  int start(const std::string& host, int port, std::string& error);
  // Stops serving and waits for the scrapes in flight; nothing when it does not serve.
  void stop();

 private:
  std::unique_ptr<HttpServer> server_;
  std::thread thread_;
};

}  // namespace tool
