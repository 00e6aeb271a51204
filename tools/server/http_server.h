// The server's HTTP/1.1 layer: a few I/O threads serve every connection without blocking
// (Boost.Beast over Asio, TLS through Asio's OpenSSL streams), and each parsed request runs on
// a pool of worker threads, so a slow or silent client holds a timer and a socket, never a
// thread. Keep-alive and pipelining (answered in order); every limit is a setting.
#pragma once

#include "http_message.h"

#include <functional>
#include <memory>
#include <string>

namespace tool {

struct HttpLimits {
  int header_timeout_s = 10;     // request line and headers, once a request has begun (408)
  int keepalive_timeout_s = 60;  // idle time between requests of one connection
  int body_timeout_s = 30;       // idle time between two reads of a request body
  int send_timeout_s = 60;       // a response write that makes no progress
  int max_header_count = 100;    // header fields of one request (431)
  int max_header_bytes = 32768;  // request line and headers together (431)
  int max_url_length = 8192;     // request target (414)
  int max_connections = 10000;   // open connections in total (503)
  int max_connections_per_address = 256;  // open connections from one client address (503)
};

struct HttpServerConfig {
  HttpLimits limits;
  int io_threads = 2;
  int workers = 32;               // threads that run the handlers
  int drain_timeout_s = 30;       // on shutdown, how long requests in flight may take
  std::string tls_cert, tls_key;  // PEM files; empty for plain HTTP
};

// One finished exchange, for the access log. `method` and `target` are "" when the request
// was refused before its request line was read.
struct ExchangeRecord {
  std::string remote_addr, user, method, target, version;
  int status = 0;
  long long bytes = 0;        // body bytes sent
  long long bytes_in = 0;     // body bytes read
  long long duration_us = 0;  // from the first byte of the request to the last of the response
  std::string note;           // why the server failed the request ("" when it did not)
};

// Runs on a worker thread; `body` is never null (it reads nothing when there is no body).
using RequestHandler =
    std::function<void(const HttpRequest& req, HttpResponse& res, const BodyReader& body)>;
// Fills `res` with an error for a request refused by the HTTP layer itself.
using ErrorResponder = std::function<void(HttpResponse& res, int status, const std::string& msg)>;
using ExchangeLogger = std::function<void(const ExchangeRecord&)>;

class HttpServer {
 public:
  HttpServer(HttpServerConfig config, RequestHandler handler, ErrorResponder errors,
             ExchangeLogger log);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Loads the certificate chain and key; false with `error` set when they do not load.
  bool load_tls(std::string& error);
  // Binds host:port (port 0: any free one); the bound port, or -1 with `error` set.
  int listen(const std::string& host, int port, std::string& error);
  // Serves until shutdown() was called and the connections have drained.
  void run();
  // From any thread: stop accepting, close idle connections, let requests in flight finish
  // for up to the drain timeout, then close the rest.
  void shutdown();
  // Connections open now, from any thread.
  size_t open_connections() const;

  struct Core;

 private:
  std::unique_ptr<Core> core_;
};

}  // namespace tool
