// The listener side of the HTTP layer: binding, accepting, the I/O threads, and the drain on
// shutdown.
#include "http_server.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "http_core.h"

#include <thread>

namespace tool {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

void accept_next(HttpServer::Core& core, tcp::acceptor& a) {
  a.async_accept(
      asio::make_strand(core.ioc), [&core, &a](boost::system::error_code ec, tcp::socket socket) {
        if (!a.is_open() || core.draining) return;
        if (ec) {
          // Out of descriptors and the like: wait a moment rather than spin on the error.
          auto t = std::make_shared<asio::steady_timer>(core.ioc, std::chrono::milliseconds(100));
          t->async_wait([&core, &a, t](boost::system::error_code) { accept_next(core, a); });
          return;
        }
        start_connection(core, std::move(socket));
        accept_next(core, a);
      });
}

std::vector<tcp::endpoint> endpoints_of(asio::io_context& ioc, const std::string& host, int port,
                                        std::string& error) {
  boost::system::error_code ec;
  auto port16 = static_cast<unsigned short>(port);
  asio::ip::address addr = asio::ip::make_address(host, ec);
  if (!ec) return {tcp::endpoint(addr, port16)};
  tcp::resolver resolver(ioc);
  auto results = resolver.resolve(host, std::to_string(port), ec);
  std::vector<tcp::endpoint> out;
  if (ec) error = "cannot resolve " + host;
  for (const auto& r : results) out.push_back(r.endpoint());
  return out;
}

}  // namespace

HttpServer::HttpServer(HttpServerConfig config, RequestHandler handler, ErrorResponder errors,
                       ExchangeLogger log)
    : core_(std::make_unique<Core>(std::move(config), std::move(handler), std::move(errors),
                                   std::move(log))) {}

HttpServer::~HttpServer() = default;

bool HttpServer::load_tls(std::string& error) {
  namespace ssl = asio::ssl;
  auto ctx = std::make_unique<ssl::context>(ssl::context::tls_server);
  ctx->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                   ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                   ssl::context::single_dh_use);
  boost::system::error_code ec;
  ctx->use_certificate_chain_file(core_->config.tls_cert, ec);
  if (!ec) ctx->use_private_key_file(core_->config.tls_key, ssl::context::pem, ec);
  if (ec) {
    error = "cannot load the TLS certificate or key";
    return false;
  }
  core_->tls = std::move(ctx);
  return true;
}

int HttpServer::listen(const std::string& host, int port, std::string& error) {
  for (const tcp::endpoint& ep : endpoints_of(core_->ioc, host, port, error)) {
    auto a = std::make_unique<tcp::acceptor>(core_->ioc);
    boost::system::error_code ec;
    a->open(ep.protocol(), ec);
    if (!ec) a->set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) a->bind(ep, ec);
    if (!ec) a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) continue;
    int bound = a->local_endpoint(ec).port();
    core_->acceptors.push_back(std::move(a));
    return bound;
  }
  if (error.empty()) error = "cannot listen on " + host + ":" + std::to_string(port);
  return -1;
}

void HttpServer::run() {
  Core& core = *core_;
  auto guard = asio::make_work_guard(core.ioc);
  for (auto& a : core.acceptors) accept_next(core, *a);
  std::vector<std::thread> io;
  int threads = core.config.io_threads > 0 ? core.config.io_threads : 1;
  for (int i = 0; i < threads; ++i) io.emplace_back([&core] { core.ioc.run(); });
  {
    std::unique_lock<std::mutex> l(core.stop_m);
    core.stop_cv.wait(l, [&core] { return core.stop_requested; });
  }
  core.draining = true;
  asio::post(core.ioc, [&core] {
    for (auto& a : core.acceptors) a->close();
  });
  for (const auto& c : core.registry.snapshot()) c->drain();
  auto deadline = Clock::now() + std::chrono::seconds(core.config.drain_timeout_s);
  if (!core.registry.wait_empty_until(deadline)) {
    for (const auto& c : core.registry.snapshot()) c->abort();
    core.registry.wait_empty_until(Clock::now() + std::chrono::seconds(2));
  }
  guard.reset();
  core.ioc.stop();
  for (std::thread& t : io) t.join();
  core.stopped = true;
  core.workers.join();
}

void HttpServer::shutdown() {
  std::lock_guard<std::mutex> l(core_->stop_m);
  core_->stop_requested = true;
  core_->stop_cv.notify_all();
}

size_t HttpServer::open_connections() const { return core_->registry.size(); }

}  // namespace tool
