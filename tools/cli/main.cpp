// tarnwick-registry: operator command line and OCI registry server over the storage library.
#include <CLI/CLI.hpp>

#include "cmd_fsck.h"
#include "commands.h"
#include "serve.h"
#include "settings.h"

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace {

using tool::GlobalOptions;

void add_global_options(CLI::App& app, GlobalOptions& g, std::string& config) {
  app.add_option("--config", config,
                 "Configuration file (TOML): the store, its protection rules and serve's options")
      ->envname("TARNWICK_CONFIG");
  app.add_flag("--json", g.json, "Print the library's JSON unchanged");
}

// The command line being built: the global options and the exit code that every subcommand
// shares. Each add_* function below registers one subcommand; its own options live in a
// shared object that the subcommand's callback keeps alive.
struct Cli {
  CLI::App app{"tarnwick-registry: OCI registry server and store maintenance"};
  tool::Settings settings;
  GlobalOptions& g = settings.global;
  std::string config;
  std::vector<std::pair<const tool::SettingSpec*, CLI::Option*>> setting_options;
  int rc = 0;

  // Runs `fn` when `sub` was chosen; its result becomes the exit code.
  void bind(CLI::App* sub, std::function<int()> fn) {
    sub->fallthrough();
    sub->callback([this, fn] { rc = fn(); });
  }
};

// Every option of the settings table: the global ones on the program, the rest on serve.
void add_setting_options(Cli& cli, CLI::App* serve) {
  for (const tool::SettingSpec& spec : tool::setting_specs()) {
    CLI::App* on = spec.global ? &cli.app : serve;
    CLI::Option* opt = std::visit(
        [&](auto* v) {
          if constexpr (std::is_same_v<decltype(v), bool*>)
            return on->add_flag(spec.flag, *v, spec.help);
          else
            return on->add_option(spec.flag, *v, spec.help);
        },
        spec.field(cli.settings));
    if (spec.check == tool::SettingCheck::positive) opt->check(CLI::PositiveNumber);
    if (spec.check == tool::SettingCheck::non_negative) opt->check(CLI::NonNegativeNumber);
    if (spec.check == tool::SettingCheck::durability) opt->check(CLI::IsMember({"full", "none"}));
    if (spec.env != nullptr) opt->envname(spec.env);
    cli.setting_options.emplace_back(&spec, opt);
  }
}

// The configuration file under the command line: a flag given (or its environment variable)
// wins over the file, the file over the defaults.
void apply_config_file(Cli& cli) {
  if (cli.config.empty()) return;
  tool::Settings file;
  std::string error;
  if (!tool::load_settings_file(cli.config, file, error)) {
    tool::fail(error);
    throw CLI::RuntimeError(2);
  }
  for (const auto& [spec, opt] : cli.setting_options)
    if (opt->count() > 0) tool::copy_setting(*spec, cli.settings, file);
  file.global.json = cli.g.json;
  cli.settings = file;
}

void add_serve(Cli& cli) {
  auto* s = cli.app.add_subcommand("serve", "Serve the OCI Distribution API from the store");
  add_setting_options(cli, s);
  cli.bind(s, [&cli] { return tool::run_serve(cli.g, cli.settings.serve); });
}

void add_config(Cli& cli) {
  auto file = std::make_shared<std::string>();
  auto* cfg = cli.app.add_subcommand("config", "Configuration files");
  cfg->require_subcommand(1);
  auto* check = cfg->add_subcommand(
      "check", "Validate a configuration file and print the effective configuration");
  check->add_option("FILE", *file, "Configuration file (TOML)")->required();
  cli.bind(check, [file] { return tool::run_config_check(*file); });
}

void add_token_server(Cli& cli) {
  auto o = std::make_shared<tool::TokenServerOptions>();
  auto* t = cli.app.add_subcommand("token-server",
                                   "Issue bearer tokens for the registry (Docker token protocol)");
  t->add_option("--listen", o->listen, "Address:port to listen on (loopback by default)");
  t->add_option("--htpasswd", o->htpasswd, "Users who may log in (bcrypt entries, htpasswd -B)")
      ->required();
  t->add_option("--policy", o->policy,
                "Access policy (TOML) that bounds every grant; reread on SIGHUP");
  t->add_option("--key", o->key, "Private key (PEM, RSA or P-256) that signs the tokens")
      ->required();
  t->add_option("--issuer", o->issuer, "The tokens' issuer (serve --token-issuer)")->required();
  t->add_option("--service", o->service, "The tokens' audience (serve --token-service)")
      ->required();
  t->add_option("--expiry", o->expiry_s, "Seconds a token is valid")->check(CLI::Range(1, 86400));
  t->add_option("--tls-cert", o->tls_cert, "TLS certificate chain (PEM); serve HTTPS");
  t->add_option("--tls-key", o->tls_key, "TLS private key (PEM)");
  t->add_option("--access-log", o->access_log, "Access log file ('-' for stdout)");
  t->add_option("--threads", o->threads, "Worker threads")->check(CLI::PositiveNumber);
  t->add_option("--auth-cache-seconds", o->auth_cache_s,
                "How long credentials that passed are taken without a new bcrypt check")
      ->check(CLI::PositiveNumber);
  t->add_option("--auth-failures-per-minute", o->auth_failures_per_minute,
                "Failed logins from one address in a minute before 429")
      ->check(CLI::PositiveNumber);
  t->add_flag("--insecure", o->insecure, "Allow a non-loopback address without TLS");
  cli.bind(t, [o] { return tool::run_token_server(*o); });
}

void add_policy(Cli& cli) {
  auto o = std::make_shared<tool::PolicyCheckOptions>();
  auto* pol = cli.app.add_subcommand("policy", "Access policies");
  pol->require_subcommand(1);
  auto* pck = pol->add_subcommand("check", "Validate a policy; explain what a user may do");
  pck->add_option("FILE", o->file, "Policy file (TOML)")->required();
  pck->add_option("--user", o->user, "User to explain (with --repo)");
  pck->add_flag("--anonymous", o->anonymous, "Explain for a caller without credentials");
  pck->add_option("--repo", o->repo, "Repository to explain");
  pck->add_option("--htpasswd", o->htpasswd, "Check that the users the policy names exist");
  cli.bind(pck, [o] { return tool::run_policy_check(*o); });
}

void add_gc(Cli& cli) {
  auto o = std::make_shared<tool::GcOptions>();
  auto* gc = cli.app.add_subcommand("gc", "Collect unreferenced blobs and stale uploads");
  gc->add_flag("--dry-run", o->dry_run, "Count only; delete nothing");
  gc->add_flag("--no-progress", o->no_progress, "No progress bar, even on a terminal");
  gc->add_option("--grace-period", o->grace_period,
                 "Keep blobs committed this recently: 0, 90s, 15m, 1h (default), 1d");
  gc->add_flag("--delete-untagged", o->delete_untagged,
               "First delete manifests that no tag names and no index or referrer needs");
  auto* min_age = gc->add_option("--min-age", o->min_age,
                                 "With --delete-untagged: only manifests this old (default 1h)");
  auto* status = gc->add_subcommand("status", "Show the running collection's progress");
  auto* cancel = gc->add_subcommand("cancel", "Ask a running collection to stop");
  cli.bind(status, [&cli] { return tool::run_gc_status(cli.g); });
  cli.bind(cancel, [&cli] { return tool::run_gc_cancel(cli.g); });
  cli.bind(gc, [&cli, o, gc, status, cancel, min_age] {
    if (gc->got_subcommand(status) || gc->got_subcommand(cancel)) return cli.rc;
    o->min_age_given = min_age->count() > 0;
    return tool::run_gc(cli.g, *o);
  });
}

void add_retention(Cli& cli) {
  auto o = std::make_shared<tool::RetentionOptions>();
  auto* r = cli.app.add_subcommand("retention", "Delete old tags by count and age");
  r->add_option("--keep", o->keep, "Newest tags to keep per repository (0: no count rule)");
  r->add_option("--days", o->days, "Delete tags older than this many days (0: no age rule)");
  r->add_flag("--include-latest", o->include_latest, "Treat 'latest' like any other tag");
  r->add_flag("--dry-run", o->dry_run, "Report only; delete nothing");
  cli.bind(r, [&cli, o] { return tool::run_retention(cli.g, *o); });
}

void add_listings(Cli& cli) {
  auto page = std::make_shared<int>(0);
  auto* c = cli.app.add_subcommand("catalog", "List repositories");
  c->add_option("-n", *page, "At most this many names");
  cli.bind(c, [&cli, page] { return tool::run_catalog(cli.g, *page); });

  auto repo = std::make_shared<std::string>();
  auto* t = cli.app.add_subcommand("tags", "List the tags of a repository");
  t->add_option("REPO", *repo, "Repository")->required();
  cli.bind(t, [&cli, repo] { return tool::run_tags(cli.g, *repo); });

  auto* st = cli.app.add_subcommand("stats", "Show storage statistics");
  cli.bind(st, [&cli] { return tool::run_stats(cli.g); });

  auto level = std::make_shared<std::string>();
  auto* du = cli.app.add_subcommand(
      "durability", "Show the store's durability setting, or record full or none");
  du->add_option("SETTING", *level, "full: every success is synced first; none: nothing is")
      ->check(CLI::IsMember({"full", "none"}));
  cli.bind(du, [&cli, level] { return tool::run_durability(cli.g, *level); });

  auto digest = std::make_shared<std::string>();
  auto* rf = cli.app.add_subcommand("referrers", "List manifests that name a digest");
  rf->add_option("DIGEST", *digest, "sha256:...")->required();
  cli.bind(rf, [&cli, digest] { return tool::run_referrers(cli.g, *digest); });
}

void add_rm(Cli& cli) {
  struct Options {
    std::string target;
    bool yes = false;
  };
  auto o = std::make_shared<Options>();
  auto* rm = cli.app.add_subcommand(
      "rm", "Delete a tag (REPO:TAG), a manifest (REPO@DIGEST) or a repository (REPO)");
  rm->add_option("TARGET", o->target, "REPO:TAG, REPO@DIGEST or REPO")->required();
  rm->add_flag("--yes", o->yes,
               "Confirm the deletion of a whole repository (needed on a terminal)");
  cli.bind(rm, [&cli, o] { return tool::run_rm(cli.g, o->target, o->yes); });
}

void add_layout_copies(Cli& cli) {
  struct Options {
    std::string dir, ref;
  };
  auto in = std::make_shared<Options>();
  auto* im =
      cli.app.add_subcommand("import", "Copy an image or index from an OCI layout into the store");
  im->add_option("OCI_LAYOUT_DIR", in->dir, "OCI image layout directory")->required();
  im->add_option("REPO:TAG", in->ref, "Destination")->required();
  cli.bind(im, [&cli, in] { return tool::run_import(cli.g, in->dir, in->ref); });

  auto out = std::make_shared<Options>();
  auto* ex =
      cli.app.add_subcommand("export", "Copy an image or index from the store into an OCI layout");
  ex->add_option("REPO:TAG", out->ref, "Source (REPO:TAG or REPO@DIGEST)")->required();
  ex->add_option("OCI_LAYOUT_DIR", out->dir, "OCI image layout directory")->required();
  cli.bind(ex, [&cli, out] { return tool::run_export(cli.g, out->ref, out->dir); });
}

void add_fsck(Cli& cli) {
  auto repair = std::make_shared<bool>(false);
  auto* fk = cli.app.add_subcommand("fsck", "Check the store; exit 0 only when it is sound");
  fk->add_flag("--repair", *repair,
               "First heal what a crash left (temporary files, damaged or empty blobs and links) "
               "and rebuild the subject index and blob record of every repository");
  cli.bind(fk, [&cli, repair] { return tool::run_fsck(cli.g, *repair); });
}

}  // namespace

int main(int argc, char** argv) {
  Cli cli;
  cli.app.require_subcommand(1);
  add_global_options(cli.app, cli.g, cli.config);
  cli.app.parse_complete_callback([&cli] { apply_config_file(cli); });
  add_serve(cli);
  add_token_server(cli);
  add_config(cli);
  add_policy(cli);
  add_gc(cli);
  add_retention(cli);
  add_listings(cli);
  add_rm(cli);
  add_layout_copies(cli);
  add_fsck(cli);
  CLI11_PARSE(cli.app, argc, argv);
  return cli.rc;
}
