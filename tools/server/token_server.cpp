// token-server: the bundled token service's wiring: options, keys, users, the policy, the
// HTTP layer, signals and the access log.
#include "access_log.h"
#include "serve.h"
#include "server_errors.h"
#include "server_lifecycle.h"
#include "token_service.h"

#include <chrono>
#include <cstdio>

namespace tool {
namespace {

std::string option_refusal(const TokenServerOptions& o, const std::string& host) {
  if (o.tls_cert.empty() != o.tls_key.empty())
    return "token-server: --tls-cert and --tls-key go together";
  if (o.htpasswd.empty()) return "token-server: --htpasswd is needed";
  if (o.key.empty() || o.issuer.empty() || o.service.empty())
    return "token-server: --key, --issuer and --service are needed";
  if (!o.insecure && o.tls_cert.empty() && !is_loopback_host(host))
    return "token-server: refusing to listen on " + host +
           " without --tls-cert and --tls-key (pass --insecure to do it anyway)";
  return "";
}

HttpServerConfig http_config(const TokenServerOptions& o) {
  HttpServerConfig c;
  c.io_threads = 1;
  c.workers = o.threads;
  c.tls_cert = o.tls_cert;
  c.tls_key = o.tls_key;
  return c;
}

}  // namespace

int run_token_server(const TokenServerOptions& o) {
  std::string host;
  int port = 0;
  if (!split_listen(o.listen, host, port)) return fail("token-server: --listen needs HOST:PORT");
  if (std::string refusal = option_refusal(o, host); !refusal.empty()) return fail(refusal);
  std::string error;
  Htpasswd users;
  if (!users.load(o.htpasswd, error)) return fail("token-server: " + error);
  PolicyHolder policy;
  if (!o.policy.empty() && !policy.load(o.policy, error)) return fail("token-server: " + error);
  TokenSigner signer;
  if (!signer.load(o.key, error)) return fail("token-server: " + error);
  block_stop_signals();  // before any thread starts, so every thread inherits the mask
  AuthGuards guards(std::chrono::seconds(o.auth_cache_s), o.auth_failures_per_minute);
  TokenServiceContext ctx;
  ctx.service = o.service;
  ctx.issuer = o.issuer;
  ctx.expiry_s = o.expiry_s;
  ctx.signer = &signer;
  ctx.users = &users;
  ctx.auth_guards = &guards;
  ctx.policy = o.policy.empty() ? nullptr : &policy;
  AccessLog log;
  if (!log.open(o.access_log, AccessLogFormat::text))
    return fail("token-server: cannot open the access log " + o.access_log);
  HttpServer svr(
      http_config(o),
      [&ctx](const HttpRequest& req, HttpResponse& res, const BodyReader&) {
        handle_token_request(ctx, req, res);
      },
      [](HttpResponse& res, int status, const std::string& message) {
        send_error(res, status, status == 503 ? "UNAVAILABLE" : "UNKNOWN", message);
      },
      [&log](const ExchangeRecord& r) { log.write(r); });
  if (!o.tls_cert.empty() && !svr.load_tls(error)) return fail("token-server: " + error);
  raise_descriptor_limit();
  const int bound = svr.listen(host, port, error);
  if (bound < 0) return fail("token-server: cannot listen on " + o.listen);
  std::printf("tarnwick-registry: issuing %s tokens for %s on %s://%s:%d/token\n",
              signer.algorithm().c_str(), o.service.c_str(), o.tls_cert.empty() ? "http" : "https",
              host.c_str(), bound);
  std::fflush(stdout);
  std::thread watcher = start_signal_watcher(svr, ctx.policy);
  svr.run();
  watcher.join();
  std::fprintf(stderr, "tarnwick-registry: stopped\n");
  return 0;
}

}  // namespace tool
