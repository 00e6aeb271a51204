// `tarnwick-registry serve`: the OCI Distribution API over the store.
#pragma once

#include "cli_support.h"
#include "bearer_token.h"
#include "http_server.h"

#include <string>

namespace tool {

struct ServeOptions {
  std::string listen = "127.0.0.1:5000";
  int threads = 32;          // worker threads that run the requests
  int io_threads = 2;        // threads that serve the connections
  int gc_wait_ms = 2000;     // how long a push waits for a collection's hold
  std::string gc_interval;   // collections on a schedule ("1h"); empty for none
  std::string gc_grace_period = "1h";  // blobs committed this recently are never collected
  std::string gc_delete_untagged_after;  // scheduled runs delete untagged manifests this old
  int drain_timeout_s = 30;  // on SIGTERM, how long requests in flight may finish
  HttpLimits limits;
  int max_uploads = 1000;                  // open upload sessions in total (429)
  int max_uploads_per_user = 100;          // open upload sessions of one user (429)
  int upload_idle_s = 300;                 // an upload session idle this long is cancelled
  std::string access_log;                  // file; empty for stderr, "-" for stdout
  std::string access_log_format = "text";  // or "json"
  std::string tls_cert, tls_key;           // PEM files; both or neither
  std::string htpasswd;                    // bcrypt users; empty for no authentication
  int auth_cache_s = 60;                   // credentials that passed bcrypt are good this long
  int auth_failures_per_minute = 20;       // failed logins from one address before 429
  std::string policy;                      // access policy (TOML); empty for none
  TokenSettings tokens;                    // bearer tokens, when tokens.key is given
  bool read_only = false;                  // refuse every write with 405
  bool repair_on_start = false;            // fsck --repair before serving
  bool insecure = false;  // allow a non-loopback address without TLS and credentials
  std::string metrics_listen;     // serve /metrics here, without credentials; empty: on `listen`
  int store_stats_interval_s = 60;  // how often the store's statistics are counted afresh
};
int run_serve(const GlobalOptions& g, const ServeOptions& o);
// Why serve would refuse `o` before opening anything, or "" when it would not.
std::string serve_refusal(const ServeOptions& o);

// `tarnwick-registry token-server`: the bundled token service (token_service.h).
struct TokenServerOptions {
  std::string listen = "127.0.0.1:5001";
  std::string htpasswd;                   // the users (bcrypt); required
  std::string policy;                     // what each may be granted; empty: users get all
  std::string key;                        // PEM private key (RSA or P-256) that signs
  std::string issuer, service;            // the tokens' iss and aud, as `serve` checks them
  int expiry_s = 300;                     // tokens' lifetime
  std::string tls_cert, tls_key;          // PEM files; both or neither
  std::string access_log;                 // file; empty for stderr, "-" for stdout
  int threads = 8;                        // worker threads (a login costs a bcrypt run)
  int auth_cache_s = 60;                  // credentials that passed bcrypt are good this long
  int auth_failures_per_minute = 20;      // failed logins from one address before 429
  bool insecure = false;                  // allow a non-loopback address without TLS
};
int run_token_server(const TokenServerOptions& o);

// `tarnwick-registry policy check FILE [--user U --repo R] [--htpasswd FILE]`: validates a
// policy and, given a user (or none, for anonymous) and a repository, explains what it grants.
struct PolicyCheckOptions {
  std::string file, user, repo, htpasswd;
  bool anonymous = false;
};
int run_policy_check(const PolicyCheckOptions& o);

}  // namespace tool
