// tarnwick-registry: operator command line and OCI registry server over the storage library.
#include <CLI/CLI.hpp>

#include "cmd_fsck.h"
#include "commands.h"
#include "serve.h"

#include <cstdlib>
#include <functional>

namespace {

using tool::GlobalOptions;

void add_global_options(CLI::App& app, GlobalOptions& g) {
  const char* env_root = std::getenv("TARNWICK_ROOT");
  if (env_root != nullptr) g.root = env_root;
  app.add_option("--root", g.root, "Storage root directory (or $TARNWICK_ROOT)");
  app.add_option("--protect", g.protect, "Tag-protection rules, e.g. \"release-*, team/app:rc*\"");
  app.add_flag("--json", g.json, "Print the library's JSON unchanged");
}

// The HTTP layer's limits, each with the status it answers when passed.
void add_limit_options(CLI::App* s, tool::ServeOptions& o) {
  tool::HttpLimits& l = o.limits;
  auto positive = [s](const char* name, int& v, const char* what) {
    s->add_option(name, v, what)->check(CLI::PositiveNumber);
  };
  positive("--header-timeout", l.header_timeout_s, "Seconds to receive a request's headers (408)");
  positive("--keepalive-timeout", l.keepalive_timeout_s, "Seconds an idle connection stays open");
  positive("--body-timeout", l.body_timeout_s, "Seconds without request body bytes (408)");
  positive("--send-timeout", l.send_timeout_s, "Seconds a response may make no progress");
  positive("--max-header-count", l.max_header_count, "Header fields per request (431)");
  positive("--max-header-bytes", l.max_header_bytes, "Bytes of request line and headers (431)");
  positive("--max-url-length", l.max_url_length, "Bytes of the request target (414)");
  positive("--max-connections", l.max_connections, "Open connections in total (503)");
  positive("--max-connections-per-address", l.max_connections_per_address,
           "Open connections from one client address (503)");
  positive("--max-uploads", o.max_uploads, "Open upload sessions in total (429)");
  positive("--max-uploads-per-user", o.max_uploads_per_user,
           "Open upload sessions of one user (429)");
  positive("--upload-idle-timeout", o.upload_idle_s,
           "Seconds after which an idle upload session is cancelled");
  positive("--auth-cache-seconds", o.auth_cache_s,
           "How long credentials that passed are taken without a new bcrypt check");
  positive("--auth-failures-per-minute", o.auth_failures_per_minute,
           "Failed logins from one address in a minute before 429");
  positive("--drain-timeout", o.drain_timeout_s,
           "On SIGTERM, seconds for requests in flight to finish");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tarnwick-registry: OCI registry server and store maintenance"};
  app.require_subcommand(1);
  GlobalOptions g;
  add_global_options(app, g);
  int rc = 0;
  auto bind = [&rc](CLI::App* sub, std::function<int()> fn) {
    sub->fallthrough();
    sub->callback([&rc, fn] { rc = fn(); });
  };

  tool::ServeOptions serve;
  auto* s = app.add_subcommand("serve", "Serve the OCI Distribution API from the store");
  s->add_option("--listen", serve.listen, "Address:port to listen on (loopback by default)");
  s->add_option("--threads", serve.threads, "Worker threads that run requests")
      ->check(CLI::PositiveNumber);
  s->add_option("--io-threads", serve.io_threads, "Threads that serve the connections")
      ->check(CLI::PositiveNumber);
  add_limit_options(s, serve);
  s->add_option("--gc-wait-ms", serve.gc_wait_ms,
                "How long a push waits for a running collection before 503");
  s->add_option("--access-log", serve.access_log, "Access log file ('-' for stdout)");
  s->add_option("--access-log-format", serve.access_log_format, "text or json");
  s->add_option("--tls-cert", serve.tls_cert, "TLS certificate chain (PEM); serve HTTPS");
  s->add_option("--tls-key", serve.tls_key, "TLS private key (PEM)");
  s->add_option("--htpasswd", serve.htpasswd, "Users allowed in (bcrypt entries, htpasswd -B)");
  s->add_option("--policy", serve.policy,
                "Access policy (TOML): who may pull, push, delete what; reread on SIGHUP");
  s->add_flag("--read-only", serve.read_only, "Refuse every push and deletion");
  s->add_flag("--insecure", serve.insecure,
              "Allow a non-loopback address without TLS and --htpasswd");
  bind(s, [&] { return tool::run_serve(g, serve); });

  tool::PolicyCheckOptions pc;
  auto* pol = app.add_subcommand("policy", "Access policies");
  pol->require_subcommand(1);
  auto* pck = pol->add_subcommand("check", "Validate a policy; explain what a user may do");
  pck->add_option("FILE", pc.file, "Policy file (TOML)")->required();
  pck->add_option("--user", pc.user, "User to explain (with --repo)");
  pck->add_flag("--anonymous", pc.anonymous, "Explain for a caller without credentials");
  pck->add_option("--repo", pc.repo, "Repository to explain");
  pck->add_option("--htpasswd", pc.htpasswd, "Check that the users the policy names exist");
  bind(pck, [&] { return tool::run_policy_check(pc); });

  tool::GcOptions gc;
  auto* gcc = app.add_subcommand("gc", "Collect unreferenced blobs and stale uploads");
  gcc->add_flag("--dry-run", gc.dry_run, "Count only; delete nothing");
  gcc->add_flag("--no-progress", gc.no_progress, "No progress bar, even on a terminal");
  auto* gs = gcc->add_subcommand("status", "Show the running collection's progress");
  auto* gx = gcc->add_subcommand("cancel", "Ask a running collection to stop");
  bind(gs, [&] { return tool::run_gc_status(g); });
  bind(gx, [&] { return tool::run_gc_cancel(g); });
  bind(gcc, [&] {
    if (gcc->got_subcommand(gs) || gcc->got_subcommand(gx)) return rc;
    return tool::run_gc(g, gc);
  });

  tool::RetentionOptions ret;
  auto* r = app.add_subcommand("retention", "Delete old tags by count and age");
  r->add_option("--keep", ret.keep, "Newest tags to keep per repository (0: no count rule)");
  r->add_option("--days", ret.days, "Delete tags older than this many days (0: no age rule)");
  r->add_flag("--include-latest", ret.include_latest, "Treat 'latest' like any other tag");
  r->add_flag("--dry-run", ret.dry_run, "Report only; delete nothing");
  bind(r, [&] { return tool::run_retention(g, ret); });

  int page = 0;
  auto* c = app.add_subcommand("catalog", "List repositories");
  c->add_option("-n", page, "At most this many names");
  bind(c, [&] { return tool::run_catalog(g, page); });

  std::string repo, digest, target, dir;
  auto* t = app.add_subcommand("tags", "List the tags of a repository");
  t->add_option("REPO", repo, "Repository")->required();
  bind(t, [&] { return tool::run_tags(g, repo); });

  auto* st = app.add_subcommand("stats", "Show storage statistics");
  bind(st, [&] { return tool::run_stats(g); });

  auto* rf = app.add_subcommand("referrers", "List manifests that name a digest");
  rf->add_option("DIGEST", digest, "sha256:...")->required();
  bind(rf, [&] { return tool::run_referrers(g, digest); });

  auto* rm = app.add_subcommand(
      "rm", "Delete a tag (REPO:TAG), a manifest (REPO@DIGEST) or a repository (REPO)");
  rm->add_option("TARGET", target, "REPO:TAG, REPO@DIGEST or REPO")->required();
  bool yes = false;
  rm->add_flag("--yes", yes, "Confirm the deletion of a whole repository (needed on a terminal)");
  bind(rm, [&] { return tool::run_rm(g, target, yes); });

  auto* im =
      app.add_subcommand("import", "Copy an image or index from an OCI layout into the store");
  im->add_option("OCI_LAYOUT_DIR", dir, "OCI image layout directory")->required();
  im->add_option("REPO:TAG", target, "Destination")->required();
  bind(im, [&] { return tool::run_import(g, dir, target); });

  std::string source;
  auto* ex =
      app.add_subcommand("export", "Copy an image or index from the store into an OCI layout");
  ex->add_option("REPO:TAG", source, "Source (REPO:TAG or REPO@DIGEST)")->required();
  ex->add_option("OCI_LAYOUT_DIR", dir, "OCI image layout directory")->required();
  bind(ex, [&] { return tool::run_export(g, source, dir); });

  auto* fk = app.add_subcommand("fsck", "Check the store; exit 0 only when it is sound");
  bool repair = false;
  fk->add_flag("--repair", repair,
               "First rebuild the subject index and blob record of every repository");
  bind(fk, [&] { return tool::run_fsck(g, repair); });

  CLI11_PARSE(app, argc, argv);
  return rc;
}
