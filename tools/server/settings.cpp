#include "settings.h"

#include <toml++/toml.h>

#include "store_durability.h"

#include <climits>
#include <fstream>
#include <sstream>

namespace tool {
namespace {

template <auto M>
SettingField global(Settings& s) {
  return &(s.global.*M);
}
template <auto M>
SettingField serve(Settings& s) {
  return &(s.serve.*M);
}
template <auto M>
SettingField limit(Settings& s) {
  return &(s.serve.limits.*M);
}
template <auto M>
SettingField token(Settings& s) {
  return &(s.serve.tokens.*M);
}

using G = GlobalOptions;
using O = ServeOptions;
using L = HttpLimits;
using T = TokenSettings;
constexpr SettingCheck kPositive = SettingCheck::positive;

// Keys without a table come first: the effective configuration prints them before any table.
// clang-format off
const SettingSpec kSpecs[] = {
  {"--root", "root", global<&G::root>, "Storage root directory", {}, true, "TARNWICK_ROOT"},
  {"--protect", "protect", global<&G::protect>,
   "Tag-protection rules, e.g. \"release-*, team/app:rc*\"", {}, true},
  {"--durability", "durability", global<&G::durability>,
   "full: every success is on the disk first (the default); none: for caches and tests. "
   "Recorded in the store, which every later command follows", SettingCheck::durability, true},

  {"--listen", "server.listen", serve<&O::listen>, "Address:port to listen on (loopback by default)"},
  {"--threads", "server.threads", serve<&O::threads>, "Worker threads that run requests", kPositive},
  {"--io-threads", "server.io-threads", serve<&O::io_threads>, "Threads that serve the connections",
   kPositive},
  {"--read-only", "server.read-only", serve<&O::read_only>, "Refuse every push and deletion"},
  {"--insecure", "server.insecure", serve<&O::insecure>,
   "Allow a non-loopback address without TLS and --htpasswd"},
  {"--repair-on-start", "server.repair-on-start", serve<&O::repair_on_start>,
   "Before serving, heal what a crash left in the store, as fsck --repair does"},
  {"--drain-timeout", "server.drain-timeout", serve<&O::drain_timeout_s>,
   "On SIGTERM, seconds for requests in flight to finish", kPositive},

  {"--tls-cert", "tls.cert", serve<&O::tls_cert>, "TLS certificate chain (PEM); serve HTTPS"},
  {"--tls-key", "tls.key", serve<&O::tls_key>, "TLS private key (PEM)"},

  {"--htpasswd", "auth.htpasswd", serve<&O::htpasswd>,
   "Users allowed in (bcrypt entries, htpasswd -B)"},
  {"--policy", "auth.policy", serve<&O::policy>,
   "Access policy (TOML): who may pull, push, delete what; reread on SIGHUP"},
  {"--auth-cache-seconds", "auth.cache-seconds", serve<&O::auth_cache_s>,
   "How long credentials that passed are taken without a new bcrypt check", kPositive},
  {"--auth-failures-per-minute", "auth.failures-per-minute", serve<&O::auth_failures_per_minute>,
   "Failed logins from one address in a minute before 429", kPositive},

  {"--token-key", "token.key", token<&T::key>,
   "Public key (PEM, RSA or P-256) of the token service: take bearer tokens"},
  {"--token-realm", "token.realm", token<&T::realm>, "Where clients get tokens (URL)"},
  {"--token-service", "token.service", token<&T::service>, "The audience tokens must name"},
  {"--token-issuer", "token.issuer", token<&T::issuer>, "The issuer tokens must name"},

  {"--header-timeout", "limits.header-timeout", limit<&L::header_timeout_s>,
   "Seconds to receive a request's headers (408)", kPositive},
  {"--keepalive-timeout", "limits.keepalive-timeout", limit<&L::keepalive_timeout_s>,
   "Seconds an idle connection stays open", kPositive},
  {"--body-timeout", "limits.body-timeout", limit<&L::body_timeout_s>,
   "Seconds without request body bytes (408)", kPositive},
  {"--send-timeout", "limits.send-timeout", limit<&L::send_timeout_s>,
   "Seconds a response may make no progress", kPositive},
  {"--max-header-count", "limits.max-header-count", limit<&L::max_header_count>,
   "Header fields per request (431)", kPositive},
  {"--max-header-bytes", "limits.max-header-bytes", limit<&L::max_header_bytes>,
   "Bytes of request line and headers (431)", kPositive},
  {"--max-url-length", "limits.max-url-length", limit<&L::max_url_length>,
   "Bytes of the request target (414)", kPositive},
  {"--max-connections", "limits.max-connections", limit<&L::max_connections>,
   "Open connections in total (503)", kPositive},
  {"--max-connections-per-address", "limits.max-connections-per-address",
   limit<&L::max_connections_per_address>, "Open connections from one client address (503)",
   kPositive},
  {"--max-uploads", "limits.max-uploads", serve<&O::max_uploads>,
   "Open upload sessions in total (429)", kPositive},
  {"--max-uploads-per-user", "limits.max-uploads-per-user", serve<&O::max_uploads_per_user>,
   "Open upload sessions of one user (429)", kPositive},
  {"--upload-idle-timeout", "limits.upload-idle-timeout", serve<&O::upload_idle_s>,
   "Seconds after which an idle upload session is cancelled", kPositive},

  {"--gc-wait-ms", "gc.wait-ms", serve<&O::gc_wait_ms>,
   "How long a push waits for a collection's hold before 503"},
  {"--gc-interval", "gc.interval", serve<&O::gc_interval>,
   "Collect on this schedule (30m, 1h, 1d), while serving"},
  {"--gc-grace-period", "gc.grace-period", serve<&O::gc_grace_period>,
   "Never collect blobs committed this recently (default 1h)"},
  {"--gc-delete-untagged-after", "gc.delete-untagged-after", serve<&O::gc_delete_untagged_after>,
   "Scheduled collections delete manifests no tag or index needs, this old"},

  {"--access-log", "log.access-log", serve<&O::access_log>, "Access log file ('-' for stdout)"},
  {"--access-log-format", "log.access-log-format", serve<&O::access_log_format>, "text or json"},

  {"--metrics-listen", "metrics.listen", serve<&O::metrics_listen>,
   "Address:port that serves /metrics without credentials (else /metrics is on --listen, "
   "behind its authentication)"},
  {"--store-stats-interval", "metrics.store-stats-interval", serve<&O::store_stats_interval_s>,
   "Seconds between two countings of the store for the metrics", kPositive},
};
// clang-format on

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

std::string line_of(const toml::source_region& where, const std::string& source) {
  return source + " line " + std::to_string(where.begin.line);
}

const SettingSpec* find_spec(std::string_view key) {
  for (const SettingSpec& spec : kSpecs)
    if (key == spec.key) return &spec;
  return nullptr;
}

// Whether `key` is the table of some setting ("limits" for "limits.max-uploads").
bool is_table(std::string_view key) {
  for (const SettingSpec& spec : kSpecs) {
    std::string_view k = spec.key;
    if (k.size() > key.size() && k.substr(0, key.size()) == key && k[key.size()] == '.')
      return true;
  }
  return false;
}

// Stores `node`'s value where `spec` says; "" or what the value must be.
std::string assign(const SettingSpec& spec, const toml::node& node, Settings& s) {
  return std::visit(
      Overloaded{
          [&](int* v) -> std::string {
            auto n = node.value_exact<int64_t>();
            if (!n) return "must be an integer";
            if (*n < INT_MIN || *n > INT_MAX) return "is out of range";
            *v = static_cast<int>(*n);
            return "";
          },
          [&](long long* v) -> std::string {
            auto n = node.value_exact<int64_t>();
            if (!n) return "must be an integer";
            *v = *n;
            return "";
          },
          [&](double* v) -> std::string {
            if (!node.is_number()) return "must be a number";
            *v = *node.value<double>();
            return "";
          },
          [&](bool* v) -> std::string {
            auto b = node.value_exact<bool>();
            if (!b) return "must be true or false";
            *v = *b;
            return "";
          },
          [&](std::string* v) -> std::string {
            auto t = node.value_exact<std::string>();
            if (!t) return "must be a string";
            *v = *t;
            return "";
          },
      },
      spec.field(s));
}

bool read_table(const toml::table& table, const std::string& prefix, const std::string& source,
                Settings& s, std::string& error) {
  for (const auto& [k, node] : table) {
    std::string key = prefix.empty() ? std::string(k.str()) : prefix + "." + std::string(k.str());
    const SettingSpec* spec = find_spec(key);
    if (spec == nullptr && node.is_table() && is_table(key)) {
      if (!read_table(*node.as_table(), key, source, s, error)) return false;
      continue;
    }
    if (spec == nullptr) {
      error = line_of(k.source(), source) + ": unknown key " + key;
      return false;
    }
    std::string why = assign(*spec, node, s);
    if (why.empty()) why = setting_check_failure(*spec, s);
    if (!why.empty()) {
      error = line_of(node.source(), source) + ": " + key + " " + why;
      return false;
    }
  }
  return true;
}

std::string toml_text(const SettingSpec& spec, Settings& s) {
  std::ostringstream os;
  std::visit(Overloaded{
                 [&](int* v) { os << *v; },
                 [&](long long* v) { os << *v; },
                 [&](double* v) { os << toml::value<double>(*v); },
                 [&](bool* v) { os << (*v ? "true" : "false"); },
                 [&](std::string* v) { os << toml::value<std::string>(*v); },
             },
             spec.field(s));
  return os.str();
}

}  // namespace

std::span<const SettingSpec> setting_specs() { return kSpecs; }

std::string setting_check_failure(const SettingSpec& spec, Settings& s) {
  if (spec.check == SettingCheck::any) return "";
  if (spec.check == SettingCheck::durability) {
    const std::string& name = *std::get<std::string*>(spec.field(s));
    return name.empty() || durability_name_valid(name) ? "" : "must be full or none";
  }
  double value = std::visit(Overloaded{
                                [](std::string*) { return 0.0; },
                                [](auto* v) { return static_cast<double>(*v); },
                            },
                            spec.field(s));
  if (spec.check == SettingCheck::positive && !(value > 0)) return "must be positive";
  if (spec.check == SettingCheck::non_negative && !(value >= 0)) return "must not be negative";
  return "";
}

void copy_setting(const SettingSpec& spec, Settings& from, Settings& to) {
  SettingField src = spec.field(from);
  std::visit([&](auto* dst) { *dst = *std::get<decltype(dst)>(src); }, spec.field(to));
}

bool load_settings_text(std::string_view text, const std::string& source, Settings& s,
                        std::string& error) {
  toml::table doc;
  try {
    doc = toml::parse(text, source);
  } catch (const toml::parse_error& e) {
    error = line_of(e.source(), source) + ": " + std::string(e.description());
    return false;
  }
  Settings read = s;
  if (!read_table(doc, "", source, read, error)) return false;
  s = read;
  return true;
}

bool load_settings_file(const std::string& path, Settings& s, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the configuration file " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return load_settings_text(text.str(), path, s, error);
}

std::string render_settings(Settings& s) {
  std::string out, table;
  for (const SettingSpec& spec : kSpecs) {
    std::string_view key = spec.key;
    size_t dot = key.rfind('.');
    std::string_view in = dot == std::string_view::npos ? "" : key.substr(0, dot);
    if (in != table) {
      table = in;
      out += "\n[" + table + "]\n";
    }
    out += std::string(key.substr(dot + 1)) + " = " + toml_text(spec, s) + "\n";
  }
  return out;
}

}  // namespace tool
