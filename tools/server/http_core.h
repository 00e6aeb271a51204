// What the HTTP layer's listener and connections share: settings, callbacks, the I/O context,
// the worker pool, the TLS context and the registry of open connections.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "connection_registry.h"
#include "http_server.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace tool {

struct HttpServer::Core {
  Core(HttpServerConfig c, RequestHandler h, ErrorResponder e, ExchangeLogger l)
      : config(std::move(c)),
        handler(std::move(h)),
        errors(std::move(e)),
        log(std::move(l)),
        registry(static_cast<size_t>(config.limits.max_connections),
                 static_cast<size_t>(config.limits.max_connections_per_address)),
        workers(static_cast<size_t>(config.workers > 0 ? config.workers : 1)) {}

  // Members in this order: connections (owned by handlers queued in `ioc`) use the registry,
  // the TLS context and the callbacks up to the very end; the workers are joined first.
  HttpServerConfig config;
  RequestHandler handler;
  ErrorResponder errors;
  ExchangeLogger log;
  ConnectionRegistry registry;
  std::unique_ptr<boost::asio::ssl::context> tls;
  boost::asio::io_context ioc;
  boost::asio::thread_pool workers;
  std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> acceptors;
  std::atomic<bool> draining{false};
  std::atomic<bool> stopped{false};  // the I/O threads have ended

  std::mutex stop_m;
  std::condition_variable stop_cv;
  bool stop_requested = false;
};

// Takes over an accepted socket: admits it (or refuses it with 503) and serves it.
void start_connection(HttpServer::Core& core, boost::asio::ip::tcp::socket socket);

}  // namespace tool
