// serve: the HTTP side of the registry: listening (plain or TLS), worker threads, signals,
// access log.
#include <reg_storage.h>

#include "serve.h"
#include "server_context.h"
#include "server_errors.h"
#include "server_security.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>

namespace tool {
namespace {

struct FileClose {
  void operator()(FILE* f) const noexcept {
    if (f != stdout && f != stderr) fclose(f);
  }
};

class AccessLog {
 public:
  bool open(const std::string& path) {
    if (path.empty())
      out_.reset(stderr);
    else if (path == "-")
      out_.reset(stdout);
    else
      out_.reset(std::fopen(path.c_str(), "a"));
    return out_ != nullptr;
  }
  // One line per request: client, request line, status, body bytes.
  void write(const httplib::Request& req, const httplib::Response& res) {
    char when[32];
    std::time_t now = std::time(nullptr);
    std::tm tm;
    gmtime_r(&now, &tm);
    std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S +0000", &tm);
    std::string len = res.get_header_value("Content-Length");
    if (len.empty())
      len = std::to_string(res.content_length_ ? res.content_length_ : res.body.size());
    std::lock_guard<std::mutex> l(m_);
    std::fprintf(out_.get(), "%s - - [%s] \"%s %s %s\" %d %s\n", req.remote_addr.c_str(), when,
                 req.method.c_str(), req.target.c_str(), req.version.c_str(), res.status,
                 len.c_str());
    std::fflush(out_.get());
  }

 private:
  std::mutex m_;
  std::unique_ptr<FILE, FileClose> out_;
};

bool split_listen(const std::string& listen, std::string& host, int& port) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return false;
  host = listen.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  std::string p = listen.substr(colon + 1);
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
    return false;
  port = std::stoi(p);
  return port <= 65535 && !host.empty();
}

// The checks on the security options, before anything listens; "" when they hold.
std::string security_refusal(const ServeOptions& o, const std::string& host) {
  if (o.tls_cert.empty() != o.tls_key.empty()) return "serve: --tls-cert and --tls-key go together";
  return listen_refusal(host, !o.tls_cert.empty(), !o.htpasswd.empty(), o.insecure);
}

std::unique_ptr<httplib::Server> make_server(const ServeOptions& o) {
  if (o.tls_cert.empty()) return std::make_unique<httplib::Server>();
  return std::make_unique<httplib::SSLServer>(o.tls_cert.c_str(), o.tls_key.c_str());
}

void configure(httplib::Server& svr, const ServeOptions& o, AccessLog& log) {
  int threads = o.threads > 0 ? o.threads : 1;
  // The HTTP library owns the queue it is handed and deletes it when it stops.
  svr.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  svr.set_tcp_nodelay(true);  // small responses on kept-alive connections must not wait for ACKs
  svr.set_keep_alive_max_count(1000);
  svr.set_read_timeout(60);
  svr.set_write_timeout(60);
  svr.set_logger(
      [&log](const httplib::Request& req, const httplib::Response& res) { log.write(req, res); });
}

void register_routes(httplib::Server& svr, ServerContext& ctx) {
  auto plain = [&ctx](const httplib::Request& req, httplib::Response& res) {
    dispatch_request(ctx, req, res, nullptr);
  };
  auto with_body = [&ctx](const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader) {
    dispatch_request(ctx, req, res, &reader);
  };
  svr.Get(".*", plain);  // HEAD is served by the GET handler
  svr.Delete(".*", plain);
  svr.Post(".*", with_body);
  svr.Put(".*", with_body);
  svr.Patch(".*", with_body);
  svr.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        send_error(res, 500, "UNKNOWN", "internal error");
      });
}

// SIGINT and SIGTERM are blocked in every thread and taken here, so the server stops from
// an ordinary thread rather than inside a signal handler.
std::thread start_signal_watcher(httplib::Server& svr) {
  return std::thread([&svr] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    sigwait(&set, &sig);
    svr.stop();
  });
}

void block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that goes away is a failed write, not a dead server
}

}  // namespace

int run_serve(const GlobalOptions& g, const ServeOptions& o) {
  std::string host;
  int port = 0;
  if (!split_listen(o.listen, host, port)) return fail("serve: --listen needs HOST:PORT");
  if (std::string refusal = security_refusal(o, host); !refusal.empty()) return fail(refusal);
  Htpasswd users;
  std::string error;
  if (!o.htpasswd.empty() && !users.load(o.htpasswd, error)) return fail("serve: " + error);
  std::unique_ptr<httplib::Server> svr = make_server(o);
  if (!svr->is_valid()) return fail("serve: cannot load the TLS certificate or key");
  if (!open_store(g)) return 1;
  AccessLog log;
  if (!log.open(o.access_log)) return fail("serve: cannot open the access log " + o.access_log);
  ServerContext ctx;
  ctx.root = g.root;
  ctx.gc_wait_ms = o.gc_wait_ms;
  ctx.users = o.htpasswd.empty() ? nullptr : &users;
  ctx.read_only = o.read_only;
  block_stop_signals();
  configure(*svr, o, log);
  register_routes(*svr, ctx);
  int bound = port == 0 ? svr->bind_to_any_port(host) : (svr->bind_to_port(host, port) ? port : -1);
  if (bound < 0) return fail("serve: cannot listen on " + o.listen);
  if (o.insecure && !is_loopback_host(host) && (o.tls_cert.empty() || o.htpasswd.empty()))
    std::fprintf(stderr,
                 "tarnwick-registry: warning: %s is reachable without TLS and credentials\n",
                 host.c_str());
  std::printf("tarnwick-registry: serving %s on %s://%s:%d%s\n", g.root.c_str(),
              o.tls_cert.empty() ? "http" : "https", host.c_str(), bound,
              o.read_only ? " (read-only)" : "");
  std::fflush(stdout);
  std::thread watcher = start_signal_watcher(*svr);
  bool ok = svr->listen_after_bind();
  kill(getpid(), SIGTERM);  // wakes the watcher if listening ended on its own; else ignored
  watcher.join();
  reg_storage_cleanup();
  std::fprintf(stderr, "tarnwick-registry: stopped\n");
  return ok ? 0 : 1;
}

}  // namespace tool
